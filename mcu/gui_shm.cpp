// The daemon's side of the shared block: the record step and the GUI state.
//
// The block itself (its mapping, its native objects, the locking and the wake-up) is the
// helper process's (mcu/gui_shm_helper.cpp); the publish prepares its record in the daemon's
// own copy. The GUI state and its pending command belong to the screen owner (screen/screen.h):
// lvgl_pause and lvgl_resume are its requests, and the record step takes the command from it.
#include "mcu/gui_shm.h"

#include "mcu/gui_shm_helper.h"
#include "mcu/mcu.h"

namespace {
constexpr uint8_t update_pause = 2;
constexpr uint8_t update_resume = 3;
}  // namespace

void gui_record_step(GuiRecord *record) {
  if (record == nullptr) return;
  const uint8_t type = screen_gui_command();
  const uint8_t *command = nullptr;
  if (type == update_pause) command = gui_pause_command;
  if (type == update_resume) command = gui_resume_command;
  if (command != nullptr) {
    gui_record_put(record, gui_record::kind, gui_kind_command);
    gui_record_put(record, gui_record::command_code, command, gui_record::command_code_size);
  } else {
    const uint16_t speed = pump_speed;
    gui_record_put(record, gui_record::start_marker, gui_record_start_byte);
    gui_record_put(record, gui_record::kind, gui_kind_data);
    gui_record_put(record, gui_record::control_mode, control_mode);
    gui_record_put(record, gui_record::water_temp, water_temp);
    gui_record_put(record, gui_record::pump_speed_high, uint8_t(speed >> 8));
    gui_record_put(record, gui_record::pump_speed_low, uint8_t(speed & 0xFF));
    gui_record_put(record, gui_record::theme_index, current_theme_index);
  }
  gui_record_put(record, gui_record::end_marker, gui_record_end_byte);
  // A command is cleared only once it is in the block, and only if it is still the request
  // published: a pause or resume that came in meanwhile stays pending for the next one.
  gui_block_write(command != nullptr ? type : 0);
}
