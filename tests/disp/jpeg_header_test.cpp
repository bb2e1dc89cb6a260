// The marker walk that bounds a picture's cost: it reads the frame header however the segments
// around it are laid out, and refuses exactly what exceeds the bounds.
#include "disp/jpeg_header.h"

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <string>
#include <vector>

namespace {

std::vector<uint8_t> jpeg(int width, int height, int flags) {
  std::vector<uint8_t> pixels(size_t(width) * size_t(height) * 3, 0x80);
  tjhandle handle = tjInitCompress();
  unsigned char *out = nullptr;
  unsigned long size = 0;
  const int rc = tjCompress2(handle, pixels.data(), width, 0, height, TJPF_RGB, &out, &size, TJSAMP_420, 90, flags);
  std::vector<uint8_t> bytes;
  if (rc == 0) bytes.assign(out, out + size);
  tjFree(out);
  tjDestroy(handle);
  return bytes;
}

// The frame header (SOF0 or SOF2) set to claim another size.
void claim(std::vector<uint8_t> &bytes, uint16_t width, uint16_t height) {
  for (size_t i = 0; i + 9 < bytes.size(); ++i) {
    if (bytes[i] == 0xFF && (bytes[i + 1] == 0xC0 || bytes[i + 1] == 0xC2)) {
      bytes[i + 5] = uint8_t(height >> 8);
      bytes[i + 6] = uint8_t(height);
      bytes[i + 7] = uint8_t(width >> 8);
      bytes[i + 8] = uint8_t(width);
      return;
    }
  }
}

std::string refusal(const JpegCost &cost) {
  char why[320] = "";
  return jpeg_within_bounds(cost, why, sizeof why) ? std::string() : std::string(why);
}

}  // namespace

TEST(JpegHeader, ReadsTheFrameAndScansOfBaselineAndProgressivePictures) {
  const JpegCost baseline = jpeg_cost(jpeg(320, 240, 0).data(), jpeg(320, 240, 0).size());
  EXPECT_TRUE(baseline.frame_seen);
  EXPECT_EQ(baseline.width, 320u);
  EXPECT_EQ(baseline.height, 240u);
  EXPECT_EQ(baseline.components, 3);
  EXPECT_FALSE(baseline.progressive);
  EXPECT_EQ(baseline.scans, 1);
  // 4:2:0 in 16x16 MCUs: 20x15 of them, six blocks each, 128 bytes a block.
  EXPECT_EQ(baseline.coefficient_bytes, 20u * 15 * 6 * 128);
  EXPECT_EQ(refusal(baseline), "");

  const std::vector<uint8_t> progressive = jpeg(64, 64, TJFLAG_PROGRESSIVE);
  const JpegCost cost = jpeg_cost(progressive.data(), progressive.size());
  EXPECT_TRUE(cost.progressive);
  EXPECT_GT(cost.scans, 1);

  // Stray bytes between segments, as the decoder library passes over them.
  std::vector<uint8_t> stray = jpeg(320, 240, 0);
  stray.insert(stray.begin() + 2, {0x12, 0x34, 0x00});
  EXPECT_EQ(jpeg_cost(stray.data(), stray.size()).width, 320u);

  // Not a JPEG, or cut before its frame: left to the decoder.
  const uint8_t text[] = "no picture at all";
  EXPECT_FALSE(jpeg_cost(text, sizeof text).frame_seen);
  EXPECT_EQ(refusal(jpeg_cost(text, sizeof text)), "");
  EXPECT_FALSE(jpeg_cost(stray.data(), 4).frame_seen);
}

TEST(JpegHeader, RefusesWhatNoPanelCanUseAndNothingElse) {
  std::vector<uint8_t> bytes = jpeg(64, 64, TJFLAG_PROGRESSIVE);
  claim(bytes, 16000, 16000);
  EXPECT_NE(refusal(jpeg_cost(bytes.data(), bytes.size())).find("a 16000x16000 picture is larger than the largest panel"),
            std::string::npos);

  // 4000x4000 progressive at 4:2:0 needs 45.8 MiB: taken; 4112x4112 needs 48.4 MiB: refused.
  claim(bytes, 4000, 4000);
  EXPECT_EQ(refusal(jpeg_cost(bytes.data(), bytes.size())), "");
  claim(bytes, 4112, 4112);
  EXPECT_NE(refusal(jpeg_cost(bytes.data(), bytes.size())).find("progressive picture needs"), std::string::npos);

  // The same size baseline (one scan) is decoded a row of blocks at a time: taken.
  std::vector<uint8_t> baseline = jpeg(64, 64, 0);
  claim(baseline, 4112, 4112);
  EXPECT_EQ(refusal(jpeg_cost(baseline.data(), baseline.size())), "");
  claim(baseline, jpeg_max_side + 1, 16);
  EXPECT_NE(refusal(jpeg_cost(baseline.data(), baseline.size())), "");

  // Scans: the limit is taken, one more is refused.
  claim(bytes, 64, 64);
  JpegCost cost = jpeg_cost(bytes.data(), bytes.size());
  cost.scans = jpeg_max_scans;
  EXPECT_EQ(refusal(cost), "");
  cost.scans = jpeg_max_scans + 1;
  EXPECT_NE(refusal(cost).find("65 scans"), std::string::npos);
}
