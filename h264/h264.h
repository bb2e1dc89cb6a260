// The H.264 block ring and the decoder thread that shows every video picture.
#pragma once

#include <atomic>
#include <cstdint>

// --- Blocks queued in the ring: the push (host loop, local player) and the decoder thread
// write; the host replies, the player and the GUI block read.
extern std::atomic<int32_t> h264_block_cnt;
