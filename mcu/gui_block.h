// The daemon's hold on the shared block: the mapping, the set-up of its native mutex and
// condition variable, and the write of a publish into it. The GUI process is a peer the
// daemon cannot trust with its memory: it may cut the block short, write over the native
// objects or hold the mutex for ever. None of that may crash the daemon or stall the
// controller thread. mcu/gui_shm.h has the publish that uses this, and gui_shm_create and
// gui_publish_begin, which live here.
//
// Controller thread only (and tests, on one thread at a time).
#pragma once

#include <cstdint>

#include "mcu/gui_shm_layout.h"

// How long one publish tries for the mutex before it skips, leaving its bytes for the next.
constexpr int gui_lock_try_ms = 2;
// How long the wake-up of the GUI process may take before its condition variable is taken
// for stuck, set up again, and the publish goes on.
constexpr int gui_signal_limit_ms = 1000;

// Carries the record prepared in gui_publish_begin's copy to the block: the bytes this
// publish wrote there (and those of earlier publishes that were skipped), then flag = 1, the
// wake-up and the unlock. Before each use the native objects are checked against what the
// daemon's own set-up writes, and set up again, with a message, when they differ.
// 1: the record is in the block; 0: skipped (the GUI process holds the mutex, the block was
// cut short meanwhile...), the bytes stay for the next publish; -1: no block is mapped.
int gui_block_write();

// Whether bytes of skipped publishes still wait for the block.
bool gui_block_pending();
