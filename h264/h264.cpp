#include "h264/h264.h"

std::atomic<int32_t> h264_block_cnt{0};
