// The block shared with the GUI process, and the GUI state (shown, paused) that the host's
// pictures and videos switch.
//
// Who calls what:
// - start-up: gui_helper_start() before any thread starts (mcu/gui_shm_helper.h).
// - the controller thread: gui_shm_create() once as its first step; then, for every publish,
//   gui_publish_begin(), its control-mode step on the returned record, gui_record_step(record).
//   It is the only thread that publishes.
// - lvgl_pause(): the host command loop. lvgl_resume(): the host command loop, the controller
//   thread and the USB monitor. Both leave a request that the controller thread's next publish
//   carries to the GUI process.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>

#include "screen/screen.h"
#include "mcu/gui_shm_layout.h"

// lvgl_state, data_update_type and data_update_mark belong to the screen owner, which
// changes them under its lock; lvgl_pause and lvgl_resume are its requests (screen/player.h).

// The record a publish prepares: the daemon's own copy, never the block. Every write goes
// through gui_record_put, which notes the bytes the block is owed: the offsets of gui_record
// are the one description of what a publish writes.
struct GuiRecord {
  uint8_t bytes[gui_record::size];
  bool owed[gui_record::size];   // written, not yet known to be in the block
  bool since[gui_record::size];  // written since the last hand-over to the block
};

inline void gui_record_put(GuiRecord *record, size_t at, const void *from, size_t count) {
  memcpy(record->bytes + at, from, count);
  for (size_t i = at; i < at + count; ++i) record->owed[i] = record->since[i] = true;
}
inline void gui_record_put(GuiRecord *record, size_t at, uint8_t value) {
  gui_record_put(record, at, &value, 1);
}

// Opens (creating it if absent) the block and hands it to a new helper process, which sets
// up the mutex and condition variable only in a block that is new (created, too short or never
// set up) and sets the flag to 0; bytes 0..127 stay. On failure it prints why; publishing
// then does nothing. Controller thread.
void gui_shm_create();

// The record a publish prepares. Never null. Controller thread.
GuiRecord *gui_publish_begin();

// The record step of a publish: the data record or the pending pause/resume command and
// byte 127 = 0xB1 into the prepared record, then the hand-over (flag = 1, wake-up;
// mcu/gui_shm_helper.h). A skipped publish (the mutex held, no block) leaves a pending command
// pending and its bytes owed to the next one. Null does nothing. Controller thread.
void gui_record_step(GuiRecord *record);
