// The sandbox root the video tests run under, and a stand-in for the decoder thread's side of
// the ring.
//
// Each test process gets a fresh temporary root, set as DISPLAYHEAD_ROOT before any test runs
// and removed at exit; the background videos, the decoder and the layers all live under it.
// Standard output is unbuffered so that captured messages arrive whole.
#pragma once

#include "tests/support/waiting.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <thread>
#include <string>
#include <vector>

#include "tests/support/test_root.h"

using Bytes = std::vector<uint8_t>;

// Writes a device file, its directories made.
void write_device_file(const std::string &device_path, const Bytes &bytes);
void write_device_file(const std::string &device_path, const std::string &text);
void remove_device_file(const std::string &device_path);

// A block taken out of the ring, and the slot it came from.
struct TakenBlock {
  Bytes bytes;
  int slot;
};

// Takes the oldest pending block the way the decoder thread does (under pc_mutex, freeing the
// slot and waking a waiting push); nothing when none is pending within `timeout`.
std::optional<TakenBlock> take_block(std::chrono::milliseconds timeout);


// Stops any player, waits until it has ended and empties the ring; clears the switch state.
void reset_video_state();
