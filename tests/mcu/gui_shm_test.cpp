// The record step of a publish and the GUI state: what the GUI process finds in the block after
// each publish, and how lvgl_pause and lvgl_resume change the state and leave their commands.
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <thread>

#include "disp/disp.h"
#include "h264/h264.h"
#include "h264/local_player.h"
#include "screen/player.h"
#include "screen/screen.h"
#include "mcu/gui_shm.h"
#include "mcu/mcu.h"
#include "usb_state/usb_state.h"
#include "tests/mcu/gui_block_view.h"
#include "tests/mcu/gui_sandbox.h"

namespace {

using namespace std::chrono_literals;

std::string command_of(const GuiSharedBlock *block) {
  char text[16];
  const uint8_t *code = block->record + gui_record::command_code;
  snprintf(text, sizeof text, "%02x %02x %02x", code[0], code[1], code[2]);
  return text;
}

std::string local_path_now() {
  return screen_view().player_path;
}

class GuiBlockTest : public testing::Test {
 protected:
  void SetUp() override {
    block = fresh_block();
    ASSERT_NE(block, nullptr);
  }
  void TearDown() override { wait_for_players(); }

  GuiSharedBlock *block = nullptr;
};

using GuiRecord = GuiBlockTest;
using GuiState = GuiBlockTest;

TEST_F(GuiRecord, DataRecordCarriesTheStateAndLeavesTheThemeBytes) {
  memset(block->record, 0xEE, gui_record::size);
  control_mode = 2;
  water_temp = 37;
  pump_speed = 0x1234;
  current_theme_index = 7;
  ASSERT_TRUE(publish());

  const uint8_t *r = block->record;
  EXPECT_EQ(r[0], 0xA1);
  EXPECT_EQ(r[1], 0x51);
  EXPECT_EQ(r[2], 0xEE);  // only commands write byte 2
  EXPECT_EQ(r[3], 2);
  EXPECT_EQ(r[4], 37);
  EXPECT_EQ(r[11], 0x12);  // big-endian
  EXPECT_EQ(r[12], 0x34);
  EXPECT_EQ(r[34], 7);
  EXPECT_EQ(r[127], 0xB1);
  for (int i : {5, 10, 13, 33, 35, 66, 67, 126}) EXPECT_EQ(r[i], 0xEE) << "byte " << i;
  EXPECT_EQ(block->new_data, 1);
}

// The record a wireless-mode publish produces, against the record as gui_record describes it:
// the controller's display record at its offsets, the data record's fields over it, the
// markers, and nothing else.
TEST_F(GuiRecord, TheLayoutDescribesTheRecordTheStepsProduce) {
  memset(block->record, 0xEE, gui_record::size);
  usb_connect_state = 1;  // the host owns brightness and rotation: the step leaves them
  control_mode = 1;
  water_temp = 41;
  pump_speed = 0x0A0B;
  uint8_t frame[controller_frame_len] = {0xAA, 0x55, frame_status};
  for (size_t i = frame_at::record; i < size_t(frame_at::record + frame_at::record_len); ++i) {
    frame[i] = uint8_t(i + 100);
  }
  frame[frame_at::theme] = 6;
  stdout_of([&] { publish_gui_data(frame); });
  ASSERT_FALSE(gui_block_pending(publish_answer_ms));

  uint8_t expected[gui_record::size];
  memset(expected, 0xEE, sizeof expected);
  for (size_t i = gui_record::display_record_first; i < gui_record::display_record_end; ++i) {
    expected[i] = uint8_t(i + 100);
  }
  expected[gui_record::start_marker] = gui_record_start_byte;
  expected[gui_record::kind] = gui_kind_data;
  expected[gui_record::control_mode] = 1;
  expected[gui_record::water_temp] = 41;
  expected[gui_record::pump_speed_high] = 0x0A;
  expected[gui_record::pump_speed_low] = 0x0B;
  expected[gui_record::theme_index] = 6;
  expected[gui_record::end_marker] = gui_record_end_byte;
  for (size_t i = 0; i < gui_record::size; ++i) {
    EXPECT_EQ(block->record[i], expected[i]) << "byte " << i;
  }
  EXPECT_EQ(current_theme_index, 6);
  usb_connect_state = 0;
}

TEST_F(GuiRecord, CommandsReplaceKindAndCodeThenDataRecordsFollow) {
  // A command first after a start leaves byte 0 and the data fields as the last run left them.
  block->record[0] = 0x00;
  block->record[gui_record::theme_index] = 0x07;
  gui_shm_create();
  data_update_type = 2;
  ASSERT_TRUE(publish());
  EXPECT_EQ(block->record[0], 0x00);
  EXPECT_EQ(block->record[gui_record::theme_index], 0x07);
  EXPECT_EQ(block->record[1], 0x99);
  EXPECT_EQ(command_of(block), "12 34 56");
  EXPECT_EQ(block->record[127], 0xB1);
  EXPECT_EQ(data_update_type, 0);

  water_temp = 51;
  ASSERT_TRUE(publish());
  EXPECT_EQ(block->record[0], 0xA1);
  EXPECT_EQ(block->record[1], 0x51);
  EXPECT_EQ(block->record[2], 0x12);  // left from the command
  EXPECT_EQ(block->record[4], 51);

  data_update_type = 3;
  ASSERT_TRUE(publish());
  EXPECT_EQ(block->record[1], 0x99);
  EXPECT_EQ(command_of(block), "65 43 21");
  EXPECT_EQ(data_update_type, 0);
}

TEST_F(GuiRecord, FlagIsZeroAfterCreationAndOneAfterEveryPublish) {
  EXPECT_EQ(block->new_data, 0);
  ASSERT_TRUE(publish());
  EXPECT_EQ(block->new_data, 1);
  block->new_data = 0;  // the GUI process consumed it
  ASSERT_TRUE(publish());
  EXPECT_EQ(block->new_data, 1);
  ASSERT_TRUE(publish());
  EXPECT_EQ(block->new_data, 1);

  // A restart keeps the record and starts the flag again from 0.
  water_temp = 44;
  ASSERT_TRUE(publish());
  uint8_t before[gui_record::size];
  memcpy(before, block->record, sizeof before);
  gui_shm_create();
  EXPECT_EQ(block->new_data, 0);
  EXPECT_EQ(memcmp(before, block->record, sizeof before), 0);
}

TEST_F(GuiState, PauseStopsTheVideoAndLeavesAPauseCommand) {
  const std::string out = stdout_of([] { lvgl_pause(); });
  EXPECT_NE(out.find("stop_local_h264"), std::string::npos) << out;
  EXPECT_NE(out.find("pause lvgl before h264\n"), std::string::npos) << out;
  EXPECT_EQ(lvgl_state, 0);
  EXPECT_EQ(data_update_type, 2);
  EXPECT_EQ(data_update_mark, 1);
}

TEST_F(GuiState, PauseOutsideTheShownStateDoesNothing) {
  for (uint8_t state : {uint8_t(0xFF), uint8_t(0)}) {
    lvgl_state = state;
    EXPECT_EQ(stdout_of([] { lvgl_pause(); }), "");
    EXPECT_EQ(lvgl_state, state);
    EXPECT_EQ(data_update_type, 0);
    EXPECT_EQ(data_update_mark, 0);
  }
}

TEST_F(GuiState, ResumeRestartsTheThemeVideoAndLeavesAResumeCommand) {
  lvgl_state = 0;
  current_theme_index = 3;
  frameTime = 0;
  const std::string out = stdout_of([] { lvgl_resume(); });
  EXPECT_EQ(out.find("h264 block == 0, check lvgl state\nrestore lvgl \n------------------"), 0u)
      << out;
  EXPECT_EQ(frameTime, 1000000 / 24);
  EXPECT_EQ(local_path_now(), h264_bg_filses[3]);
  EXPECT_EQ(lvgl_state, 1);
  EXPECT_EQ(data_update_type, 3);
  EXPECT_EQ(data_update_mark, 1);
}

TEST_F(GuiState, ResumeWithoutEffect) {
  // The host's stream still has blocks queued (0x79 paused the GUI): nothing at all.
  lvgl_state = 1;
  stdout_of([] { screen_host_stream_block(); });
  data_update_type = 0;
  data_update_mark = 0;
  const uint8_t unit[4] = {0, 0, 0, 1};
  push_h264_block(unit, sizeof unit);
  EXPECT_EQ(stdout_of([] { lvgl_resume(); }), "");
  EXPECT_EQ(lvgl_state, 0);
  stop_h264();

  // Start-up not finished, or shown with the background playing: only the check message.
  lvgl_state = 0xFF;
  EXPECT_EQ(stdout_of([] { lvgl_resume(); }), "h264 block == 0, check lvgl state\n");
  EXPECT_EQ(lvgl_state, 0xFF);
  // The background is a file that plays, so that its player cannot have ended by the resume.
  write_device_file(h264_bg_filses[0], std::string(1500000, '\x11'));
  lvgl_state = 1;
  stdout_of([] { play_local_h264_async(h264_bg_filses[0]); });
  // The player's own lines ("play_local_h264 name", "found 264 file 1" at its first open,
  // "totalframe" at each rewind) may land in the capture whenever its thread gets to them:
  // only the resume's lines count.
  std::string resumed = stdout_of([] { lvgl_resume(); }), own;
  for (size_t at = 0, end; (end = resumed.find('\n', at)) != std::string::npos; at = end + 1) {
    const std::string line = resumed.substr(at, end + 1 - at);
    const bool player = line.rfind("play_local_h264 name:", 0) == 0 ||
                        line.rfind("found 264 file", 0) == 0 ||
                        line.rfind("totalframe:", 0) == 0;
    if (!player) own += line;
  }
  EXPECT_EQ(own, "h264 block == 0, check lvgl state\n") << resumed;
  EXPECT_EQ(lvgl_state, 1);
  EXPECT_EQ(data_update_type, 0);
  EXPECT_EQ(data_update_mark, 0);
  stdout_of([] {
    stop_local_h264();
    wait_for_players();
  });
  remove_device_file(h264_bg_filses[0]);
}

TEST_F(GuiState, ResumeWithAThemeBeyondTheTableUsesTheFirstTheme) {
  lvgl_state = 0;
  current_theme_index = 200;
  const std::string out = stdout_of([] { lvgl_resume(); });
  EXPECT_NE(out.find("out of range"), std::string::npos) << out;
  EXPECT_EQ(local_path_now(), h264_bg_filses[0]);
  EXPECT_EQ(lvgl_state, 1);
}

TEST_F(GuiState, OnlyTheLaterOfPauseAndResumeReachesTheGui) {
  stdout_of([] {
    lvgl_pause();
    lvgl_resume();
  });
  ASSERT_TRUE(publish());
  EXPECT_EQ(block->record[1], 0x99);
  EXPECT_EQ(command_of(block), "65 43 21");
  ASSERT_TRUE(publish());
  EXPECT_EQ(block->record[1], 0x51);

  wait_for_players();
  stdout_of([] {
    lvgl_resume();  // shown: no effect
    lvgl_pause();
  });
  ASSERT_TRUE(publish());
  EXPECT_EQ(command_of(block), "12 34 56");

  stdout_of([] {
    lvgl_resume();
    lvgl_pause();
  });
  ASSERT_TRUE(publish());
  EXPECT_EQ(block->record[1], 0x99);
  EXPECT_EQ(command_of(block), "12 34 56");
}

TEST_F(GuiState, PauseAndResumeFromOtherThreadsWhilePublishing) {
  // The host loop pauses, the USB monitor resumes, the controller thread publishes: every
  // command published is one that was asked for, and the last request is never lost.
  stdout_of([&] {
    std::thread host([] {
      for (int i = 0; i < 40; ++i) {
        lvgl_pause();
        std::this_thread::sleep_for(1ms);
      }
    });
    std::thread monitor([] {
      for (int i = 0; i < 40; ++i) {
        lvgl_resume();
        std::this_thread::sleep_for(1ms);
      }
    });
    for (int i = 0; i < 80; ++i) {
      EXPECT_TRUE(publish());
      if (block->record[1] == 0x99) {
        const std::string code = command_of(block);
        EXPECT_TRUE(code == "12 34 56" || code == "65 43 21") << code;
      }
      std::this_thread::sleep_for(1ms);
    }
    host.join();
    monitor.join();
    const uint8_t pending = data_update_type;
    EXPECT_TRUE(publish());
    if (pending != 0) {
      EXPECT_EQ(block->record[1], 0x99);
    }
    EXPECT_EQ(data_update_type, 0);
    wait_for_players();
  });
}

// A host PNG pauses (the background stops), then 0xF9 resumes at once, while the stopped
// player is still in its pause: the background plays again.
TEST_F(GuiState, ResumeRightAfterAPauseEndsWithTheBackgroundPlaying) {
  std::string file(1500000, '\x11');
  write_device_file(h264_bg_filses[4], file);
  current_theme_index = 4;
  stdout_of([] {
    lvgl_state = 0;
    lvgl_resume();
    ASSERT_TRUE(wait_until([] { return h264_block_cnt == 3; }, 3000ms));  // nothing takes them
    lvgl_pause();
    lvgl_resume();
    EXPECT_EQ(lvgl_state, 1);
    EXPECT_TRUE(wait_until([] { return h264_block_cnt == 3 && local_h264_playing == 1; }, 3000ms));
    EXPECT_EQ(local_h264_is_running(), 1);
    EXPECT_EQ(local_h264_players(), 1);
    stop_local_h264();
    wait_for_players();
  });
  remove_device_file(h264_bg_filses[4]);
}

}  // namespace
