// Controller link state. The link itself comes with the controller issue's work.
#include "mcu/mcu.h"

std::atomic<uint8_t> control_mode{0};
std::atomic<uint8_t> current_theme_index{0};
std::atomic<uint8_t> last_theme_index{0};
std::atomic<uint8_t> pc_send_theme_mark{0};
uint8_t mcu_usb_data_rec[mcu_usb_data_rec_len] = {};
uint8_t pc_send_theme_buffer[pc_send_theme_buffer_len] = {};
