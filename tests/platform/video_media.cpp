#include "tests/platform/video_media.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "platform/nalu.h"
#include "tests/support/test_root.h"

const std::string &video_test_root() { return test_root(); }

Bytes read_test_stream(const std::string &name) {
  std::ifstream file(std::string(DH_SOURCE_DIR) + "/tests/media/" + name, std::ios::binary);
  Bytes bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  EXPECT_FALSE(bytes.empty()) << name;
  return bytes;
}

std::vector<Unit> split_units(const Bytes &stream, size_t block) {
  Bytes whole = stream;
  for (uint8_t byte : {0, 0, 0, 1, 9, 0xF0}) whole.push_back(byte);  // an access unit delimiter
  NaluBuffer *buffer = nalu_buf_init(whole.size() + 16);
  std::vector<Unit> units;
  Bytes dest(whole.size());
  for (size_t at = 0; at < whole.size(); at += block) {
    int length = int(std::min(block, whole.size() - at));
    EXPECT_EQ(nalu_buf_write(buffer, whole.data() + at, length), length);
    NaluUnitInfo info{};
    while (int got = nalu_buf_read_unit(buffer, &info, dest.data(), int(dest.size()))) {
      EXPECT_GT(got, 0);
      if (got <= 0) break;
      units.push_back({Bytes(dest.begin(), dest.begin() + got), info.type});
    }
  }
  nalu_buf_free(buffer);
  return units;
}
