// Reaching the shared block "/demo_shm" (a file under a sandbox root, platform/shm_root.h).
#pragma once

#include <sys/types.h>

#include <string>

#include "mcu/gui_shm_layout.h"

// The object's name for messages: "/demo_shm", or the file's path under a sandbox root.
std::string gui_block_name();

// open()-like: a descriptor, or -1 with errno set. Any thread.
int open_gui_block(int flags, mode_t mode);

// Maps the first gui_block_size bytes of `fd` shared for reading and writing; null on failure
// (errno set). Touching a page past the object's end raises SIGBUS: only the helper process
// (mcu/gui_shm_helper.cpp) and tests map it.
GuiSharedBlock *map_gui_block(int fd);
