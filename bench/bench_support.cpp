#include "bench/bench_support.h"

#include <fcntl.h>
#include <pty.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "crypto/host_packet.h"
#include "tools/host_client.h"

extern char **environ;

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
  clockid_t clock = 0;
  timespec ts{};
  if (clock_getcpuclockid(pid, &clock) == 0 && clock_gettime(clock, &ts) == 0) {
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
  }
  // Clock ticks from /proc: coarser, but there on every kernel.
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

pid_t floor_start(const std::vector<std::string> &args, int io_fd, int &report) {
  report = -1;
  std::error_code error;
  const std::string program =
      std::filesystem::read_symlink("/proc/self/exe", error).parent_path().string() + "/dh_bench_floor";
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 3);
  if (io_fd >= 0) posix_spawn_file_actions_adddup2(&actions, io_fd, 0);
  // Its standard output is never the table's.
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> words{program};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char *> argv;
  for (std::string &word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int failed = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (failed != 0) {
    close(fds[0]);
    return -1;
  }
  // The program is loaded and set up when it says so; what it measures starts after that.
  char ready[6] = {};
  size_t got = 0;
  while (got < sizeof ready) {
    ssize_t n = read(fds[0], ready + got, sizeof ready - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += size_t(n);
  }
  if (got != sizeof ready || memcmp(ready, "ready\n", sizeof ready) != 0) {
    close(fds[0]);
    waitpid(pid, nullptr, 0);
    return -1;
  }
  report = fds[0];
  return pid;
}

FloorRun floor_finish(pid_t pid, int report) {
  FloorRun run;
  if (pid < 0) return run;
  std::string text;
  char piece[128];
  ssize_t got = 0;
  while ((got = read(report, piece, sizeof piece)) > 0) text.append(piece, size_t(got));
  close(report);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return run;
  double cpu = -1, wall = -1;
  long count = 0;
  if (sscanf(text.c_str(), "%lf %lf %ld", &cpu, &wall, &count) == 3) {
    run.cpu = cpu;
    run.wall = wall;
    run.count = count;
  }
  return run;
}

FloorRun floor_run(const std::vector<std::string> &args) {
  int report = -1;
  const pid_t pid = floor_start(args, -1, report);
  return floor_finish(pid, report);
}

FloorRun floor_link(const std::string &mode, std::span<const uint8_t> packet,
                    std::span<const uint8_t> block, int rounds, uint8_t code,
                    const std::string &store) {
  PtyLink link;
  std::vector<std::string> args{mode, std::to_string(rounds),
                                std::to_string(packet.size() + block.size()), std::to_string(code)};
  if (mode == "upload") args.push_back(store);
  int report = -1;
  const pid_t pid = floor_start(args, link.device(), report);
  if (pid < 0) return {};
  const double seconds = host_exchanges(link.host(), packet, block, rounds, code);
  if (seconds < 0) kill(pid, SIGKILL);
  FloorRun run = floor_finish(pid, report);
  if (seconds < 0) return {};
  run.wall = seconds;
  return run;
}

double load_average() {
  double load = -1;
  FILE *in = fopen("/proc/loadavg", "r");
  if (in == nullptr) return -1;
  if (fscanf(in, "%lf", &load) != 1) load = -1;
  fclose(in);
  return load;
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
