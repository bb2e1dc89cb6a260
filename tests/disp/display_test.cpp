// Layers, picture area, rotation, backlight, frame rate and the fill primitive.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <thread>

#include "disp/disp.h"
#include "tests/disp/panel_sandbox.h"
#include "tests/support/target.h"

namespace {

const std::string rotator = "/sys/bus/platform/drivers/ingenic-fb/ingenic-fb.0/rotator_angle";
const std::string backlight = "/sys/class/backlight/backlight_pwm0/brightness";

// dev_width x dev_height at dev_x,dev_y, class dev_type.
std::vector<int32_t> area() { return {dev_width, dev_height, dev_x, dev_y, dev_type}; }
using Area = std::vector<int32_t>;

}  // namespace

TEST(DispGeometry, PictureAreaFollowsTheLayerSize) {
  set_panel(720, 1600);
  EXPECT_EQ(stdout_of([] { ASSERT_EQ(init_disp(), 0); }),
            "open_fb 720 1472 \nset  frameTime: 33 ms \n");
  EXPECT_EQ(area(), (Area{720, 1472, 0, 64, 1}));
  EXPECT_EQ(bright, 60);
  EXPECT_EQ(read_file(backlight), "");  // start-up leaves the backlight alone

  set_panel(800, 480);  // not listed: offsets and class stay
  ASSERT_EQ(open_fb(), 0);
  EXPECT_EQ(area(), (Area{800, 480, 0, 64, 1}));
  set_panel(1600, 720);
  ASSERT_EQ(open_fb(), 0);
  EXPECT_EQ(area(), (Area{1600, 720, 0, 0, 1}));
  set_panel(424, 960);
  ASSERT_EQ(open_fb(), 0);
  EXPECT_EQ(area(), (Area{368, 960, 56, 0, 2}));
  set_panel(640, 480);
  ASSERT_EQ(open_fb(), 0);
  EXPECT_EQ(area(), (Area{640, 480, 56, 0, 2}));
}

TEST(Rotation, WritesTheAngleAndReopensTheLayersRotated) {
  set_panel(424, 960);
  ASSERT_EQ(init_disp(), 0);
  set_rotation(2);  // no rotator attribute: ignored
  EXPECT_EQ(area(), (Area{368, 960, 0, 0, 2}));

  set_panel(720, 1600);
  make_dir("/sys/bus/platform/drivers/ingenic-fb/ingenic-fb.0");
  const std::pair<int, const char *> angles[] = {{1, "90"}, {2, "180"}, {3, "270"}, {7, "0"}, {-1, "0"}};
  for (auto [code, text] : angles) {
    set_rotation(code);
    EXPECT_EQ(rotation, code >= 1 && code <= 3 ? code : 0) << code;  // as applied
    EXPECT_EQ(read_file(rotator), text);
    EXPECT_EQ(fb_info.width, code == 1 || code == 3 ? 1600 : 720) << code;
    EXPECT_EQ(fb1_info.width, fb_info.width) << code;
  }
}

TEST(Backlight, LevelsAreClampedAndKeepRemembersTheOld) {
  set_brightness(42, 0);  // no attribute: the level is kept all the same
  EXPECT_EQ(current_bright, 42);
  make_dir("/sys/class/backlight/backlight_pwm0");
  EXPECT_EQ(stdout_of([] { set_brightness(150, 0); }), "set_brightness 100\n100 3\n");
  EXPECT_EQ(read_file(backlight), "100");
  EXPECT_EQ(bright, 100);

  set_brightness(0, 1);
  EXPECT_EQ(read_file(backlight), "0");
  EXPECT_EQ(bright, 100);
  EXPECT_EQ(current_bright, 100);
  active_brightness();
  EXPECT_EQ(read_file(backlight), "100");
  set_brightness(35, 0);
  inactive_brightness();
  EXPECT_EQ(bright, 35);
  active_brightness();
  EXPECT_EQ(read_file(backlight), "35");

  set_brightness(-20, 0);
  EXPECT_EQ(read_file(backlight), "0");
  EXPECT_EQ(bright, 0);
}

// The USB monitor restores the remembered level (attach, detach) while the host sets new
// ones: the last level set stays, in the attribute and in bright, never an older one that a
// restore read before the set.
TEST(Backlight, RestoreOnAnotherThreadNeverUndoesALevelSetMeanwhile) {
  make_dir("/sys/class/backlight/backlight_pwm0");
  for (int round = 0; round < 20; ++round) {
    stdout_of([] {
      set_brightness(10, 0);
      std::atomic<bool> done{false};
      std::thread restorer([&] {
        while (!done) active_brightness();
      });
      for (int level = 11; level <= 40; ++level) set_brightness(level, 0);
      done = true;
      restorer.join();
    });
    ASSERT_EQ(bright, 40) << "round " << round;
    ASSERT_EQ(current_bright, 40) << "round " << round;
    ASSERT_EQ(read_file(backlight), "40") << "round " << round;
  }
}

TEST(DispFramerate, PeriodIsTruncatedAndNoRateTurnsPacingOff) {
  set_framerate(24);
  EXPECT_EQ(frameTime, 41666);
  set_framerate(7);
  EXPECT_EQ(frameTime, 142857);
  EXPECT_EQ(stdout_of([] { set_framerate(0); }), "set  frameTime: 2147483 ms \n");
  EXPECT_EQ(frameTime, INT32_MAX);
  set_framerate(30);
  set_framerate(-5);
  EXPECT_EQ(frameTime, INT32_MAX);
}

TEST(DispDrawRect, ClipsToLayerZeroAndCleansLayerOne) {
  set_panel(64, 48);
  ASSERT_EQ(init_disp(), 0);
  uint8_t *buffer = fb_info.vaddr;
  draw_rect(buffer, 0, 0, -1, -1, 0x11111111);
  draw_rect(buffer, -10, -10, 20, 20, 0xFFFF0000);
  EXPECT_EQ(layer_pixel(0, 9, 9), 0xFFFF0000u);
  EXPECT_EQ(layer_pixel(0, 10, 0), 0x11111111u);
  EXPECT_EQ(layer_pixel(0, 0, 10), 0x11111111u);
  draw_rect(buffer, 60, 45, 100, 100, 0xFF00FF00);  // up to the far edges, nothing beyond
  EXPECT_EQ(layer_pixel(0, 63, 47), 0xFF00FF00u);
  EXPECT_EQ(layer_pixel(0, 59, 47), 0x11111111u);
  draw_rect(buffer, 50, 40, -1, -7, 0xFF0000FF);    // negative sizes reach the edges
  EXPECT_EQ(layer_pixel(0, 63, 47), 0xFF0000FFu);
  EXPECT_EQ(layer_pixel(0, 49, 40), 0x11111111u);
  draw_rect(buffer, INT_MAX, INT_MAX, INT_MAX, INT_MAX, 0);
  EXPECT_EQ(layer_pixel(0, 63, 0), 0x11111111u);

  draw_rect(buffer, 0, 0, -1, -1, 0xFF0000FF);
  fb_display(fb_fd, 64, 48, &fb_info, fb_info.paddr);
  draw_rect(fb1_info.vaddr, 0, 0, -1, -1, 0xFFFF0000);
  fb_pan_display(fb1_fd, &fb1_info, 0);
  EXPECT_EQ(screen().at(5, 5), 0xFFFF0000u);
  clean_fb1();
  EXPECT_EQ(layer_pixel(1, 63, 47), 0u);
  EXPECT_EQ(screen().at(5, 5), 0xFF0000FFu);
}

TEST(DispDrawRectDeathTest, SixteenBitLayerEndsTheProcessEvenForNothing) {
  GTEST_FLAG_SET(death_test_style, death_test_style_for_threads());
  set_panel(64, 48, 16);
  EXPECT_EXIT(
      {
        if (init_disp() != 0) exit(3);
        draw_rect(fb_info.vaddr, 5, 5, 0, 0, 0);
        exit(0);
      },
      testing::ExitedWithCode(255), "not support pix fmt: 16 128 64");
}
