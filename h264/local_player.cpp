#include "h264/local_player.h"

std::atomic<int32_t> local_h264_playing{0};
