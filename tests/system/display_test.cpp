// What the screen shows, through the real daemon: the boot logo, host pictures, the overlay,
// the slideshow and the preset, checked on the simulated panel's composed picture.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>

#include "crypto/host_packet.h"
#include "platform/panel_view.h"
#include "tests/support/target.h"
#include "tests/system/daemon_harness.h"
#include "tests/system/media.h"

extern char **environ;

namespace fs = std::filesystem;

namespace {

constexpr uint32_t red = 0xFF0000, green = 0x00C000, blue = 0x0000FF, white = 0xFFFFFF;

PanelPicture screen(const DaemonUnderTest &daemon) {
  PanelPicture picture;
  std::string error;
  EXPECT_TRUE(compose_panel(daemon.root(), picture, error)) << error;
  return picture;
}

uint32_t centre(const DaemonUnderTest &daemon) {
  PanelPicture picture = screen(daemon);
  if (picture.pixels.empty()) return 0xDEADBEEF;
  return picture.at(picture.width / 2, picture.height / 2) & 0xFFFFFF;
}

std::span<const uint8_t> as_span(const std::vector<uint8_t> &bytes) { return bytes; }

ReplyCheck send_picture(DaemonUnderTest &daemon, uint8_t code, const std::vector<uint8_t> &data) {
  uint8_t payload[4];
  write_be32(payload, uint32_t(data.size()));
  ReplyBytes reply{};
  return daemon.transact(code, payload, reply, as_span(data));
}

// Waits until the centre of the screen shows `colour`.
bool wait_for_colour(const DaemonUnderTest &daemon, uint32_t colour, int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < deadline) {
    PanelPicture picture;
    std::string error;
    if (compose_panel(daemon.root(), picture, error) &&
        near_colour(picture.at(picture.width / 2, picture.height / 2), colour)) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

std::string root_with_logo(uint32_t colour) {
  std::string root = make_temp_root();
  write_bytes(root + "/media/logo.jpg", solid_jpeg(480, 480, colour));
  return root;
}

}  // namespace

TEST(Display, BootLogoThenHostJpegThenPngOverlay) {
  std::string root = root_with_logo(blue);
  {
    DaemonUnderTest daemon(HostPort::pty, root);
    EXPECT_TRUE(near_colour(centre(daemon), blue)) << std::hex << centre(daemon);

    ASSERT_EQ(send_picture(daemon, CMD_SHOW_JPG, solid_jpeg(640, 360, red)), ReplyCheck::ok);
    EXPECT_TRUE(near_colour(centre(daemon), red)) << std::hex << centre(daemon);

    // A half-transparent white overlay over the top 100 rows.
    ASSERT_EQ(send_picture(daemon, CMD_SHOW_PNG, solid_png(480, 100, 0x80FFFFFF)), ReplyCheck::ok);
    PanelPicture picture = screen(daemon);
    ASSERT_EQ(picture.width, 480);
    EXPECT_TRUE(near_colour(picture.at(240, 50), 0xFF7F7F, 8)) << std::hex << picture.at(240, 50);
    EXPECT_TRUE(near_colour(picture.at(240, 300), red)) << std::hex << picture.at(240, 300);

    // A corrupt JPEG leaves the picture as it was.
    std::vector<uint8_t> corrupt = solid_jpeg(480, 480, green);
    corrupt.resize(corrupt.size() / 3);
    ASSERT_EQ(send_picture(daemon, CMD_SHOW_JPG, corrupt), ReplyCheck::ok);
    ASSERT_EQ(send_picture(daemon, CMD_SHOW_JPG, {0x12, 0x34}), ReplyCheck::ok);
    EXPECT_TRUE(daemon.wait_for("Unable to open jpeg decoder"));
    EXPECT_TRUE(near_colour(screen(daemon).at(240, 300), red)) << std::hex << screen(daemon).at(240, 300);
  }
  fs::remove_all(root);
}

TEST(Display, PictureFromTheDevicesFilesAndMissingOnes) {
  DaemonUnderTest daemon;
  write_bytes(daemon.root() + "/usr/data/aio.jpg", solid_jpeg(300, 300, green));
  ReplyBytes reply{};
  ASSERT_EQ(daemon.transact(CMD_PLAY_LOCAL_JPG, as_span(std::vector<uint8_t>()), reply), ReplyCheck::ok);
  std::string payload = name_payload("/usr/data/aio.jpg");
  ASSERT_EQ(daemon.transact(CMD_PLAY_LOCAL_JPG, std::span(reinterpret_cast<const uint8_t *>(payload.data()), payload.size()), reply),
            ReplyCheck::ok);
  EXPECT_TRUE(near_colour(centre(daemon), green)) << std::hex << centre(daemon);
  EXPECT_TRUE(daemon.wait_for("Failed to open src file"));  // the missing logo and the empty name
}

TEST(Display, RotationBrightnessAndFrameRateReachTheDevice) {
  std::string root = make_temp_root();
  write_bytes(root + "/media/logo.jpg", solid_jpeg(64, 64, white));
  fs::create_directories(root + "/sys/class/graphics/fb0");
  std::ofstream(root + "/sys/class/graphics/fb0/virtual_size") << "720,1600\n";
  fs::create_directories(root + "/sys/class/backlight/backlight_pwm0");
  fs::create_directories(root + "/sys/bus/platform/drivers/ingenic-fb/ingenic-fb.0");
  {
    DaemonUnderTest daemon(HostPort::pty, root);
    EXPECT_TRUE(daemon.wait_for("open_fb 720 1472 ")) << daemon.output();
    ReplyBytes reply{};
    const uint8_t rotate_90[] = {1};
    ASSERT_EQ(daemon.transact(CMD_SET_ROTATION, rotate_90, reply), ReplyCheck::ok);
    EXPECT_EQ(read_file(root + "/sys/bus/platform/drivers/ingenic-fb/ingenic-fb.0/rotator_angle"), "90");
    EXPECT_EQ(uint8_t(read_file(root + "/usr/data/app.cfg")[3]), 1);
    EXPECT_TRUE(daemon.wait_for("open_fb 1600 720 ")) << daemon.output();

    const uint8_t level_150[] = {150}, level_0[] = {0};
    ASSERT_EQ(daemon.transact(CMD_SET_BRIGHTNESS, level_150, reply), ReplyCheck::ok);
    EXPECT_EQ(read_file(root + "/sys/class/backlight/backlight_pwm0/brightness"), "100");
    ASSERT_EQ(daemon.transact(CMD_SET_BRIGHTNESS, level_0, reply), ReplyCheck::ok);
    EXPECT_EQ(read_file(root + "/sys/class/backlight/backlight_pwm0/brightness"), "0");

    const uint8_t fps_30[] = {30}, fps_0[] = {0};
    ASSERT_EQ(daemon.transact(CMD_SET_FRAMERATE, fps_30, reply), ReplyCheck::ok);
    EXPECT_TRUE(daemon.wait_for("set  frameTime: 33 ms "));
    ASSERT_EQ(daemon.transact(CMD_SET_FRAMERATE, fps_0, reply), ReplyCheck::ok);
  }
  {
    // The stored rotation is applied at the next start, before the logo.
    DaemonUnderTest daemon(HostPort::pty, root);
    EXPECT_TRUE(daemon.wait_for("open_fb 1600 720 ")) << daemon.output();
    PanelPicture picture = screen(daemon);
    EXPECT_EQ(picture.width, 1600);
    EXPECT_EQ(picture.height, 720);
  }
  fs::remove_all(root);
}

TEST(Display, SlideshowCyclesTheCardsImagesAndStops) {
  DaemonUnderTest daemon;
  std::string img = daemon.root() + "/tmp/sdcard/mmcblk0p1/img/";
  write_bytes(img + "a.jpg", solid_jpeg(480, 480, red));
  write_bytes(img + "b.jpg", solid_jpeg(480, 480, blue));
  // Preset mode 1 starts the slideshow at the next start.
  ReplyBytes reply{};
  const uint8_t mode_1[] = {60, 1, 0, 0, 0, 0};
  ASSERT_EQ(daemon.transact(CMD_SET_CONFIG, mode_1, reply), ReplyCheck::ok);
  std::string root = daemon.root();
  daemon.stop();

  DaemonUnderTest restarted(HostPort::pty, root);
  ASSERT_TRUE(restarted.wait_for("jpg thread start")) << restarted.output();
  EXPECT_TRUE(wait_for_colour(restarted, red, 20000) || wait_for_colour(restarted, blue, 20000));
  EXPECT_TRUE(wait_for_colour(restarted, red, 20000));
  EXPECT_TRUE(wait_for_colour(restarted, blue, 20000));

  ASSERT_EQ(restarted.transact(CMD_STOP_LOCAL_JPG, {}, reply), ReplyCheck::ok);
  EXPECT_TRUE(restarted.wait_for("jpg thread end", 1, 20000)) << restarted.output();
  uint32_t last = centre(restarted);
  // Not synchronisation: a slideshow still running would show its next picture within this
  // time (it turns each second); a busy machine could only hide that, never fail the test.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(centre(restarted), last);
}

TEST(Display, NoDisplayMeansExitStatus255) {
  std::string root = make_temp_root();
  fs::create_directories(root + "/sys/class/graphics/fb0");
  std::ofstream(root + "/sys/class/graphics/fb0/virtual_size") << "garbage";
  std::string program = build_dir() + "/displayhead";
  std::vector<std::string> env_text = {"DISPLAYHEAD_ROOT=" + root};
  for (char **e = environ; *e != nullptr; ++e) {
    if (strncmp(*e, "DISPLAYHEAD_ROOT=", 17) != 0) env_text.emplace_back(*e);
  }
  std::vector<char *> envp;
  for (std::string &e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> words = program_words(program);
  std::vector<char *> argv = argv_of(words);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()), 0);
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 255);
  EXPECT_FALSE(fs::exists(root + "/usr/data/app.cfg"));  // nothing else ran
  fs::remove_all(root);
}
