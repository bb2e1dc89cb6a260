// Controller link state: the globals of mcu/mcu.h. The thread lives in mcu_link.cpp, the
// messages the host loop relays to the controller in mcu_relay.cpp.
#include "mcu/mcu.h"

#include <cstdio>
#include <string>

std::atomic<uint8_t> control_mode{0};
std::atomic<uint8_t> water_temp{0};
std::atomic<uint16_t> pump_speed{0};
std::atomic<uint8_t> pc_send_theme_mark{0};
uint16_t pkg_num = 0;
uint8_t gImage_jpegA[picture_buffer_len] = {};

std::mutex mcu_data_lock;
uint8_t mcu_usb_data_rec[mcu_usb_data_rec_len] = {};
uint8_t pc_send_theme_buffer[pc_send_theme_buffer_len] = {};

uint8_t use_erase = 0;
uint8_t before_data[7] = {message_light, 0x00, 0x00, 0x00, 0x00, 0x00, message_pump_fan};
int32_t group = 0;
int32_t position = 0;

std::mutex mcu_port_lock;

void print_bytes(const char *text, const uint8_t *bytes, size_t count) {
  std::string line = text;
  char one[4];
  for (size_t i = 0; i < count; ++i) {
    snprintf(one, sizeof one, "%x ", bytes[i]);
    line += one;
  }
  line += '\n';
  fputs(line.c_str(), stdout);
}
