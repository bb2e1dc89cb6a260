// The block shared with the GUI process.
#pragma once

#include <atomic>
#include <cstdint>

// --- 0xFF until start-up has loaded the theme, then 1 (GUI running) or 0 (paused for host
// pictures or video). Start-up, the pause and the resume write it; the controller thread reads.
extern std::atomic<uint8_t> lvgl_state;
