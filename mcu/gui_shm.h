// The block shared with the GUI process ("/demo_shm"): the daemon's side. No thread of the
// daemon maps it: the GUI process may cut it short, write over its mutex and condition
// variable or hold the mutex for ever, so a helper process does (mcu/gui_shm.cpp).
//
// Who calls what: gui_helper_start() in main before any thread starts. The controller thread,
// the only one that publishes: gui_shm_create() once as its first step; then for every publish
// gui_publish_begin(), its control-mode step on the returned record, gui_record_step(record).
// lvgl_pause() and lvgl_resume() (screen/player.h) leave a request the next publish carries.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstring>

#include "mcu/gui_shm_layout.h"
#include "screen/screen.h"

// The record a publish prepares: the daemon's own copy, never the block. Every write goes
// through gui_record_put, which notes the bytes the block is owed and when they were written:
// the offsets of gui_record are the one description of what a publish writes.
struct GuiRecord {
  uint8_t bytes[gui_record::size];
  bool owed[gui_record::size];       // written, not yet known to be in the block
  uint32_t written[gui_record::size];  // the put that wrote it last
  uint32_t puts;
};

inline void gui_record_put(GuiRecord *record, size_t at, const void *from, size_t count) {
  memcpy(record->bytes + at, from, count);
  const uint32_t now = ++record->puts;
  for (size_t i = at; i < at + count; ++i) {
    record->owed[i] = true;
    record->written[i] = now;
  }
}
inline void gui_record_put(GuiRecord *record, size_t at, uint8_t value) {
  gui_record_put(record, at, &value, 1);
}

// Forks the helper process (gui_shm_create does if nobody did). While there is one thread.
void gui_helper_start();

// Opens the block (creating it if absent) and hands it to the helper, which makes it 4096
// bytes, sets up the mutex and condition variable only if the block is new (created, too short
// or never set up) and sets the flag to 0; bytes 0..127 stay. On failure it prints why;
// publishing then does nothing.
void gui_shm_create();

// The record a publish prepares. Never null.
GuiRecord *gui_publish_begin();

// The data record or the pending pause/resume command, and byte 127 = 0xB1, into the record;
// then the helper writes the bytes the block is owed, sets the flag to 1 and wakes the GUI
// process. It waits at most 100 ms for the answer; a request still unanswered then is served
// after all, in turn, and its answer taken by a later publish. A skipped publish (the mutex
// held, no block) leaves the command pending and the bytes owed. Null does nothing.
void gui_record_step(GuiRecord *record);

// Waits at most `wait_ms` for the answers still out; then whether bytes are still owed.
bool gui_block_pending(int wait_ms = 0);

// The block, open()-like: a descriptor or -1 with errno set. Only the helper and tests map it.
int open_gui_block(int flags, mode_t mode);
