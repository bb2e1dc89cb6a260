// What the host command loop forwards to the controller, and the controller data it reads back.
//
// A message is a two-byte prefix { code, 0x00 } (the first two bytes of before_data) in one
// write, then, where there is one, the payload in a second write, after a pause that gives the
// controller time to get ready for it. The whole message goes out under mcu_port_lock, so the
// controller thread cannot close or reopen the port in the middle of it; while the port is not
// open (never opened, being reopened, or failed) the message is dropped with a note.
//
// A controller that does not read (a stuck one, or a simulated link nobody serves) must not
// hold the host link: the message is written through a non-blocking second open of the same
// port, and its writes and the drain after them get 2 s in all (the pause not counted). What
// does not go out by then is dropped with a message on standard error; the relay reports the
// failure and the host still gets its reply.
#include "mcu/mcu.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "h264/local_player.h"
#include "mcu/gui_shm.h"
#include "tty/tty.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto settings_pause = std::chrono::milliseconds(100);
constexpr auto first_firmware_pause = std::chrono::milliseconds(50);
constexpr auto message_time_limit = std::chrono::seconds(2);
constexpr int firmware_log_bytes = 32;
constexpr int theme_log_bytes = 32;

// A non-blocking writer on the open controller port, with mcu_port_lock held by the caller.
// The port's own descriptor stays blocking, as the controller thread's reads need it: the
// writer is a second open of the same device. Where that cannot be had (no /proc, or a pty's
// master end, whose reopen would make a new pty) the port's own descriptor is made
// non-blocking for the message and blocking again after it. Descriptor 0 is never the port:
// it would be standard input.
class PortWriter {
 public:
  explicit PortWriter(const char *what) : what_(what) {
    const int port = tty_fd_mcu;
    if (port <= 0) {
      fprintf(stderr, "controller port is not open, %s not sent\n", what);
      return;
    }
    unsigned int pty_number = 0;
    const bool master = ioctl(port, TIOCGPTN, &pty_number) == 0;
    if (!master) {
      const std::string self = "/proc/self/fd/" + std::to_string(port);
      fd_ = open(self.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    }
    if (fd_ < 0) {
      const int flags = fcntl(port, F_GETFL);
      if (flags != -1 && fcntl(port, F_SETFL, flags | O_NONBLOCK) == 0) {
        fd_ = port;
        restore_flags_ = flags;
      } else {
        fprintf(stderr, "controller port cannot be written (%s), %s not sent\n", strerror(errno),
                what);
      }
    }
  }
  ~PortWriter() {
    if (fd_ < 0) return;
    if (restore_flags_ != -1) {
      fcntl(fd_, F_SETFL, restore_flags_);
    } else {
      close(fd_);
    }
  }
  PortWriter(const PortWriter &) = delete;
  PortWriter &operator=(const PortWriter &) = delete;

  bool open_ok() const { return fd_ >= 0; }

  // The prefix of the message; false (with a message) when it did not go out whole.
  bool prefix(uint8_t code) {
    before_data[0] = code;
    before_data[1] = 0x00;
    return write(before_data, 2);
  }
  // The payload; an empty one sends nothing.
  bool payload(const uint8_t *data, uint32_t length) {
    return length == 0 || write(data, length);
  }
  // The pause between prefix and payload does not count against the time limit.
  void pause(std::chrono::milliseconds length) {
    std::this_thread::sleep_for(length);
    deadline_ += length;
  }

 private:
  bool write(const uint8_t *data, size_t length) {
    if (write_before(fd_, data, length, deadline_) == static_cast<int>(length)) return true;
    fprintf(stderr, "controller does not take the %s: not sent whole\n", what_);
    return false;
  }

  const char *what_;
  int fd_ = -1;
  int restore_flags_ = -1;  // the port's own flags, when fd_ is the port itself
  Clock::time_point deadline_ = Clock::now() + message_time_limit;
};

}  // namespace

bool mcu_gate_closed() { return control_mode == control_wireless; }

int mcu_erase() {
  puts("-----------------------------------erase");
  std::lock_guard<std::mutex> hold(mcu_port_lock);
  PortWriter port("firmware erase");
  if (!port.open_ok() || !port.prefix(message_erase)) return -1;
  use_erase = 1;  // only once the erase has gone out
  return 0;
}

int mcu_update_data(const uint8_t *data, uint32_t length) {
  if (data == nullptr) length = 0;
  puts("send update data");
  bool sent = false;
  {
    std::lock_guard<std::mutex> hold(mcu_port_lock);
    PortWriter port("firmware data");
    if (port.open_ok()) {
      bool announced = true;
      if (use_erase == 1) {
        announced = port.prefix(message_firmware);
        if (announced) use_erase = 0;  // a block whose announcement failed is announced again
        if (announced) port.pause(first_firmware_pause);
      }
      sent = announced && port.payload(data, length);
    }
  }
  char text[32];
  snprintf(text, sizeof text, "fw data len: %u ", length);
  print_bytes(text, data, std::min<uint32_t>(length, firmware_log_bytes));
  return sent ? 0 : -1;
}

int mcu_set_pump_fan(const uint8_t bytes[14]) {
  puts("---------------------send to mcu set pump fan");
  print_bytes("", bytes, pump_fan_len);
  std::lock_guard<std::mutex> hold(mcu_port_lock);
  PortWriter port("pump/fan settings");
  if (!port.open_ok() || !port.prefix(message_pump_fan)) return -1;
  port.pause(settings_pause);
  return port.payload(bytes, pump_fan_len) ? 0 : -1;
}

int mcu_light_data(const uint8_t *data, uint32_t length) {
  if (data == nullptr) length = 0;
  puts("send to mcu light data");
  bool sent = false;
  {
    std::lock_guard<std::mutex> hold(mcu_port_lock);
    PortWriter port("lighting data");
    if (port.open_ok() && port.prefix(message_light)) {
      port.pause(settings_pause);
      sent = port.payload(data, length);
    }
  }
  char text[32];
  snprintf(text, sizeof text, "light data len: %u ", length);
  print_bytes(text, data, length);
  return sent ? 0 : -1;
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
