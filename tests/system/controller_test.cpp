// The controller link through the real daemon, with a pty as the controller's port: the
// messages relayed to it, the control-mode gate, the header error's reopen, a picture sent
// in packages, and the GUI paused by a host stream.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <cstring>
#include <filesystem>
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

using Frame = std::array<uint8_t, 224>;

Frame frame_of(uint8_t type) {
  Frame frame{};
  frame[0] = 0xAA;
  frame[1] = 0x55;
  frame[2] = type;
  return frame;
}

Frame status_frame(uint8_t mode, uint8_t temperature = 30, uint16_t pump = 1500) {
  Frame frame = frame_of(0x46);
  frame[3] = mode;
  frame[4] = temperature;
  frame[11] = uint8_t(pump >> 8);
  frame[12] = uint8_t(pump);
  return frame;
}

// Waits for the controller thread to be reading its port.
void wait_for_controller(DaemonUnderTest &daemon) {
  ASSERT_TRUE(daemon.wait_for("init_mcu_tty done!", 1, 20000)) << daemon.output();
  ASSERT_TRUE(daemon.wait_for("uart thread ", 1, 20000)) << daemon.output();
}

// Sends `jpeg` as the controller does, in numbered packages of 220 bytes and an end frame with
// its size; whether the daemon took it ("receive img size").
bool send_picture(DaemonUnderTest &daemon, const std::vector<uint8_t> &jpeg) {
  const std::string taken = "receive img size = " + std::to_string(jpeg.size()) + "\n";
  const int before = daemon.count(taken);
  for (size_t package = 0; package * 220 < jpeg.size(); ++package) {
    Frame frame = frame_of(0x99);
    frame[3] = uint8_t(package);
    memcpy(frame.data() + 4, jpeg.data() + package * 220, std::min<size_t>(220, jpeg.size() - package * 220));
    daemon.send_to_daemon_as_controller(frame);
  }
  Frame end = frame_of(0x99);
  end[3] = 255;
  end[4] = uint8_t(jpeg.size() >> 8);
  end[5] = uint8_t(jpeg.size());
  daemon.send_to_daemon_as_controller(end);
  return daemon.wait_for(taken, before + 1, 20000);
}

// Whether the simulated panel shows `colour` in its centre (480x480), within a generous time.
bool centre_shows(DaemonUnderTest &daemon, uint32_t colour) {
  return wait_until([&] {
    PanelPicture picture;
    std::string error;
    return compose_panel(daemon.root(), picture, error) && near_colour(picture.at(240, 240), colour);
  }, 20000ms);
}

}  // namespace

TEST(Controller, RelayedMessagesCarryTheirPrefixesAndPauses) {
  DaemonUnderTest daemon;
  wait_for_controller(daemon);
  ReplyBytes reply{};

  uint8_t pump_fan[14];
  for (int i = 0; i < 14; ++i) pump_fan[i] = uint8_t(i + 1);
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(daemon.transact(CMD_MCU_SET_PUMP_FAN, pump_fan, reply), ReplyCheck::ok);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms);  // the reply follows the pause
  std::vector<uint8_t> sent = daemon.read_from_daemon_as_controller(16, 1000);
  std::vector<uint8_t> expected = {0xA4, 0x00};
  expected.insert(expected.end(), pump_fan, pump_fan + 14);
  EXPECT_EQ(sent, expected);

  // Firmware: the erase, then the first data announced with A7 00, the next bare.
  ASSERT_EQ(daemon.transact(CMD_MCU_ERASE, {}, reply), ReplyCheck::ok);
  EXPECT_EQ(daemon.read_from_daemon_as_controller(2, 1000), (std::vector<uint8_t>{0xA6, 0x00}));
  const uint8_t firmware[] = {1, 2, 3, 4, 5};
  uint8_t length_5[8] = {};
  write_be32(length_5 + 4, 5);
  ASSERT_EQ(daemon.transact(CMD_MCU_UPDATE_DATA, length_5, reply, firmware), ReplyCheck::ok);
  EXPECT_EQ(daemon.read_from_daemon_as_controller(7, 1000), (std::vector<uint8_t>{0xA7, 0x00, 1, 2, 3, 4, 5}));
  ASSERT_EQ(daemon.transact(CMD_MCU_UPDATE_DATA, length_5, reply, firmware), ReplyCheck::ok);
  EXPECT_EQ(daemon.read_from_daemon_as_controller(5, 1000), (std::vector<uint8_t>{1, 2, 3, 4, 5}));

  const uint8_t light[] = {9, 8, 7};
  uint8_t length_3[8] = {};
  write_be32(length_3 + 4, 3);
  ASSERT_EQ(daemon.transact(CMD_MCU_LIGHT_DATA, length_3, reply, light), ReplyCheck::ok);
  EXPECT_EQ(daemon.read_from_daemon_as_controller(5, 1000), (std::vector<uint8_t>{0xA3, 0x00, 9, 8, 7}));
  EXPECT_TRUE(daemon.wait_for("light data len: 3 "));
}

TEST(Controller, WirelessModeGatesTheRelaysButNotTheStatus) {
  DaemonUnderTest daemon;
  wait_for_controller(daemon);
  daemon.send_to_daemon_as_controller(status_frame(1));
  ASSERT_TRUE(daemon.wait_for("control mode = 1")) << daemon.output();

  for (uint8_t code : {uint8_t(CMD_MCU_ERASE), uint8_t(CMD_MCU_UPDATE_DATA), uint8_t(CMD_SET_THEME),
                       uint8_t(CMD_MCU_SET_PUMP_FAN), uint8_t(CMD_MCU_LIGHT_DATA)}) {
    daemon.send(build_packet(code, {1, 2, 3, 4}, {}));
    EXPECT_TRUE(daemon.silent_for(300)) << "code " << int(code);
  }
  EXPECT_TRUE(daemon.read_from_daemon_as_controller(1, 200).empty());  // nothing went out

  // The status record and the group are served in every mode.
  ReplyBytes reply{};
  ASSERT_EQ(daemon.transact(CMD_GET_MCU_DATA, {}, reply), ReplyCheck::ok);
  ASSERT_EQ(daemon.transact(CMD_GET_GROUP_POSITION, {}, reply), ReplyCheck::ok);
  EXPECT_EQ(reply[8], 0);
  EXPECT_EQ(reply[9], 0);

  daemon.send_to_daemon_as_controller(status_frame(0));
  ASSERT_TRUE(daemon.wait_for("control mode = 0")) << daemon.output();
  ASSERT_EQ(daemon.transact(CMD_MCU_ERASE, {}, reply), ReplyCheck::ok);
}

TEST(Controller, HostDataFramesReachTheHostAndAHeaderErrorReopensThePort) {
  DaemonUnderTest daemon;
  wait_for_controller(daemon);
  Frame host_data = frame_of(0x44);
  for (int i = 3; i < 224; ++i) host_data[size_t(i)] = uint8_t(i);
  daemon.send_to_daemon_as_controller(host_data);

  // The record the host reads holds the host data once the daemon has taken the frame.
  ReplyBytes reply{};
  EXPECT_TRUE(wait_until([&] {
    return daemon.transact(CMD_GET_MCU_DATA, {}, reply) == ReplyCheck::ok && reply[8] == 3;
  }, 20000ms)) << daemon.output();
  ASSERT_EQ(daemon.transact(CMD_GET_MCU_DATA, {}, reply), ReplyCheck::ok);
  for (int i = 0; i < 17; ++i) EXPECT_EQ(reply[size_t(8 + i)], 3 + i) << "byte " << i;
  for (int i = 17; i < 32; ++i) EXPECT_EQ(reply[size_t(8 + i)], 35 + i) << "byte " << i;
  for (int i = 32; i < 64; ++i) EXPECT_EQ(reply[size_t(8 + i)], 0) << "byte " << i;

  Frame garbage{};
  garbage.fill(0x5A);
  daemon.send_to_daemon_as_controller(garbage);
  EXPECT_TRUE(daemon.wait_for("uart receive header error")) << daemon.output();
  EXPECT_TRUE(daemon.wait_for("init_mcu_tty done!", 2, 3000)) << daemon.output();
  daemon.send_to_daemon_as_controller(status_frame(2));
  EXPECT_TRUE(daemon.wait_for("control mode = 2")) << daemon.output();
}

TEST(Controller, APictureSentInPackagesIsSavedAndShown) {
  DaemonUnderTest daemon;
  wait_for_controller(daemon);
  std::vector<uint8_t> jpeg = solid_jpeg(480, 480, 0x00A0FF);
  ASSERT_LT(jpeg.size(), 40960u);
  ASSERT_TRUE(send_picture(daemon, jpeg)) << daemon.output();
  EXPECT_EQ(read_file(daemon.root() + "/usr/data/aio.jpg"), std::string(jpeg.begin(), jpeg.end()));
  EXPECT_TRUE(centre_shows(daemon, 0x00A0FF));
}

// A picture the device cannot store (/usr/data is full) is still shown, from what was
// received: the file holds the picture before it, which the controller did not send this time.
TEST(Controller, APictureThatCannotBeStoredIsShownNotTheOneBefore) {
  DaemonUnderTest daemon;
  wait_for_controller(daemon);
  const std::vector<uint8_t> blue = solid_jpeg(480, 480, 0x00A0FF);
  ASSERT_TRUE(send_picture(daemon, blue)) << daemon.output();
  ASSERT_TRUE(centre_shows(daemon, 0x00A0FF));

  // The host shows a picture of its own over it.
  const std::vector<uint8_t> green = solid_jpeg(480, 480, 0x20C040);
  uint8_t length[4];
  write_be32(length, uint32_t(green.size()));
  ReplyBytes reply{};
  ASSERT_EQ(daemon.transact(CMD_SHOW_JPG, length, reply, green), ReplyCheck::ok);
  ASSERT_TRUE(centre_shows(daemon, 0x20C040));

  // From now on no file of the daemon's may grow past 64 bytes: /usr/data is full.
  const rlimit full = {64, 64};
  ASSERT_EQ(prlimit(daemon.pid(), RLIMIT_FSIZE, &full, nullptr), 0) << strerror(errno);
  const std::vector<uint8_t> red = solid_jpeg(480, 480, 0xE02020);
  ASSERT_TRUE(send_picture(daemon, red)) << daemon.output();

  EXPECT_EQ(read_file(daemon.root() + "/usr/data/aio.jpg"), std::string(blue.begin(), blue.end()));
  EXPECT_TRUE(centre_shows(daemon, 0xE02020)) << daemon.output();
  EXPECT_NE(daemon.output().find("/usr/data/aio.jpg not stored: the picture is shown from memory"),
            std::string::npos) << daemon.output();
  EXPECT_TRUE(daemon.running());
}

// A picture whose packages did not all come is refused: the bytes of the missing one would be
// those of the picture before, and the panel would show a mix of the two. The picture and the
// file from before stay.
TEST(Controller, APictureMissingAPackageIsRefusedNotMixedWithTheOneBefore) {
  DaemonUnderTest daemon;
  wait_for_controller(daemon);
  const std::vector<uint8_t> blue = solid_jpeg(480, 480, 0x00A0FF);
  ASSERT_TRUE(send_picture(daemon, blue)) << daemon.output();
  ASSERT_TRUE(centre_shows(daemon, 0x00A0FF));

  const std::vector<uint8_t> red = solid_jpeg(480, 480, 0xE02020);
  ASSERT_GT(red.size(), 3 * 220u);
  for (size_t package = 0; package * 220 < red.size(); ++package) {
    if (package == 1) continue;  // lost on the way
    Frame frame = frame_of(0x99);
    frame[3] = uint8_t(package);
    memcpy(frame.data() + 4, red.data() + package * 220, std::min<size_t>(220, red.size() - package * 220));
    daemon.send_to_daemon_as_controller(frame);
  }
  Frame end = frame_of(0x99);
  end[3] = 255;
  end[4] = uint8_t(red.size() >> 8);
  end[5] = uint8_t(red.size());
  daemon.send_to_daemon_as_controller(end);
  ASSERT_TRUE(daemon.wait_for("package 1 missing")) << daemon.output();
  EXPECT_EQ(read_file(daemon.root() + "/usr/data/aio.jpg"), std::string(blue.begin(), blue.end()));
  EXPECT_TRUE(centre_shows(daemon, 0x00A0FF));

  // The next picture that comes whole is shown: the refused one left nothing behind.
  ASSERT_TRUE(send_picture(daemon, red)) << daemon.output();
  EXPECT_EQ(read_file(daemon.root() + "/usr/data/aio.jpg"), std::string(red.begin(), red.end()));
  EXPECT_TRUE(centre_shows(daemon, 0xE02020));
}

// A wireless record's rotation that comes while the host's rotation (0x0D) is being applied:
// whichever wins, the screen and the rotation the daemon keeps agree, so the next record that
// asks for the host's rotation is not taken for one already applied.
TEST(Controller, AWirelessRotationRacingTheHostsLeavesTheScreenAsLastAsked) {
  const std::string root = make_temp_root();
  const std::string rotator_dir = root + "/sys/bus/platform/drivers/ingenic-fb/ingenic-fb.0";
  fs::create_directories(rotator_dir);
  const std::string rotator = rotator_dir + "/rotator_angle";
  struct RootRemoval {  // after the daemon has stopped
    std::string root;
    ~RootRemoval() { fs::remove_all(root); }
  } removal{root};
  DaemonUnderTest daemon(HostPort::pty, root);
  wait_for_controller(daemon);
  daemon.send_to_daemon_as_controller(status_frame(1));
  ASSERT_TRUE(daemon.wait_for("control mode = 1")) << daemon.output();
  const char *angles[] = {"0", "90", "180", "270"};
  auto wireless = [](uint8_t rotation) {
    Frame frame = status_frame(1);
    frame[55] = rotation;
    return frame;
  };
  // {host, wireless}: each differs from the other and from the rotation before.
  const std::pair<uint8_t, uint8_t> rounds[] = {{2, 1}, {3, 1}, {1, 0}, {2, 0}, {3, 1}};
  int round = 0;
  for (const auto &[host, record] : rounds) {
    SCOPED_TRACE("host " + std::to_string(host) + ", record " + std::to_string(record));
    ++round;
    const uint8_t code[1] = {host};
    daemon.send(build_packet(CMD_SET_ROTATION, {1, 2, 3, 4}, code));
    // The host's rotation is under way: the record comes now, then one that asks for the
    // host's rotation, then a status frame of another mode, which the controller thread
    // takes only once it is done with the two before.
    ASSERT_TRUE(wait_until([&] { return read_file(rotator) == angles[host]; }, 20000ms))
        << read_file(rotator) << "\n" << daemon.output();
    daemon.send_to_daemon_as_controller(wireless(record));
    daemon.send_to_daemon_as_controller(wireless(host));
    daemon.send_to_daemon_as_controller(status_frame(2));
    ReplyBytes reply{};
    ASSERT_TRUE(daemon.read_reply(reply, 20000));
    EXPECT_FALSE(reports_failure(reply));
    ASSERT_TRUE(daemon.wait_for("control mode = 2", round, 20000)) << daemon.output();
    EXPECT_EQ(read_file(rotator), angles[host]);

    daemon.send_to_daemon_as_controller(status_frame(1));
    ASSERT_TRUE(daemon.wait_for("control mode = 1", round + 1, 20000)) << daemon.output();
  }
}

TEST(Controller, AKnobStepSwitchesTheBackgroundToTheNextTheme) {
  SKIP_WITHOUT_H264_PICTURES();
  std::string root = make_temp_root();
  fs::create_directories(root + "/media");
  fs::copy(std::string(DH_SOURCE_DIR) + "/media/bg_h264", root + "/media/bg_h264");
  fs::create_directories(root + "/usr/data");
  write_bytes(root + "/usr/data/lvgl_app.cfg", std::vector<uint8_t>(16, 0));
  {
    DaemonUnderTest daemon(HostPort::pty, root);
    wait_for_controller(daemon);
    ASSERT_TRUE(daemon.wait_for("found 264 file 1"));
    Frame knob = status_frame(0);
    knob[56] = 1;
    daemon.send_to_daemon_as_controller(knob);
    EXPECT_TRUE(daemon.wait_for("receive encoder data, update theme index")) << daemon.output();
    EXPECT_TRUE(daemon.wait_for("switch h264 file ")) << daemon.output();
    // Theme 1 is teal; the pixel at (330, 400) stays clear of the boxes and the grid.
    PanelPicture picture;
    std::string error;
    wait_until([&] { return compose_panel(root, picture, error) && near_colour(picture.at(330, 400), 0x2A9D8F, 24); },
               20000ms);
    ASSERT_TRUE(error.empty()) << error;
    EXPECT_TRUE(near_colour(picture.at(330, 400), 0x2A9D8F, 24)) << std::hex << picture.at(330, 400);
  }
  fs::remove_all(root);
}
