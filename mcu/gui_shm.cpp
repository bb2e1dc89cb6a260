// The daemon's side of the shared block and the GUI state.
//
// The block itself (its mapping, the set-up and checks of its native objects, the locking
// and the wake-up) is mcu/gui_block.cpp's: the publish prepares its record in the daemon's own
// staging copy, and the record step hands that over. The daemon only writes the record; it
// never reads what the GUI process may have written there.
//
// The GUI state and its pending command belong to the screen owner (screen/screen.h): the
// record step takes the command from it.
#include "mcu/gui_shm.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>

#include "mcu/gui_block.h"
#include "mcu/mcu.h"

namespace {

constexpr uint8_t update_pause = 2;
constexpr uint8_t update_resume = 3;

}  // namespace

void gui_record_step(GuiSharedBlock *block) {
  if (block == nullptr) return;
  uint8_t *record = block->record;
  const uint8_t type = screen_gui_command();
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
  // A command is cleared only once it is in the block, and only if it is still the request
  // just published: a pause or resume that came in meanwhile stays pending for the next one.
  if (gui_block_write() == 1 && command != nullptr) screen_gui_command_published(type);
}
