// The H.264 decoder stand-in, driven as the daemon drives it: units from the splitter, the
// parameter sets handed over with the next slice, one picture a call into NV12 buffers with
// guard bytes behind them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <random>

#include "platform/v4l2_h264.h"
#include "tests/platform/video_media.h"

namespace {

constexpr size_t guard_size = 256;
constexpr uint8_t untouched = 0xAA;

struct Colour {
  int y, u, v;
};
// The colours of the test streams, three pictures each (see scripts/make-test-streams).
const Colour colours[] = {
    {16, 128, 128}, {81, 90, 240}, {145, 54, 34}, {41, 240, 110}, {235, 128, 128}};

struct Picture {
  H264FrameInfo info;
  Bytes y;
  Bytes uv;
};

// A decoder with its output buffers, each followed by guard bytes.
class Decoder {
 public:
  Decoder(uint32_t width, uint32_t height) {
    params_ = {"/dev/video2", width, height, fourcc_nv12, 0, 0};
    handle_ = v4l2_h264_decoder_direct_open(&params_);
    EXPECT_NE(handle_, nullptr);
    size_t luma = size_t(params_.buffer_width) * params_.buffer_height;
    y_.assign(luma + guard_size, untouched);
    uv_.assign(luma / 2 + guard_size, untouched);
  }
  ~Decoder() { v4l2_h264_decoder_close(handle_); }

  H264Decoder *handle() const { return handle_; }
  const H264OpenParams &params() const { return params_; }

  int work(const uint8_t *units, size_t length) {
    errno = 0;
    int result = v4l2_h264_decoder_direct_work(handle_, units, int(length), y_.data(), uv_.data());
    EXPECT_TRUE(result == 0 || errno != 0);
    return result;
  }

  bool guards_intact() const {
    auto intact = [](const Bytes &buffer) {
      return std::all_of(buffer.end() - guard_size, buffer.end(),
                         [](uint8_t b) { return b == untouched; });
    };
    return intact(y_) && intact(uv_);
  }

  // Every picture of `stream`, fed in blocks through the splitter the way the daemon does.
  std::vector<Picture> decode(const Bytes &stream, int *failures = nullptr) {
    std::vector<Picture> pictures;
    Bytes kept;
    for (const Unit &unit : split_units(stream, 4096)) {
      // Parameter sets wait for the next slice; other units (SEI...) are dropped.
      if (unit.type != 1 && unit.type != 5 && unit.type != 7 && unit.type != 8) continue;
      kept.insert(kept.end(), unit.bytes.begin(), unit.bytes.end());
      if (unit.type == 7 || unit.type == 8) continue;
      int result = work(kept.data(), kept.size());
      kept.clear();
      if (result != 0 && failures != nullptr) ++*failures;
      H264FrameInfo info{};
      if (result == 0 && v4l2_h264_decoder_get_frame_info(handle_, &info) == 0) {
        pictures.push_back({info, Bytes(y_.begin(), y_.end() - guard_size),
                            Bytes(uv_.begin(), uv_.end() - guard_size)});
      }
    }
    return pictures;
  }

 private:
  H264OpenParams params_{};
  H264Decoder *handle_ = nullptr;
  Bytes y_;
  Bytes uv_;
};

// Luma and chroma at picture point (x, y) of a picture in buffers of line length `line`.
void expect_colour(const Picture &picture, uint32_t x, uint32_t y, const Colour &want,
                   const char *where) {
  uint32_t line = picture.info.width;
  int luma = picture.y[size_t(y) * line + x];
  int u = picture.uv[size_t(y / 2) * line + x / 2 * 2];
  int v = picture.uv[size_t(y / 2) * line + x / 2 * 2 + 1];
  EXPECT_NEAR(luma, want.y, 8) << where << " at " << x << "," << y;
  EXPECT_NEAR(u, want.u, 8) << where << " at " << x << "," << y;
  EXPECT_NEAR(v, want.v, 8) << where << " at " << x << "," << y;
}

void expect_colour_sequence(const std::vector<Picture> &pictures, uint32_t x, uint32_t y) {
  ASSERT_EQ(pictures.size(), 15u);
  for (size_t i = 0; i < pictures.size(); ++i) {
    expect_colour(pictures[i], x, y, colours[i / 3], ("picture " + std::to_string(i)).c_str());
  }
}

}  // namespace

TEST(H264Decoder, ASmallerPictureIsWrittenAtItsOwnSize) {
  Decoder decoder(480, 480);
  EXPECT_EQ(decoder.params().buffer_width, 480u);
  EXPECT_EQ(decoder.params().buffer_height, 480u);
  std::vector<Picture> pictures = decoder.decode(read_test_stream("colours_64x64.h264"));
  expect_colour_sequence(pictures, 32, 32);
  expect_colour_sequence(pictures, 63, 63);
  for (const Picture &picture : pictures) {
    EXPECT_EQ(picture.info.width, 480u);  // the line length
    EXPECT_EQ(picture.info.height, 64u);
    EXPECT_EQ(picture.info.crop_right, 480u - 64u);
    EXPECT_EQ(picture.info.crop_bottom, 0u);
    // Nothing right of or below the picture is written.
    EXPECT_EQ(picture.y[10 * 480 + 64], untouched);
    EXPECT_EQ(picture.y[64 * 480], untouched);
    EXPECT_EQ(picture.uv[10 * 480 + 64], untouched);
    EXPECT_EQ(picture.uv[32 * 480], untouched);
  }
  EXPECT_TRUE(decoder.guards_intact());
}

TEST(H264Decoder, APictureOfTheBufferSizeFillsThemExactly) {
  Decoder decoder(480, 480);
  std::vector<Picture> pictures = decoder.decode(read_test_stream("colours_480x480.h264"));
  expect_colour_sequence(pictures, 0, 0);
  expect_colour_sequence(pictures, 479, 479);
  for (const Picture &picture : pictures) {
    EXPECT_EQ(picture.info.width, 480u);
    EXPECT_EQ(picture.info.height, 480u);
    EXPECT_EQ(picture.info.crop_right, 0u);
  }
  EXPECT_TRUE(decoder.guards_intact());
}

TEST(H264Decoder, APictureCutIntoSlicesComesOutOnceAndWhole) {
  Decoder decoder(480, 480);
  int failures = 0;
  std::vector<Picture> pictures =
      decoder.decode(read_test_stream("slices_480x480.h264"), &failures);
  // Four slices a picture: each is taken, and the picture is there once its last slice is.
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(pictures.size(), 15u);
  expect_colour_sequence(pictures, 10, 10);
  expect_colour_sequence(pictures, 470, 470);
  EXPECT_TRUE(decoder.guards_intact());
}

TEST(H264Decoder, ALargerPictureIsScaledDownToFitKeepingItsAspect) {
  const Bytes stream = read_test_stream("halves_720x1472.h264");
  const Colour white = colours[4], black = colours[0];
  struct Case {
    uint32_t width, height;                  // asked for
    uint32_t picture_width, picture_height;  // the picture in the buffers
  };
  // 720 x 1472 into 480 x 480: 480 lines, 234.8 columns; the exact half; an odd area (rounded
  // down to even buffers); and a wide, low area.
  for (const Case &c : {Case{480, 480, 234, 480}, Case{360, 736, 360, 736},
                        Case{361, 737, 360, 736}, Case{480, 100, 48, 100}}) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
    Decoder decoder(c.width, c.height);
    uint32_t line = decoder.params().buffer_width;
    std::vector<Picture> pictures = decoder.decode(stream);
    ASSERT_EQ(pictures.size(), 3u);
    for (const Picture &picture : pictures) {
      EXPECT_EQ(picture.info.width, line);
      EXPECT_EQ(picture.info.height, c.picture_height);
      EXPECT_EQ(picture.info.width - picture.info.crop_right, c.picture_width);
      expect_colour(picture, c.picture_width / 2, c.picture_height / 4, white, "top");
      expect_colour(picture, c.picture_width / 2, c.picture_height * 3 / 4, black, "bottom");
      if (c.picture_width < line) {
        EXPECT_EQ(picture.y[c.picture_width + 2], untouched);
      }
    }
    EXPECT_TRUE(decoder.guards_intact());
  }
}

TEST(H264Decoder, FrameInfoIsGivenOncePerPicture) {
  Decoder decoder(64, 64);
  H264FrameInfo info{};
  EXPECT_NE(v4l2_h264_decoder_get_frame_info(decoder.handle(), &info), 0);
  std::vector<Unit> units = split_units(read_test_stream("colours_64x64.h264"), 1 << 20);
  Bytes first;  // SPS, PPS, IDR slice (the SEI left out)
  for (size_t i : {0, 1, 3})
    first.insert(first.end(), units[i].bytes.begin(), units[i].bytes.end());
  ASSERT_EQ(decoder.work(first.data(), first.size()), 0);
  EXPECT_EQ(v4l2_h264_decoder_get_frame_info(decoder.handle(), &info), 0);
  EXPECT_EQ(info.width, 64u);
  EXPECT_EQ(info.height, 64u);
  EXPECT_NE(v4l2_h264_decoder_get_frame_info(decoder.handle(), &info), 0);
  // A unit that makes no picture leaves nothing to report either.
  ASSERT_NE(decoder.work(units[0].bytes.data(), units[0].bytes.size()), 0);
  EXPECT_EQ(errno, EAGAIN);
  EXPECT_NE(v4l2_h264_decoder_get_frame_info(decoder.handle(), &info), 0);
}

TEST(H264Decoder, BrokenInputFailsWithoutHarmAndTheNextStreamDecodes) {
  Decoder decoder(480, 480);
  std::mt19937 random(99);
  // Units of random bytes behind a start code, many of them claiming to be parameter sets
  // and slices.
  for (int round = 0; round < 300; ++round) {
    Bytes unit = {0, 0, 0, 1};
    size_t length = std::uniform_int_distribution<size_t>(1, 3000)(random);
    for (size_t i = 0; i < length; ++i) unit.push_back(uint8_t(random()));
    static const uint8_t headers[] = {0x67, 0x68, 0x65, 0x41, 0x06};
    unit[4] = headers[random() % 5];
    decoder.work(unit.data(), unit.size());
  }
  // The real streams with bytes damaged after their headers.
  for (const char *name : {"colours_64x64.h264", "colours_480x480.h264", "halves_720x1472.h264"}) {
    for (int round = 0; round < 20; ++round) {
      Bytes stream = read_test_stream(name);
      for (int i = 0; i < 12; ++i)
        stream[std::uniform_int_distribution<size_t>(8, stream.size() - 1)(random)] =
            uint8_t(random());
      decoder.decode(stream);
    }
  }
  EXPECT_TRUE(decoder.guards_intact());
  ASSERT_EQ(v4l2_h264_decoder_work_release(decoder.handle()), 0);
  std::vector<Picture> pictures = decoder.decode(read_test_stream("colours_480x480.h264"));
  expect_colour_sequence(pictures, 240, 240);
  EXPECT_TRUE(decoder.guards_intact());
}

TEST(H264Decoder, BadHandlesAndArgumentsAreRefused) {
  uint8_t byte[16] = {};
  H264FrameInfo info{};
  errno = 0;
  EXPECT_NE(v4l2_h264_decoder_direct_work(nullptr, byte, 16, byte, byte), 0);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_NE(v4l2_h264_decoder_get_frame_info(nullptr, &info), 0);
  EXPECT_NE(v4l2_h264_decoder_work_release(nullptr), 0);
  v4l2_h264_decoder_close(nullptr);
  EXPECT_EQ(v4l2_h264_decoder_direct_open(nullptr), nullptr);
  H264OpenParams params = {"/dev/video2", 0, 480, fourcc_nv12, 0, 0};
  EXPECT_EQ(v4l2_h264_decoder_direct_open(&params), nullptr);
}
