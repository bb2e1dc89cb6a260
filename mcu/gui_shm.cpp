#include "mcu/gui_shm.h"

std::atomic<uint8_t> lvgl_state{0xFF};
