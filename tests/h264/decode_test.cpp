// The decoder thread with the simulated decoder and panel: test streams from tests/media are
// pushed into the ring, decoded and shown on layer 0.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <mutex>
#include <thread>

#include "disp/disp.h"
#include "h264/h264.h"
#include "h264/local_player.h"
#include "screen/player.h"
#include "screen/screen.h"
#include "platform/panel_view.h"
#include "tests/h264/video_sandbox.h"
#include "tests/support/target.h"

using namespace std::chrono_literals;

namespace {

Bytes read_stream(const std::string &name) {
  std::ifstream in(std::string(DH_SOURCE_DIR) + "/tests/media/" + name, std::ios::binary);
  Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_FALSE(bytes.empty()) << name;
  return bytes;
}

// Opens the display and starts the decoder thread, once per process (it never ends).
void start_video() {
  static std::once_flag once;
  std::call_once(once, [] {
    ASSERT_EQ(init_disp(), 0);
    std::thread(play_h264_thread, nullptr).detach();
  });
}

// Pushes a stream cut at `cut` bytes and at every slot's length after that, as a host may.
void push_stream(const Bytes &stream, size_t cut) {
  for (size_t at = 0; at < stream.size();) {
    const size_t length = std::min(stream.size() - at, at == 0 ? cut : size_t(h264_block_max_length));
    push_h264_block(stream.data() + at, int(length));
    at += length;
  }
}

LayerUserConfig shown() {
  std::lock_guard<std::recursive_mutex> hold(layer_lock);
  return layer_cfg;
}

uint32_t centre_of_panel() {
  PanelPicture picture;
  std::string error;
  if (!compose_panel(test_root(), picture, error) || picture.width == 0) return 0;
  return picture.at(picture.width / 2, picture.height / 2);
}

class H264Decode : public testing::Test {
 protected:
  void SetUp() override { start_video(); }
  // The decoder thread outlives the test: leave it waiting with nothing open, so that it
  // touches none of the simulated devices while the process exits.
  void TearDown() override {
    local_h264_switch_mark = 0;
    stop_h264();
    EXPECT_TRUE(wait_until([] { return h264_decoder_open == 0; }, 20000ms));
  }
};

TEST_F(H264Decode, PicturesAreShownAsNv12FramesAndAStopReleasesForTheNextStream) {
  SKIP_WITHOUT_H264_PICTURES();
  {
    std::lock_guard<std::recursive_mutex> hold(layer_lock);
    layer_cfg = LayerUserConfig{};
  }
  push_stream(read_stream("colours_480x480.h264"), 1500);
  ASSERT_TRUE(wait_until([] { return shown().format == layer_format_nv12; }, 20000ms));
  LayerUserConfig frame = shown();
  EXPECT_EQ(frame.width, 480u);
  EXPECT_EQ(frame.yres, 480u);
  EXPECT_EQ(frame.x, uint32_t(dev_x));
  EXPECT_EQ(frame.y, uint32_t(dev_y));
  EXPECT_EQ(frame.field6, 2u);
  EXPECT_EQ(frame.field7, 1u);
  EXPECT_NE(frame.y_addr, 0u);
  EXPECT_NE(frame.uv_addr, 0u);
  EXPECT_GE(frame.y_stride, 480u);
  EXPECT_EQ(frame.uv_stride, frame.y_stride);
  EXPECT_EQ(frame.field14, 0x0000FF00u);
  // The stream ends on white pictures: the panel shows one.
  EXPECT_TRUE(wait_until([] { return (centre_of_panel() & 0xFFFFFF) > 0xE0E0E0; }, 20000ms))
      << std::hex << centre_of_panel();
  EXPECT_TRUE(wait_until([] { return h264_block_cnt == 0; }, 20000ms));

  stop_h264();
  push_stream(read_stream("colours_64x64.h264"), 100);
  EXPECT_TRUE(wait_until([] { return shown().width == 64; }, 20000ms)) << shown().width;
  EXPECT_EQ(shown().yres, 64u);
}

// Whether the decoder breaks off for the switch after a picture, or the player makes it first,
// no block of the old file meets the decoder opened for the new one: every picture after the
// first of the new file is the new file's.
TEST_F(H264Decode, PendingSwitchBreaksOffThePlayerAndNothingOfTheOldFileFollows) {
  SKIP_WITHOUT_H264_PICTURES();
  write_device_file("/media/test/a.h264", read_stream("colours_480x480.h264"));
  write_device_file(h264_bg_filses[2], read_stream("colours_64x64.h264"));
  testing::internal::CaptureStdout();
  ASSERT_EQ(play_local_h264_async("/media/test/a.h264"), 0);
  ASSERT_TRUE(wait_until([] { return shown().width == 480; }, 20000ms));
  set_switch_h264_path(h264_bg_filses[2]);
  switch_local_h264();
  ASSERT_TRUE(wait_until([] { return shown().width == 64; }, 20000ms));
  bool old_after_new = false;
  // Watched for a while: a busy machine can only hide a fault here, never make one.
  const auto end = std::chrono::steady_clock::now() + 1500ms;
  while (std::chrono::steady_clock::now() < end) {
    if (shown().width == 480) old_after_new = true;
    std::this_thread::sleep_for(1ms);
  }
  reset_video_state();
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_FALSE(old_after_new);
  EXPECT_NE(out.find("switch h264 file \n"), std::string::npos) << out;
  EXPECT_NE(out.find("free h264 resource end\r\n"), std::string::npos) << out;
  EXPECT_EQ(local_h264_switch_mark, 0);
}

// A switch left pending with no player to take it never breaks off a host stream.
TEST_F(H264Decode, HostStreamIsNeverBrokenOffForASwitch) {
  SKIP_WITHOUT_H264_PICTURES();
  stop_h264();
  local_h264_switch_mark = 1;
  testing::internal::CaptureStdout();
  const uint32_t shown_before = h264_pictures_shown;
  push_stream(read_stream("colours_480x480.h264"), 1500);
  // The decoder looks at the switch after every picture: a break-off would come after the
  // first, and the stream's second picture would never be shown.
  EXPECT_TRUE(wait_until([&] { return h264_block_cnt == 0 && h264_pictures_shown - shown_before >= 2; },
                         20000ms));
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.find("break h264"), std::string::npos) << out;
  EXPECT_EQ(out.find("free h264 resource"), std::string::npos) << out;
  EXPECT_EQ(h264_start_mark, 1);
  local_h264_switch_mark = 0;
}

// A slice that fits the splitter but not the room left behind the kept parameter sets is
// dropped with them; the complete units after it are still decoded, with no block to follow.
TEST_F(H264Decode, UnitsAfterASliceTooBigForTheRoomLeftAreDecoded) {
  SKIP_WITHOUT_H264_PICTURES();
  stop_h264();
  {
    std::lock_guard<std::recursive_mutex> hold(layer_lock);
    layer_cfg = LayerUserConfig{};
  }
  // Together more than the assembly buffer, each alone well within it.
  const size_t unit_body = std::max<size_t>(size_t(dev_width) * size_t(dev_height), 131072) / 2 + 4096;
  Bytes stream;
  for (uint8_t header : {uint8_t(0x67), uint8_t(0x65)}) {  // a parameter set, then a slice
    stream.insert(stream.end(), {0, 0, 0, 1, header});
    stream.insert(stream.end(), unit_body, 0xFF);
  }
  const Bytes small = read_stream("colours_64x64.h264");
  stream.insert(stream.end(), small.begin(), small.end());
  stream.insert(stream.end(), {0, 0, 0, 1, 0x09, 0xF0});  // ends the last unit
  testing::internal::CaptureStderr();
  push_stream(stream, unit_body + 4096);  // the slice arrives in the second block
  EXPECT_TRUE(wait_until([] { return shown().width == 64; }, 20000ms)) << shown().width;
  testing::internal::GetCapturedStderr();
}

}  // namespace
