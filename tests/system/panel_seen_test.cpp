// What a person sees on the panel, through the real daemon and dhshot: pictures turned by the
// rotator at each rotation code, on a square and on the 424x960 panel whose window stays put
// on the glass; a full-panel overlay with only fb0's size given; the backlight darkening the
// picture as seen; and the PNG file's text.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <png.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <turbojpeg.h>

#include "crypto/host_packet.h"
#include "platform/panel_view.h"
#include "tests/support/png_file.h"
#include "tests/support/target.h"
#include "tests/system/daemon_harness.h"
#include "tests/system/media.h"

namespace fs = std::filesystem;

namespace {

constexpr uint32_t red = 0xFF0000, blue = 0x0000FF, black = 0x000000;

// A root whose panel is width x height, given by fb0's size alone, with the display driver's
// rotator and backlight attributes.
std::string root_for_panel(int width, int height) {
  std::string root = make_temp_root();
  fs::create_directories(root + "/sys/class/graphics/fb0");
  std::ofstream(root + "/sys/class/graphics/fb0/virtual_size") << width << "," << height << "\n";
  fs::create_directories(root + "/sys/bus/platform/drivers/ingenic-fb/ingenic-fb.0");
  std::ofstream(root + "/sys/bus/platform/drivers/ingenic-fb/ingenic-fb.0/rotator_angle") << "0";
  fs::create_directories(root + "/sys/class/backlight/backlight_pwm0");
  std::ofstream(root + "/sys/class/backlight/backlight_pwm0/brightness") << "100";
  return root;
}

// A JPEG whose left half is `left` and right half `right` (0xRRGGBB).
std::vector<uint8_t> split_jpeg(int width, int height, uint32_t left, uint32_t right) {
  std::vector<uint8_t> pixels(size_t(width) * size_t(height) * 3);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      uint32_t rgb = x < width / 2 ? left : right;
      uint8_t *p = &pixels[(size_t(y) * size_t(width) + size_t(x)) * 3];
      p[0] = uint8_t(rgb >> 16);
      p[1] = uint8_t(rgb >> 8);
      p[2] = uint8_t(rgb);
    }
  }
  tjhandle handle = tjInitCompress();
  unsigned char *jpeg = nullptr;
  unsigned long size = 0;
  EXPECT_EQ(tjCompress2(handle, pixels.data(), width, 0, height, TJPF_RGB, &jpeg, &size,
                        TJSAMP_444, 95, 0),
            0);
  std::vector<uint8_t> data(jpeg, jpeg + size);
  tjFree(jpeg);
  tjDestroy(handle);
  return data;
}

ReplyCheck send_picture(DaemonUnderTest &daemon, uint8_t code, const std::vector<uint8_t> &data) {
  uint8_t payload[4];
  write_be32(payload, uint32_t(data.size()));
  ReplyBytes reply{};
  return daemon.transact(code, payload, reply, std::span<const uint8_t>(data));
}

ReplyCheck send_byte(DaemonUnderTest &daemon, uint8_t code, uint8_t value) {
  const uint8_t payload[] = {value};
  ReplyBytes reply{};
  return daemon.transact(code, payload, reply);
}

PanelPicture seen(const std::string &root) {
  PanelPicture picture;
  std::string error;
  EXPECT_TRUE(compose_panel_seen(root, picture, error)) << error;
  return picture;
}


// dhshot with `options` into ROOT/shot.png, read back; false when it fails.
bool dhshot(const std::string &root, const std::string &options, PngFile &png) {
  std::string path = root + "/shot.png";
  std::string command = "DISPLAYHEAD_ROOT='" + root + "' " +
                        program_command(build_dir() + "/dhshot") + " " + options + " '" + path +
                        "' >/dev/null";
  int status = std::system(command.c_str());
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 && read_png(path, png);
}

struct Expected {
  int x, y;
  uint32_t rgb;
};

testing::AssertionResult shows(const PanelPicture &picture, const std::vector<Expected> &points) {
  for (const Expected &point : points) {
    uint32_t pixel = picture.at(point.x, point.y) & 0xFFFFFF;
    if (!near_colour(pixel, point.rgb, 24)) {
      return testing::AssertionFailure() << std::hex << "at " << std::dec << point.x << ","
                                         << point.y << std::hex << ": " << pixel << ", want "
                                         << point.rgb;
    }
  }
  return testing::AssertionSuccess();
}

}  // namespace

// The rotator turns the composed frame clockwise: a picture red at the left, blue at the right
// is, on the glass, red at the top at 90 degrees, at the right at 180, at the bottom at 270.
TEST(PanelSeen, ASplitJpegAtEachRotationOnASquarePanel) {
  std::string root = root_for_panel(480, 480);
  {
    DaemonUnderTest daemon(HostPort::pty, root);
    const std::vector<Expected> by_code[4] = {
        {{120, 240, red}, {360, 240, blue}},
        {{240, 120, red}, {240, 360, blue}},
        {{360, 240, red}, {120, 240, blue}},
        {{240, 360, red}, {240, 120, blue}},
    };
    for (int code = 0; code < 4; ++code) {
      SCOPED_TRACE("rotation code " + std::to_string(code));
      ASSERT_EQ(send_byte(daemon, CMD_SET_ROTATION, uint8_t(code)), ReplyCheck::ok);
      ASSERT_EQ(send_picture(daemon, CMD_SHOW_JPG, split_jpeg(480, 480, red, blue)), ReplyCheck::ok);
      PanelPicture picture = seen(root);
      ASSERT_EQ(picture.width, 480);
      ASSERT_EQ(picture.height, 480);
      EXPECT_EQ(picture.rotation, code * 90);
      EXPECT_TRUE(shows(picture, by_code[code]));
    }
  }
  fs::remove_all(root);
}

// The 424x960 panel shows a 368-pixel window at x = 56 of the glass. At 180 degrees the daemon
// places the picture at x = 0 of the turned layer, which the rotator brings back to the same
// window; sideways the layer is 960x424.
TEST(PanelSeen, ASplitJpegAtEachRotationOnThe424x960Panel) {
  std::string root = root_for_panel(424, 960);
  {
    DaemonUnderTest daemon(HostPort::pty, root);
    const std::vector<Expected> by_code[4] = {
        {{148, 480, red}, {332, 480, blue}, {20, 480, black}},
        {{212, 300, red}, {212, 800, blue}},
        {{332, 480, red}, {148, 480, blue}, {20, 480, black}},
        {{212, 700, red}, {212, 200, blue}},
    };
    for (int code = 0; code < 4; ++code) {
      SCOPED_TRACE("rotation code " + std::to_string(code));
      ASSERT_EQ(send_byte(daemon, CMD_SET_ROTATION, uint8_t(code)), ReplyCheck::ok);
      ASSERT_EQ(send_picture(daemon, CMD_SHOW_JPG, split_jpeg(368, 960, red, blue)), ReplyCheck::ok);
      PanelPicture picture = seen(root);
      ASSERT_EQ(picture.width, 424);
      ASSERT_EQ(picture.height, 960);
      EXPECT_TRUE(shows(picture, by_code[code]));
    }
    // The layers as composed, before the rotator: sideways at code 3.
    PngFile layers;
    ASSERT_TRUE(dhshot(root, "--layers", layers));
    EXPECT_EQ(layers.width, 960);
    EXPECT_EQ(layers.height, 424);
  }
  fs::remove_all(root);
}

// Only fb0's size is given: layer 1 has layer 0's geometry, so an overlay as large as the
// picture area covers all of it, 64 rows down.
TEST(PanelSeen, AFullPanelPngOverlayOn720x1600) {
  std::string root = root_for_panel(720, 1600);
  {
    DaemonUnderTest daemon(HostPort::pty, root);
    ASSERT_EQ(send_picture(daemon, CMD_SHOW_JPG, solid_jpeg(720, 1472, blue)), ReplyCheck::ok);
    ASSERT_EQ(send_picture(daemon, CMD_SHOW_PNG, solid_png(720, 1472, 0xFFFF0000)), ReplyCheck::ok);
    PanelPicture picture = seen(root);
    ASSERT_EQ(picture.width, 720);
    ASSERT_EQ(picture.height, 1600);
    EXPECT_TRUE(shows(picture, {{5, 66, red}, {714, 66, red}, {360, 800, red}, {5, 1533, red},
                                {714, 1533, red}, {360, 30, black}, {360, 1570, black}}));
  }
  fs::remove_all(root);
}

// dhshot --as-seen darkens the picture by the backlight level, black at 0; the file says the
// level, the rotation and when it was taken.
TEST(PanelSeen, AsSeenAtBacklight60And0WithTheFilesText) {
  std::string root = root_for_panel(480, 480);
  {
    DaemonUnderTest daemon(HostPort::pty, root);
    ASSERT_EQ(send_picture(daemon, CMD_SHOW_JPG, solid_jpeg(480, 480, 0xC86432)), ReplyCheck::ok);
    ASSERT_EQ(send_byte(daemon, CMD_SET_BRIGHTNESS, 60), ReplyCheck::ok);
    PngFile png;
    ASSERT_TRUE(dhshot(root, "--as-seen", png));
    EXPECT_TRUE(near_colour(png.at(240, 240), 0x783C1E, 6)) << std::hex << png.at(240, 240);
    EXPECT_EQ(png.text["backlight"], "60");
    EXPECT_EQ(png.text["rotation"], "0");
    EXPECT_EQ(png.text["view"], "panel, dimmed by the backlight");
    EXPECT_EQ(png.text["Creation Time"].size(), 27u) << png.text["Creation Time"];

    ASSERT_TRUE(dhshot(root, "", png));
    EXPECT_TRUE(near_colour(png.at(240, 240), 0xC86432, 6)) << std::hex << png.at(240, 240);

    ASSERT_EQ(send_byte(daemon, CMD_SET_BRIGHTNESS, 0), ReplyCheck::ok);
    ASSERT_EQ(send_byte(daemon, CMD_SET_ROTATION, 2), ReplyCheck::ok);
    ASSERT_EQ(send_picture(daemon, CMD_SHOW_JPG, solid_jpeg(480, 480, 0xC86432)), ReplyCheck::ok);
    ASSERT_TRUE(dhshot(root, "--as-seen", png));
    EXPECT_EQ(png.at(240, 240), 0u);
    EXPECT_EQ(png.at(0, 0), 0u);
    EXPECT_EQ(png.text["backlight"], "0");
    EXPECT_EQ(png.text["rotation"], "180");
  }
  fs::remove_all(root);
}
