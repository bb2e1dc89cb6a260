// The daemon's hold on the shared block: a helper process that alone maps it and calls the
// pthread functions on its mutex and condition variable. The GUI process is a peer the daemon
// cannot trust with its memory: it may cut the block short, write over the native objects or
// hold the mutex for ever. What that does to a C library call happens in the helper, which
// the daemon ends and replaces; the daemon's own threads never touch the mapping.
#pragma once

#include <cstdint>

// How long the helper tries for the mutex before it skips a publish.
constexpr int gui_lock_try_ms = 2;
// How long a publish waits for the helper's answer; later answers are taken by the next one.
constexpr int gui_answer_wait_ms = 100;
// A helper that has not answered within this long is taken for stuck, ended and replaced.
constexpr int gui_helper_limit_ms = 1000;

// Forks the small single-threaded process that forks helpers on request. Call it before any
// thread starts; gui_shm_create calls it if nobody did. Main thread.
void gui_helper_start();

// Hands the prepared record to the block: the bytes it still owes, then flag = 1, the wake-up
// and the unlock, in the helper. `command` (2 pause, 3 resume, 0 none) is reported to the
// screen owner as published once the helper says the record is in. 1: in the block now;
// 0: skipped or the answer still out, the bytes stay owed; -1: no block. Controller thread.
int gui_block_write(uint8_t command);

// Waits at most `wait_ms` for an answer still out (replacing a helper that ended or is
// stuck meanwhile); then whether bytes of earlier publishes still wait for the block.
bool gui_block_pending(int wait_ms = 0);
