// dhhost's subcommands share these: the options, the port, one checked exchange, and the
// exit statuses (0 done, 1 the device failed or did not answer, 2 a usage error or no port).
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "tools/host_client.h"

struct Options {
  std::string port;
  int timeout_ms = 10000;
  bool json = false;
};

constexpr int exit_ok = 0;
constexpr int exit_device = 1;
constexpr int exit_usage = 2;
constexpr int wrong_arguments = -1;  // a subcommand's answer to a wrong argument count

using Args = std::vector<std::string>;

// Opens the port named by the options; -1 after a message saying why.
int open_port(const Options &opt);

// An open port, closed at the end of the subcommand.
struct Port {
  int fd;
  explicit Port(const Options &opt);
  ~Port();
  Port(const Port &) = delete;
  Port &operator=(const Port &) = delete;
  bool ok() const { return fd >= 0; }
};

// Says on standard error why `what` (a command, a listing page) got no good reply.
void report_failure(const Options &opt, const std::string &what, ReplyCheck result);

// One command, one checked reply; prints what went wrong and returns false.
bool transact(const Options &opt, int fd, uint8_t code, std::span<const uint8_t> payload,
              std::span<const uint8_t> block, ReplyBytes &reply);

// Sends a command without arguments on a port of its own and reads its reply: exit_ok,
// exit_usage (no port) or exit_device (no reply, said in words).
int query(const Options &opt, uint8_t code, ReplyBytes &reply);

// Sends a command without arguments and expects the standard reply: a whole subcommand.
int simple_command(const Options &opt, uint8_t code, std::span<const uint8_t> payload = {});

// Parses an unsigned number (decimal, or 0x.. hex) no larger than `max`; prints a message
// naming `what` and returns false otherwise.
// Reads a whole local file; false after a message naming it when it cannot be read.
bool read_local_file(const std::string &path, std::vector<uint8_t> &data);

bool parse_number(const std::string &text, uint64_t max, const char *what, uint64_t &value);

// The bytes of a text, for a payload.
inline std::span<const uint8_t> bytes_of(const std::string &text) {
  return {reinterpret_cast<const uint8_t *>(text.data()), text.size()};
}

// A progress bar on standard error, drawn only when it is a terminal.
class Progress {
 public:
  explicit Progress(uint64_t total);
  void update(uint64_t done);
  ~Progress();

 private:
  uint64_t total_;
  bool shown_;
  std::chrono::steady_clock::time_point start_;
};

// Text safe inside a JSON string.
std::string json_string(const std::string &text);

int run_version(const Options &, const Args &);
int run_raw(const Options &, const Args &);
int run_config(const Options &, const Args &);
int run_mark_usb_display(const Options &, const Args &);
int run_reboot(const Options &, const Args &);
int run_halt(const Options &, const Args &);

int run_rotate(const Options &, const Args &);
int run_brightness(const Options &, const Args &);
int run_fps(const Options &, const Args &);
int run_jpg(const Options &, const Args &);
int run_png(const Options &, const Args &);
int run_show_local(const Options &, const Args &);
int run_stop_slideshow(const Options &, const Args &);

int run_play(const Options &, const Args &);
int run_stop_play(const Options &, const Args &);
int run_play_state(const Options &, const Args &);
int run_stream(const Options &, const Args &);
int run_queue(const Options &, const Args &);
int run_stop_stream(const Options &, const Args &);

int run_theme(const Options &, const Args &);
int run_pump_fan(const Options &, const Args &);
int run_light(const Options &, const Args &);
int run_fw_update(const Options &, const Args &);
int run_mcu_data(const Options &, const Args &);
int run_group(const Options &, const Args &);
int run_test_decode(const Options &, const Args &);

int run_put(const Options &, const Args &);
int run_put_small(const Options &, const Args &);
int run_rm(const Options &, const Args &);
int run_size(const Options &, const Args &);
int run_ls(const Options &, const Args &);
int run_df(const Options &, const Args &);
