// The daemon's side of the block shared with the GUI process, which a worker process alone maps.
// The controller thread alone publishes: gui_shm_create() first; then for each publish
// gui_publish_begin(), its control-mode step, gui_record_step(). lvgl_pause() and lvgl_resume()
// leave a request the next publish carries.
#pragma once

#include <sys/types.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "mcu/gui_shm_layout.h"
#include "screen/screen.h"

// The daemon's own copy of the record; `written` marks the bytes it has written since the
// start. Every publish writes all of those to the block, and no others.
struct GuiRecord {
  uint8_t bytes[gui_record::size];
  bool written[gui_record::size];
};

inline void gui_record_put(GuiRecord *record, size_t at, const void *from, size_t count) {
  memcpy(record->bytes + at, from, count);
  std::fill_n(record->written + at, count, true);
}
inline void gui_record_put(GuiRecord *record, size_t at, uint8_t value) {
  gui_record_put(record, at, &value, 1);
}

// Forks the helper, which starts the worker and every replacement: only while the process has
// one thread (main calls it first).
void gui_helper_start();

// Has the block opened (created if absent) and made 4096 bytes, its mutex and condition
// variable set up only if it is new (too short or never set up), and the flag set to 0; bytes
// 0..127 stay. A failure is printed; each publish tries the block again.
void gui_shm_create();

GuiRecord *gui_publish_begin();  // never null

// The data record, or the pending pause/resume command, and 0xB1 at byte 127 into `record`;
// then every byte written goes to the block, the flag to 1, and the GUI process is woken.
// Waits at most 100 ms for that: a later answer is taken by a later call. A publish skipped
// (the mutex held, no block) leaves the command pending. Null does nothing.
void gui_record_step(GuiRecord *record);

// Waits at most `wait_ms` for the answers still out; then whether the last publish failed.
bool gui_block_pending(int wait_ms = 0);

// The block, open()-like: a descriptor or -1 with errno set. Only the worker and tests map it.
int open_gui_block(int flags, mode_t mode);
