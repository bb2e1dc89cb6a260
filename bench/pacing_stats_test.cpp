#include "bench/pacing_stats.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

constexpr double period_us = 41666;

// Pans at exactly the period from `start`, `count` of them.
std::vector<uint64_t> even_pans(uint64_t start, int count) {
  std::vector<uint64_t> times;
  for (int i = 0; i < count; ++i) times.push_back(start + uint64_t(std::llround(i * period_us)));
  return times;
}

}  // namespace

TEST(PacingStats, PercentileIsTheNearestRank) {
  std::vector<double> values;
  for (int i = 100; i >= 1; --i) values.push_back(i);  // unsorted on purpose
  EXPECT_EQ(percentile(values, 0.5), 50);
  EXPECT_EQ(percentile(values, 0.99), 99);
  EXPECT_EQ(percentile(values, 1.0), 100);
  EXPECT_EQ(percentile({7}, 0.99), 7);
  EXPECT_EQ(percentile({}, 0.5), 0);
}

TEST(PacingStats, EvenPansAreOnTimeAndOnlyTheWindowCounts) {
  // Half a second of lead before the window, more after it: neither is judged.
  std::vector<uint64_t> times = even_pans(1000000, 24 * 12);
  times.insert(times.begin(), 400000);  // a picture long before the stream settled
  PacingStats stats;
  ASSERT_TRUE(pacing_stats(times, 1000000 + 500000, 10, period_us, stats));
  EXPECT_EQ(stats.frames, 240);
  EXPECT_NEAR(stats.fps, 1e6 / period_us, 0.001);
  EXPECT_LT(stats.max_ms, 0.001);
}

TEST(PacingStats, OneLateWakeUpShowsInTheMaxAndTheRate) {
  // Each pan paced from the one before, as the decoder does: one 12 ms late wake-up shifts
  // every later pan, so one interval is 12 ms long and the mean rate drops a little.
  std::vector<uint64_t> times = even_pans(0, 241);
  for (size_t i = 100; i < times.size(); ++i) times[i] += 12000;
  PacingStats stats;
  ASSERT_TRUE(pacing_stats(times, 0, 20, period_us, stats));
  EXPECT_NEAR(stats.max_ms, 12, 0.01);
  EXPECT_LT(stats.p99_ms, 0.01);  // one interval in 240 is below the 99th percentile
  EXPECT_LT(stats.fps, 1e6 / period_us - 0.02);
}

TEST(PacingStats, TooFewPansOrOutOfOrderTimesAreNoFigure) {
  PacingStats stats;
  EXPECT_FALSE(pacing_stats({}, 0, 10, period_us, stats));
  EXPECT_FALSE(pacing_stats({10, 20}, 0, 10, period_us, stats));
  // A time stamped before its predecessor counts as a long stray, not a wrapped one.
  ASSERT_TRUE(pacing_stats({0, 41666, 41000, 124998}, 0, 10, period_us, stats));
  EXPECT_NEAR(stats.max_ms, 42.332, 0.01);  // |(41000 − 41666) − 41666|
}
