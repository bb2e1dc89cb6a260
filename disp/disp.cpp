#include "disp/disp.h"

std::atomic<int32_t> ImgPlaying{0};
