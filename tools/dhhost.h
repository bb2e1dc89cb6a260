// dhhost's subcommands share these: the options, the port, one checked exchange, local files,
// the interruption, the output, and the exit statuses (0 done, 1 the device failed or did not
// answer, 2 a usage error, a local file that cannot be sent, or no port).
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tools/host_client.h"

struct Options {
  std::string port;
  int timeout_ms = 10000;
  bool json = false;
  // Subcommand options.
  std::optional<std::string> chunk;
  std::optional<std::string> fps;
};

constexpr int exit_ok = 0;
constexpr int exit_device = 1;
constexpr int exit_usage = 2;

using Args = std::vector<std::string>;

// Prints "dhhost: TEXT" on standard error; with --json the first such text also ends up in the
// {"ok": false, "error": ...} object printed at the end.
void say_error(const std::string &text);
// The first error said, for the JSON of a failure.
const std::string &first_error();

// One JSON object as one line. Names from the device or the command line need not be UTF-8:
// a byte that is not is shown as U+FFFD, so the line is always valid JSON.
std::string json_line(const nlohmann::json &object);

// The output of a subcommand that succeeded: with --json the object, else the text (if any).
void print_result(const Options &opt, const nlohmann::json &object, const std::string &text = "");
// {"ok": true} with --json; nothing otherwise.
void print_done(const Options &opt);

// Claims the port named by the options for this program alone (a terminal or a Unix
// socket); -1 after a message saying why (missing, held by another program, not a port).
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

// Ctrl-C (SIGINT) and SIGTERM: the block being sent is finished with filler bytes up to its
// announced length, so that the device stays aligned, and the subcommand stops after the
// reply, saying what the device was left with. A second signal ends dhhost at once. SIGPIPE is
// ignored: a socket port whose far end has gone is the device gone away.
void catch_interruptions();
bool interrupted();

// How one exchange went.
enum class Exchange {
  ok,
  no_reply,     // nothing, or not a whole reply, within the time
  port_error,
  not_ours,     // the reply belongs to another command
  failed,       // the device's failure reply: bytes 6..13 "_failed\0"
  gone,         // the port hung up: the device went away
  interrupted,  // Ctrl-C or SIGTERM while an interruptible exchange waited for its reply
};

// One command: the pending input discarded, the packet, its block (in pieces; the rest filler
// after an interruption, counted in `filler`), and the reply read and checked. Says nothing.
// An `interruptible` exchange (a command on its own, whose reply only matters for what dhhost
// prints) is not sent after an interruption and stops waiting for its reply at one; a late
// reply is then passed over by the next command.
Exchange exchange(const Options &opt, int fd, uint8_t code, std::span<const uint8_t> payload,
                  std::span<const uint8_t> block, ReplyBytes &reply, size_t *filler = nullptr,
                  bool interruptible = false);
// The words for a failed exchange of `what`, e.g. "command 0x28".
std::string exchange_failure(const Options &opt, const std::string &what, Exchange result);

// exchange() that says what went wrong; false then.
bool transact(const Options &opt, int fd, uint8_t code, std::span<const uint8_t> payload,
              std::span<const uint8_t> block, ReplyBytes &reply, bool interruptible = false);

// A command without a block on a port of its own: exit_ok, exit_usage (no port) or
// exit_device (said in words).
int query(const Options &opt, uint8_t code, ReplyBytes &reply, std::span<const uint8_t> payload = {});
// The same, for a command that reports nothing: {"ok": true} with --json.
int simple_command(const Options &opt, uint8_t code, std::span<const uint8_t> payload = {});

// A local file to send: checked (a regular file, its size) before anything goes out, and read
// in pieces.
class LocalFile {
 public:
  // False after a message: missing, unreadable, a directory or not a regular file, empty
  // (unless `empty_ok`), or larger than `max_size`.
  bool open(const std::string &path, uint64_t max_size, bool empty_ok, const std::string &what);
  uint64_t size() const { return size_; }
  const std::string &path() const { return path_; }
  // The next `count` bytes (fewer at the end); false after a message on a read error.
  bool read(size_t count, std::vector<uint8_t> &piece);
  ~LocalFile();

 private:
  std::string path_;
  FILE *file_ = nullptr;
  uint64_t size_ = 0;
};

// An unsigned number (decimal, or 0x.. hex) from `low` to `high`; false after a message
// naming `what` and the range.
bool parse_number(const std::string &text, uint64_t low, uint64_t high, const std::string &what, uint64_t &value);
// Hex digits (pairs, spaces or colons between them allowed), with or without a leading 0x.
bool parse_hex(const std::string &text, std::vector<uint8_t> &bytes);

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
