// The USB connection monitor: the probe on the gadget state file, the attach/detach decision
// over a run of probes, and what each action does to the screen.
#include <gtest/gtest.h>

#include <dirent.h>

#include <cstdio>
#include <mutex>
#include <vector>

#include "disp/disp.h"
#include "disp/image.h"
#include "h264/local_player.h"
#include "screen/player.h"
#include "screen/screen.h"
#include "storage/util.h"
#include "tests/mcu/gui_sandbox.h"
#include "usb_state/usb_state.h"

namespace {

using namespace std::chrono_literals;

const std::string state_file = "/sys/class/udc/13500000.otg/state";
const std::string backlight_file = "/sys/class/backlight/backlight_pwm0/brightness";

int open_descriptors() {
  int count = 0;
  DIR *dir = opendir("/proc/self/fd");
  while (dir != nullptr && readdir(dir) != nullptr) ++count;
  if (dir != nullptr) closedir(dir);
  return count;
}

TEST(UsbProbe, ReadsTheStateWordFromAPlainFile) {
  const struct {
    const char *text;
    int state;
  } cases[] = {
      {"configured\n", 1}, {"configured", 1},  {"not attached\n", 0}, {"suspended\n", 0},
      {"configured2\n", 0}, {"configure\n", 0}, {"", 0},               {"\nconfigured", 0},
  };
  for (const auto &c : cases) {
    write_device_file(state_file, c.text);
    EXPECT_EQ(get_usb_state(), c.state) << '"' << c.text << '"';
  }
  write_device_file(state_file, std::string(500, 'x'));  // longer than the buffer
  EXPECT_EQ(get_usb_state(), 0);
}

TEST(UsbProbe, AMissingAttributeIsMinusOneWithItsMessage) {
  remove_device_file(state_file);
  const std::string out = stdout_of([] { EXPECT_EQ(get_usb_state(), -1); });
  EXPECT_EQ(out, "open /sys/class/udc/13500000.otg/state fail\n");
}

TEST(UsbProbe, EveryProbeClosesItsDescriptor) {
  const int before = open_descriptors();
  write_device_file(state_file, "configured\n");
  for (int i = 0; i < 50; ++i) get_usb_state();
  remove_device_file(state_file);
  stdout_of([] {
    for (int i = 0; i < 50; ++i) get_usb_state();
  });
  EXPECT_EQ(open_descriptors(), before);
}

// Runs probes through a monitor; the polls (1-based) at which it acted.
struct Acted {
  std::vector<int> attach, detach;
};
Acted run(UsbMonitor &monitor, const std::vector<int> &probes, bool halted = false) {
  Acted acted;
  int poll = 0;
  for (int probe : probes) {
    ++poll;
    switch (monitor.step(probe, halted)) {
      case UsbAction::attach: acted.attach.push_back(poll); break;
      case UsbAction::detach: acted.detach.push_back(poll); break;
      case UsbAction::none: break;
    }
  }
  return acted;
}
std::vector<int> repeat(int probe, int times) { return std::vector<int>(size_t(times), probe); }
std::vector<int> operator+(std::vector<int> a, const std::vector<int> &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
using Polls = std::vector<int>;

TEST(UsbMonitorTable, FromStart) {
  {
    UsbMonitor m;  // host attached at power-on: at once, not debounced
    EXPECT_EQ(run(m, {1, 1, 1}).attach, Polls{1});
    EXPECT_EQ(m.last_state, 1);
  }
  {
    UsbMonitor m;  // host absent at power-on: the tenth poll
    Acted acted = run(m, repeat(0, 25));
    EXPECT_EQ(acted.detach, Polls{10});
    EXPECT_EQ(m.last_state, 0);
  }
  {
    UsbMonitor m;  // unreadable from the start: equal to the start state
    EXPECT_TRUE(run(m, repeat(-1, 30)).detach.empty());
    EXPECT_EQ(m.change_count, 0);
  }
}

TEST(UsbMonitorTable, DetachCountsTenDifferingPollsNotNecessarilyInARow) {
  {
    UsbMonitor m;  // unplugged five seconds, back, unplugged five more: detach then
    run(m, {1});
    Acted acted = run(m, repeat(0, 5) + repeat(1, 7) + repeat(0, 5) + repeat(0, 3));
    EXPECT_TRUE(acted.attach.empty());  // the replug matched the last state
    EXPECT_EQ(acted.detach, Polls{17});
    EXPECT_EQ(m.change_count, 0);
  }
  {
    UsbMonitor m;  // unconfigured and unreadable both count; the tenth decides the state
    run(m, {1});
    EXPECT_EQ(run(m, {0, -1, 0, -1, 0, -1, 0, -1, 0, -1}).detach, Polls{10});
    EXPECT_EQ(m.last_state, -1);
    // From -1 an unconfigured gadget counts again, towards another detach.
    EXPECT_EQ(run(m, repeat(0, 10)).detach, Polls{10});
    EXPECT_EQ(m.last_state, 0);
    EXPECT_EQ(run(m, repeat(-1, 10)).detach, Polls{10});
    EXPECT_EQ(m.last_state, -1);
  }
}

TEST(UsbMonitorTable, AttachResetsTheCounter) {
  UsbMonitor m;
  Acted acted = run(m, repeat(0, 6) + Polls{1} + repeat(0, 9) + Polls{0});
  EXPECT_EQ(acted.attach, Polls{7});
  EXPECT_EQ(acted.detach, Polls{17});
  // From 0, a probe of 1 attaches at once again.
  EXPECT_EQ(run(m, {0, 1}).attach, Polls{2});
}

TEST(UsbMonitorTable, HaltedChangesNothing) {
  UsbMonitor m;
  run(m, {1});
  run(m, repeat(0, 5));
  Acted acted = run(m, repeat(0, 20) + repeat(1, 3) + repeat(0, 20), true);
  EXPECT_TRUE(acted.attach.empty());
  EXPECT_TRUE(acted.detach.empty());
  EXPECT_EQ(m.last_state, 1);
  EXPECT_EQ(m.change_count, 5);
}

class UsbActions : public testing::Test {
 protected:
  void SetUp() override {
    write_device_file(backlight_file, "");
    bright = 60;
    cfg.mode = 0;
    cfg.keep_on = 0;
    lvgl_state = 1;
    ImgPlaying = 0;
    test_h264 = 0;
  }
  void TearDown() override {
    ImgPlaying = 0;
    wait_for_players();
  }
};

TEST_F(UsbActions, AttachStartsThePresetContentAndTheBacklight) {
  cfg.mode = 0;  // no preset: only the backlight
  EXPECT_EQ(stdout_of([] { usb_attach_action(); }), "set_brightness 60\n60 2\n");
  EXPECT_EQ(local_h264_players(), 0);

  cfg.mode = 2;
  snprintf(cfg.local_path, sizeof cfg.local_path, "/usr/data/preset.h264");
  const std::string out = stdout_of([] { usb_attach_action(); });
  EXPECT_EQ(screen_view().player_path, "/usr/data/preset.h264");
  EXPECT_NE(out.find("set_brightness 60"), std::string::npos) << out;
  EXPECT_EQ(read_device_file(backlight_file), "60");

  cfg.mode = 1;
  write_device_file("/tmp/sdcard/mmcblk0p1/img/.keep", "");
  stdout_of([] {
    usb_attach_action();
    EXPECT_TRUE(wait_until([] { return ImgPlaying == 1; }, 20000ms));  // the slideshow runs
  });
}

TEST_F(UsbActions, DetachBlanksStopsTheSlideshowAndHandsTheScreenBack) {
  ImgPlaying = 1;
  lvgl_state = 0;
  const std::string out = stdout_of([] { usb_detach_action(); });
  const size_t off = out.find("set_brightness 0\n");
  const size_t resumed = out.find("restore lvgl");
  const size_t on = out.rfind("set_brightness 60\n");
  ASSERT_NE(off, std::string::npos) << out;
  ASSERT_NE(resumed, std::string::npos) << out;
  ASSERT_NE(on, std::string::npos) << out;
  EXPECT_LT(off, resumed);
  EXPECT_LT(resumed, on);
  EXPECT_EQ(ImgPlaying, 0);
  EXPECT_EQ(lvgl_state, 1);
  EXPECT_EQ(data_update_type, 3);
  EXPECT_EQ(bright, 60);  // the remembered level survives the blanking
  EXPECT_EQ(read_device_file(backlight_file), "60");
}

TEST_F(UsbActions, DetachWithKeepOnLeavesTheSlideshowAndBacklight) {
  cfg.keep_on = 1;
  ImgPlaying = 1;
  const std::string out = stdout_of([] { usb_detach_action(); });
  EXPECT_EQ(out.find("set_brightness 0\n"), std::string::npos) << out;
  EXPECT_EQ(ImgPlaying, 1);
}

// The host goes while the slideshow the attach started is still opening its folder (ImgPlaying
// 2). With keep_on it counts as running: the resume does not start the background, whose
// first block would end the slideshow before its first picture.
TEST_F(UsbActions, DetachWithKeepOnKeepsASlideshowStillStarting) {
  cfg.keep_on = 1;
  write_device_file("/tmp/sdcard/mmcblk0p1/img/slide.jpg", "a picture");
  write_device_file(h264_bg_filses[current_theme_index], std::string(4096, '\0'));
  // The slideshow thread prints before it opens its folder: while this thread holds standard
  // output, the start stays on its way. Nothing here may return early until it is released.
  flockfile(stdout);
  const int started = play_local_jpg_async();
  const int32_t while_starting = ImgPlaying;
  usb_detach_action();
  const ScreenView view = screen_view();
  funlockfile(stdout);

  EXPECT_EQ(started, 0);
  EXPECT_EQ(while_starting, 2);
  EXPECT_FALSE(view.player_wanted) << "layer 0: " << layer0_name(view.layer0);
  EXPECT_TRUE(wait_until([] { return ImgPlaying != 2; }, 20000ms));
  EXPECT_EQ(ImgPlaying, 1);  // its folder open, the slideshow runs on
  stdout_of([] { stop_local_h264(); });
}

TEST_F(UsbActions, APollPublishesTheStateEvenWhenHalted) {
  UsbMonitor monitor;
  write_device_file(state_file, "configured\n");
  test_h264 = 1;
  EXPECT_EQ(stdout_of([&] { usb_poll_once(monitor); }), "");
  EXPECT_EQ(usb_connect_state, 1);
  EXPECT_EQ(monitor.last_state, -1);

  test_h264 = 0;
  EXPECT_NE(stdout_of([&] { usb_poll_once(monitor); }).find("set_brightness 60"),
            std::string::npos);
  EXPECT_EQ(monitor.last_state, 1);

  write_device_file(state_file, "not attached\n");
  stdout_of([&] { usb_poll_once(monitor); });
  EXPECT_EQ(usb_connect_state, 0);
  EXPECT_EQ(monitor.change_count, 1);
}

}  // namespace
