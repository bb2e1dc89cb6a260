// uart_config on real pseudo-terminals: the flags each argument sets, raw mode, read timing,
// refused arguments that must leave the port as it was, and the flush of stale input.
#include "tty/tty.h"

#include <sys/ioctl.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "tests/tty/pty_pair.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

// Sets `set` and clears `clear` in the slave's attributes before a test.
void prepare(int fd, tcflag_t termios::*field, tcflag_t set, tcflag_t clear = 0) {
  termios attributes = attributes_of(fd);
  attributes.*field = (attributes.*field | set) & ~clear;
  ASSERT_EQ(tcsetattr(fd, TCSANOW, &attributes), 0);
}

TEST(TtyConfig, HardwareFlowEvenParityTwoStopBits) {
  PtyPair pty;
  prepare(pty.slave, &termios::c_cflag, PARODD);
  ASSERT_EQ(uart_config(pty.slave, 115200, 'h', 8, 'e', 2), 0);
  const termios attributes = attributes_of(pty.slave);
  EXPECT_EQ(cfgetispeed(&attributes), static_cast<speed_t>(B115200));
  EXPECT_EQ(cfgetospeed(&attributes), static_cast<speed_t>(B115200));
  EXPECT_TRUE(attributes.c_cflag & CRTSCTS);
  EXPECT_EQ(attributes.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_TRUE(attributes.c_cflag & PARENB);
  EXPECT_TRUE(attributes.c_cflag & CSTOPB);
  EXPECT_TRUE(attributes.c_iflag & INPCK);
  EXPECT_FALSE(attributes.c_cflag & PARODD);
  EXPECT_FALSE(attributes.c_iflag & ISTRIP);  // set by the parity, cleared again by raw mode
}

TEST(TtyConfig, ParityChoices) {
  PtyPair pty;
  ASSERT_EQ(uart_config(pty.slave, 9600, 'H', 7, 'O', 1), 0);
  termios attributes = attributes_of(pty.slave);
  EXPECT_TRUE(attributes.c_cflag & PARENB);
  EXPECT_TRUE(attributes.c_cflag & PARODD);
  EXPECT_TRUE(attributes.c_iflag & INPCK);
  EXPECT_FALSE(attributes.c_iflag & ISTRIP);
  EXPECT_FALSE(attributes.c_cflag & CSTOPB);

  // 'n' takes parity off again, parity checking included; flow 'n' drops RTS/CTS.
  ASSERT_EQ(uart_config(pty.slave, 9600, 'n', 8, 'n', 1), 0);
  attributes = attributes_of(pty.slave);
  EXPECT_FALSE(attributes.c_cflag & PARENB);
  EXPECT_FALSE(attributes.c_iflag & INPCK);
  EXPECT_FALSE(attributes.c_cflag & CRTSCTS);

  // 's' drops the parity bit and a second stop bit but leaves the input flags alone.
  prepare(pty.slave, &termios::c_iflag, INPCK);
  prepare(pty.slave, &termios::c_cflag, PARENB | CSTOPB);
  ASSERT_EQ(uart_config(pty.slave, 9600, 'N', 8, 's', 1), 0);
  attributes = attributes_of(pty.slave);
  EXPECT_FALSE(attributes.c_cflag & PARENB);
  EXPECT_FALSE(attributes.c_cflag & CSTOPB);
  EXPECT_TRUE(attributes.c_iflag & INPCK);

  // The stop bits come after the parity: 'S' with 2 stop bits keeps the second one.
  ASSERT_EQ(uart_config(pty.slave, 9600, 'N', 8, 'S', 2), 0);
  EXPECT_TRUE(attributes_of(pty.slave).c_cflag & CSTOPB);
}

TEST(TtyConfig, DataBitsReplaceTheCharacterSize) {
  PtyPair pty;
  const struct {
    int bits;
    tcflag_t size;
  } cases[] = {{5, CS5}, {8, CS8}, {6, CS6}, {8, CS8}, {7, CS7}};
  for (const auto &each : cases) {
    ASSERT_EQ(uart_config(pty.slave, 115200, 'N', each.bits, 'N', 1), 0) << each.bits;
    EXPECT_EQ(attributes_of(pty.slave).c_cflag & CSIZE, each.size) << each.bits << " bits";
  }
}

TEST(TtyConfig, RawModeWithReadTimingKeepsEverythingElse) {
  PtyPair pty;
  termios before = attributes_of(pty.slave);
  before.c_iflag |= IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF;
  before.c_lflag |= ICANON | ECHO | ECHOE | ISIG | IEXTEN | ECHOK;
  before.c_oflag |= OPOST | ONLCR;
  before.c_cflag |= HUPCL;
  before.c_cc[VMIN] = 5;
  before.c_cc[VTIME] = 0;
  before.c_cc[VINTR] = 0x11;
  ASSERT_EQ(tcsetattr(pty.slave, TCSANOW, &before), 0);
  before = attributes_of(pty.slave);

  ASSERT_EQ(uart_config(pty.slave, 115200, 'N', 8, 'N', 1), 0);
  const termios after = attributes_of(pty.slave);
  EXPECT_EQ(after.c_iflag & (IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON), 0u);
  EXPECT_EQ(after.c_lflag & (ICANON | ECHO | ECHOE | ISIG), 0u);
  EXPECT_EQ(after.c_oflag & OPOST, 0u);
  EXPECT_TRUE(after.c_cflag & CLOCAL);
  EXPECT_TRUE(after.c_cflag & CREAD);
  EXPECT_EQ(after.c_cc[VTIME], uart_silence_deciseconds);
  EXPECT_EQ(after.c_cc[VMIN], 0);
  // What raw mode does not name stays as it was.
  EXPECT_TRUE(after.c_iflag & IXOFF);
  EXPECT_TRUE(after.c_lflag & IEXTEN);
  EXPECT_TRUE(after.c_lflag & ECHOK);
  EXPECT_TRUE(after.c_oflag & ONLCR);
  EXPECT_TRUE(after.c_cflag & HUPCL);
  for (int index : {VINTR, VQUIT, VERASE, VKILL, VEOF, VSTART, VSTOP, VSUSP}) {
    EXPECT_EQ(after.c_cc[index], before.c_cc[index]) << "control character " << index;
  }
}

TEST(TtyConfig, RefusedArgumentLeavesThePortUntouched) {
  PtyPair pty;
  // A canonical port at 9600 7E1: every accepted argument below would change it.
  termios start = attributes_of(pty.slave);
  cfsetispeed(&start, B9600);
  cfsetospeed(&start, B9600);
  start.c_cflag = (start.c_cflag & ~(CSIZE | CRTSCTS | CSTOPB | PARODD)) | CS7 | PARENB;
  start.c_lflag |= ICANON | ECHO;
  start.c_iflag |= ICRNL;
  start.c_cc[VTIME] = 0;
  start.c_cc[VMIN] = 1;
  ASSERT_EQ(tcsetattr(pty.slave, TCSANOW, &start), 0);

  const struct {
    int speed;
    char flow;
    int bits;
    char parity;
    int stop;
    const char *message;
  } cases[] = {
      {14400, 'H', 8, 'O', 2, "Unknown baudrate: 14400.\n"},
      {0, 'H', 8, 'O', 2, "Unknown baudrate: 0.\n"},
      {115200, 'x', 8, 'O', 2, "Unknown c_cflag!\n"},
      {115200, 'H', 9, 'O', 2, "Unknown bits!\n"},
      {115200, 'H', 4, 'O', 2, "Unknown bits!\n"},
      {115200, 'H', 8, 'X', 2, "Unknown parity!\n"},
      {115200, 'H', 8, 'O', 3, "Unknown stop!\n"},
      {115200, 'H', 8, 'O', 0, "Unknown stop!\n"},
  };
  for (const auto &each : cases) {
    const termios before = attributes_of(pty.slave);
    CaptureStderr();
    const int result =
        uart_config(pty.slave, each.speed, each.flow, each.bits, each.parity, each.stop);
    EXPECT_EQ(GetCapturedStderr(), each.message);
    EXPECT_EQ(result, -1) << each.message;
    const termios after = attributes_of(pty.slave);
    EXPECT_EQ(memcmp(&before, &after, sizeof before), 0) << "port changed: " << each.message;
  }
}

TEST(TtyConfig, DiscardsInputThatArrivedBefore) {
  PtyPair pty;
  termios raw = attributes_of(pty.slave);
  cfmakeraw(&raw);
  ASSERT_EQ(tcsetattr(pty.slave, TCSANOW, &raw), 0);
  const unsigned char stale[] = "stale bytes from before the set-up";
  write_all(pty.master, stale, sizeof stale);
  ASSERT_TRUE(readable_within(pty.slave, std::chrono::seconds(2)));

  ASSERT_EQ(uart_config(pty.slave, 115200, 'N', 8, 'N', 1), 0);
  int pending = -1;
  ASSERT_EQ(ioctl(pty.slave, FIONREAD, &pending), 0);
  EXPECT_EQ(pending, 0);

  // Input after the set-up arrives whole.
  const unsigned char fresh[] = {0x00, 0x0D, 0x0A, 0x03, 0x11, 0x13, 0xFF};
  write_all(pty.master, fresh, sizeof fresh);
  unsigned char received[sizeof fresh] = {};
  EXPECT_EQ(safe_read(pty.slave, received, sizeof received), static_cast<int>(sizeof fresh));
  EXPECT_EQ(memcmp(received, fresh, sizeof fresh), 0);
}

}  // namespace
