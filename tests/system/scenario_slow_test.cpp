// The end of the demo's session on the whole simulated device (scripts/sim), waited out in
// real time: the USB cable pulled (ten polls later the GUI and the theme's background video
// are back) and plugged in again (the host is answered).
#include <gtest/gtest.h>

#include "tests/system/daemon_harness.h"
#include "tests/system/media.h"
#include "tests/system/sim_device.h"

using namespace std::chrono_literals;

TEST(ScenarioSlow, CablePulledAndPluggedBack) {
  SKIP_WITHOUT_SIMULATED_DEVICE();
  SimulatedDevice device({"--theme", "2"});
  const std::string state = device.device_root() + "/sys/class/udc/13500000.otg/state";
  ASSERT_TRUE(device.wait_for_pixel(theme_x(2), theme_y, theme_colour(2), 10s)) << device.log("daemon");

  // The host takes the screen: a picture and an overlay, and the GUI is paused.
  write_bytes(device.host_path("red.jpg"), solid_jpeg(480, 480, 0xFF0000));
  ASSERT_EQ(device.dhhost("jpg " + device.host_path("red.jpg")).status, 0);
  ASSERT_EQ(device.dhhost("png " + std::string(DH_SOURCE_DIR) + "/media/overlay.png").status, 0);
  EXPECT_TRUE(device.wait_for_log("dhgui", "pause\n", 10s)) << device.log("dhgui");

  write_bytes(state, {'n', 'o', 't', ' ', 'a', 't', 't', 'a', 'c', 'h', 'e', 'd', '\n'});
  EXPECT_TRUE(device.wait_for_log("daemon", "restore lvgl", 15s)) << device.log("daemon");
  EXPECT_TRUE(device.wait_for_log("dhgui", "resume\n", 10s)) << device.log("dhgui");
  EXPECT_TRUE(device.wait_for_pixel(theme_x(2), theme_y, theme_colour(2), 10s))
      << std::hex << device.screen().at(theme_x(2), theme_y);
  // The overlay has gone with the host: the banner's rows show the background again.
  EXPECT_TRUE(device.wait_for_pixel(theme_x(2), 20, theme_colour(2), 10s)) << std::hex << device.screen().at(theme_x(2), 20);

  write_bytes(state, {'c', 'o', 'n', 'f', 'i', 'g', 'u', 'r', 'e', 'd', '\n'});
  ToolRun version = device.dhhost("version");
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "morvadq7_0005_0020\n");
  EXPECT_TRUE(device.wait_for_pixel(theme_x(2), theme_y, theme_colour(2), 0ms));
}
