// The JPEG decoder stand-in: every subsampling and size fitted exactly to the requested output
// (colours within a few steps, geometry kept), output memory that must hold the picture, and
// data that is no picture or a broken one refused without writing to the buffer, and a header
// claiming a huge picture refused before the decoder takes memory for it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <turbojpeg.h>
#include <vector>

#include "platform/jpegd.h"

namespace {

struct Rgb {
  int r, g, b;
};

// A JPEG of width x height whose pixel (x, y) is colour(x, y).
template <class Colour>
std::vector<uint8_t> make_jpeg(int width, int height, int subsampling, Colour colour) {
  std::vector<uint8_t> pixels(size_t(width) * size_t(height) * 3);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      Rgb c = colour(x, y);
      uint8_t *p = &pixels[(size_t(y) * size_t(width) + size_t(x)) * 3];
      p[0] = uint8_t(c.r);
      p[1] = uint8_t(c.g);
      p[2] = uint8_t(c.b);
    }
  }
  tjhandle handle = tjInitCompress();
  unsigned char *jpeg = nullptr;
  unsigned long size = 0;
  int result = tjCompress2(handle, pixels.data(), width, 0, height, TJPF_RGB, &jpeg, &size,
                           subsampling, 95, 0);
  EXPECT_EQ(result, 0) << tjGetErrorStr2(handle);
  std::vector<uint8_t> data(jpeg, jpeg + size);
  tjFree(jpeg);
  tjDestroy(handle);
  return data;
}

std::vector<uint8_t> solid_jpeg(int width, int height, Rgb colour, int subsampling = TJSAMP_420) {
  return make_jpeg(width, height, subsampling, [colour](int, int) { return colour; });
}

constexpr size_t guard_bytes = 4096;
constexpr uint8_t guard_value = 0xCD;

// An output buffer of exactly width x height x 4 bytes, followed by guard bytes.
struct Output {
  uint32_t width, height;
  std::vector<uint8_t> memory;
  explicit Output(uint32_t w, uint32_t h)
      : width(w), height(h), memory(size_t(w) * h * 4 + guard_bytes, guard_value) {}
  int size() const { return int(memory.size() - guard_bytes); }
  uint32_t pixel(uint32_t x, uint32_t y) const {
    uint32_t value;
    memcpy(&value, &memory[(size_t(y) * width + x) * 4], 4);
    return value;
  }
  bool guard_intact() const {
    for (size_t i = memory.size() - guard_bytes; i < memory.size(); ++i) {
      if (memory[i] != guard_value) return false;
    }
    return true;
  }
};

JpegJob job_for(const std::vector<uint8_t> &data, uint32_t width, uint32_t height) {
  JpegJob job{};
  job.length = uint32_t(data.size());
  job.width = width;
  job.height = height;
  job.format = jpeg_format_argb8888;
  job.data = data.data();
  return job;
}

// Decodes `data` into `out` as the display code does; the result of get, or -100 / -200 when
// open / set_output_mem refused.
int decode(const std::vector<uint8_t> &data, Output &out, JpegOutput *record = nullptr) {
  JpegDecoder *decoder = jpegd_decoder_open(data.data(), int(data.size()));
  if (decoder == nullptr) return -100;
  JpegJob job = job_for(data, out.width, out.height);
  if (jpegd_decoder_set_output_mem(decoder, &job, out.memory.data(), 0x20001000, out.size()) < 0) {
    jpegd_decoder_close(decoder);
    return -200;
  }
  JpegOutput output{};
  int result = jpegd_decoder_get(decoder, &job, &output);
  if (result == 0) {
    EXPECT_EQ(jpegd_decoder_put(decoder, &output), 0);
  }
  jpegd_decoder_close(decoder);
  if (record != nullptr) *record = output;
  return result;
}

testing::AssertionResult near(uint32_t pixel, Rgb want, int tolerance = 3) {
  int got[4] = {int(pixel >> 16 & 255), int(pixel >> 8 & 255), int(pixel & 255), int(pixel >> 24)};
  if (std::abs(got[0] - want.r) > tolerance || std::abs(got[1] - want.g) > tolerance ||
      std::abs(got[2] - want.b) > tolerance || got[3] != 255) {
    return testing::AssertionFailure() << "pixel " << got[0] << "," << got[1] << "," << got[2]
                                       << " alpha " << got[3] << ", want " << want.r << ","
                                       << want.g << "," << want.b;
  }
  return testing::AssertionSuccess();
}

testing::AssertionResult all_near(const Output &out, Rgb want) {
  for (uint32_t y = 0; y < out.height; ++y) {
    for (uint32_t x = 0; x < out.width; ++x) {
      testing::AssertionResult result = near(out.pixel(x, y), want);
      if (!result) return result << " at " << x << "," << y;
    }
  }
  return testing::AssertionSuccess();
}

const int subsamplings[] = {TJSAMP_444, TJSAMP_422, TJSAMP_420, TJSAMP_GRAY, TJSAMP_440, TJSAMP_411};

}  // namespace

TEST(Jpeg, EverySubsamplingDecodesAtItsOwnSize) {
  for (int subsampling : subsamplings) {
    Rgb colour = subsampling == TJSAMP_GRAY ? Rgb{120, 120, 120} : Rgb{200, 40, 90};
    for (auto [width, height] : {std::pair{64, 48}, std::pair{61, 47}}) {
      std::vector<uint8_t> data = solid_jpeg(width, height, colour, subsampling);
      Output out{uint32_t(width), uint32_t(height)};
      JpegOutput record{};
      ASSERT_EQ(decode(data, out, &record), 0) << "subsampling " << subsampling;
      EXPECT_TRUE(all_near(out, colour)) << "subsampling " << subsampling << ", " << width;
      EXPECT_TRUE(out.guard_intact());
      EXPECT_EQ(record.words[0], 0x20001000u);
      EXPECT_EQ(record.words[1], uint32_t(width));
      EXPECT_EQ(record.words[2], uint32_t(height));
    }
  }
}

TEST(Jpeg, PicturesAreFittedExactlyToTheOutput) {
  struct Case {
    int width, height;
    uint32_t out_width, out_height;
  };
  const Case cases[] = {{640, 360, 480, 480},  {640, 360, 720, 1472}, {1280, 720, 320, 180},
                        {1280, 720, 481, 271}, {97, 61, 7, 5},        {33, 17, 1, 1},
                        {60, 40, 424, 960}};
  const Rgb quadrant[4] = {{230, 30, 30}, {30, 200, 40}, {20, 40, 220}, {240, 240, 240}};
  for (const Case &c : cases) {
    for (int subsampling : {TJSAMP_420, TJSAMP_444}) {
      std::vector<uint8_t> data = make_jpeg(c.width, c.height, subsampling, [&](int x, int y) {
        return quadrant[(x < c.width / 2 ? 0 : 1) + (y < c.height / 2 ? 0 : 2)];
      });
      Output out(c.out_width, c.out_height);
      ASSERT_EQ(decode(data, out), 0) << c.width << "x" << c.height << " -> " << c.out_width;
      EXPECT_TRUE(out.guard_intact());
      if (c.out_width < 8) continue;  // too small to keep quadrants apart
      uint32_t left = c.out_width / 4, right = c.out_width * 3 / 4;
      uint32_t top = c.out_height / 4, bottom = c.out_height * 3 / 4;
      SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " -> " << c.out_width << "x"
                                      << c.out_height << ", subsampling " << subsampling);
      EXPECT_TRUE(near(out.pixel(left, top), quadrant[0]));
      EXPECT_TRUE(near(out.pixel(right, top), quadrant[1]));
      EXPECT_TRUE(near(out.pixel(left, bottom), quadrant[2]));
      EXPECT_TRUE(near(out.pixel(right, bottom), quadrant[3]));
      EXPECT_TRUE(near(out.pixel(0, 0), quadrant[0], 6));
      EXPECT_TRUE(near(out.pixel(c.out_width - 1, c.out_height - 1), quadrant[3], 6));
    }
  }
}

TEST(Jpeg, OutputMemoryMustHoldThePicture) {
  std::vector<uint8_t> data = solid_jpeg(32, 32, {10, 20, 30});
  JpegDecoder *decoder = jpegd_decoder_open(data.data(), int(data.size()));
  ASSERT_NE(decoder, nullptr);
  Output out(32, 32);
  JpegJob job = job_for(data, 32, 32);
  JpegOutput record{};
  EXPECT_NE(jpegd_decoder_get(decoder, &job, &record), 0);  // no output memory yet

  EXPECT_LT(jpegd_decoder_set_output_mem(decoder, &job, out.memory.data(), 0, out.size() - 1), 0);
  EXPECT_LT(jpegd_decoder_set_output_mem(decoder, &job, nullptr, 0, out.size()), 0);
  EXPECT_LT(jpegd_decoder_set_output_mem(decoder, nullptr, out.memory.data(), 0, out.size()), 0);
  EXPECT_LT(jpegd_decoder_set_output_mem(nullptr, &job, out.memory.data(), 0, out.size()), 0);
  for (auto change : {+[](JpegJob &j) { j.format = 11; }, +[](JpegJob &j) { j.width = 0; },
                      +[](JpegJob &j) { j.height = 0; },
                      +[](JpegJob &j) { j.width = 0x80000000; },
                      +[](JpegJob &j) { j.width = 0x40000001; j.height = 4; }}) {
    JpegJob changed = job;
    change(changed);
    EXPECT_LT(jpegd_decoder_set_output_mem(decoder, &changed, out.memory.data(), 0, INT32_MAX), 0);
  }
  EXPECT_NE(jpegd_decoder_get(decoder, &job, &record), 0);  // every refusal left it unset

  ASSERT_EQ(jpegd_decoder_set_output_mem(decoder, &job, out.memory.data(), 0, out.size()), 0);
  JpegJob larger = job_for(data, 33, 32);  // a job larger than the memory named for it
  EXPECT_NE(jpegd_decoder_get(decoder, &larger, &record), 0);
  EXPECT_EQ(out.memory[0], guard_value);
  EXPECT_NE(jpegd_decoder_get(decoder, &job, nullptr), 0);
  EXPECT_EQ(jpegd_decoder_get(decoder, &job, &record), 0);
  EXPECT_TRUE(all_near(out, {10, 20, 30}));
  EXPECT_LT(jpegd_decoder_put(nullptr, &record), 0);
  EXPECT_EQ(jpegd_decoder_put(decoder, &record), 0);
  jpegd_decoder_close(decoder);
  jpegd_decoder_close(nullptr);
}

TEST(Jpeg, DataThatIsNoPictureIsRefused) {
  const uint8_t text[] = "not a picture at all";
  const uint8_t marker_only[] = {0xFF, 0xD8, 0xFF, 0xD9};
  EXPECT_EQ(jpegd_decoder_open(nullptr, 10), nullptr);
  EXPECT_EQ(jpegd_decoder_open(text, 0), nullptr);
  EXPECT_EQ(jpegd_decoder_open(text, -5), nullptr);
  EXPECT_EQ(jpegd_decoder_open(text, int(sizeof text)), nullptr);
  EXPECT_EQ(jpegd_decoder_open(marker_only, int(sizeof marker_only)), nullptr);

  // A picture whose data stops half-way: its header opens, its decode fails, and the buffer
  // is left as it was, whether the picture is decoded at the output's size or fitted to it.
  std::vector<uint8_t> data = make_jpeg(256, 256, TJSAMP_420, [](int x, int y) {
    return Rgb{x, y, (x * y) & 255};
  });
  for (size_t keep : {data.size() / 2, data.size() - 2}) {
    std::vector<uint8_t> cut(data.begin(), data.begin() + long(keep));
    for (uint32_t side : {256u, 300u, 100u}) {
      Output out(side, side);
      testing::internal::CaptureStderr();
      EXPECT_GT(std::abs(decode(cut, out)), 0) << keep << " bytes to " << side;
      EXPECT_NE(decode(cut, out), -100);  // the header was taken
      testing::internal::GetCapturedStderr();
      EXPECT_EQ(std::count(out.memory.begin(), out.memory.end(), guard_value),
                long(out.memory.size()))
          << keep << " bytes to " << side;
    }
  }
}

TEST(Jpeg, CmykPicturesDecodeThroughPixels) {
  // Inverted CMYK as JPEG writers store it: red = C * K / 255, and so on.
  const uint8_t cmyk[4] = {200, 100, 50, 220};
  const Rgb expected = {200 * 220 / 255, 100 * 220 / 255, 50 * 220 / 255};
  std::vector<uint8_t> pixels(48 * 32 * 4);
  for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = cmyk[i % 4];
  tjhandle handle = tjInitCompress();
  unsigned char *jpeg = nullptr;
  unsigned long size = 0;
  ASSERT_EQ(tjCompress2(handle, pixels.data(), 48, 0, 32, TJPF_CMYK, &jpeg, &size, TJSAMP_444, 95, 0), 0);
  std::vector<uint8_t> data(jpeg, jpeg + size);
  tjFree(jpeg);
  tjDestroy(handle);

  for (auto [width, height] : {std::pair{48u, 32u}, std::pair{50u, 31u}}) {
    Output out(width, height);
    ASSERT_EQ(decode(data, out), 0);
    EXPECT_TRUE(all_near(out, expected)) << width;
    EXPECT_TRUE(out.guard_intact());
  }
}

namespace {

// The frame header's size fields of a baseline JPEG set to width x height.
void claim_size(std::vector<uint8_t> &data, uint16_t width, uint16_t height) {
  for (size_t i = 2; i + 9 < data.size(); ++i) {
    if (data[i] == 0xFF && data[i + 1] == 0xC0) {  // SOF0: length, precision, height, width
      data[i + 5] = uint8_t(height >> 8);
      data[i + 6] = uint8_t(height);
      data[i + 7] = uint8_t(width >> 8);
      data[i + 8] = uint8_t(width);
      return;
    }
  }
  ADD_FAILURE() << "no frame header";
}

// A figure in kB from /proc/self/status ("VmRSS", "VmHWM"), -1 when missing.
long status_kb(const char *field) {
  FILE *file = fopen("/proc/self/status", "r");
  if (file == nullptr) return -1;
  char line[256];
  long value = -1;
  size_t length = strlen(field);
  while (fgets(line, sizeof line, file) != nullptr) {
    if (strncmp(line, field, length) == 0 && line[length] == ':') value = atol(line + length + 1);
  }
  fclose(file);
  return value;
}

}  // namespace

TEST(Jpeg, AHeaderClaimingAHugePictureIsRefusedBeforeAnyAllocation) {
  std::vector<uint8_t> data = solid_jpeg(64, 64, {10, 20, 30});
  std::vector<uint8_t> beyond_libjpeg = data;
  claim_size(beyond_libjpeg, 65535, 65535);  // past the format's own limit: refused at open
  claim_size(data, 65500, 65500);
  // The outputs first, so that only what the decoder takes counts.
  Output square(480, 480), tall(720, 1472);
  // Peak resident memory from here on: the kernel resets its high-water mark to the present.
  FILE *clear = fopen("/proc/self/clear_refs", "w");
  bool reset = clear != nullptr && fputs("5", clear) >= 0;
  if (clear != nullptr) reset = fclose(clear) == 0 && reset;
  if (!reset) GTEST_SKIP() << "the peak resident memory cannot be reset here";
  long before_kb = status_kb("VmRSS");

  for (Output *output : {&square, &tall}) {
    Output &out = *output;
    testing::internal::CaptureStderr();
    EXPECT_EQ(decode(beyond_libjpeg, out), -100);
    EXPECT_EQ(decode(data, out), -1);
    std::string message = testing::internal::GetCapturedStderr();
    EXPECT_NE(message.find("65500x65500"), std::string::npos) << message;
    EXPECT_NE(message.find("refused"), std::string::npos) << message;
    EXPECT_NE(message.find("1600x720 panel"), std::string::npos) << message;
    EXPECT_EQ(out.memory[0], guard_value);
  }
  long peak_kb = status_kb("VmHWM");
  ASSERT_GT(before_kb, 0);
  // Decoding the claimed picture at an eighth would take far more than 100 MiB.
  EXPECT_LT(peak_kb - before_kb, 4 * 1024) << "peak " << peak_kb << " kB, before " << before_kb;
  RecordProperty("peak_growth_kb", int(peak_kb - before_kb));
}
