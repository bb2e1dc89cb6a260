#include "bench/pacing_stats.h"

#include <algorithm>
#include <cmath>

double percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const double rank = std::ceil(fraction * double(values.size()));
  const size_t at = size_t(std::clamp(rank, 1.0, double(values.size()))) - 1;
  return values[at];
}

bool pacing_stats(const std::vector<uint64_t> &times_us, uint64_t from_us, double seconds,
                  double period_us, PacingStats &stats) {
  const uint64_t to_us = from_us + uint64_t(seconds * 1e6);
  std::vector<uint64_t> window;
  for (uint64_t t : times_us) {
    if (t >= from_us && t <= to_us) window.push_back(t);
  }
  if (window.size() < 3 || window.back() <= window.front()) return false;
  std::vector<double> strays;
  for (size_t i = 1; i < window.size(); ++i) {
    // Signed: two pans stamped out of order must not wrap round.
    const double interval = double(int64_t(window[i] - window[i - 1]));
    strays.push_back(std::fabs(interval - period_us) / 1000);
  }
  stats.frames = long(window.size());
  stats.fps = double(window.size() - 1) / (double(window.back() - window.front()) / 1e6);
  stats.p50_ms = percentile(strays, 0.5);
  stats.p99_ms = percentile(strays, 0.99);
  stats.max_ms = *std::max_element(strays.begin(), strays.end());
  return true;
}
