// The controller link: frames from the cooling controller, the messages relayed to it, and the
// theme logic.
#pragma once

#include <atomic>
#include <cstdint>

// --- Controller thread writes; host command loop reads (the control-mode gate).
extern std::atomic<uint8_t> control_mode;
// --- Start-up and the controller thread write; the controller thread and the GUI block read.
extern std::atomic<uint8_t> current_theme_index;
extern std::atomic<uint8_t> last_theme_index;
// --- Host command loop writes (0xF9 sets the mark); the controller thread reads and clears.
extern std::atomic<uint8_t> pc_send_theme_mark;

constexpr int mcu_usb_data_rec_len = 32;
constexpr int pc_send_theme_buffer_len = 128;
// Byte areas: the controller thread fills mcu_usb_data_rec, the host loop copies it out;
// the host loop fills pc_send_theme_buffer, the controller thread copies it out.
extern uint8_t mcu_usb_data_rec[mcu_usb_data_rec_len];
extern uint8_t pc_send_theme_buffer[pc_send_theme_buffer_len];
