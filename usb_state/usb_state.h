// The USB connection monitor.
#pragma once

#include <atomic>
#include <cstdint>

// --- -1 until the first probe, then the gadget state. The monitor writes; the controller reads.
extern std::atomic<int32_t> usb_connect_state;
