// A GUI process gone wrong, against the real daemon: tests/system/gui_hostile writes over the
// block's mutex or condition variable, cuts the block short again and again, holds the mutex,
// or dies holding it. With each the daemon stays up, the host is served, frames are taken at
// their own pace, and once that process has stopped a status frame's data reaches the block.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "crypto/host_packet.h"
#include "mcu/gui_shm_layout.h"
#include "tests/support/target.h"
#include "tests/support/waiting.h"
#include "tests/system/daemon_harness.h"

using namespace std::chrono_literals;

namespace {

using Frame = std::array<uint8_t, 224>;

// A status frame in offline mode; `tag` goes to the status record (frame byte 35), which 0xFA
// reports at reply byte 8.
Frame status_frame(uint8_t temperature, uint8_t tag) {
  Frame frame{};
  frame[0] = 0xAA;
  frame[1] = 0x55;
  frame[2] = 0x46;
  frame[4] = temperature;
  frame[35] = tag;
  return frame;
}

// The record as it is in the block file now; read, never mapped, since the helper may cut
// the file short. Empty when the file is shorter than the record.
std::string block_record(const std::string &root) {
  const int fd = open((root + "/dev/shm/demo_shm").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "";
  char record[gui_record::size];
  const ssize_t got = pread(fd, record, sizeof record, 0);
  close(fd);
  return got == ssize_t(sizeof record) ? std::string(record, sizeof record) : "";
}

// One byte of that record; -1 while there is none.
int record_byte(const std::string &root, size_t at) {
  const std::string record = block_record(root);
  return record.size() > at ? uint8_t(record[at]) : -1;
}

// gui_hostile running against the daemon's block, until it ends by itself.
class HostileGui {
 public:
  HostileGui(const std::string &root, const std::string &mode, double seconds) {
    int out[2];
    EXPECT_EQ(pipe(out), 0);
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      close(out[0]);
      close(out[1]);
      std::vector<std::string> words = program_words(
          build_dir() + "/gui_hostile",
          {root + "/dev/shm/demo_shm", mode, std::to_string(seconds)});
      std::vector<char *> argv = argv_of(words);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    char line[16] = {};
    pollfd said{out[0], POLLIN, 0};
    ready_ = poll(&said, 1, 5000) == 1 && read(out[0], line, sizeof line - 1) > 0 &&
             strncmp(line, "ready", 5) == 0;
    close(out[0]);
  }
  ~HostileGui() {
    if (pid_ > 0) finish();
  }
  bool ready() const { return ready_; }
  // Its exit status once it has ended by itself.
  int finish() {
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  pid_t pid_ = -1;
  bool ready_ = false;
};

bool version_served(DaemonUnderTest &daemon) {
  ReplyBytes reply{};
  return daemon.transact(CMD_GET_VERSION, {}, reply, {}, 3000) == ReplyCheck::ok &&
         std::string(reinterpret_cast<const char *>(reply.data() + reply_result)) ==
             "morvadq7_0005_0020";
}

// The tag of the last status frame the daemon took, as 0xFA reports it; -1 without a reply.
int last_tag(DaemonUnderTest &daemon) {
  ReplyBytes reply{};
  if (daemon.transact(CMD_GET_MCU_DATA, {}, reply, {}, 3000) != ReplyCheck::ok) return -1;
  return reply[reply_result];
}

// Each case: a status frame's data in the block; the hostile GUI process; 60 tagged status
// frames at the controller's 20 a second while the host asks for the version; then the checks.
class GuiPeer : public testing::TestWithParam<const char *> {};

TEST_P(GuiPeer, TheDaemonOutlivesItAndPublishesOnceItStops) {
  const std::string mode = GetParam();
  if (mode == "die") SKIP_WITHOUT_DEAD_HOLDER_REPORTS();
  DaemonUnderTest daemon;
  ASSERT_TRUE(daemon.wait_for("init_mcu_tty done!")) << daemon.output();
  daemon.send_to_daemon_as_controller(status_frame(30, 0));
  ASSERT_TRUE(wait_until([&] { return record_byte(daemon.root(), 4) == 30; }, 5000ms))
      << daemon.output();
  {
    // The holder outlasts the frames, so that none of them may reach the block.
    HostileGui gui(daemon.root(), mode, mode == "hold" ? 8 : 3);
    ASSERT_TRUE(gui.ready());
    constexpr int frames = 60;
    std::thread controller([&] {
      const auto start = std::chrono::steady_clock::now();
      for (int i = 1; i <= frames; ++i) {
        daemon.send_to_daemon_as_controller(status_frame(40, uint8_t(i)));
        std::this_thread::sleep_until(start + i * 50ms);
      }
    });
    for (int i = 0; i < 3; ++i) {
      EXPECT_TRUE(version_served(daemon)) << "round " << i << "\n" << daemon.output();
    }
    controller.join();
    // Taken at their own pace: generous for a busy machine, while a publish that waited a
    // second per frame would still be at the first tens of them.
    EXPECT_TRUE(wait_until([&] { return last_tag(daemon) == frames; }, 15000ms))
        << "last frame taken: " << last_tag(daemon) << "\n" << daemon.output();
    if (mode == "hold") {
      EXPECT_TRUE(daemon.wait_for("gui shm: mutex held by the GUI process, publish skipped"));
      EXPECT_EQ(record_byte(daemon.root(), 4), 30);  // nothing written under the holder
    }
    EXPECT_EQ(gui.finish(), 0);
  }
  ASSERT_TRUE(daemon.running()) << daemon.output();
  if (mode == "die") {
    EXPECT_TRUE(daemon.wait_for("gui shm: last holder of the mutex died, mutex recovered"));
  }

  // Once it has stopped, the next status frame's data reaches the block within 5 s.
  daemon.send_to_daemon_as_controller(status_frame(77, 201));
  EXPECT_TRUE(wait_until(
      [&] {
        const std::string record = block_record(daemon.root());
        return record.size() == gui_record::size && uint8_t(record[4]) == 77 &&
               uint8_t(record[1]) == gui_kind_data && uint8_t(record[127]) == 0xB1;
      },
      5000ms))
      << daemon.output();
  EXPECT_TRUE(version_served(daemon));
  EXPECT_TRUE(daemon.running());
  EXPECT_EQ(last_tag(daemon), 201);
}

INSTANTIATE_TEST_SUITE_P(Hostile, GuiPeer,
                         testing::Values("mutex", "cond", "truncate", "hold", "die"));

}  // namespace
