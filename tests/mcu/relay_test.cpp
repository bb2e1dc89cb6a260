// The messages the host command loop relays to the controller, read at the far end of a pty
// that stands in for the controller port, and the control-mode gate.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "mcu/mcu.h"
#include "tests/mcu/gui_sandbox.h"
#include "tests/tty/pty_pair.h"
#include "tty/tty.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<unsigned char>;
using std::chrono::milliseconds;
using testing::HasSubstr;

class Relay : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_GE(pair.slave, 0);
    // The port as init_mcu_tty leaves it: raw, so no byte is translated on its way out.
    termios raw = attributes_of(pair.slave);
    cfmakeraw(&raw);
    ASSERT_EQ(tcsetattr(pair.slave, TCSANOW, &raw), 0);
    tty_fd_mcu = pair.slave;
    use_erase = 0;
    control_mode = 0;
  }
  void TearDown() override { tty_fd_mcu = -2; }

  // Everything that reaches the controller within `silence` of the last byte.
  Bytes controller_receives(milliseconds silence = milliseconds(300)) {
    return read_far_end(pair.master, SIZE_MAX, silence);
  }

  PtyPair pair;
};

size_t count_of(const std::string &text, const std::string &needle) {
  size_t count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
    ++count;
  }
  return count;
}

// The message's prefix and payload, and when the payload had arrived, counted from the call.
struct Arrival {
  Bytes prefix, payload;
  milliseconds payload_at{};
};

template <class Send>
Arrival time_message(int master, size_t payload_len, Send send) {
  Arrival arrival;
  const auto sent = Clock::now();
  std::thread sender(send);
  arrival.prefix = read_far_end(master, 2, milliseconds(2000));
  arrival.payload = read_far_end(master, payload_len, milliseconds(2000));
  arrival.payload_at = std::chrono::duration_cast<milliseconds>(Clock::now() - sent);
  sender.join();
  return arrival;
}

TEST_F(Relay, PumpFanSettingsFollowTheirPrefixAfterAPause) {
  uint8_t settings[14];
  for (int i = 0; i < 14; ++i) settings[i] = uint8_t(i + 1);
  testing::internal::CaptureStdout();
  const Arrival arrival = time_message(pair.master, 14, [&] { mcu_set_pump_fan(settings); });
  const std::string out = testing::internal::GetCapturedStdout();

  EXPECT_EQ(arrival.prefix, (Bytes{0xA4, 0x00}));
  EXPECT_EQ(arrival.payload, Bytes(settings, settings + 14));
  EXPECT_GE(arrival.payload_at.count(), 100);
  EXPECT_THAT(out, HasSubstr("---------------------send to mcu set pump fan\n"
                             "1 2 3 4 5 6 7 8 9 a b c d e \n"));
  EXPECT_TRUE(controller_receives(milliseconds(100)).empty());
}

TEST_F(Relay, LightingDataFollowsItsPrefixAfterAPauseAndIsPrintedWhole) {
  const Bytes light = pattern(1000);
  testing::internal::CaptureStdout();
  const Arrival arrival =
      time_message(pair.master, light.size(), [&] { mcu_light_data(light.data(), 1000); });
  const std::string out = testing::internal::GetCapturedStdout();

  EXPECT_EQ(arrival.prefix, (Bytes{0xA3, 0x00}));
  EXPECT_EQ(arrival.payload, light);
  EXPECT_GE(arrival.payload_at.count(), 100);
  EXPECT_THAT(out, HasSubstr("send to mcu light data\nlight data len: 1000 0 7 e "));
  // Every byte, each as "%x ".
  const size_t line = out.find("light data len:");
  ASSERT_NE(line, std::string::npos);
  const std::string bytes_line = out.substr(line, out.find('\n', line) - line);
  EXPECT_EQ(std::count(bytes_line.begin(), bytes_line.end(), ' '), 4 + 1000);
}

TEST_F(Relay, FirmwareUpdateAnnouncesOnlyTheFirstBlockAfterAnErase) {
  testing::internal::CaptureStdout();
  mcu_erase();
  EXPECT_EQ(use_erase, 1);
  EXPECT_EQ(controller_receives(), (Bytes{0xA6, 0x00}));

  const Bytes first = pattern(300);
  const Arrival arrival =
      time_message(pair.master, first.size(), [&] { mcu_update_data(first.data(), 300); });
  EXPECT_EQ(arrival.prefix, (Bytes{0xA7, 0x00}));
  EXPECT_EQ(arrival.payload, first);
  EXPECT_GE(arrival.payload_at.count(), 50);
  EXPECT_EQ(use_erase, 0);

  // A short block: sent bare, and only its own bytes are printed.
  const Bytes second = {0xDE, 0xAD, 0xBE, 0xEF, 0x01};
  mcu_update_data(second.data(), uint32_t(second.size()));
  EXPECT_EQ(controller_receives(), second);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_THAT(out, HasSubstr("-----------------------------------erase\n"));
  EXPECT_THAT(out, HasSubstr("send update data\n"));
  EXPECT_THAT(out, HasSubstr("fw data len: 300 0 7 e 15 "));
  EXPECT_THAT(out, HasSubstr("fw data len: 5 de ad be ef 1 \n"));
}

TEST_F(Relay, NothingIsWrittenWithoutAnOpenPort) {
  const uint8_t settings[14] = {};
  const uint8_t data[3] = {1, 2, 3};
  for (int fd : {-2, -1}) {
    tty_fd_mcu = fd;
    testing::internal::CaptureStderr();
    stdout_of([&] {
      mcu_erase();
      mcu_update_data(data, 3);
      mcu_set_pump_fan(settings);
      mcu_light_data(data, 3);
    });
    EXPECT_EQ(count_of(testing::internal::GetCapturedStderr(), "not open"), 4u) << fd;
  }

  // Descriptor 0 is standard input, never the port: put the pty there to see nothing arrives.
  const int saved_stdin = dup(0);
  ASSERT_GE(saved_stdin, 0);
  ASSERT_EQ(dup2(pair.slave, 0), 0);
  tty_fd_mcu = 0;
  testing::internal::CaptureStderr();
  stdout_of([&] { mcu_light_data(data, 3); });
  testing::internal::GetCapturedStderr();
  dup2(saved_stdin, 0);
  close(saved_stdin);
  EXPECT_TRUE(controller_receives(milliseconds(200)).empty());
}

TEST_F(Relay, AnEraseThatDidNotGoOutLeavesTheFlagClear) {
  tty_fd_mcu = -1;  // being reopened
  int result = 0;
  testing::internal::CaptureStderr();
  stdout_of([&] { result = mcu_erase(); });
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(result, -1);
  EXPECT_EQ(use_erase, 0);

  // So the next firmware block goes out bare, with no A7 announcement.
  tty_fd_mcu = pair.slave;
  const uint8_t data[3] = {1, 2, 3};
  stdout_of([&] { result = mcu_update_data(data, 3); });
  EXPECT_EQ(result, 0);
  EXPECT_EQ(controller_receives(), (Bytes{1, 2, 3}));
}

// A controller that reads nothing: each message gives up within its 2 s (and the pause), says
// so, and reports that it was not sent whole; the port is still the blocking one afterwards.
TEST_F(Relay, AControllerThatDoesNotReadHoldsEachMessageAtMostTwoSeconds) {
  const Bytes light(64 * 1024, 0x5A);
  for (int round = 0; round < 2; ++round) {
    int result = 0;
    const auto started = Clock::now();
    testing::internal::CaptureStderr();
    stdout_of([&] { result = mcu_light_data(light.data(), uint32_t(light.size())); });
    const std::string err = testing::internal::GetCapturedStderr();
    const auto took = std::chrono::duration_cast<milliseconds>(Clock::now() - started);
    EXPECT_EQ(result, -1) << round;
    // It waits out its 2 s; how much longer is the machine's load, and a message that never
    // gave up would hold the link for good.
    EXPECT_GE(took.count(), 2000) << round;
    EXPECT_LT(took.count(), 30000) << round;
    EXPECT_THAT(err, HasSubstr("not sent whole")) << round;
  }
  EXPECT_EQ(fcntl(pair.slave, F_GETFL) & O_NONBLOCK, 0);
}

TEST_F(Relay, GateClosesOnlyInWirelessMode) {
  for (uint8_t mode : {0, 2, 3, 255}) {
    control_mode = mode;
    EXPECT_FALSE(mcu_gate_closed()) << int(mode);
  }
  control_mode = 1;
  EXPECT_TRUE(mcu_gate_closed());
}

}  // namespace
