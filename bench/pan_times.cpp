#include "bench/pan_times.h"

#include <time.h>

#include <chrono>

#include "platform/panel_view.h"

namespace {

uint64_t monotonic_us() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint64_t(ts.tv_sec) * 1000000u + uint64_t(ts.tv_nsec) / 1000u;
}

// The panel keeps the times of the last 256 pans (over ten seconds at 24 frames a second);
// reading it this often loses none.
constexpr auto read_every = std::chrono::milliseconds(500);

// Appends the ring's times that are later than the last kept one (or than `since`).
void take_new(const std::string &root, uint64_t since, std::vector<uint64_t> &kept) {
  std::vector<uint64_t> ring;
  std::string error;
  if (!panel_pan_times_us(root, ring, error)) return;
  const uint64_t after = kept.empty() ? since : kept.back();
  for (uint64_t t : ring) {
    if (t > after) kept.push_back(t);
  }
}

}  // namespace

PanTimes::PanTimes(std::string root) : root_(std::move(root)) {
  const uint64_t since = monotonic_us();
  watcher_ = std::thread([this, since] {
    while (running_.load()) {
      take_new(root_, since, times_);
      for (auto waited = std::chrono::milliseconds(0); waited < read_every && running_.load();
           waited += std::chrono::milliseconds(20)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    }
    take_new(root_, since, times_);
  });
}

PanTimes::~PanTimes() { stop(); }

std::vector<uint64_t> PanTimes::stop() {
  running_ = false;
  if (watcher_.joinable()) watcher_.join();
  return times_;
}
