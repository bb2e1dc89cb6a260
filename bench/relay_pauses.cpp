// The pauses between a controller message's prefix and its payload, as the controller's end of
// the link sees them: 100 ms before pump/fan settings and lighting data, 50 ms before the first
// firmware block after an erase. The tests hold the pauses only from below, which a busy machine
// cannot break; how close they come to their figures is measured here. Each pause is taken over
// several turns and the middle one counts: a late read of the prefix shortens a turn's pause and
// a late read of the payload lengthens it.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>
#include <thread>

#include "crypto/host_packet.h"
#include "bench/bench_device.h"

namespace {

using Clock = std::chrono::steady_clock;

// Reads `count` bytes from the controller's end; the time from the first byte to the third (the
// payload's first), in ms; none when they do not come within 10 s.
std::optional<double> prefix_to_payload(int fd, size_t count) {
  std::vector<uint8_t> bytes;
  Clock::time_point first, third;
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (bytes.size() < count && Clock::now() < deadline) {
    pollfd watch{fd, POLLIN, 0};
    if (poll(&watch, 1, 100) <= 0) continue;
    uint8_t chunk[4096];
    const ssize_t got = read(fd, chunk, std::min(sizeof chunk, count - bytes.size()));
    if (got <= 0) continue;
    const auto now = Clock::now();
    if (bytes.empty()) first = now;
    if (bytes.size() < 3 && bytes.size() + size_t(got) >= 3) third = now;
    bytes.insert(bytes.end(), chunk, chunk + got);
  }
  if (bytes.size() < count) return std::nullopt;
  return std::chrono::duration<double, std::milli>(third - first).count();
}

struct Relay {
  const char *name;
  uint8_t code;
  double pause_ms;
};

}  // namespace

std::vector<TableRow> relay_pause_rows(const Options &options) {
  const Relay relays[] = {{"pump/fan settings (A4)", CMD_MCU_SET_PUMP_FAN, 100},
                          {"lighting data (A3)", CMD_MCU_LIGHT_DATA, 100},
                          {"first firmware block (A7)", CMD_MCU_UPDATE_DATA, 50}};
  const int turns = options.smoke ? 3 : 11;
  std::vector<TableRow> rows;
  Device device(options.tmpfs_dir, 480, 480, true);
  DaemonUnderTest &daemon = device.daemon();
  const bool controller_up = daemon.wait_for("init_mcu_tty done!", 1, 20000);
  for (const Relay &relay : relays) {
    const std::string path = std::string("controller relay pause, ") + relay.name;
    progress(path);
    if (!controller_up) {
      rows.push_back(unmeasured(path, "the controller port did not open"));
      continue;
    }
    const uint8_t block[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    std::vector<double> pauses;
    for (int turn = 0; turn < turns; ++turn) {
      ReplyBytes reply{};
      daemon.read_from_daemon_as_controller(4096, 0);  // nothing left over
      if (relay.code == CMD_MCU_UPDATE_DATA) {
        daemon.transact(CMD_MCU_ERASE, {}, reply);
        daemon.read_from_daemon_as_controller(2, 2000);
      }
      std::optional<double> pause;
      const bool settings = relay.code == CMD_MCU_SET_PUMP_FAN;
      std::thread controller([&] { pause = prefix_to_payload(daemon.controller_fd(), 2 + (settings ? 14 : sizeof block)); });
      if (settings) {
        const uint8_t pump_fan[14] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14};
        daemon.transact(relay.code, pump_fan, reply);
      } else {
        uint8_t length[8] = {};
        write_be32(length + 4, sizeof block);
        daemon.transact(relay.code, length, reply, block);
      }
      controller.join();
      if (pause) pauses.push_back(*pause);
    }
    if (pauses.empty()) {
      rows.push_back(unmeasured(path, "no message reached the controller"));
      continue;
    }
    std::sort(pauses.begin(), pauses.end());
    const double middle = pauses[pauses.size() / 2];
    const double off = std::abs(middle - relay.pause_ms);
    rows.push_back({path, format("%.1f ms (middle of %zu)", middle, pauses.size()),
                    format("%.0f ms, the pause the controller is given", relay.pause_ms),
                    format("%.1f ms off", off), "within 10 ms", verdict(off <= 10)});
  }
  return rows;
}
