// What the benchmark programs share: the table row they print, a bare pty link that stands in
// for the daemon as the baseline of the link-bound paths, and a look at a process's CPU time
// and resident memory.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>
#include <sys/types.h>

// One line of the table: | path | measured | baseline | result | goal | verdict |.
struct TableRow {
  std::string path;
  std::string measured;
  std::string baseline;
  std::string result;   // the ratio, or the figure a goal is set on
  std::string goal;     // "—" when the row has none
  std::string verdict;  // "met", "missed", "no goal", or why it could not be measured
};

// The table's header (two lines) and one row, in Markdown.
std::string table_header();
std::string table_row(const TableRow &row);

// printf into a std::string.
std::string format(const char *pattern, ...) __attribute__((format(printf, 1, 2)));

// Seconds since `start`.
double seconds_since(std::chrono::steady_clock::time_point start);

// A pty whose far end (`device`) is raw, as a serial port set up by the daemon would be.
class PtyLink {
 public:
  PtyLink();
  ~PtyLink();
  PtyLink(const PtyLink &) = delete;
  PtyLink &operator=(const PtyLink &) = delete;
  int host() const { return host_; }
  int device() const { return device_; }

 private:
  int host_ = -1;
  int device_ = -1;
};

// The device side of the bare link: `rounds` times, reads a request of `request_bytes` and
// answers it with a 512-byte reply carrying `code` and the OK status, drained like the
// daemon's. Returns false when the link fails.
bool bare_device_answers(int fd, size_t request_bytes, int rounds, uint8_t code);

// The host side, the same against the daemon and the bare link: `rounds` times, writes the
// packet and its block and reads a 512-byte reply that must carry `code` and the OK status.
// Seconds taken, or -1 when a reply is missing or wrong.
double host_exchanges(int fd, std::span<const uint8_t> packet, std::span<const uint8_t> block,
                      int rounds, uint8_t code);

// The bare link's seconds for `rounds` exchanges of the packet and its block, its device end
// answering from a child process; -1 when the link fails.
double bare_link_seconds(std::span<const uint8_t> packet, std::span<const uint8_t> block,
                         int rounds, uint8_t code);

// CPU seconds (user + system, all threads) the process has used, from its CPU-time clock
// (nanoseconds, the kernel's own count); -1 when it cannot be read.
double process_cpu_seconds(pid_t pid);

// A floor program (dh_bench_floor) running one of its modes.
struct FloorRun {
  double cpu = -1;   // CPU seconds of its work
  double wall = -1;  // wall seconds of its work
  long count = 0;    // what it counted
  bool ok() const { return cpu >= 0; }
};
// Starts dh_bench_floor with `args`, `io_fd` as its descriptor 0 when not -1. The floor's
// process id, or -1; `report` receives the descriptor its report comes on.
pid_t floor_start(const std::vector<std::string> &args, int io_fd, int &report);
// Waits for the floor started above and reads its report (cpu -1 when it failed).
FloorRun floor_finish(pid_t pid, int report);
// Both at once, for modes that need no peer.
FloorRun floor_run(const std::vector<std::string> &args);

// The bare link as the floor of a link-bound path: `rounds` exchanges of the packet and its
// block, the device end being dh_bench_floor in `mode` ("link", or "upload" storing into
// `store`). The host side's wall seconds in `wall`.
FloorRun floor_link(const std::string &mode, std::span<const uint8_t> packet,
                    std::span<const uint8_t> block, int rounds, uint8_t code,
                    const std::string &store = "");

// The load average over the last minute; -1 when it cannot be read.
double load_average();
// A field of /proc/PID/status in KiB ("VmRSS", "VmHWM"); -1 when it cannot be read.
long process_status_kib(pid_t pid, const std::string &field);
