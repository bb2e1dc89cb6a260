// The NAL-unit splitter: units come out whole, with their start codes, however the stream is
// cut into blocks, and no input, however broken, makes it crash, stall or write out of bounds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <random>

#include "platform/nalu.h"
#include "tests/platform/video_media.h"

namespace {

// Owns a splitter for one test.
struct Splitter {
  explicit Splitter(size_t capacity) : buffer(nalu_buf_init(capacity)) {}
  ~Splitter() { nalu_buf_free(buffer); }
  int write(const Bytes &bytes) { return nalu_buf_write(buffer, bytes.data(), int(bytes.size())); }
  // The next unit, empty when none is complete.
  Bytes read(uint32_t *type = nullptr) {
    Bytes dest(1 << 16);
    NaluUnitInfo info{};
    int got = nalu_buf_read_unit(buffer, &info, dest.data(), int(dest.size()));
    if (got <= 0) return {};
    if (type != nullptr) *type = info.type;
    dest.resize(size_t(got));
    return dest;
  }
  NaluBuffer *buffer;
};

Bytes concat(const std::vector<Unit> &units) {
  Bytes all;
  for (const Unit &unit : units) all.insert(all.end(), unit.bytes.begin(), unit.bytes.end());
  return all;
}

Bytes operator+(Bytes a, const Bytes &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace

TEST(Nalu, UnitsReassembleWhereverTheStreamIsCut) {
  const Bytes stream = read_test_stream("colours_64x64.h264");
  // Garbage in front, with zeros and near-start codes, is dropped.
  const Bytes garbage = {0x12, 0x00, 0x00, 0x02, 0x00, 0x01, 0x7F, 0x00};
  const Bytes input = garbage + stream + Bytes{0, 0, 0, 1, 9, 0xF0};
  const std::vector<Unit> whole = split_units(stream, stream.size() + 6);
  ASSERT_EQ(concat(whole), stream);

  // The stream holds parameter sets, an SEI, IDR and non-IDR slices.
  std::vector<uint32_t> types;
  for (const Unit &unit : whole) types.push_back(unit.type);
  EXPECT_EQ(std::vector<uint32_t>(types.begin(), types.begin() + 5),
            (std::vector<uint32_t>{7, 8, 6, 5, 1}));
  EXPECT_EQ(std::count(types.begin(), types.end(), 5u) + std::count(types.begin(), types.end(), 1u),
            15);

  for (size_t cut = 0; cut <= input.size(); ++cut) {
    Splitter splitter(4096);
    std::vector<Unit> units;
    for (const Bytes &part : {Bytes(input.begin(), input.begin() + long(cut)),
                              Bytes(input.begin() + long(cut), input.end())}) {
      ASSERT_EQ(splitter.write(part), int(part.size()));
      uint32_t type = 0;
      for (Bytes unit; !(unit = splitter.read(&type)).empty();) units.push_back({unit, type});
    }
    ASSERT_EQ(units.size(), whole.size()) << "cut at " << cut;
    ASSERT_EQ(concat(units), stream) << "cut at " << cut;
  }
  // Byte by byte and in small uneven blocks.
  EXPECT_EQ(concat(split_units(stream, 1)), stream);
  EXPECT_EQ(concat(split_units(stream, 7)), stream);
}

TEST(Nalu, StartCodesAreKeptAsTheStreamHadThem) {
  const Bytes stream = {
      0, 0, 1, 0x67, 0xAA,                // 3-byte start code, SPS
      0, 0, 0, 1, 0x68, 0xBB,             // 4-byte, PPS
      0, 0, 1, 0x65, 0xCC,                // IDR slice, then
      0, 0, 1, 0x41, 0xDD, 0, 0, 0, 0, 0,  // a slice with zeros behind it
      0, 0, 0, 1, 0x06, 0xEE};
  Splitter splitter(256);
  ASSERT_EQ(splitter.write(stream), int(stream.size()));
  uint32_t type = 0;
  EXPECT_EQ(splitter.read(&type), (Bytes{0, 0, 1, 0x67, 0xAA}));
  EXPECT_EQ(type, 7u);
  EXPECT_EQ(splitter.read(&type), (Bytes{0, 0, 0, 1, 0x68, 0xBB}));
  EXPECT_EQ(type, 8u);
  EXPECT_EQ(splitter.read(&type), (Bytes{0, 0, 1, 0x65, 0xCC}));
  EXPECT_EQ(type, 5u);
  // One zero before "00 00 01" makes the next start code a 4-byte one; the rest stay here.
  EXPECT_EQ(splitter.read(&type), (Bytes{0, 0, 1, 0x41, 0xDD, 0, 0, 0, 0, 0}));
  EXPECT_EQ(type, 1u);
  // The last unit is complete only when the next start code arrives.
  EXPECT_TRUE(splitter.read().empty());
  ASSERT_EQ(splitter.write({0, 0}), 2);
  EXPECT_TRUE(splitter.read().empty());
  ASSERT_EQ(splitter.write({1, 0x09}), 2);
  EXPECT_EQ(splitter.read(&type), (Bytes{0, 0, 0, 1, 0x06, 0xEE}));
  EXPECT_EQ(type, 6u);
}

TEST(Nalu, CleanAndAUnitTooLargeForTheCallerDropOnlyWhatTheySay) {
  Splitter splitter(256);
  ASSERT_EQ(splitter.write({0, 0, 1, 0x67, 1, 2, 3, 4, 5, 6, 0, 0, 1, 0x68, 7, 0, 0, 1, 0x65}), 19);
  NaluUnitInfo info{};
  uint8_t small[4];
  EXPECT_LT(nalu_buf_read_unit(splitter.buffer, &info, small, sizeof small), 0);
  EXPECT_EQ(info.type, 7u);
  EXPECT_EQ(splitter.read(), (Bytes{0, 0, 1, 0x68, 7}));

  nalu_buf_clean(splitter.buffer);
  EXPECT_TRUE(splitter.read().empty());
  // After a clean the splitter waits for a start code again: the tail of the old unit is dropped.
  ASSERT_EQ(splitter.write({0x11, 0x22, 0, 0, 1, 0x41, 9, 0, 0, 1, 0x41}), 11);
  EXPECT_EQ(splitter.read(), (Bytes{0, 0, 1, 0x41, 9}));
}

TEST(Nalu, AWriteIsRefusedOnlyWhileUnitsWaitForTheReader) {
  Splitter splitter(64);
  Bytes unit = {0, 0, 1, 0x41};
  unit.resize(20, 0x55);
  Bytes five = unit + unit + unit + unit + unit;
  // Nothing waiting: a block larger than the capacity is taken whole.
  EXPECT_EQ(splitter.write(five), 100);
  EXPECT_EQ(splitter.read(), unit);
  // Three complete units wait, and the bytes held exceed the capacity: nothing more goes in.
  EXPECT_EQ(splitter.write(unit), 0);
  EXPECT_EQ(splitter.read(), unit);
  EXPECT_EQ(splitter.read(), unit);
  // Two units (40 bytes) held, one of them complete: up to the capacity.
  EXPECT_EQ(splitter.write(five), 24);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(splitter.read(), unit);
  EXPECT_EQ(splitter.write(Bytes(five.begin() + 24, five.end())), 76);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(splitter.read(), unit);
  EXPECT_TRUE(splitter.read().empty());  // the last one waits for its end
}

TEST(Nalu, AUnitThatOutgrowsTheCapacityIsDroppedAndTheStreamResynchronises) {
  Bytes giant = {0, 0, 1, 0x65};
  giant.resize(1000, 0x77);
  const Bytes after = {0, 0, 0, 1, 0x68, 0x99, 0, 0, 1, 0x41, 0x42, 0, 0, 1, 0x09};
  // The next start code cut at every place against the blocks.
  for (size_t block : {7, 50, 64, 100, 333}) {
    for (size_t tail_cut = 0; tail_cut < 8; ++tail_cut) {
      SCOPED_TRACE("block " + std::to_string(block) + ", cut " + std::to_string(tail_cut));
      Splitter splitter(64);
      Bytes input(giant.begin(), giant.end() - long(tail_cut));
      input = input + after;
      testing::internal::CaptureStderr();
      std::vector<Bytes> units;
      for (size_t at = 0; at < input.size(); at += block) {
        Bytes part(input.begin() + long(at),
                   input.begin() + long(std::min(input.size(), at + block)));
        ASSERT_EQ(splitter.write(part), int(part.size()));
        for (Bytes unit; !(unit = splitter.read()).empty();) units.push_back(unit);
      }
      EXPECT_NE(testing::internal::GetCapturedStderr().find("dropped"), std::string::npos);
      EXPECT_EQ(units, (std::vector<Bytes>{{0, 0, 0, 1, 0x68, 0x99}, {0, 0, 1, 0x41, 0x42}}));
    }
  }
}

TEST(Nalu, ArbitraryBytesNeverBreakIt) {
  std::mt19937 random(1234);
  for (int round = 0; round < 400; ++round) {
    // Bytes rich in zeros and ones, so start codes of both lengths turn up often.
    size_t size = std::uniform_int_distribution<size_t>(0, 6000)(random);
    int zero_bias = std::uniform_int_distribution<int>(0, 90)(random);
    Bytes input(size);
    for (uint8_t &byte : input) {
      int pick = std::uniform_int_distribution<int>(0, 99)(random);
      byte = pick < zero_bias ? 0 : pick < zero_bias + 5 ? 1 : uint8_t(random());
    }
    size_t capacity = std::uniform_int_distribution<size_t>(0, 2000)(random);
    NaluBuffer *buffer = nalu_buf_init(capacity);
    ASSERT_NE(buffer, nullptr);
    Bytes out;
    bool dropped = false;
    size_t at = 0;
    testing::internal::CaptureStderr();
    while (at < input.size()) {
      int block = std::uniform_int_distribution<int>(0, 700)(random);
      block = int(std::min<size_t>(size_t(block), input.size() - at));
      int taken = nalu_buf_write(buffer, input.data() + at, block);
      ASSERT_GE(taken, 0);
      ASSERT_LE(taken, block);
      at += size_t(taken);
      // A room of exactly the unit's length, or too small: the copy never runs past it.
      for (;;) {
        int room = std::uniform_int_distribution<int>(0, 3000)(random);
        Bytes dest(size_t(room) + 8, 0xA5);
        NaluUnitInfo info{};
        int got = nalu_buf_read_unit(buffer, &info, dest.data(), room);
        if (got == 0) break;
        ASSERT_TRUE(std::all_of(dest.end() - 8, dest.end(), [](uint8_t b) { return b == 0xA5; }));
        if (got < 0) {
          dropped = true;
          continue;
        }
        ASSERT_LE(got, room);
        ASSERT_EQ(info.length, uint32_t(got));
        bool three = got >= 4 && dest[0] == 0 && dest[1] == 0 && dest[2] == 1;
        bool four = got >= 5 && dest[0] == 0 && dest[1] == 0 && dest[2] == 0 && dest[3] == 1;
        ASSERT_TRUE(three || four);
        ASSERT_EQ(info.type, dest[four ? 4 : 3] & 0x1Fu);
        out.insert(out.end(), dest.begin(), dest.begin() + got);
      }
      if (taken == 0 && block > 0) {
        // Only complete units could fill it, and they have all been read: never stuck.
        taken = nalu_buf_write(buffer, input.data() + at, block);
        ASSERT_GT(taken, 0);
        at += size_t(taken);
      }
    }
    testing::internal::GetCapturedStderr();
    // What came out, in order, is part of what went in.
    ASSERT_LE(out.size(), input.size());
    if (capacity > input.size() + 16 && !dropped && !out.empty()) {
      ASSERT_NE(std::search(input.begin(), input.end(), out.begin(), out.end()), input.end());
    }
    nalu_buf_free(buffer);
  }
}
