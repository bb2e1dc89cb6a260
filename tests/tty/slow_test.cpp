// Waits that run into the link's full 15 s limit for the first byte.
#include "tty/tty.h"

#include <chrono>

#include <gtest/gtest.h>

#include "tests/tty/pty_pair.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

TEST(TtySlow, SilentPortTimesOutAfterFifteenSeconds) {
  PtyPair pty;
  ASSERT_EQ(uart_config(pty.slave, 460800, 'N', 8, 'N', 1), 0);
  unsigned char buffer[16] = {};
  CaptureStderr();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(uart_read(pty.slave, buffer, sizeof buffer), -1);
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(GetCapturedStderr(), "time over!\n");
  EXPECT_GE(elapsed, uart_first_byte_timeout_s - 0.1);  // how much later is the machine's load

  // The port is still usable: a block sent now arrives whole.
  const auto sent = pattern(sizeof buffer);
  write_all(pty.master, sent.data(), sent.size());
  EXPECT_EQ(uart_read(pty.slave, buffer, sizeof buffer), static_cast<int>(sizeof buffer));
  EXPECT_TRUE(std::equal(sent.begin(), sent.end(), buffer));
}

}  // namespace
