#include "usb_state/usb_state.h"

std::atomic<int32_t> usb_connect_state{-1};
