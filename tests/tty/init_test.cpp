// The two link set-ups under a sandbox root: DIR/dev/ttyGS0 and DIR/dev/ttyS5 are links to
// pseudo-terminals (or missing, or plain files), never the machine's own devices.
#include "tty/tty.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "platform/root_path.h"
#include "tests/tty/pty_pair.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

std::string sandbox;

// Sets DISPLAYHEAD_ROOT before anything reads it; the root is read once per process.
class SandboxRoot : public testing::Environment {
 public:
  void SetUp() override {
    std::string name = std::filesystem::temp_directory_path() / "displayhead-tty-XXXXXX";
    ASSERT_NE(mkdtemp(name.data()), nullptr);
    sandbox = name;
    std::filesystem::create_directory(sandbox + "/dev");
    ASSERT_EQ(setenv("DISPLAYHEAD_ROOT", sandbox.c_str(), 1), 0);
  }
  void TearDown() override {
    if (!sandbox.empty()) std::filesystem::remove_all(sandbox);
  }
};
testing::Environment *const sandbox_root_environment =
    testing::AddGlobalTestEnvironment(new SandboxRoot);

struct LinkSetUp {
  const char *name;
  const char *device;
  int (*init)();
  int (*descriptor)();
  void (*forget)();  // back to "not set up"
  speed_t speed;
  const char *done_line;
  const char *open_failed;
};

const LinkSetUp links[] = {
    {"Host", "/dev/ttyGS0", init_tty, [] { return tty_fd; }, [] { tty_fd = 0; }, B115200, "init_tty done!\n",
     "open uart failed!\n"},
    {"Controller", "/dev/ttyS5", init_mcu_tty, [] { return tty_fd_mcu.load(); },
     [] { tty_fd_mcu = -2; }, B460800,
     "init_mcu_tty done!\n", "open tty_fd_mcu failed!\n"},
};

void PrintTo(const LinkSetUp &link, std::ostream *out) { *out << link.name; }

class TtyInit : public testing::TestWithParam<LinkSetUp> {
 protected:
  void SetUp() override {
    device = sandbox + GetParam().device;
    // Never let a test reach the machine's real device.
    ASSERT_FALSE(sandbox.empty());
    ASSERT_EQ(root_path(GetParam().device), device);
    std::filesystem::remove(device);
  }
  void TearDown() override {
    std::filesystem::remove(device);
    const int fd = GetParam().descriptor();
    if (fd > 0) uart_close(fd);
    GetParam().forget();
  }
  std::string device;
};

TEST_P(TtyInit, OpensAndConfiguresThePort) {
  PtyPair pty;
  std::filesystem::create_symlink(pty.slave_name, device);
  CaptureStdout();
  CaptureStderr();
  EXPECT_EQ(GetParam().init(), 0);
  EXPECT_EQ(GetCapturedStderr(), "");
  EXPECT_EQ(GetCapturedStdout(), GetParam().done_line);

  const int fd = GetParam().descriptor();
  ASSERT_GT(fd, 0);
  ASSERT_TRUE(isatty(fd));
  const termios attributes = attributes_of(fd);
  EXPECT_EQ(cfgetospeed(&attributes), GetParam().speed);
  EXPECT_EQ(attributes.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), static_cast<tcflag_t>(CS8));
  EXPECT_EQ(attributes.c_lflag & ICANON, 0u);
  EXPECT_EQ(attributes.c_cc[VTIME], uart_silence_deciseconds);

  // The descriptor is the pseudo-terminal's slave end: bytes from the far end arrive on it.
  const unsigned char sent[] = {0xA5, 0x0D, 0x5A};
  write_all(pty.master, sent, sizeof sent);
  unsigned char received[sizeof sent] = {};
  EXPECT_EQ(uart_read(fd, received, sizeof received), static_cast<int>(sizeof sent));
  EXPECT_EQ(memcmp(received, sent, sizeof sent), 0);
}

TEST_P(TtyInit, MissingDeviceFails) {
  CaptureStdout();
  CaptureStderr();
  EXPECT_EQ(GetParam().init(), -1);
  EXPECT_EQ(GetCapturedStderr(), std::string("uart open failed!\n") + GetParam().open_failed);
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_EQ(GetParam().descriptor(), -1);
}

TEST_P(TtyInit, DeviceThatIsNoTerminalStaysOpen) {
  { FILE *file = fopen(device.c_str(), "w"); ASSERT_NE(file, nullptr); fclose(file); }
  CaptureStdout();
  CaptureStderr();
  EXPECT_EQ(GetParam().init(), -1);
  EXPECT_EQ(GetCapturedStderr(), "tcgetattr failed!\nconfigure failed!\n");
  EXPECT_EQ(GetCapturedStdout(), "");
  // The opened descriptor is kept in the link's global for the caller to close.
  const int fd = GetParam().descriptor();
  ASSERT_GT(fd, 0);
  EXPECT_NE(fcntl(fd, F_GETFD), -1);
}

INSTANTIATE_TEST_SUITE_P(Links, TtyInit, testing::ValuesIn(links),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
