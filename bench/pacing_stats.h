// What a viewer sees of a stream's pacing, from the times its pictures were panned.
#pragma once

#include <cstdint>
#include <vector>

struct PacingStats {
  long frames = 0;   // pans in the window
  double fps = 0;    // mean rate from the first to the last of them
  double p50_ms = 0, p99_ms = 0, max_ms = 0;  // of |interval − period|
};

// The value at `fraction` (0..1] of the sorted values, by nearest rank; 0 when there are none.
double percentile(std::vector<double> values, double fraction);

// The pans (µs, oldest first) from `from_us` to `from_us` + `seconds`, against the frame
// period. False when fewer than three fall in the window.
bool pacing_stats(const std::vector<uint64_t> &times_us, uint64_t from_us, double seconds,
                  double period_us, PacingStats &stats);
