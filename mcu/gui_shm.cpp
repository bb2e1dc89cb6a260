// The daemon's side of the shared block and the GUI state.
//
// The block itself (its mapping, the set-up and checks of its native objects, the locking
// and the wake-up) is mcu/gui_block.cpp's: the publish prepares its record in the daemon's own
// staging copy, and the record step hands that over. The daemon only writes the record; it
// never reads what the GUI process may have written there.
//
// lvgl_pause and lvgl_resume change the GUI state under state_mutex, so a pause and a resume
// from two threads never interleave their checks and effects; the command they leave travels
// in data_update_type, which the record step clears only if no newer request replaced it.
#include "mcu/gui_shm.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>

#include "disp/disp.h"
#include "h264/h264.h"
#include "h264/local_player.h"
#include "mcu/gui_block.h"
#include "mcu/mcu.h"

std::atomic<uint8_t> lvgl_state{0xFF};
std::atomic<uint8_t> data_update_type{0};
std::atomic<uint8_t> data_update_mark{0};

namespace {

constexpr uint8_t update_data = 0;
constexpr uint8_t update_pause = 2;
constexpr uint8_t update_resume = 3;

// Serialises lvgl_pause and lvgl_resume.
std::mutex state_mutex;

}  // namespace

void gui_record_step(GuiSharedBlock *block) {
  if (block == nullptr) return;
  uint8_t *record = block->record;
  uint8_t type = data_update_type;
  const uint8_t *command = nullptr;
  if (type == update_pause) command = gui_pause_command;
  if (type == update_resume) command = gui_resume_command;
  if (command != nullptr) {
    record[gui_record::kind] = gui_kind_command;
    memcpy(record + gui_record::command_code, command, gui_record::command_code_size);
  } else {
    const uint16_t speed = pump_speed;
    record[gui_record::start_marker] = gui_record_start_byte;
    record[gui_record::kind] = gui_kind_data;
    record[gui_record::control_mode] = control_mode;
    record[gui_record::water_temp] = water_temp;
    record[gui_record::pump_speed_high] = uint8_t(speed >> 8);
    record[gui_record::pump_speed_low] = uint8_t(speed & 0xFF);
    record[gui_record::theme_index] = current_theme_index;
  }
  record[gui_record::end_marker] = gui_record_end_byte;
  block->new_data = 1;
  // A command is cleared only once it is in the block, and only if it still holds the request
  // just published: a pause or resume that came in meanwhile stays pending for the next one.
  if (gui_block_write() == 1 && command != nullptr) {
    data_update_type.compare_exchange_strong(type, update_data);
  }
}

void lvgl_pause() {
  std::lock_guard<std::mutex> hold(state_mutex);
  if (lvgl_state != 1) return;
  stop_local_h264();
  printf("pause lvgl before h264\n");
  lvgl_state = 0;
  data_update_type = update_pause;
  data_update_mark = 1;
}

void lvgl_resume() {
  std::lock_guard<std::mutex> hold(state_mutex);
  if (h264_block_cnt > 0) return;
  printf("h264 block == 0, check lvgl state\n");
  if (lvgl_state != 0) return;
  printf("restore lvgl \n------------------");
  fflush(stdout);
  lvgl_state = 1;
  set_framerate(24);
  uint8_t theme = current_theme_index;
  if (theme >= background_video_count) {
    // The table has no entry for it; the first theme's background stands in.
    printf("theme index %d out of range, background of theme 0\n", theme);
    theme = 0;
  }
  play_local_h264_async(h264_bg_filses[theme]);
  data_update_type = update_resume;
  data_update_mark = 1;
}
