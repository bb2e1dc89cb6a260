// Reads, writes and closing on real pseudo-terminals configured as the links configure them:
// whole blocks both ways, the 2 s silence limit inside a read, signals that must not end a read,
// writes that must not wait for room, descriptors select() cannot watch, programming errors.
#include "tty/tty.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/select.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/target.h"
#include "tests/tty/pty_pair.h"

namespace {

using namespace std::chrono_literals;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;
using Clock = std::chrono::steady_clock;

// A pair whose slave end is set up like the host link.
struct Link : PtyPair {
  Link() { EXPECT_EQ(uart_config(slave, 115200, 'N', 8, 'N', 1), 0); }
};

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST(TtyIo, BlocksCrossWholeInBothDirections) {
  Link link;
  const std::vector<unsigned char> sent = pattern(64 * 1024);

  // Far end to port: the far end writes while uart_read collects.
  std::thread sender([&] { write_all(link.master, sent.data(), sent.size()); });
  std::vector<unsigned char> received(sent.size());
  EXPECT_EQ(uart_read(link.slave, received.data(), received.size()),
            static_cast<int>(sent.size()));
  sender.join();
  EXPECT_EQ(received, sent);

  // Port to far end: the far end reads while safe_write sends and drains.
  std::vector<unsigned char> collected;
  std::thread receiver([&] { collected = read_far_end(link.master, sent.size(), 5s); });
  CaptureStderr();
  EXPECT_EQ(safe_write(link.slave, sent.data(), sent.size()), static_cast<int>(sent.size()));
  receiver.join();
  EXPECT_EQ(GetCapturedStderr(), "");
  EXPECT_EQ(collected, sent);
}

TEST(TtyIo, WriteOfNothingOnlyDrains) {
  Link link;
  CaptureStderr();
  EXPECT_EQ(safe_write(link.slave, nullptr, 0), 0);
  EXPECT_EQ(GetCapturedStderr(), "");
  EXPECT_FALSE(readable_within(link.master, 100ms));
}

TEST(TtyIo, ShortBlockFailsAfterTwoSecondsOfSilence) {
  Link link;
  const std::vector<unsigned char> sent = pattern(100);
  write_all(link.master, sent.data(), sent.size());

  std::vector<unsigned char> buffer(512, 0xEE);
  CaptureStderr();
  const auto start = Clock::now();
  EXPECT_EQ(uart_read(link.slave, buffer.data(), buffer.size()), -1);
  const double elapsed = seconds_since(start);
  EXPECT_EQ(GetCapturedStderr(), std::string("read fail, error:") + strerror(0) +
                                     ".\nhave read 100 bytes data.\nsafe read failed!\n");
  EXPECT_GE(elapsed, 1.8);  // how much later is the machine's load
  // What did arrive stays in the buffer; nothing beyond it was touched.
  EXPECT_TRUE(std::equal(sent.begin(), sent.end(), buffer.begin()));
  EXPECT_EQ(buffer[100], 0xEE);
}

TEST(TtyIo, CountZeroWaitsForDataAndConsumesNothing) {
  Link link;
  const unsigned char sent[] = {1, 2, 3};
  const auto start = Clock::now();
  std::thread sender([&] {
    std::this_thread::sleep_for(300ms);  // the far end writes later: the read must wait for it
    write_all(link.master, sent, sizeof sent);
  });
  EXPECT_EQ(uart_read(link.slave, nullptr, 0), 0);
  EXPECT_GE(seconds_since(start), 0.3);
  sender.join();

  unsigned char received[3] = {};
  EXPECT_EQ(safe_read(link.slave, received, sizeof received), 3);
  EXPECT_EQ(memcmp(received, sent, sizeof sent), 0);
}

void ignore_signal(int) {}

TEST(TtyIo, SignalDoesNotEndARead) {
  Link link;
  struct sigaction action{};
  action.sa_handler = ignore_signal;  // no SA_RESTART: the kernel returns EINTR
  sigemptyset(&action.sa_mask);
  struct sigaction previous{};
  ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);

  const std::vector<unsigned char> sent = pattern(20);
  const pthread_t reader = pthread_self();
  // Pacing, not synchronisation: a signal that comes before or after the wait it aims at is
  // ignored all the same, and the read must end with all 20 bytes either way.
  std::thread far_end([&] {
    std::this_thread::sleep_for(200ms);
    pthread_kill(reader, SIGUSR1);  // while waiting for the first byte
    std::this_thread::sleep_for(200ms);
    write_all(link.master, sent.data(), 10);
    std::this_thread::sleep_for(200ms);
    pthread_kill(reader, SIGUSR1);  // while reading the rest
    std::this_thread::sleep_for(200ms);
    write_all(link.master, sent.data() + 10, 10);
  });
  std::vector<unsigned char> received(sent.size());
  CaptureStderr();
  EXPECT_EQ(uart_read(link.slave, received.data(), received.size()), 20);
  far_end.join();
  EXPECT_EQ(GetCapturedStderr(), "");
  EXPECT_EQ(received, sent);
  sigaction(SIGUSR1, &previous, nullptr);
}

TEST(TtyIo, FullOutputQueueFailsTheWriteAtOnce) {
  Link link;
  // Fill the way to the far end through a second, non-blocking opening of the port.
  const int filler = open(link.slave_name.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(filler, 0) << strerror(errno);
  const std::vector<unsigned char> block = pattern(4096);
  // The pty moves queued bytes on to the far end in the background: fill until the queue
  // has stayed full for a while.
  for (int full_for = 0; full_for < 5;) {
    if (write(filler, block.data(), block.size()) > 0) {
      full_for = 0;
      continue;
    }
    ASSERT_EQ(errno, EAGAIN);
    ++full_for;
    usleep(20000);  // polling the queue: it counts as full once five looks in a row found it so
  }
  close(filler);

  // No wait at all: one for room would last the link's 2 s, or for ever, every round. A busy
  // machine may stall one round past the bound.
  double fastest = 1e9;
  std::string messages, expected;
  for (int round = 0; round < 3 && fastest >= 1.5; ++round) {
    CaptureStderr();
    const auto start = Clock::now();
    EXPECT_EQ(safe_write(link.slave, block.data(), 1), -1);
    fastest = std::min(fastest, seconds_since(start));
    messages += GetCapturedStderr();
    expected += "select fail.\n";
  }
  EXPECT_LT(fastest, 1.5);
  EXPECT_EQ(messages, expected);
}

TEST(TtyIo, DescriptorsSelectCannotWatchFail) {
  Link link;
  unsigned char byte = 0;
  CaptureStderr();
  EXPECT_EQ(uart_read(-1, &byte, 1), -1);
  EXPECT_EQ(safe_write(-1, &byte, 1), -1);
  EXPECT_EQ(GetCapturedStderr(), "select error!\nselect fail.\n");

  // A descriptor numbered FD_SETSIZE or above would overrun select's descriptor set.
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  if (limit.rlim_max <= FD_SETSIZE + 1) GTEST_SKIP() << "descriptor limit too low";
  const rlimit saved = limit;
  if (limit.rlim_cur <= FD_SETSIZE + 1) {
    limit.rlim_cur = FD_SETSIZE + 2;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
  }
  const int high = dup2(link.slave, FD_SETSIZE + 1);
  ASSERT_EQ(high, FD_SETSIZE + 1) << strerror(errno);
  write_all(link.master, &byte, 1);
  CaptureStderr();
  EXPECT_EQ(uart_read(high, &byte, 1), -1);
  EXPECT_EQ(safe_write(high, &byte, 1), -1);
  EXPECT_EQ(GetCapturedStderr(), "select error!\nselect fail.\n");
  EXPECT_EQ(uart_close(high), 0);
  setrlimit(RLIMIT_NOFILE, &saved);
}

TEST(TtyIo, CountsBeyondAnIntAreRefused) {
  Link link;
  unsigned char byte = 0x5A;
  const size_t too_many = static_cast<size_t>(INT_MAX) + 1;
  CaptureStderr();
  EXPECT_EQ(safe_write(link.slave, &byte, too_many), -1);
  EXPECT_EQ(GetCapturedStderr(),
            std::string("safe_write fail, errno:") + strerror(EINVAL) + ".\n");
  EXPECT_FALSE(readable_within(link.master, 100ms));

  write_all(link.master, &byte, 1);
  CaptureStderr();
  EXPECT_EQ(safe_read(link.slave, &byte, too_many), -1);
  EXPECT_EQ(GetCapturedStderr(), std::string("read fail, error:") + strerror(EINVAL) +
                                     ".\nhave read 0 bytes data.\n");
}

TEST(TtyIo, OpenAndClose) {
  PtyPair pty;
  CaptureStderr();
  const int fd = uart_open(pty.slave_name.c_str());
  EXPECT_EQ(GetCapturedStderr(), "");
  ASSERT_GT(fd, 0);
  EXPECT_TRUE(isatty(fd));
  EXPECT_TRUE(fcntl(fd, F_GETFL) & O_RDWR);
  EXPECT_FALSE(fcntl(fd, F_GETFL) & O_NONBLOCK);
  EXPECT_EQ(uart_close(fd), 0);
  EXPECT_EQ(uart_close(fd), -1);

  CaptureStderr();
  EXPECT_EQ(uart_open("/nonexistent/displayhead-tty"), -1);
  EXPECT_EQ(GetCapturedStderr(), "uart open failed!\n");
}

TEST(TtyDeathTest, ProgrammingErrorsStopTheProcess) {
  GTEST_FLAG_SET(death_test_style, death_test_style_for_threads());
  EXPECT_DEATH(uart_open(nullptr), "pathname");
  EXPECT_DEATH(uart_close(0), "fd != 0");
}

}  // namespace
