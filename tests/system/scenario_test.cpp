// The demo's session on the whole simulated device (scripts/sim): the knob and the
// controller's picture, the host's file and settings commands, the host's pictures, video
// and relays. Every answer of dhhost and dhmcu is checked, and after each step the panel.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <spawn.h>
#include <sys/wait.h>
#include <set>
#include <sstream>
#include <thread>

#include "tests/system/daemon_harness.h"
#include "tests/system/media.h"
#include "tests/support/waiting.h"
#include "tests/system/sim_device.h"

extern char **environ;

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::HasSubstr;

namespace {

const std::string media_dir = std::string(DH_SOURCE_DIR) + "/media";
const std::string card = "/tmp/sdcard/mmcblk0p1";

std::set<std::string> lines_of(const std::string &text) {
  std::set<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.insert(line);
  return lines;
}

}  // namespace

TEST(Scenario, KnobControllerPictureFilesAndSettings) {
  SKIP_WITHOUT_SIMULATED_DEVICE();
  SimulatedDevice device({"--theme", "5", "--no-backgrounds"});

  // Theme 5's background video is not on the device: the boot logo stays (its inner square).
  ASSERT_TRUE(device.wait_for_log("daemon", "open err:1", 10s)) << device.log("daemon");
  EXPECT_TRUE(device.wait_for_pixel(240, 240, 0x1B3A6B, 0ms)) << std::hex << device.screen().at(240, 240);

  // The videos arrive; each knob step advances the theme, and its video plays.
  fs::copy(media_dir + "/bg_h264", device.device_root() + "/media/bg_h264");
  for (int theme : {6, 7}) {
    ToolRun knob = device.control("knob 1");
    EXPECT_EQ(knob.status, 0) << knob.out;
    EXPECT_TRUE(device.wait_for_log("dhgui", "theme=" + std::to_string(theme), 10s)) << device.log("dhgui");
    EXPECT_TRUE(device.wait_for_pixel(theme_x(theme), theme_y, theme_colour(theme), 10s))
        << "theme " << theme << ": " << std::hex << device.screen().at(theme_x(theme), theme_y);
  }

  // The controller's picture, in packages: saved and shown.
  const std::vector<uint8_t> picture = solid_jpeg(480, 480, 0x20B060);
  write_bytes(device.host_path("picture.jpg"), picture);
  ToolRun sent = device.control("picture " + device.host_path("picture.jpg"));
  EXPECT_EQ(sent.status, 0) << sent.out;
  EXPECT_TRUE(device.wait_for_log("daemon", "receive img size = " + std::to_string(picture.size()), 10s));
  EXPECT_EQ(read_file(device.device_root() + "/usr/data/aio.jpg"), std::string(picture.begin(), picture.end()));
  EXPECT_TRUE(device.wait_for_pixel(240, 240, 0x20B060, 10s)) << std::hex << device.screen().at(240, 240);

  ToolRun version = device.dhhost("version");
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "morvadq7_0005_0020\n");

  // Upload, listing, size and storage: no progress bar when the output is no terminal.
  const std::string host_jpg = read_file(media_dir + "/host.jpg");
  ToolRun put = device.dhhost("put " + media_dir + "/host.jpg " + card + "/img/host.jpg");
  EXPECT_EQ(put.status, 0);
  EXPECT_EQ(put.out, "");
  EXPECT_EQ(read_file(device.device_root() + card + "/img/host.jpg"), host_jpg);
  ToolRun ls = device.dhhost("ls " + card + "/img");
  EXPECT_EQ(ls.status, 0);
  EXPECT_EQ(lines_of(ls.out), (std::set<std::string>{"host.jpg", "slide-1.jpg", "slide-2.jpg", "slide-3.jpg"}))
      << ls.out;
  ToolRun size = device.dhhost("--json size " + card + "/img/host.jpg");
  EXPECT_EQ(size.out, "{\"path\":\"" + card + "/img/host.jpg\",\"size\":" + std::to_string(host_jpg.size()) + "}\n");
  // The simulator's own ports and logs are out of the device's reach.
  ToolRun top = device.dhhost("ls /");
  EXPECT_EQ(top.status, 0) << top.out;
  EXPECT_EQ(lines_of(top.out).count("host/") + lines_of(top.out).count("log/"), 0u) << top.out;
  EXPECT_TRUE(lines_of(top.out).count("usr/")) << top.out;
  ToolRun df = device.dhhost("df");
  EXPECT_EQ(df.status, 0);
  EXPECT_EQ(df.out.rfind("   KiB total         used    available\n", 0), 0u) << df.out;

  // A picture of the SD card: slide 2 is orange.
  ToolRun show = device.dhhost("show-local " + card + "/img/slide-2.jpg");
  EXPECT_EQ(show.status, 0) << show.out;
  EXPECT_TRUE(device.wait_for_pixel(240, 240, 0xF18F01, 10s)) << std::hex << device.screen().at(240, 240);

  // Settings are stored, not applied: the screen stays.
  ToolRun config = device.dhhost("config 80 0 0 0 0 1");
  EXPECT_EQ(config.status, 0) << config.out;
  EXPECT_EQ(read_file(device.device_root() + "/usr/data/app.cfg").substr(0, 6), std::string("\x50\0\0\0\0\x01", 6));
  EXPECT_TRUE(device.wait_for_pixel(240, 240, 0xF18F01, 0ms));

  ToolRun rm = device.dhhost("rm " + card + "/img/host.jpg");
  EXPECT_EQ(rm.status, 0) << rm.out;
  EXPECT_FALSE(fs::exists(device.device_root() + card + "/img/host.jpg"));
}

TEST(Scenario, HostPicturesVideoAndRelays) {
  SKIP_WITHOUT_SIMULATED_DEVICE();
  SimulatedDevice device;
  ASSERT_TRUE(device.wait_for_pixel(theme_x(0), theme_y, theme_colour(0), 10s)) << device.log("daemon");

  // A host JPEG stops the background video; the PNG overlay lies over it and pauses the GUI.
  write_bytes(device.host_path("red.jpg"), solid_jpeg(480, 480, 0xFF0000));
  ToolRun jpg = device.dhhost("jpg " + device.host_path("red.jpg"));
  EXPECT_EQ(jpg.status, 0) << jpg.out;
  EXPECT_TRUE(device.wait_for_pixel(240, 240, 0xFF0000, 10s)) << std::hex << device.screen().at(240, 240);
  ToolRun png = device.dhhost("png " + media_dir + "/overlay.png");
  EXPECT_EQ(png.status, 0) << png.out;
  // Orange at 70 % over red in the banner's 96 rows; red below it.
  // The reply comes before the panel has the overlay: wait for it.
  EXPECT_TRUE(device.wait_for_pixel(240, 48, 0xFF5F00, 10s)) << std::hex << device.screen().at(240, 48);
  EXPECT_TRUE(device.wait_for_pixel(240, 300, 0xFF0000, 10s)) << std::hex << device.screen().at(240, 300);
  EXPECT_TRUE(device.wait_for_log("dhgui", "pause\n", 10s)) << device.log("dhgui");

  // The host's stream ends on white, which stays after the stream's end.
  ToolRun stream = device.dhhost("stream " + std::string(DH_SOURCE_DIR) + "/tests/media/colours_480x480.h264");
  EXPECT_EQ(stream.status, 0) << stream.out;
  EXPECT_EQ(stream.out, "");
  EXPECT_TRUE(device.wait_for_log("daemon", "free h264 resource end", 10s)) << device.log("daemon");
  EXPECT_TRUE(device.wait_for_pixel(240, 240, 0xFFFFFF, 10s)) << std::hex << device.screen().at(240, 240);

  // The controller's record, and the relays as the controller receives them.
  ToolRun mcu_data = device.dhhost("--json mcu-data");
  EXPECT_EQ(mcu_data.status, 0);
  EXPECT_EQ(mcu_data.out, "{\"mcu_data\":\"" + std::string(64, '0') + "\"}\n");
  ToolRun pump_fan = device.dhhost("pump-fan 0102030405060708090a0b0c0d0e");
  EXPECT_EQ(pump_fan.status, 0) << pump_fan.out;
  EXPECT_TRUE(device.wait_for_log("dhmcu", " ms after the prefix: 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e\n", 10s))
      << device.log("dhmcu");
  EXPECT_THAT(device.log("dhmcu"), HasSubstr("A4 00 pump/fan settings, 14 bytes "));
  write_bytes(device.host_path("light.bin"), {'l', 'i', 'g', 'h', 't'});
  ToolRun light = device.dhhost("light " + device.host_path("light.bin"));
  EXPECT_EQ(light.status, 0) << light.out;
  EXPECT_TRUE(device.wait_for_log("dhmcu", " ms after the prefix: 6c 69 67 68 74\n", 10s)) << device.log("dhmcu");
  EXPECT_THAT(device.log("dhmcu"), HasSubstr("A3 00 lighting data, 5 bytes "));
  ToolRun refused = device.dhhost("pump-fan 0102");
  EXPECT_EQ(refused.status, 2);
  EXPECT_EQ(refused.out, "dhhost: the pump and fan settings must be 14 bytes (28 hex digits), not 4 digits\n");
}

// The sim's dhmcu keeps reporting and is steered through its control socket: the changes
// last (no second dhmcu fights it), and what the host reads back follows them.
TEST(Scenario, ControllerSteeredThroughItsSocket) {
  SKIP_WITHOUT_SIMULATED_DEVICE();
  SimulatedDevice device({"--no-backgrounds"});
  ToolRun state = device.control("state");
  ASSERT_EQ(state.status, 0) << state.out;
  EXPECT_THAT(state.out, HasSubstr("\"mode\":0"));
  EXPECT_THAT(state.out, HasSubstr("\"temp\":31"));
  EXPECT_THAT(state.out, HasSubstr("\"pump\":1500"));

  for (const char *words : {"temp 42", "pump 2000", "host-data 0102ff", "set 52=aabb"}) {
    ToolRun change = device.control(words);
    EXPECT_EQ(change.status, 0) << words << ": " << change.out;
    EXPECT_EQ(change.out, "ok\n");
  }
  EXPECT_TRUE(device.wait_for_log("dhgui", "temperature=42 pump=2000", 10s)) << device.log("dhgui");
  // Several status frames later the host data is still what the host reads, and the set bytes
  // lie beyond it (frame bytes 52.. are record bytes 17..): three frames more taken.
  const size_t taken = times_in(device.log("daemon"), "offline data\n");
  EXPECT_TRUE(wait_until([&] { return times_in(device.log("daemon"), "offline data\n") >= taken + 3; }, 20000ms))
      << device.log("daemon");
  ToolRun record = device.dhhost("--json mcu-data");
  EXPECT_EQ(record.status, 0) << record.out;
  EXPECT_EQ(record.out, "{\"mcu_data\":\"0102ff" + std::string(28, '0') + "aabb" + std::string(26, '0') + "\"}\n");

  // Wireless mode drops the host's relays; online mode takes them again.
  EXPECT_EQ(device.control("mode 1").status, 0);
  EXPECT_TRUE(device.wait_for_log("daemon", "control mode = 1", 10s)) << device.log("daemon");
  ToolRun dropped = device.dhhost("-t 1 pump-fan 0102030405060708090a0b0c0d0e");
  EXPECT_EQ(dropped.status, 1) << dropped.out;
  EXPECT_EQ(device.control("mode 2").status, 0);
  EXPECT_TRUE(device.wait_for_log("daemon", "control mode = 2", 10s)) << device.log("daemon");

  ToolRun unknown = device.control("fly 1");
  EXPECT_EQ(unknown.status, 1);
  EXPECT_EQ(unknown.out, "dhmcu: error: unknown command 'fly'\n");
  ToolRun bad = device.control("set 220=0102030405");
  EXPECT_EQ(bad.status, 1);
  EXPECT_THAT(bad.out, HasSubstr("beyond the frame's 224 bytes"));
  EXPECT_THAT(device.log("dhmcu"), HasSubstr("control: temp 42: ok\n"));
}

// A card of its own size, another panel, and the host's end of the cable over TCP.
TEST(Scenario, CardPanelAndTcp) {
  SKIP_WITHOUT_SIMULATED_DEVICE();
  const std::string port = std::to_string(20000 + getpid() % 30000);
  SimulatedDevice device({"--no-backgrounds", "--card", "4", "--panel", "320x240", "--tcp", port});

  ToolRun df = device.dhhost("--json df");
  ASSERT_EQ(df.status, 0) << df.out;
  if (nlohmann::json::parse(df.out).value("total_kib", 0) != 4096) {
    EXPECT_THAT(read_file(device.root() + ".out"), HasSubstr("allows no user namespace")) << df.out;
  }
  EXPECT_EQ(device.screen().width, 320);
  EXPECT_EQ(device.screen().height, 240);

  // A redirector on this side: a pty joined to the TCP socket, and dhhost on the pty.
  const std::string virtual_port = device.host_path("ttyVIRT");
  std::string link = "pty,raw,echo=0,link=" + virtual_port, target = "tcp:127.0.0.1:" + port;
  char socat[] = "socat";
  char *argv[] = {socat, link.data(), target.data(), nullptr};
  pid_t redirector = -1;
  ASSERT_EQ(posix_spawnp(&redirector, "socat", nullptr, nullptr, argv, environ), 0);
  EXPECT_TRUE(wait_until([&] { return fs::exists(virtual_port); }, 5000ms));
  ToolRun version = run_tool("dhhost", "-p " + virtual_port + " version");
  EXPECT_EQ(version.out, "morvadq7_0005_0020\n");
  EXPECT_EQ(version.status, 0);
  kill(redirector, SIGTERM);
  waitpid(redirector, nullptr, 0);
}
