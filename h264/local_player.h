// The local video player and the background themes.
#pragma once

#include <atomic>
#include <cstdint>

// --- 1 while a local video is being fed into the ring. The player writes; the host loop reads.
extern std::atomic<int32_t> local_h264_playing;
