// The block shared with the GUI process, and the GUI state (shown, paused) that the host's
// pictures and videos switch.
//
// Who calls what:
// - the controller thread: gui_shm_create() once as its first step; then, for every publish,
//   gui_publish_begin(), its control-mode step on the returned block, gui_record_step(block).
//   It is the only thread that touches the block.
#pragma once

#include <atomic>
#include <cstdint>

#include "screen/screen.h"
#include "mcu/gui_shm_layout.h"

// lvgl_state, data_update_type and data_update_mark belong to the screen owner, which
// changes them under its lock; lvgl_pause and lvgl_resume are its requests (screen/player.h).

// Opens (creating it if absent) and maps the block, and sets the new-data flag to 0. The
// mutex and condition variable are set up only in a block that is new (just created, shorter
// than the block, or never set up): a block that outlived an earlier run keeps them, since the
// GUI process may be holding or waiting on them. On failure it prints why and leaves no block
// mapped; publishing then does nothing. Controller thread.
void gui_shm_create();

// The record a publish prepares: the daemon's own copy, never the block itself, so the steps
// that fill it always take effect and never touch memory another process can take away.
// Never null. Controller thread.
GuiSharedBlock *gui_publish_begin();

// The record's bytes (gui_record offsets), for the control-mode step of a publish.
inline uint8_t *gui_bytes(GuiSharedBlock *block) { return block->record; }

// The record step of a publish: writes the data record or the pending pause/resume command,
// byte 127 = 0xB1, flag = 1 into the prepared record, then hands it to the block (mutex, copy,
// wake-up, unlock; see mcu/gui_block.h). When the GUI process holds the mutex, or the block is
// missing, the publish is skipped: a pending command stays pending and the bytes written go
// with the next publish. Null does nothing. Controller thread.
void gui_record_step(GuiSharedBlock *block);
