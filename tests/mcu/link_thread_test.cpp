// The controller thread on a real port: DIR/dev/ttyS5 is a link to a pty whose far end the
// test drives as the controller. Covers the read loop, the header-error reopen and the end of
// the thread when the port cannot be opened.
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "mcu/gui_shm.h"
#include "mcu/mcu.h"
#include "tests/mcu/controller_frames.h"
#include "tests/mcu/gui_sandbox.h"
#include "tests/tty/pty_pair.h"
#include "tty/tty.h"

namespace {

using std::chrono::milliseconds;
using testing::HasSubstr;

class ControllerThread : public testing::Test {
 protected:
  void SetUp() override {
    port = under_root("/dev/ttyS5");
    std::filesystem::create_directories(under_root("/dev"));
    std::filesystem::remove(port);
    control_mode = 0;
    lvgl_state = 0xFF;  // start-up not finished: frames only change the mode
    data_update_mark = 0;
  }
  void TearDown() override {
    std::filesystem::remove(port);
    tty_fd_mcu = -2;
  }

  void send(const Frame &frame) { write_all(pair.master, frame.data(), frame.size()); }

  std::string port;
  PtyPair pair;
};

TEST_F(ControllerThread, ReopensAfterAHeaderErrorAndEndsWhenThePortIsGone) {
  ASSERT_GE(pair.slave, 0);
  std::filesystem::create_symlink(pair.slave_name, port);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  std::thread thread(mcu_uart_thread, nullptr);

  // The port is configured and flushed after it is opened: repeat until a frame is taken.
  auto frames_reach = [&](uint8_t mode) {
    return wait_until([&] {
      send(status_frame(mode));
      return wait_until([&] { return control_mode == mode; }, milliseconds(300));
    }, milliseconds(10000));
  };
  EXPECT_TRUE(frames_reach(2));

  Frame slipped = status_frame(7);
  slipped[0] = 0x55;
  slipped[1] = 0xAA;
  send(slipped);
  EXPECT_TRUE(frames_reach(3));  // read again after the reopen; the bad frame changed nothing

  // The next reopen finds no port: the thread ends.
  std::filesystem::remove(port);
  send(slipped);
  thread.join();
  const std::string out = testing::internal::GetCapturedStdout();
  testing::internal::GetCapturedStderr();

  EXPECT_THAT(out, HasSubstr("uart thread \n"));
  EXPECT_THAT(out, HasSubstr("control mode = 2\n"));
  EXPECT_THAT(out, HasSubstr("uart receive header error\n55 aa 46 7 0 0 "));
  EXPECT_THAT(out, HasSubstr("0 0 \nuart receive header end\n------------------------reopen\n"));
  EXPECT_THAT(out, HasSubstr("control mode = 3\n"));
  EXPECT_THAT(out, HasSubstr("---------------------init mcu tty error\n"));
  EXPECT_EQ(out.find("control mode = 7"), std::string::npos);
  EXPECT_EQ(tty_fd_mcu, -1);
}

TEST_F(ControllerThread, EndsAtOnceWithoutAPort) {
  testing::internal::CaptureStderr();
  const std::string out = stdout_of([] { mcu_uart_thread(nullptr); });
  EXPECT_THAT(testing::internal::GetCapturedStderr(), HasSubstr("open tty_fd_mcu failed!"));
  EXPECT_THAT(out, HasSubstr("---------------------init mcu tty error\n"));
}

}  // namespace
