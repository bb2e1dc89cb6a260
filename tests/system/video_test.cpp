// Video through the real daemon: the stored theme's background, the host's own stream, local
// playback and its state, checked on the simulated panel.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "crypto/host_packet.h"
#include "platform/panel_view.h"
#include "tests/support/target.h"
#include "tests/support/waiting.h"
#include "tests/system/daemon_harness.h"
#include "tests/system/media.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const std::string media_dir = std::string(DH_SOURCE_DIR) + "/media";
const std::string test_media_dir = std::string(DH_SOURCE_DIR) + "/tests/media";

// A root with the 13 background videos and a stored theme.
std::string root_with_backgrounds(uint8_t theme) {
  std::string root = make_temp_root();
  fs::create_directories(root + "/media");
  fs::copy(media_dir + "/bg_h264", root + "/media/bg_h264");
  fs::create_directories(root + "/usr/data");
  std::string cfg(16, '\0');
  cfg[0] = char(theme);
  std::ofstream(root + "/usr/data/lvgl_app.cfg", std::ios::binary) << cfg;
  return root;
}

PanelPicture screen(const std::string &root) {
  PanelPicture picture;
  std::string error;
  compose_panel(root, picture, error);
  return picture;
}

std::vector<uint8_t> file_bytes(const std::string &path) {
  std::string text = read_file(path);
  return std::vector<uint8_t>(text.begin(), text.end());
}

uint8_t reply_byte(DaemonUnderTest &daemon, uint8_t code) {
  ReplyBytes reply{};
  EXPECT_EQ(daemon.transact(code, {}, reply), ReplyCheck::ok);
  return reply[8];
}

// Pushes a stream in slot-sized blocks, as a host does; returns the counts replied.
std::vector<int> push_stream(DaemonUnderTest &daemon, const std::vector<uint8_t> &stream) {
  std::vector<int> counts;
  for (size_t done = 0; done < stream.size();) {
    size_t length = std::min<size_t>(202752, stream.size() - done);
    uint8_t payload[4];
    write_be32(payload, uint32_t(length));
    ReplyBytes reply{};
    EXPECT_EQ(daemon.transact(CMD_PUSH_H264_BLOCK, payload, reply, std::span(stream).subspan(done, length)),
              ReplyCheck::ok);
    counts.push_back(reply[8]);
    done += length;
  }
  return counts;
}

}  // namespace

TEST(Video, TheStoredThemesBackgroundPlaysAfterStart) {
  SKIP_WITHOUT_H264_PICTURES();
  std::string root = root_with_backgrounds(3);
  {
    DaemonUnderTest daemon(HostPort::pty, root);
    EXPECT_TRUE(daemon.wait_for("play_local_h264 name: /media/bg_h264/3_Colorgradient.h264 "));
    EXPECT_TRUE(daemon.wait_for("found 264 file 1"));
    ASSERT_TRUE(wait_for_pans(root, 3, 20000ms)) << daemon.output();
    PanelPicture first = screen(root);
    ASSERT_FALSE(first.pixels.empty());
    PanelPicture second;
    // It moves: a later picture differs.
    EXPECT_TRUE(wait_until([&] { return (second = screen(root)).pixels != first.pixels; }, 20000ms));
    ASSERT_FALSE(second.pixels.empty());
    // Theme 3 is orange; the pixel at (330, 400) stays clear of the boxes and the grid.
    EXPECT_TRUE(near_colour(second.at(330, 400), 0xF4A261, 24)) << std::hex << second.at(330, 400);
    EXPECT_EQ(reply_byte(daemon, CMD_GET_LOCAL_H264_STATE), 1);
  }
  fs::remove_all(root);
}

TEST(Video, HostStreamStopsTheBackgroundShowsItsPicturesAndEndsOnStop) {
  SKIP_WITHOUT_H264_PICTURES();
  std::string root = root_with_backgrounds(0);
  {
    DaemonUnderTest daemon(HostPort::pty, root);
    ASSERT_TRUE(daemon.wait_for("found 264 file 1"));
    ASSERT_EQ(reply_byte(daemon, CMD_GET_LOCAL_H264_STATE), 1);

    // Black, red, green, blue, white, three pictures each at 24 frames a second.
    std::vector<int> counts = push_stream(daemon, file_bytes(test_media_dir + "/colours_480x480.h264"));
    EXPECT_TRUE(daemon.wait_for("stop_local_h264 "));
    for (int count : counts) EXPECT_LE(count, 5);
    EXPECT_TRUE(screen_shows(root, 0xFFFFFF, 20000ms)) << daemon.output();
    EXPECT_EQ(reply_byte(daemon, CMD_GET_LOCAL_H264_STATE), 0);
    EXPECT_EQ(reply_byte(daemon, CMD_GET_H264_BLOCK_COUNT), 0);

    int releases = daemon.count("free h264 resource end");
    ReplyBytes reply{};
    ASSERT_EQ(daemon.transact(CMD_STOP_H264, {}, reply), ReplyCheck::ok);
    EXPECT_TRUE(daemon.wait_for("h264 stop "));
    EXPECT_TRUE(daemon.wait_for("free h264 resource end", releases + 1, 20000)) << daemon.output();
    // The last picture stays on the screen once the decoder has given its buffers back.
    EXPECT_TRUE(screen_shows(root, 0xFFFFFF, 0ms)) << std::hex << screen(root).at(240, 240);

    // A block longer than a slot is dropped; the reply carries the count as it stands.
    std::vector<uint8_t> too_long(202753, 0);
    uint8_t payload[4];
    write_be32(payload, uint32_t(too_long.size()));
    ASSERT_EQ(daemon.transact(CMD_PUSH_H264_BLOCK, payload, reply, too_long), ReplyCheck::ok);
    EXPECT_EQ(reply[8], 0);
    EXPECT_TRUE(daemon.wait_for("h264 block too long"));
  }
  fs::remove_all(root);
}

TEST(Video, LocalPlaybackStartsStopsAndReportsItsState) {
  SKIP_WITHOUT_H264_PICTURES();
  std::string root = root_with_backgrounds(0);
  {
    DaemonUnderTest daemon(HostPort::pty, root);
    ASSERT_TRUE(daemon.wait_for("found 264 file 1"));
    ReplyBytes reply{};
    std::string theme_7 = name_payload("/media/bg_h264/7_Jiguang.h264");
    std::span<const uint8_t> play_7(reinterpret_cast<const uint8_t *>(theme_7.data()), theme_7.size());

    // Refused while the background plays: it keeps playing, five frames on.
    ASSERT_EQ(daemon.transact(CMD_PLAY_LOCAL_H264, play_7, reply), ReplyCheck::ok);
    ASSERT_TRUE(wait_for_pans(root, 5, 20000ms)) << daemon.output();
    EXPECT_TRUE(near_colour(screen(root).at(330, 400), 0x1F4E9C, 24)) << std::hex << screen(root).at(330, 400);
    EXPECT_EQ(daemon.count("7_Jiguang.h264"), 0) << daemon.output();

    ASSERT_EQ(daemon.transact(CMD_STOP_LOCAL_H264, {}, reply), ReplyCheck::ok);
    wait_until([&] { return reply_byte(daemon, CMD_GET_LOCAL_H264_STATE) == 0; }, 20000ms);
    EXPECT_EQ(reply_byte(daemon, CMD_GET_LOCAL_H264_STATE), 0);

    ASSERT_EQ(daemon.transact(CMD_PLAY_LOCAL_H264, play_7, reply), ReplyCheck::ok);
    EXPECT_TRUE(daemon.wait_for("play_local_h264 name: /media/bg_h264/7_Jiguang.h264 "));
    wait_until([&] { return near_colour(screen(root).at(330, 400), 0xFF006E, 24); }, 20000ms);
    EXPECT_TRUE(near_colour(screen(root).at(330, 400), 0xFF006E, 24)) << std::hex << screen(root).at(330, 400);
    EXPECT_EQ(reply_byte(daemon, CMD_GET_LOCAL_H264_STATE), 1);

    // A path that does not fit the player's buffer starts nothing.
    std::string long_path = name_payload("/media/" + std::string(130, 'x') + ".h264");
    ASSERT_EQ(daemon.transact(CMD_PLAY_LOCAL_H264,
                              std::span(reinterpret_cast<const uint8_t *>(long_path.data()), long_path.size()), reply),
              ReplyCheck::ok);
    EXPECT_EQ(reply_byte(daemon, CMD_GET_LOCAL_H264_STATE), 1);
  }
  fs::remove_all(root);
}

namespace {

struct PanelCase {
  int width, height;                     // fb0's virtual_size
  int area_x, area_y, area_w, area_h;    // the picture area on it
  const char *stream;
};

void PrintTo(const PanelCase &c, std::ostream *out) { *out << c.width << "x" << c.height; }

class VideoOnPanels : public testing::TestWithParam<PanelCase> {};

}  // namespace

// A host stream of three slices a picture on each panel: every slice is taken without an error
// line, and the picture lands in the panel's picture area the right way up (red top left,
// green top right, blue bottom left, white bottom right).
TEST_P(VideoOnPanels, AThreeSliceStreamFillsThePictureArea) {
  SKIP_WITHOUT_H264_PICTURES();
  const PanelCase &c = GetParam();
  std::string root = make_temp_root();
  fs::create_directories(root + "/sys/class/graphics/fb0");
  std::ofstream(root + "/sys/class/graphics/fb0/virtual_size") << c.width << "," << c.height;
  {
    DaemonUnderTest daemon(HostPort::pty, root);
    push_stream(daemon, file_bytes(test_media_dir + "/" + c.stream));
    const int left = c.area_x + c.area_w / 4, right = c.area_x + c.area_w * 3 / 4;
    const int top = c.area_y + c.area_h / 4, bottom = c.area_y + c.area_h * 3 / 4;
    const struct {
      int x, y;
      uint32_t rgb;
    } quadrants[] = {{left, top, 0xFF0000}, {right, top, 0x00FF00}, {left, bottom, 0x0000FF},
                     {right, bottom, 0xFFFFFF}};
    PanelPicture picture;
    std::string error;
    auto all_there = [&] {
      if (!compose_panel_seen(root, picture, error)) return false;
      for (const auto &q : quadrants) {
        if (!near_colour(picture.at(q.x, q.y) & 0xFFFFFF, q.rgb, 40)) return false;
      }
      return true;
    };
    wait_until(all_there, 20000ms);
    ASSERT_EQ(picture.width, c.width);
    ASSERT_EQ(picture.height, c.height);
    for (const auto &q : quadrants) {
      EXPECT_TRUE(near_colour(picture.at(q.x, q.y) & 0xFFFFFF, q.rgb, 40))
          << q.x << "," << q.y << ": " << std::hex << picture.at(q.x, q.y);
    }
    if (c.area_x > 0) {
      EXPECT_EQ(picture.at(c.area_x / 2, top), 0xFF000000u) << "left of the window";
    }
    if (c.area_y > 0) {
      EXPECT_EQ(picture.at(left, c.area_y / 2), 0xFF000000u) << "above the area";
    }
    ReplyBytes reply{};
    ASSERT_EQ(daemon.transact(CMD_STOP_H264, {}, reply), ReplyCheck::ok);
    EXPECT_TRUE(daemon.wait_for("free h264 resource end", 1, 20000)) << daemon.output();
    EXPECT_EQ(daemon.output().find("decoder direct work failed"), std::string::npos)
        << daemon.output();
  }
  fs::remove_all(root);
}

INSTANTIATE_TEST_SUITE_P(
    Panels, VideoOnPanels,
    testing::Values(PanelCase{480, 480, 0, 0, 480, 480, "quadrants_480x480.h264"},
                    PanelCase{720, 1600, 0, 64, 720, 1472, "quadrants_720x1472.h264"},
                    PanelCase{1600, 720, 0, 0, 1600, 720, "quadrants_1600x720.h264"},
                    PanelCase{424, 960, 56, 0, 368, 960, "quadrants_368x960.h264"}),
    [](const testing::TestParamInfo<PanelCase> &info) {
      return std::to_string(info.param.width) + "x" + std::to_string(info.param.height);
    });
