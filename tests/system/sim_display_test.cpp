// The simulated device that scripts/sim brings up has the display driver's attributes: the
// daemon's rotation and backlight writes land, and the panel as seen follows them.
#include <gtest/gtest.h>

#include <thread>

#include "platform/panel_view.h"
#include "tests/system/daemon_harness.h"
#include "tests/system/sim_device.h"

using namespace std::chrono_literals;

TEST(SimDisplay, TheRotatorAndTheBacklightAreThere) {
  SKIP_WITHOUT_SIMULATED_DEVICE();
  SimulatedDevice device({"--no-backgrounds"});
  ASSERT_TRUE(device.wait_for_log("daemon", "init_tty done!", 10s)) << device.log("daemon");
  PanelPicture picture;
  std::string error;
  ASSERT_TRUE(compose_panel_seen(device.device_root(), picture, error)) << error;
  EXPECT_EQ(picture.backlight, 100) << "the level the driver starts with";
  EXPECT_EQ(picture.rotation, 0);

  ToolRun brightness = device.dhhost("brightness 40");
  EXPECT_EQ(brightness.status, 0) << brightness.out;
  ToolRun rotate = device.dhhost("rotate 2");
  EXPECT_EQ(rotate.status, 0) << rotate.out;
  ASSERT_TRUE(compose_panel_seen(device.device_root(), picture, error)) << error;
  EXPECT_EQ(picture.backlight, 40);
  EXPECT_EQ(picture.rotation, 180);
  EXPECT_EQ(read_file(device.device_root() +
                      "/sys/bus/platform/drivers/ingenic-fb/ingenic-fb.0/rotator_angle"),
            "180");
}
