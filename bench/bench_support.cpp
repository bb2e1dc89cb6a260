#include "bench/bench_support.h"

#include <fcntl.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "app/host_packet.h"
#include "tools/host_client.h"

namespace {

constexpr int reply_wait_ms = 10000;

bool read_exact(int fd, uint8_t *buffer, size_t count) {
  size_t done = 0;
  while (done < count) {
    ssize_t n = read(fd, buffer + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

}  // namespace

std::string table_header() {
  return "| path | measured | baseline | result | goal | verdict |\n"
         "|---|---|---|---|---|---|\n";
}

std::string table_row(const TableRow &row) {
  return "| " + row.path + " | " + row.measured + " | " + row.baseline + " | " + row.result +
         " | " + row.goal + " | " + row.verdict + " |\n";
}

std::string format(const char *pattern, ...) {
  char text[512];
  va_list args;
  va_start(args, pattern);
  vsnprintf(text, sizeof text, pattern, args);
  va_end(args);
  return text;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

PtyLink::PtyLink() {
  if (openpty(&host_, &device_, nullptr, nullptr, nullptr) != 0) {
    throw std::runtime_error("openpty failed");
  }
  fcntl(host_, F_SETFD, FD_CLOEXEC);
  fcntl(device_, F_SETFD, FD_CLOEXEC);
  termios tio{};
  tcgetattr(device_, &tio);
  cfmakeraw(&tio);
  tcsetattr(device_, TCSANOW, &tio);
}

PtyLink::~PtyLink() {
  close(host_);
  close(device_);
}

bool bare_device_answers(int fd, size_t request_bytes, int rounds, uint8_t code) {
  std::vector<uint8_t> request(request_bytes);
  ReplyBytes reply{};
  reply[0] = code;
  reply[1] = reply_status_ok;
  for (int i = 0; i < rounds; ++i) {
    if (!read_exact(fd, request.data(), request.size())) return false;
    if (host_write_all(fd, reply) != 0 || tcdrain(fd) != 0) return false;
  }
  return true;
}

double host_exchanges(int fd, std::span<const uint8_t> packet, std::span<const uint8_t> block,
                      int rounds, uint8_t code) {
  ReplyBytes reply{};
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < rounds; ++i) {
    if (host_write_all(fd, packet) != 0) return -1;
    if (!block.empty() && host_write_all(fd, block) != 0) return -1;
    if (host_read_exact(fd, reply.data(), reply.size(), reply_wait_ms) != long(reply.size())) {
      return -1;
    }
    if (reply[0] != code || reply[1] != reply_status_ok) return -1;
  }
  return seconds_since(start);
}

double bare_link_seconds(std::span<const uint8_t> packet, std::span<const uint8_t> block,
                         int rounds, uint8_t code) {
  PtyLink link;
  // The device end in a process of its own, as the daemon is.
  const pid_t device = fork();
  if (device < 0) return -1;
  if (device == 0) {
    _exit(bare_device_answers(link.device(), packet.size() + block.size(), rounds, code) ? 0 : 1);
  }
  const double seconds = host_exchanges(link.host(), packet, block, rounds, code);
  if (seconds < 0) kill(device, SIGKILL);
  int status = 0;
  waitpid(device, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? seconds : -1;
}

double process_cpu_seconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // The command name may hold spaces and parentheses: fields are counted after the last ')'.
  size_t close_paren = text.rfind(')');
  if (close_paren == std::string::npos) return -1;
  std::istringstream fields(text.substr(close_paren + 2));
  std::string field;
  unsigned long long user = 0, system = 0;
  // Fields 3..13 come first; utime and stime are fields 14 and 15.
  for (int number = 3; number <= 15 && fields >> field; ++number) {
    if (number == 14) user = std::stoull(field);
    if (number == 15) system = std::stoull(field);
  }
  return double(user + system) / double(sysconf(_SC_CLK_TCK));
}

long process_status_kib(pid_t pid, const std::string &field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, field.size() + 1, field + ":") == 0) {
      return std::stol(line.substr(field.size() + 1));
    }
  }
  return -1;
}
