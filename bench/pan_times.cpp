#include "bench/pan_times.h"

#include <time.h>

#include <chrono>

#include "platform/sim/panel_state.h"

namespace {

uint64_t monotonic_us() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint64_t(ts.tv_sec) * 1000000u + uint64_t(ts.tv_nsec) / 1000u;
}

}  // namespace

// The panel state holds only the count of pans: a watcher reads it every 200 µs and stamps
// each change, which puts a pan's time within about 0.2 ms (later on a busy machine).
PanTimes::PanTimes(std::string root) : root_(std::move(root)) {
  watcher_ = std::thread([this] {
    long last = -1;
    while (running_.load()) {
      PanelState state{};
      std::string error;
      if (panel_state_read(root_, state, error)) {
        const long count = long(state.layers[0].pan_count);
        const uint64_t now = monotonic_us();
        if (last >= 0) {
          for (long i = last; i < count; ++i) times_.push_back(now);
        }
        last = count;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
}

PanTimes::~PanTimes() { stop(); }

std::vector<uint64_t> PanTimes::stop() {
  running_ = false;
  if (watcher_.joinable()) watcher_.join();
  return times_;
}
