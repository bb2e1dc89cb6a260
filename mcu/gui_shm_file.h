// Reaching the shared block, for both sides: the daemon (mcu/gui_shm.cpp) and the GUI-side
// reader tools/dhgui.
//
// On the device the block is the POSIX shared-memory object "/demo_shm" (shm_open). Under a
// sandbox root DIR (DISPLAYHEAD_ROOT) it is the plain file DIR/dev/shm/demo_shm, so nothing
// touches the machine's own /dev/shm.
#pragma once

#include <sys/types.h>

#include <string>

#include "mcu/gui_shm_layout.h"

// The object's name for messages: "/demo_shm", or the file's path under a sandbox root.
std::string gui_block_name();

// open()-like: a descriptor, or -1 with errno set. With O_CREAT under a sandbox root the
// directory DIR/dev/shm is made first, as the device always has it. Any thread.
int open_gui_block(int flags, mode_t mode);

// Maps the first gui_block_size bytes of `fd` shared for reading and writing; null on failure
// (errno set). The caller makes sure the object is at least that long: touching a page past
// its end raises SIGBUS.
GuiSharedBlock *map_gui_block(int fd);

// Takes the block's mutex, waiting at most `timeout_ms`. Returns 0 when locked; EOWNERDEAD
// when locked after its last holder died holding it (already made consistent again, so the
// caller only reports it); otherwise the error (ETIMEDOUT, ENOTRECOVERABLE, EINVAL...) and the
// mutex is not held.
int lock_gui_block(GuiSharedBlock *block, int timeout_ms);

// An absolute CLOCK_REALTIME time `ms` from now, for the timed pthread calls.
struct timespec gui_deadline_after(int ms);
