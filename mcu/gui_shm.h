// The daemon's side of the block shared with the GUI process ("/demo_shm"). No thread of the
// daemon maps it: the GUI process may cut it short, write over its mutex and condition
// variable or hold the mutex for ever, so a helper process does (mcu/gui_shm.cpp).
// gui_helper_start() runs in main before any thread. The controller thread alone publishes:
// gui_shm_create() first; then for each publish gui_publish_begin(), its control-mode step,
// gui_record_step(). lvgl_pause() and lvgl_resume() leave a request the next publish carries.
#pragma once

#include <sys/types.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "mcu/gui_shm_layout.h"
#include "screen/screen.h"

// The record a publish prepares, the daemon's own copy. Every write goes through
// gui_record_put, which numbers it: the block is owed the bytes written after the last
// request that landed.
struct GuiRecord {
  uint8_t bytes[gui_record::size];
  uint64_t written[gui_record::size];  // the put that wrote each byte last: never wraps
  uint64_t puts, landed;
};

inline void gui_record_put(GuiRecord *record, size_t at, const void *from, size_t count) {
  memcpy(record->bytes + at, from, count);
  std::fill_n(record->written + at, count, ++record->puts);
}
inline void gui_record_put(GuiRecord *record, size_t at, uint8_t value) {
  gui_record_put(record, at, &value, 1);
}

// Forks the helper process: only while the process has one thread (main calls it first).
void gui_helper_start();

// Has the helper open the block (creating it if absent), make it 4096 bytes, set up the mutex
// and condition variable only if it is new (created, too short or never set up) and set the
// flag to 0; bytes 0..127 stay. On failure it prints why, and publishing does nothing.
void gui_shm_create();

GuiRecord *gui_publish_begin();  // never null

// The data record, or the pending pause/resume command, and 0xB1 at byte 127 into `record`;
// then the helper writes the bytes owed, sets the flag to 1 and wakes the GUI process. Waits
// at most 100 ms for the answer: a later one is taken by a later call. A skipped publish (the
// mutex held, no block) leaves the command pending and the bytes owed. Null does nothing.
void gui_record_step(GuiRecord *record);

// Waits at most `wait_ms` for the answers still out; then whether bytes are still owed.
bool gui_block_pending(int wait_ms = 0);

// The block, open()-like: a descriptor or -1 with errno set. Only the helper and tests map it.
int open_gui_block(int flags, mode_t mode);
