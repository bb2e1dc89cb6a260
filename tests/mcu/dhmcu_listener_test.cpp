// dhmcu's framing of the display head's messages, fed with bytes and arrival times.
#include "tools/dhmcu_listener.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Clock = McuListener::Clock;
using std::chrono::milliseconds;

struct Feed {
  int at_ms;
  std::vector<uint8_t> bytes;
};

// The listener's lines after `feeds` (each at its time) and the silence after them.
std::string framed(const std::vector<Feed> &feeds) {
  const Clock::time_point start{};
  McuListener listener(false, start);
  for (const Feed &feed : feeds) {
    listener.tick(start + milliseconds(feed.at_ms));
    listener.feed(feed.bytes.data(), feed.bytes.size(), start + milliseconds(feed.at_ms));
  }
  listener.tick(start + milliseconds(feeds.back().at_ms + 30));
  listener.flush(start + milliseconds(feeds.back().at_ms + 5000));
  return listener.take_output();
}

TEST(McuListener, SplitsByThePrefixProtocolAndMeasuresThePause) {
  // Pump/fan settings are 14 bytes: a lighting prefix right behind them in the same burst
  // opens the next message, whose payload 100 ms later is measured from that prefix.
  std::vector<uint8_t> settings_then_prefix = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 0xA3, 0x00};
  EXPECT_EQ(framed({{0, {0xA4, 0x00}}, {101, settings_then_prefix}, {205, {0x10, 0x20}}}),
            "[   0.000] A4 00 pump/fan settings, 14 bytes 101 ms after the prefix: 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e\n"
            "[   0.101] A3 00 lighting data, 2 bytes 104 ms after the prefix: 10 20\n");

  // A firmware block ending in an erase and the next block's prefix.
  EXPECT_EQ(framed({{0, {0xA7, 0x00}}, {50, {0xA7, 0x01, 0xA6, 0x00, 0xA7, 0x00}}, {110, {0x55}}}),
            "[   0.000] A7 00 firmware data, 2 bytes 50 ms after the prefix: a7 01\n"
            "[   0.050] A6 00 firmware erase\n"
            "[   0.050] A7 00 firmware data, 1 bytes 60 ms after the prefix: 55\n");
}

TEST(McuListener, ReportsAPrefixWithoutPayloadAndBareData) {
  // Its payload comes too late: the prefix alone, then data without a prefix.
  EXPECT_EQ(framed({{0, {0xA3, 0x00}}, {1500, {0x01, 0x02}}}),
            "[   0.000] A3 00 lighting data, no payload within 1 s\n"
            "[   1.500] data without prefix, 2 bytes: 01 02\n");
  // A lone byte that looks like half a prefix is data.
  EXPECT_EQ(framed({{0, {0xA6}}}), "[   0.000] data without prefix, 1 bytes: a6\n");
}

}  // namespace
