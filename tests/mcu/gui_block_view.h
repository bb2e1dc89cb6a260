// The tests' own view of the shared block: a second mapping of the block's file, as the GUI
// process has it.
#pragma once

#include <sys/mman.h>

#include <string>

#include "mcu/gui_shm_layout.h"

inline const std::string block_device_path = "/dev/shm/demo_shm";

// Maps the block as it is now; null when it is missing or too short.
GuiSharedBlock *view_block();

// A fresh start of the daemon's side: no block left from an earlier test, then creation.
// Resets the published globals too (GUI shown, no request pending, all values 0).
GuiSharedBlock *fresh_block();

// One publish through the daemon's API, without a control-mode step; whether it reached the
// block. It waits for the helper's answer up to publish_answer_ms, generous for a busy machine.
inline constexpr int publish_answer_ms = 10000;
bool publish();
