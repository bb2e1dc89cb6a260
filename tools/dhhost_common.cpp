// What every dhhost subcommand shares: the port, one checked exchange, local files, the
// interruption, the output.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <random>

#include "crypto/host_packet.h"
#include "tools/dhhost.h"

namespace {

constexpr size_t block_piece = 4096;
constexpr char failure_mark[8] = {'_', 'f', 'a', 'i', 'l', 'e', 'd', '\0'};
constexpr size_t failure_at = 6;

volatile sig_atomic_t interruption = 0;
std::string first_error_text;

void on_interruption(int) { interruption = 1; }

// Whatever waits on the port now (a late reply to an earlier command, a stray page) is not
// the answer to the command about to go out.
void discard_pending(int fd) {
  tcflush(fd, TCIFLUSH);
  uint8_t junk[4096];
  pollfd pfd{fd, POLLIN, 0};
  while (poll(&pfd, 1, 0) > 0 && (pfd.revents & POLLIN)) {
    if (read(fd, junk, sizeof junk) <= 0) break;
  }
}

// Writes the block in pieces; after an interruption the rest of it is filler, so that the
// device reads exactly the length it was promised.
int write_block(int fd, std::span<const uint8_t> block, size_t *filler) {
  static const std::vector<uint8_t> zeros(block_piece, 0);
  size_t done = 0;
  while (done < block.size()) {
    const size_t length = std::min(block_piece, block.size() - done);
    if (interruption) {
      if (host_write_all(fd, std::span(zeros).first(length)) != 0) return -1;
      if (filler != nullptr) *filler += length;
    } else if (host_write_all(fd, block.subspan(done, length)) != 0) {
      return -1;
    }
    done += length;
  }
  return 0;
}

}  // namespace

void say_error(const std::string &text) {
  fprintf(stderr, "dhhost: %s\n", text.c_str());
  if (first_error_text.empty()) first_error_text = text;
}

const std::string &first_error() { return first_error_text; }

std::string json_line(const nlohmann::json &object) {
  return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void print_result(const Options &opt, const nlohmann::json &object, const std::string &text) {
  if (opt.json) {
    printf("%s\n", json_line(object).c_str());
  } else if (!text.empty()) {
    fputs(text.c_str(), stdout);
  }
}

void print_done(const Options &opt) { print_result(opt, {{"ok", true}}); }

int open_port(const Options &opt) {
  int fd = -1;
  std::string error;
  switch (host_port_claim(opt.port, fd, error)) {
    case PortClaim::ok: return fd;
    case PortClaim::missing:
      say_error("port " + error + " (-p PORT or DHHOST_PORT names the device's port; a USB serial port is "
                "there only while the device is plugged in and running)");
      break;
    case PortClaim::held: say_error(error + "; the port is one program's at a time"); break;
    case PortClaim::not_port:
    case PortClaim::failed: say_error(error); break;
  }
  return -1;
}

Port::Port(const Options &opt) : fd(open_port(opt)) {}
Port::~Port() {
  if (fd >= 0) close(fd);
}

void catch_interruptions() {
  // A port that is a socket whose far end has gone fails its write with EPIPE, which is the
  // device gone away, said in words: not a silent end by SIGPIPE.
  signal(SIGPIPE, SIG_IGN);
  struct sigaction action{};
  action.sa_handler = on_interruption;
  action.sa_flags = SA_RESETHAND;  // a second signal ends dhhost at once
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

bool interrupted() { return interruption != 0; }

Exchange exchange(const Options &opt, int fd, uint8_t code, std::span<const uint8_t> payload,
                  std::span<const uint8_t> block, ReplyBytes &reply, size_t *filler, bool interruptible) {
  // An interruptible command is not sent after an interruption, and its wait is read in
  // slices, so that an interruption ends it.
  if (interruptible && interrupted()) return Exchange::interrupted;
  static std::mt19937 random_tags{std::random_device{}()};
  std::array<uint8_t, 4> tag;
  const uint32_t value = random_tags();
  memcpy(tag.data(), &value, 4);

  discard_pending(fd);
  const PacketBytes packet = build_packet(code, tag, payload);
  if (host_write_all(fd, packet) != 0 || write_block(fd, block, filler) != 0) {
    return errno == port_gone_errno ? Exchange::gone : Exchange::port_error;
  }
  // A reply to another program's command that came late (a TCP client that left just before)
  // is passed over: ours follows it.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(opt.timeout_ms);
  bool passed_over = false;
  size_t have = 0;
  for (;;) {
    if (interruptible && interrupted()) return Exchange::interrupted;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return passed_over ? Exchange::not_ours : Exchange::no_reply;
    const long slice = interruptible ? std::min<long>(left.count(), 100) : left.count();
    const long got = host_read_exact(fd, reply.data() + have, reply.size() - have, int(std::max<long>(1, slice)));
    if (got < 0) return errno == port_gone_errno ? Exchange::gone : Exchange::port_error;
    have += size_t(got);
    if (have < reply.size()) continue;
    if (reply[0] == code && reply[1] == reply_status_ok && memcmp(reply.data() + 2, tag.data(), 4) == 0) break;
    passed_over = true;
    have = 0;
  }
  if (memcmp(reply.data() + failure_at, failure_mark, sizeof failure_mark) == 0) return Exchange::failed;
  return Exchange::ok;
}

std::string exchange_failure(const Options &opt, const std::string &what, Exchange result) {
  char seconds[32];
  snprintf(seconds, sizeof seconds, "%.1f", opt.timeout_ms / 1000.0);
  switch (result) {
    case Exchange::ok: return what + ": ok";
    case Exchange::no_reply:
      return "no reply to " + what + " within " + seconds + " s on " + opt.port +
             " (the device may still be reading it: the next command may need the link's 2 s "
             "resynchronisation, so wait 2 s before it)";
    case Exchange::port_error: return what + ": the port failed: " + strerror(errno);
    case Exchange::gone:
      return what + ": the device went away (" + opt.port +
             " hung up: the cable was pulled, or the device restarted or powered off)";
    case Exchange::not_ours: return what + ": the reply belongs to another command";
    case Exchange::failed: return what + ": the device reports that it failed";
    case Exchange::interrupted:
      return what + ": interrupted before the device answered (it may still carry the command out)";
  }
  return what + ": ?";
}

bool transact(const Options &opt, int fd, uint8_t code, std::span<const uint8_t> payload,
              std::span<const uint8_t> block, ReplyBytes &reply, bool interruptible) {
  const Exchange result = exchange(opt, fd, code, payload, block, reply, nullptr, interruptible);
  if (result == Exchange::ok) return true;
  char what[32];
  snprintf(what, sizeof what, "command 0x%02X", code);
  say_error(exchange_failure(opt, what, result));
  return false;
}

int query(const Options &opt, uint8_t code, ReplyBytes &reply, std::span<const uint8_t> payload) {
  Port port(opt);
  if (!port.ok()) return exit_usage;
  return transact(opt, port.fd, code, payload, {}, reply, true) ? exit_ok : exit_device;
}

int simple_command(const Options &opt, uint8_t code, std::span<const uint8_t> payload) {
  ReplyBytes reply{};
  const int status = query(opt, code, reply, payload);
  if (status == exit_ok) print_done(opt);
  return status;
}

bool LocalFile::open(const std::string &path, uint64_t max_size, bool empty_ok, const std::string &what) {
  path_ = path;
  struct stat info{};
  if (stat(path.c_str(), &info) != 0) {
    say_error("cannot read " + path + ": " + strerror(errno));
    return false;
  }
  if (S_ISDIR(info.st_mode)) {
    say_error(path + " is a directory, not a file");
    return false;
  }
  if (!S_ISREG(info.st_mode)) {
    say_error(path + " is not a regular file");
    return false;
  }
  size_ = uint64_t(info.st_size);
  if (size_ == 0 && !empty_ok) {
    say_error(path + " is empty: " + what + " needs at least one byte; nothing was sent");
    return false;
  }
  if (size_ > max_size) {
    say_error(path + " has " + std::to_string(size_) + " bytes; " + what + " takes at most " +
              std::to_string(max_size) + "; nothing was sent");
    return false;
  }
  file_ = fopen(path.c_str(), "rb");
  if (file_ == nullptr) {
    say_error("cannot read " + path + ": " + strerror(errno));
    return false;
  }
  return true;
}

bool LocalFile::read(size_t count, std::vector<uint8_t> &piece) {
  piece.resize(count);
  const size_t got = fread(piece.data(), 1, count, file_);
  piece.resize(got);
  if (got < count && ferror(file_)) {
    say_error("cannot read " + path_ + ": " + strerror(errno));
    return false;
  }
  return true;
}

LocalFile::~LocalFile() {
  if (file_ != nullptr) fclose(file_);
}

bool parse_number(const std::string &text, uint64_t low, uint64_t high, const std::string &what, uint64_t &value) {
  char *end = nullptr;
  errno = 0;
  const unsigned long long parsed = strtoull(text.c_str(), &end, 0);
  if (text.empty() || !isdigit(static_cast<unsigned char>(text[0])) || *end != '\0' || errno != 0 ||
      parsed < low || parsed > high) {
    say_error(what + " must be a number from " + std::to_string(low) + " to " + std::to_string(high) +
              ", not '" + text + "'");
    return false;
  }
  value = parsed;
  return true;
}

bool parse_hex(const std::string &text, std::vector<uint8_t> &bytes) {
  std::string digits;
  size_t start = 0;
  if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) start = 2;
  for (size_t i = start; i < text.size(); ++i) {
    const char c = text[i];
    if (c == ' ' || c == ':') continue;
    if (!isxdigit(static_cast<unsigned char>(c))) return false;
    digits += c;
  }
  if (digits.size() % 2 != 0) return false;
  for (size_t i = 0; i < digits.size(); i += 2) bytes.push_back(uint8_t(std::stoul(digits.substr(i, 2), nullptr, 16)));
  return true;
}

Progress::Progress(uint64_t total)
    : total_(total), shown_(isatty(STDERR_FILENO)), start_(std::chrono::steady_clock::now()) {}

void Progress::update(uint64_t done) {
  if (!shown_) return;
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  const int percent = total_ == 0 ? 100 : int(done * 100 / total_);
  const int filled = percent * 30 / 100;
  fprintf(stderr, "\r[%-30s] %3d%%  %llu/%llu bytes  %.1f KiB/s", std::string(size_t(filled), '#').c_str(),
          percent, static_cast<unsigned long long>(done), static_cast<unsigned long long>(total_),
          seconds > 0 ? done / 1024.0 / seconds : 0.0);
}

Progress::~Progress() {
  if (shown_) fputc('\n', stderr);
}
