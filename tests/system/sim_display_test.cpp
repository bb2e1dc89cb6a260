// The simulated device that scripts/sim brings up has the display driver's attributes: the
// daemon's rotation and backlight writes land, the panel as seen follows them, and a reboot or
// a power cycle gives them back as their drivers leave them at boot.
#include <gtest/gtest.h>

#include <optional>
#include <thread>

#include "platform/panel_view.h"
#include "tests/support/waiting.h"
#include "tests/system/daemon_harness.h"
#include "tests/system/sim_device.h"

using namespace std::chrono_literals;

namespace {

const std::string rotator = "/sys/bus/platform/drivers/ingenic-fb/ingenic-fb.0/rotator_angle";
const std::string backlight = "/sys/class/backlight/backlight_pwm0/brightness";

size_t starts_of_daemon(const SimulatedDevice &device) {
  const std::string log = device.log("daemon");
  size_t count = 0;
  for (size_t at = log.find("init_tty done!"); at != std::string::npos; at = log.find("init_tty done!", at + 1)) ++count;
  return count;
}

// The backlight attribute while the daemon has written it no level since its log was `from`
// bytes long (the log is unbuffered, and says "set_brightness" before each write); nullopt
// once it has, as its USB monitor does a second after start-up with the host there, or ten
// seconds after without: a machine that busy cannot tell what the boot left.
std::optional<std::string> backlight_unwritten_since(const SimulatedDevice &device, size_t from) {
  const std::string text = read_file(device.device_root() + backlight);
  if (device.log("daemon").find("set_brightness", from) != std::string::npos) return std::nullopt;
  return text;
}

}  // namespace

TEST(SimDisplay, TheRotatorAndTheBacklightAreThere) {
  SKIP_WITHOUT_SIMULATED_DEVICE();
  SimulatedDevice device({"--no-backgrounds"});
  ASSERT_TRUE(device.wait_for_log("daemon", "init_tty done!", 10s)) << device.log("daemon");
  PanelPicture picture;
  std::string error;
  ASSERT_TRUE(compose_panel_seen(device.device_root(), picture, error)) << error;
  if (const std::optional<std::string> level = backlight_unwritten_since(device, 0)) {
    EXPECT_EQ(*level, "100") << "the level the driver starts with";
  }
  EXPECT_EQ(picture.rotation, 0);

  ToolRun brightness = device.dhhost("brightness 40");
  EXPECT_EQ(brightness.status, 0) << brightness.out;
  ToolRun rotate = device.dhhost("rotate 2");
  EXPECT_EQ(rotate.status, 0) << rotate.out;
  ASSERT_TRUE(compose_panel_seen(device.device_root(), picture, error)) << error;
  EXPECT_EQ(picture.backlight, 40);
  EXPECT_EQ(picture.rotation, 180);
  EXPECT_EQ(read_file(device.device_root() + rotator), "180");
}

// The board's drivers start afresh at every boot: the backlight is full again and the rotator
// at 0 until the daemon writes them, whatever they held before. The daemon applies its stored
// rotation at once, and leaves the backlight alone until its USB monitor acts; with the cable
// out, that is ten polls after start-up.
TEST(SimDisplay, ARebootOrAPowerCycleFindsTheBacklightAsAtBoot) {
  SKIP_WITHOUT_SIMULATED_DEVICE();
  SimulatedDevice device({"--no-backgrounds"});
  const std::string ctl = "ctl " + device.host_path("sim.ctl") + " ";
  ASSERT_EQ(device.dhhost("brightness 40").status, 0);
  ASSERT_EQ(device.dhhost("rotate 1").status, 0);
  ASSERT_EQ(read_file(device.device_root() + backlight), "40");

  // A reboot with the cable out (the device's own reboot command asks dhsim as this does).
  ASSERT_EQ(run_tool("dhsim", ctl + "cable pull").status, 0);
  const size_t starts = starts_of_daemon(device);
  size_t from = device.log("daemon").size();
  ASSERT_EQ(run_tool("dhsim", ctl + "reboot").status, 0);
  ASSERT_TRUE(wait_until([&] { return starts_of_daemon(device) > starts; }, 30s)) << device.log("dhsim");
  std::optional<std::string> level = backlight_unwritten_since(device, from);
  if (level) {
    EXPECT_EQ(*level, "100") << "the level from before the reboot stayed";
  }
  EXPECT_EQ(read_file(device.device_root() + rotator), "90") << "the stored rotation, applied at start-up";

  // Plugged, the host is seen and the remembered level restored: the start-up's, not the 40
  // from before the reboot.
  ASSERT_EQ(run_tool("dhsim", ctl + "cable plug").status, 0);
  ASSERT_TRUE(wait_until([&] { return read_file(device.device_root() + backlight) == "60"; }, 30s))
      << read_file(device.device_root() + backlight) << "\n" << device.log("daemon");

  // A power cycle with the cable out.
  ASSERT_EQ(device.dhhost("brightness 30").status, 0);
  ASSERT_EQ(run_tool("dhsim", ctl + "power off").status, 0);
  ASSERT_EQ(run_tool("dhsim", ctl + "cable pull").status, 0);
  from = device.log("daemon").size();
  ASSERT_EQ(run_tool("dhsim", ctl + "power on").status, 0);  // answered once the daemon is up
  level = backlight_unwritten_since(device, from);
  if (level) {
    EXPECT_EQ(*level, "100") << "the level from before the power cycle stayed";
  }
  ASSERT_EQ(run_tool("dhsim", ctl + "cable plug").status, 0);
}
