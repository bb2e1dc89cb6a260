// What the host command loop forwards to the controller, and the controller data it reads back.
//
// A message is a two-byte prefix { code, 0x00 } (the first two bytes of before_data) in one
// write, then, where there is one, the payload in a second write, after a pause that gives the
// controller time to get ready for it. The whole message goes out under mcu_port_lock, so the
// controller thread cannot close or reopen the port in the middle of it; while the port is not
// open (never opened, being reopened, or failed) the message is dropped with a note. The write
// results are not examined: safe_write reports its own failures and the host gets its reply
// all the same.
#include "mcu/mcu.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "h264/local_player.h"
#include "mcu/gui_shm.h"
#include "tty/tty.h"

namespace {

constexpr auto settings_pause = std::chrono::milliseconds(100);
constexpr auto first_firmware_pause = std::chrono::milliseconds(50);
constexpr int firmware_log_bytes = 32;
constexpr int theme_log_bytes = 32;
constexpr int pump_fan_len = 14;

enum MessageCode : uint8_t {
  message_light = 0xA3,
  message_pump_fan = 0xA4,
  message_erase = 0xA6,
  message_firmware = 0xA7,
};

// The open controller port, with mcu_port_lock held by the caller; -1 (after a note) when
// there is none. Descriptor 0 is never the port: it would be standard input.
int port_or_note(const char *what) {
  const int fd = tty_fd_mcu;
  if (fd > 0) return fd;
  fprintf(stderr, "controller port is not open, %s not sent\n", what);
  return -1;
}

void send_prefix(int fd, uint8_t code) {
  before_data[0] = code;
  before_data[1] = 0x00;
  safe_write(fd, before_data, 2);
}

void send_payload(int fd, const uint8_t *data, uint32_t length) {
  if (length > 0) safe_write(fd, data, length);
}


}  // namespace

bool mcu_gate_closed() { return control_mode == 1; }

void mcu_erase() {
  puts("-----------------------------------erase");
  use_erase = 1;
  std::lock_guard<std::mutex> hold(mcu_port_lock);
  const int fd = port_or_note("firmware erase");
  if (fd < 0) return;
  send_prefix(fd, message_erase);
}

void mcu_update_data(const uint8_t *data, uint32_t length) {
  if (data == nullptr) length = 0;
  puts("send update data");
  {
    std::lock_guard<std::mutex> hold(mcu_port_lock);
    const int fd = port_or_note("firmware data");
    if (fd < 0) return;
    if (use_erase == 1) {
      send_prefix(fd, message_firmware);
      use_erase = 0;
      std::this_thread::sleep_for(first_firmware_pause);
    }
    send_payload(fd, data, length);
  }
  char text[32];
  snprintf(text, sizeof text, "fw data len: %u ", length);
  print_bytes(text, data, std::min<uint32_t>(length, firmware_log_bytes));
}

void mcu_set_pump_fan(const uint8_t bytes[14]) {
  puts("---------------------send to mcu set pump fan");
  print_bytes("", bytes, pump_fan_len);
  std::lock_guard<std::mutex> hold(mcu_port_lock);
  const int fd = port_or_note("pump/fan settings");
  if (fd < 0) return;
  send_prefix(fd, message_pump_fan);
  std::this_thread::sleep_for(settings_pause);
  send_payload(fd, bytes, pump_fan_len);
}

void mcu_light_data(const uint8_t *data, uint32_t length) {
  if (data == nullptr) length = 0;
  puts("send to mcu light data");
  {
    std::lock_guard<std::mutex> hold(mcu_port_lock);
    const int fd = port_or_note("lighting data");
    if (fd < 0) return;
    send_prefix(fd, message_light);
    std::this_thread::sleep_for(settings_pause);
    send_payload(fd, data, length);
  }
  char text[32];
  snprintf(text, sizeof text, "light data len: %u ", length);
  print_bytes(text, data, length);
}

void mcu_set_theme(const uint8_t record[64]) {
  lvgl_resume();
  {
    std::lock_guard<std::mutex> hold(mcu_data_lock);
    memcpy(pc_send_theme_buffer + host_theme_record_at, record, host_theme_record_len);
  }
  puts("aaaaaaaaaaa---------aaaaaaaaaaaaaaaa");
  pc_send_theme_mark = 1;
  const int theme = record[host_theme_index_at];
  printf("pc set theme index %d\n", theme);
  if (theme >= background_video_count) {
    fprintf(stderr, "theme index %d out of range, the theme stays %d\n", theme,
            current_theme_index.load());
  }
  print_bytes("", record, theme_log_bytes);
}

void mcu_get_data(uint8_t *reply) {
  {
    std::lock_guard<std::mutex> hold(mcu_data_lock);
    memcpy(reply + 8, mcu_usb_data_rec, mcu_usb_data_rec_len);
  }
  memset(reply + 40, 0, 32);
  printf("send to pc current control mode=%d\n", control_mode.load());
  print_bytes("", reply + 8, 64);
}

void mcu_get_group_position(uint8_t *reply) {
  reply[8] = static_cast<uint8_t>(group & 0xFF);
  reply[9] = static_cast<uint8_t>(position & 0xFF);
}
