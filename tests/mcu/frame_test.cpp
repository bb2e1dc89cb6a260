// Frame processing as the controller thread does it for every frame with a valid header: the
// control mode, the status record, the action by type with the publish to the real GUI block
// (under the sandbox root), pictures, the theme follow and the save check.
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "disp/disp.h"
#include "h264/local_player.h"
#include "screen/player.h"
#include "screen/screen.h"
#include "mcu/gui_shm.h"
#include "mcu/mcu.h"
#include "storage/util.h"
#include "tests/mcu/controller_frames.h"
#include "tests/mcu/gui_sandbox.h"
#include "usb_state/usb_state.h"

namespace {

using testing::HasSubstr;
using testing::Not;

constexpr const char *backlight = "/sys/class/backlight/backlight_pwm0/brightness";
constexpr const char *rotator = "/sys/bus/platform/drivers/ingenic-fb/ingenic-fb.0/rotator_angle";

class FrameProcessing : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    write_device_file("/usr/data/.keep", "");
    testing::internal::CaptureStdout();
    gui_shm_create();
    testing::internal::GetCapturedStdout();
    block = map_block_for_reading();
  }

  void SetUp() override {
    ASSERT_NE(block, nullptr);
    control_mode = 0;
    water_temp = 0;
    pump_speed = 0;
    current_theme_index = 0;
    last_theme_index = 0;
    pc_send_theme_mark = 0;
    lvgl_state = 1;
    data_update_mark = 0;
    data_update_type = 0;
    usb_connect_state = 0;
    lvgl_cfg = GuiConfig{0, 13, 16};
    reset_save_counter();
    memset(block->record, 0, sizeof block->record);
    block->new_data = 0;
  }

  void TearDown() override {
    stop_local_h264();
    wait_for_players();
  }

  // Processes the frames and returns what was printed on standard output.
  static std::string process(std::initializer_list<Frame> frames) {
    return stdout_of([&] {
      for (const Frame &frame : frames) process_controller_frame(frame.data());
    });
  }

  static std::vector<uint8_t> record(size_t first, size_t count) {
    return {block->record + first, block->record + first + count};
  }

  static GuiSharedBlock *block;
};
GuiSharedBlock *FrameProcessing::block = nullptr;

TEST_F(FrameProcessing, StatusFrameWhileShownIsPublishedWithModeTemperatureAndPump) {
  const std::string out = process({status_frame(2, 0x1E, 0x05DC)});
  EXPECT_EQ(control_mode, 2);
  EXPECT_EQ(water_temp, 30);
  EXPECT_EQ(pump_speed, 1500);
  EXPECT_THAT(out, HasSubstr("control mode = 2\n"));
  EXPECT_THAT(out, HasSubstr("online data"));
  EXPECT_EQ(block->new_data, 1);
  EXPECT_EQ(record(0, 5), (std::vector<uint8_t>{0xA1, 0x51, 0, 2, 30}));
  EXPECT_EQ(record(11, 2), (std::vector<uint8_t>{0x05, 0xDC}));
  EXPECT_EQ(block->record[127], 0xB1);

  // The same mode again is no change.
  EXPECT_THAT(process({status_frame(2, 31, 1500)}), Not(HasSubstr("control mode")));
  EXPECT_EQ(water_temp, 31);
}

TEST_F(FrameProcessing, BeforeStartUpStatusFramesChangeOnlyTheModeAndKeepPublishing) {
  lvgl_state = 0xFF;
  std::string out = process({status_frame(1, 40, 900)});
  EXPECT_EQ(control_mode, 1);
  EXPECT_EQ(water_temp, 0);
  EXPECT_EQ(pump_speed, 0);
  EXPECT_THAT(out, HasSubstr("wireless data"));  // the change asked for a publish
  EXPECT_EQ(block->new_data, 1);

  // The request is not cleared by publishing: every later frame publishes too.
  block->new_data = 0;
  out = process({make_frame(0x12)});
  EXPECT_THAT(out, HasSubstr("wireless data"));
  EXPECT_EQ(block->new_data, 1);
}

TEST_F(FrameProcessing, OtherFramesPublishOnlyWhenAsked) {
  process({make_frame(0x12), make_frame(frame_wake)});
  EXPECT_EQ(block->new_data, 0);
  data_update_mark = 1;
  EXPECT_THAT(process({make_frame(0x12)}), HasSubstr("offline data"));
  EXPECT_EQ(block->new_data, 1);
}

TEST_F(FrameProcessing, StatusRecordForTheHost) {
  Frame frame = make_frame(frame_host_data);
  for (int i = 3; i < controller_frame_len; ++i) frame[size_t(i)] = uint8_t(i);
  process({frame});

  uint8_t reply[512];
  memset(reply, 0xEE, sizeof reply);
  const std::string out = stdout_of([&] { mcu_get_data(reply); });
  for (int i = 0; i < 17; ++i) EXPECT_EQ(reply[8 + i], 3 + i) << i;
  for (int i = 17; i < 32; ++i) EXPECT_EQ(reply[8 + i], 35 + i) << i;
  for (int i = 40; i < 72; ++i) EXPECT_EQ(reply[i], 0) << i;
  EXPECT_EQ(reply[72], 0xEE);
  EXPECT_THAT(out, HasSubstr("send to pc current control mode=0\n3 4 5 6 "));

  // Any other frame refills all 32 bytes from its bytes 35..66.
  Frame other = make_frame(0x12);
  for (int i = 35; i < 67; ++i) other[size_t(i)] = uint8_t(0x80 + i);
  process({other});
  stdout_of([&] { mcu_get_data(reply); });
  for (int i = 0; i < 32; ++i) EXPECT_EQ(reply[8 + i], 0x80 + 35 + i) << i;
}

TEST_F(FrameProcessing, WakeFrameResumesThePausedGuiOnlyInWirelessMode) {
  lvgl_state = 0;
  process({make_frame(frame_wake)});
  EXPECT_EQ(lvgl_state, 0);  // offline: no resume

  control_mode = 1;
  process({make_frame(frame_wake)});
  EXPECT_EQ(lvgl_state, 1);
  // The resume command went out with this frame's publish.
  EXPECT_EQ(block->record[1], 0x99);
  EXPECT_EQ(record(2, 3), (std::vector<uint8_t>{0x65, 0x43, 0x21}));
  EXPECT_EQ(data_update_type, 0);
}

TEST_F(FrameProcessing, KnobStepsTheThemeOnlyOffline) {
  current_theme_index = last_theme_index = 12;
  data_update_mark = 1;
  const Frame knob = make_frame(0x12, {{frame_at::knob_step, 1}});
  EXPECT_THAT(process({knob}), HasSubstr("receive encoder data, update theme index\r\n"));
  EXPECT_EQ(current_theme_index, 0);  // 13 themes: 12 steps to 0
  EXPECT_EQ(block->record[34], 0);

  // Settings never loaded (theme count 0): the table's 13 themes, no division by zero.
  lvgl_cfg.theme_count = 0;
  process({knob});
  EXPECT_EQ(current_theme_index, 1);
  lvgl_cfg.theme_count = 200;
  current_theme_index = 12;
  process({knob});
  EXPECT_EQ(current_theme_index, 0);

  control_mode = 2;  // online, no host record: the knob flag does nothing
  process({knob});
  EXPECT_EQ(current_theme_index, 0);
}

TEST_F(FrameProcessing, WirelessRecordSetsThemeBrightnessAndRotation) {
  write_device_file(backlight, "");
  write_device_file(rotator, "");
  bright = 77;
  current_bright = 77;
  cfg.local_rotation = 0;
  Frame frame = make_frame(0x12, {{frame_at::theme, 5}, {frame_at::brightness, 0},
                                  {frame_at::rotation, 1}});
  for (int i = 35; i < 67; ++i) frame[size_t(i)] = uint8_t(i);
  frame[frame_at::rotation] = 1;
  control_mode = 1;
  data_update_mark = 1;
  EXPECT_THAT(process({frame}), HasSubstr("wireless data"));

  EXPECT_EQ(current_theme_index, 5);
  EXPECT_EQ(read_device_file(backlight), "0");
  EXPECT_EQ(bright, 77);  // brightness 0 darkens and keeps the level
  EXPECT_EQ(cfg.local_rotation, 1);
  EXPECT_EQ(read_device_file(rotator), "90");
  EXPECT_EQ(block->record[34], 5);
  EXPECT_EQ(block->record[40], 40);  // the record copied through
  // The theme follow switched the background video.
  EXPECT_EQ(last_theme_index, 5);
  EXPECT_STREQ(local_h264_switch_path.load(), h264_bg_filses[5]);

  frame[frame_at::brightness] = 60;
  process({frame});
  EXPECT_EQ(read_device_file(backlight), "60");
  EXPECT_EQ(bright, 60);
}

TEST_F(FrameProcessing, WhileTheGuiHoldsTheBlockFramesStillTakeEffect) {
  write_device_file(backlight, "");
  write_device_file(rotator, "");
  bright = current_bright = 77;
  cfg.local_rotation = 0;
  // The GUI process takes the block's mutex and keeps it until told.
  int locked[2], release[2];
  ASSERT_EQ(pipe(locked), 0);
  ASSERT_EQ(pipe(release), 0);
  const pid_t gui = fork();
  if (gui == 0) {
    alarm(10);
    if (pthread_mutex_lock(&block->mutex) != 0) _exit(1);
    char byte = 0;
    if (write(locked[1], "L", 1) != 1 || read(release[0], &byte, 1) != 1) _exit(2);
    _exit(pthread_mutex_unlock(&block->mutex));
  }
  char byte = 0;
  ASSERT_EQ(read(locked[0], &byte, 1), 1);

  // Each publish is skipped, but the knob step, and the wireless theme, brightness and
  // rotation, take effect all the same.
  data_update_mark = 1;
  process({make_frame(0x12, {{frame_at::knob_step, 1}})});
  EXPECT_EQ(current_theme_index, 1);
  Frame wireless = make_frame(0x12, {{frame_at::theme, 7}, {frame_at::brightness, 50},
                                     {frame_at::rotation, 1}, {40, 40}});
  control_mode = 1;
  data_update_mark = 1;
  process({wireless});
  EXPECT_EQ(current_theme_index, 7);
  EXPECT_EQ(read_device_file(backlight), "50");
  EXPECT_EQ(read_device_file(rotator), "90");
  EXPECT_EQ(last_theme_index, 7);  // the theme follow too
  EXPECT_EQ(block->record[34], 0);  // nothing written under the holder
  EXPECT_EQ(block->new_data, 0);

  ASSERT_EQ(write(release[1], "R", 1), 1);
  int status = 0;
  ASSERT_EQ(waitpid(gui, &status, 0), gui);
  EXPECT_EQ(status, 0);
  for (int fd : {locked[0], locked[1], release[0], release[1]}) close(fd);

  // The next publish, offline again, carries the state of then and the skipped copy.
  control_mode = 0;
  data_update_mark = 1;
  process({make_frame(0x12)});
  EXPECT_EQ(block->record[34], 7);
  EXPECT_EQ(block->record[40], 40);
  EXPECT_EQ(block->record[3], 0);
  EXPECT_EQ(block->new_data, 1);
}

TEST_F(FrameProcessing, WirelessRecordWhileTheHostIsConnectedTakesOnlyTheTheme) {
  usb_connect_state = 1;
  write_device_file(backlight, "");
  write_device_file(rotator, "");
  remove_device_file(backlight);  // their folders stay: a write would create them again
  remove_device_file(rotator);
  cfg.local_rotation = 0;
  control_mode = 1;
  data_update_mark = 1;
  process({make_frame(0x12, {{frame_at::theme, 9}, {frame_at::brightness, 0},
                             {frame_at::rotation, 2}})});
  EXPECT_EQ(current_theme_index, 9);
  EXPECT_EQ(read_device_file(backlight), "<missing>");
  EXPECT_EQ(read_device_file(rotator), "<missing>");
  EXPECT_EQ(cfg.local_rotation, 0);
}

TEST_F(FrameProcessing, ThemeIndicesBeyondTheTableAreIgnored) {
  current_theme_index = last_theme_index = 4;
  usb_connect_state = 1;
  control_mode = 1;
  data_update_mark = 1;
  for (uint8_t theme : {uint8_t(13), uint8_t(255)}) {
    testing::internal::CaptureStderr();
    process({make_frame(0x12, {{frame_at::theme, theme}})});
    EXPECT_THAT(testing::internal::GetCapturedStderr(), HasSubstr("out of range"));
    EXPECT_EQ(current_theme_index, 4);
    EXPECT_EQ(block->record[34], 4);
  }

  // A host theme record with index 13: its data is published, the theme stays.
  uint8_t host_record[64];
  for (int i = 0; i < 64; ++i) host_record[i] = uint8_t(0x80 + i);
  host_record[host_theme_index_at] = 13;
  testing::internal::CaptureStderr();
  stdout_of([&] { mcu_set_theme(host_record); });
  EXPECT_THAT(testing::internal::GetCapturedStderr(), HasSubstr("out of range"));
  process({status_frame(2)});
  EXPECT_EQ(current_theme_index, 4);
  EXPECT_EQ(block->record[5], 0x80);
  EXPECT_EQ(block->record[34], 4);
}

TEST_F(FrameProcessing, OnlineModePublishesTheHostThemeRecord) {
  lvgl_state = 0;
  uint8_t host_record[64];
  for (int i = 0; i < 64; ++i) host_record[i] = uint8_t(0x80 + i);
  host_record[host_theme_index_at] = 7;
  const std::string said = stdout_of([&] { mcu_set_theme(host_record); });
  EXPECT_EQ(lvgl_state, 1);  // 0xF9 resumes the GUI
  EXPECT_THAT(said, HasSubstr("aaaaaaaaaaa---------aaaaaaaaaaaaaaaa\n"));
  EXPECT_THAT(said, HasSubstr("80 81 82 83 "));
  EXPECT_EQ(pc_send_theme_mark, 1);

  // The first publish carries the resume command, the next one the data record.
  EXPECT_THAT(process({status_frame(2, 20, 0x0102)}), HasSubstr("online data"));
  EXPECT_EQ(block->record[1], 0x99);
  process({status_frame(2, 20, 0x0102)});
  EXPECT_EQ(block->record[1], 0x51);
  EXPECT_EQ(current_theme_index, 7);
  EXPECT_EQ(record(5, 6), std::vector<uint8_t>(host_record, host_record + 6));
  EXPECT_EQ(record(11, 2), (std::vector<uint8_t>{0x01, 0x02}));  // pump speed, not the record
  EXPECT_EQ(record(13, 21), std::vector<uint8_t>(host_record + 6, host_record + 27));
  EXPECT_EQ(block->record[34], 7);
}

TEST_F(FrameProcessing, ThemeFollowWaitsUntilTheGuiIsShown) {
  lvgl_state = 0;
  current_theme_index = 3;
  process({make_frame(0x12)});
  EXPECT_EQ(last_theme_index, 0);
  lvgl_state = 1;
  process({make_frame(0x12)});
  EXPECT_EQ(last_theme_index, 3);
  EXPECT_STREQ(local_h264_switch_path.load(), h264_bg_filses[3]);
}

TEST_F(FrameProcessing, PicturePackagesAreAssembledSavedAndShown) {
  Frame first = make_frame(frame_picture, {{frame_at::package, 0}});
  Frame second = make_frame(frame_picture, {{frame_at::package, 1}});
  for (int i = 0; i < picture_package_len; ++i) {
    first[size_t(4 + i)] = uint8_t(i);
    second[size_t(4 + i)] = uint8_t(0xFF - i);
  }
  remove_device_file(picture_path);
  data_update_mark = 1;
  const std::string out =
      process({first, second, make_frame(frame_picture, {{frame_at::package, 255}, {4, 0x01},
                                                         {5, 0x2C}})});
  EXPECT_THAT(out, HasSubstr("pic package 0\r\npic package 1\r\npic package 255\r\n"));
  EXPECT_THAT(out, HasSubstr("receive img size = 300\n"));
  EXPECT_EQ(data_update_mark, 0);  // a stored package ends the publishing
  EXPECT_EQ(block->new_data, 0);

  std::string expected(first.begin() + 4, first.end());
  expected.append(second.begin() + 4, second.begin() + 4 + 80);
  EXPECT_EQ(read_device_file(picture_path), expected);
  EXPECT_EQ(pkg_num, 255);
}

TEST_F(FrameProcessing, PicturesOutsideTheBufferAreRefused) {
  // Package 186 is the last: its first 40 bytes fill the buffer's tail, the rest is dropped.
  Frame last_fitting = make_frame(frame_picture, {{frame_at::package, 186}});
  memset(last_fitting.data() + 4, 0x5A, picture_package_len);
  memset(gImage_jpegA, 0, sizeof gImage_jpegA);
  process({last_fitting});
  EXPECT_EQ(gImage_jpegA[186 * 220], 0x5A);
  EXPECT_EQ(gImage_jpegA[40959], 0x5A);
  EXPECT_EQ(gImage_jpegA[186 * 220 - 1], 0);

  for (uint8_t number : {uint8_t(187), uint8_t(254)}) {
    Frame beyond = make_frame(frame_picture, {{frame_at::package, number}});
    memset(beyond.data() + 4, 0xA5, picture_package_len);
    testing::internal::CaptureStderr();
    process({beyond});
    EXPECT_THAT(testing::internal::GetCapturedStderr(), HasSubstr("dropped"));
    EXPECT_EQ(gImage_jpegA[40959], 0x5A);
  }

  remove_device_file(picture_path);
  testing::internal::CaptureStderr();
  process({make_frame(frame_picture, {{frame_at::package, 255}, {4, 0xA0}, {5, 0x01}})});
  EXPECT_THAT(testing::internal::GetCapturedStderr(), HasSubstr("40961 bytes"));
  EXPECT_EQ(read_device_file(picture_path), "<missing>");

  // Exactly the buffer is still taken, once every package has come.
  process({last_fitting});
  for (int number = 0; number < 186; ++number) {
    process({make_frame(frame_picture, {{frame_at::package, uint8_t(number)}})});
  }
  process({make_frame(frame_picture, {{frame_at::package, 255}, {4, 0xA0}, {5, 0x00}})});
  EXPECT_EQ(read_device_file(picture_path).size(), 40960u);
}

// A picture is shown only when every package its size needs came after the last end frame:
// the buffer still holds the picture before, which must not fill a gap.
TEST_F(FrameProcessing, APictureMissingAPackageIsRefused) {
  Frame package = make_frame(frame_picture);
  for (int number : {0, 2}) {
    package[frame_at::package] = uint8_t(number);
    memset(package.data() + 4, 0x10 + number, picture_package_len);
    process({package});
  }
  const Frame end_of_600 = make_frame(frame_picture, {{frame_at::package, 255}, {4, 0x02}, {5, 0x58}});
  write_device_file(picture_path, "before");
  testing::internal::CaptureStderr();
  process({end_of_600});
  EXPECT_THAT(testing::internal::GetCapturedStderr(),
              HasSubstr("picture of 600 bytes not shown: package 1 missing (1 of 3 missing)"));
  EXPECT_EQ(read_device_file(picture_path), "before");

  // The end frame started a new picture: packages 0 and 2 must come again.
  package[frame_at::package] = 1;
  process({package});
  testing::internal::CaptureStderr();
  process({end_of_600});
  EXPECT_THAT(testing::internal::GetCapturedStderr(), HasSubstr("package 0 missing (2 of 3 missing)"));
  EXPECT_EQ(read_device_file(picture_path), "before");

  // A size needs the packages it reaches into, and none after them: 441 bytes need three.
  auto packages_0_and_1 = [&] {
    for (int number : {0, 1}) {
      package[frame_at::package] = uint8_t(number);
      process({package});
    }
  };
  packages_0_and_1();
  testing::internal::CaptureStderr();
  process({make_frame(frame_picture, {{frame_at::package, 255}, {4, 0x01}, {5, 0xB9}})});  // 441
  EXPECT_THAT(testing::internal::GetCapturedStderr(), HasSubstr("package 2 missing"));
  packages_0_and_1();
  process({make_frame(frame_picture, {{frame_at::package, 255}, {4, 0x01}, {5, 0xB8}})});  // 440
  EXPECT_EQ(read_device_file(picture_path).size(), 440u);
}

// Packages are placed by number and may come in any order: only the end frame delimits
// pictures, so a package 0 that comes after others of its picture keeps them.
TEST_F(FrameProcessing, PackagesInAnyOrderMakeThePicture) {
  Frame package = make_frame(frame_picture);
  std::string expected(600, '\0');
  for (int number : {2, 1, 0}) {
    package[frame_at::package] = uint8_t(number);
    memset(package.data() + 4, 0x20 + number, picture_package_len);
    const int first = number * picture_package_len;
    for (int i = first; i < std::min(600, first + picture_package_len); ++i) {
      expected[size_t(i)] = char(0x20 + number);
    }
    process({package});
  }
  remove_device_file(picture_path);
  testing::internal::CaptureStderr();
  process({make_frame(frame_picture, {{frame_at::package, 255}, {4, 0x02}, {5, 0x58}})});  // 600
  EXPECT_THAT(testing::internal::GetCapturedStderr(), Not(HasSubstr("not shown")));
  EXPECT_EQ(read_device_file(picture_path), expected);
}

TEST_F(FrameProcessing, PicturesWhilePausedAreNotStored) {
  lvgl_state = 0;
  memset(gImage_jpegA, 0, sizeof gImage_jpegA);
  Frame frame = make_frame(frame_picture, {{frame_at::package, 0}, {4, 0x77}});
  data_update_mark = 1;
  process({frame});
  EXPECT_EQ(gImage_jpegA[0], 0);
  EXPECT_EQ(block->new_data, 1);  // the earlier request is published instead
  EXPECT_EQ(data_update_mark, 1);
}

TEST_F(FrameProcessing, EveryTwentyFirstFrameSavesAChangedTheme) {
  remove_device_file("/usr/data/lvgl_app.cfg");
  current_theme_index = last_theme_index = 4;
  const Frame frame = make_frame(0x12);
  for (int i = 0; i < 20; ++i) process({frame});
  EXPECT_EQ(read_device_file("/usr/data/lvgl_app.cfg"), "<missing>");

  std::string out = process({frame});
  EXPECT_THAT(out, HasSubstr("save -------------------------\ntheme 0 4\n"
                             "save theme index to config\n"));
  EXPECT_EQ(lvgl_cfg.theme_index, 4);
  const std::string stored = read_device_file("/usr/data/lvgl_app.cfg");
  ASSERT_FALSE(stored.empty());
  EXPECT_EQ(stored[0], 4);

  // Unchanged: the check runs, nothing is written.
  remove_device_file("/usr/data/lvgl_app.cfg");
  for (int i = 0; i < 20; ++i) process({frame});
  out = process({frame});
  EXPECT_THAT(out, HasSubstr("theme 4 4\n"));
  EXPECT_THAT(out, Not(HasSubstr("save theme index")));
  EXPECT_EQ(read_device_file("/usr/data/lvgl_app.cfg"), "<missing>");

  // Before start-up has loaded the settings nothing is saved.
  lvgl_state = 0xFF;
  current_theme_index = 6;
  for (int i = 0; i < 21; ++i) out = process({frame});
  EXPECT_THAT(out, Not(HasSubstr("save")));
  EXPECT_EQ(lvgl_cfg.theme_index, 4);
}

// A save that fails (here the name is taken by a folder, as a host listing of the missing file
// leaves it) is tried again at the next check, once the name is free: the theme is not lost.
TEST_F(FrameProcessing, AThemeWhoseSaveFailedIsSavedAtALaterCheck) {
  const std::string settings = "/usr/data/lvgl_app.cfg";
  remove_device_file(settings);
  std::filesystem::create_directories(under_root(settings));
  current_theme_index = last_theme_index = 4;
  const Frame frame = make_frame(0x12);
  testing::internal::CaptureStderr();
  for (int i = 0; i < 21; ++i) process({frame});
  EXPECT_THAT(testing::internal::GetCapturedStderr(), HasSubstr("cannot be opened"));

  std::filesystem::remove(under_root(settings));
  std::string out;
  for (int i = 0; i < 21; ++i) out += process({frame});
  EXPECT_THAT(out, HasSubstr("save theme index to config"));
  const std::string stored = read_device_file(settings);
  ASSERT_EQ(stored.size(), 16u);
  EXPECT_EQ(stored[0], 4);
  EXPECT_EQ(lvgl_cfg.theme_index, 4);
}

TEST_F(FrameProcessing, NoFrameReachesPastATableOrABuffer) {
  // Whatever the bytes, in every mode and GUI state: run under the address sanitizer, this
  // finds any read or write out of bounds; the theme stays a valid index throughout.
  usb_connect_state = 1;  // leave the backlight and the layers alone
  uint32_t seed = 12345;
  auto next = [&seed] {
    seed = seed * 1103515245u + 12345u;
    return uint8_t(seed >> 16);
  };
  const uint8_t types[] = {frame_status, frame_host_data, frame_wake, frame_picture, 0x00, 0xFF};
  const uint8_t states[] = {1, 0, 0xFF};
  // Standard error stays uncaptured, so a sanitizer's report is seen.
  testing::internal::CaptureStdout();
  for (int i = 0; i < 3000; ++i) {
    Frame frame = make_frame(types[i % 6]);
    for (int b = 3; b < controller_frame_len; ++b) frame[size_t(b)] = next();
    if (frame[2] == frame_status) frame[frame_at::mode] = uint8_t(i / 6 % 4);
    if (frame[2] == frame_picture && frame[frame_at::package] == 255) {
      frame[frame_at::package] = 254;  // ends (with their file writes) come below
    }
    lvgl_state = states[i / 24 % 3];
    process_controller_frame(frame.data());
    ASSERT_LT(current_theme_index, 13) << i;
    ASSERT_LT(last_theme_index, 13) << i;
  }
  for (int size : {0, 1, 40960, 40961, 65535}) {
    lvgl_state = 1;
    process_controller_frame(make_frame(frame_picture, {{frame_at::package, 255},
                                                        {4, uint8_t(size >> 8)},
                                                        {5, uint8_t(size)}})
                                 .data());
  }
  testing::internal::GetCapturedStdout();
}

// A pause that comes while the controller thread stores a picture package (the GUI was shown
// when the frame came) is not lost: the next frame still publishes the pause command.
TEST_F(FrameProcessing, PauseRequestedDuringAPicturePackageStillReachesTheGui) {
  data_update_type = 2;  // the pause, requested as the package is being stored
  data_update_mark = 1;
  process({make_frame(frame_picture, {{frame_at::package, 3}})});
  lvgl_state = 0;  // what the pause left
  process({make_frame(frame_host_data)});
  EXPECT_EQ(block->record[1], 0x99);
  EXPECT_EQ(record(2, 3), (std::vector<uint8_t>{0x12, 0x34, 0x56}));
  EXPECT_EQ(data_update_type, 0);
}

}  // namespace
