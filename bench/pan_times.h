// When layer 0 of the simulated panel was panned, as a benchmark watches a stream: from the
// construction to stop(), on CLOCK_MONOTONIC in microseconds.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

class PanTimes {
 public:
  explicit PanTimes(std::string root);
  ~PanTimes();
  PanTimes(const PanTimes &) = delete;
  PanTimes &operator=(const PanTimes &) = delete;

  // The times of the pans since the construction, oldest first.
  std::vector<uint64_t> stop();

 private:
  std::string root_;
  std::atomic<bool> running_{true};
  std::vector<uint64_t> times_;
  std::thread watcher_;
};
