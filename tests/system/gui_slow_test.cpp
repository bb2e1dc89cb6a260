// The GUI process's view of a host session, waited out in real time: a host stream pauses
// the GUI; ten seconds after the host goes away the GUI is resumed and the theme's
// background video plays again (seen by dhgui and on the panel).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
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

void write_text(const std::string &path, const std::string &text) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path) << text;
}

}  // namespace

TEST(GuiSlow, HostStreamPausesTheGuiAndItsDepartureResumesIt) {
  std::string root = make_temp_root();
  fs::create_directories(root + "/media");
  fs::copy(std::string(DH_SOURCE_DIR) + "/media/bg_h264", root + "/media/bg_h264");
  write_text(root + "/usr/data/lvgl_app.cfg", std::string(1, '\x02') + std::string(15, '\0'));
  const std::string state = root + "/sys/class/udc/13500000.otg/state";
  write_text(state, "configured\n");
  {
    DaemonUnderTest daemon(HostPort::pty, root);
    ASSERT_TRUE(daemon.wait_for("init_mcu_tty done!")) << daemon.output();

    // The GUI process: dhgui prints every record it is woken for.
    std::string gui_log = root + "/dhgui.log";
    std::string command = "DISPLAYHEAD_ROOT=" + root + " " + program_command(build_dir() + "/dhgui") + " --timeout 40 > " + gui_log + " 2>&1 & echo $!";
    FILE *started = popen(command.c_str(), "r");
    int gui_pid = 0;
    ASSERT_EQ(fscanf(started, "%d", &gui_pid), 1);
    pclose(started);

    // The controller reports twice a second: each frame carries the next publish.
    std::atomic<bool> reporting{true};
    std::thread controller([&] {
      std::array<uint8_t, 224> frame{};
      frame[0] = 0xAA;
      frame[1] = 0x55;
      frame[2] = 0x46;
      frame[4] = 31;
      while (reporting) {
        daemon.send_to_daemon_as_controller(frame);
        std::this_thread::sleep_for(500ms);  // pacing, as a controller reports; nothing waits on it
      }
    });

    std::string stream = read_file(std::string(DH_SOURCE_DIR) + "/tests/media/colours_480x480.h264");
    uint8_t payload[4];
    write_be32(payload, uint32_t(stream.size()));
    ReplyBytes reply{};
    ASSERT_EQ(daemon.transact(CMD_PUSH_H264_BLOCK, payload, reply,
                              std::span(reinterpret_cast<const uint8_t *>(stream.data()), stream.size())),
              ReplyCheck::ok);
    EXPECT_TRUE(daemon.wait_for("pause lvgl before h264"));
    ASSERT_EQ(daemon.transact(CMD_STOP_H264, {}, reply), ReplyCheck::ok);

    write_text(state, "not attached\n");  // the cable is pulled
    EXPECT_TRUE(daemon.wait_for("restore lvgl", 1, 60000)) << daemon.output();
    EXPECT_TRUE(
        daemon.wait_for("play_local_h264 name: /media/bg_h264/2_ColorScroll.h264 ", 1, 20000));
    // A frame carries the resume to the GUI, and the next ones the controller's data again.
    EXPECT_TRUE(wait_until(
        [&] {
          const std::string seen = read_file(gui_log);
          const size_t resume = seen.find("resume\n");
          return resume != std::string::npos &&
                 seen.find("temperature=31", resume) != std::string::npos;
        },
        20000ms))
        << read_file(gui_log);

    reporting = false;
    controller.join();
    kill(gui_pid, SIGTERM);
    std::string gui = read_file(gui_log);
    size_t pause = gui.find("pause\n"), resume = gui.find("resume\n");
    EXPECT_NE(pause, std::string::npos) << gui;
    EXPECT_NE(resume, std::string::npos) << gui;
    EXPECT_LT(pause, resume) << gui;
    EXPECT_NE(gui.find("temperature=31"), std::string::npos) << gui;

    // The theme's background video is on the screen again, where the build decodes pictures.
    if (DH_H264_DECODES) {
      PanelPicture picture;
      std::string error;
      wait_until([&] { return compose_panel(root, picture, error) && near_colour(picture.at(330, 400), 0xE9C46A, 24); },
                 20000ms);
      ASSERT_TRUE(error.empty()) << error;
      EXPECT_TRUE(near_colour(picture.at(330, 400), 0xE9C46A, 24)) << std::hex << picture.at(330, 400);
    }
  }
  fs::remove_all(root);
}
