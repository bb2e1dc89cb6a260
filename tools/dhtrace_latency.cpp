// dh_trace_latency: what dhtrace adds to the host link, measured against the direct link in
// the same run. The real daemon answers 0x0A packets over a cable; in alternate turns the
// host talks to the cable's far end directly, or through dhtrace sitting on it (--json and
// --pcap on, as scripts/sim --trace runs it). The best turn of each counts: a shared machine
// only ever slows a turn down. One table row on standard output:
//
//   | dhtrace, 0x0A round trip | direct µs | traced µs | added µs per round trip |
//
//   dh_trace_latency [--count N] [--turns T]
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "crypto/host_packet.h"
#include "tests/support/target.h"
#include "tests/system/daemon_harness.h"

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

// The median round trip of `count` version commands on `port`, in microseconds; -1 on failure.
double median_round_trip(const std::string &port, int count) {
  const int fd = host_port_open(port);
  if (fd < 0) return -1;
  std::vector<double> times;
  ReplyBytes reply{};
  for (int i = 0; i < count; ++i) {
    const auto start = Clock::now();
    if (host_transact(fd, CMD_GET_VERSION, {}, {}, reply, 5000) != ReplyCheck::ok) {
      close(fd);
      return -1;
    }
    times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  close(fd);
  std::nth_element(times.begin(), times.begin() + long(times.size() / 2), times.end());
  return times[times.size() / 2];
}

pid_t start_dhtrace(const std::string &device, const std::string &listen, const std::string &dir) {
  std::vector<std::string> words = program_words(
      build_dir() + "/dhtrace",
      {"--device", device, "--listen", listen, "--json", "--pcap", dir + "/latency.pcapng"});
  std::vector<char *> argv = argv_of(words);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const std::string out = dir + "/latency.jsonl";
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  for (int i = 0; i < 500 && pid > 0 && !std::filesystem::exists(listen); ++i) usleep(10000);
  return pid;
}

void stop(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
}

}  // namespace

int main(int argc, char **argv) {
  int count = 300, turns = 5;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (strcmp(argv[i], "--count") == 0) count = std::max(1, atoi(argv[i + 1]));
    if (strcmp(argv[i], "--turns") == 0) turns = std::max(1, atoi(argv[i + 1]));
  }
  DaemonUnderTest daemon(HostPort::cable);
  const std::string listen = daemon.root() + "/host/traced";
  double direct = -1, traced = -1;
  for (int turn = 0; turn < turns; ++turn) {
    const double d = median_round_trip(daemon.host_port_path(), count);
    const pid_t tracer = start_dhtrace(daemon.host_port_path(), listen, daemon.root());
    const double t = median_round_trip(listen, count);
    stop(tracer);
    if (d < 0 || t < 0) {
      fprintf(stderr, "dh_trace_latency: a round trip failed in turn %d\n", turn + 1);
      return 1;
    }
    fprintf(stderr, "turn %d: direct %.1f us, traced %.1f us\n", turn + 1, d, t);
    direct = direct < 0 ? d : std::min(direct, d);
    traced = traced < 0 ? t : std::min(traced, t);
  }
  printf("| dhtrace, 0x0A round trip (median, best of %d turns of %d) | %.0f µs direct | %.0f µs "
         "traced | %+.0f µs per round trip (a packet and its reply) |\n",
         turns, count, direct, traced, traced - direct);
  return 0;
}
