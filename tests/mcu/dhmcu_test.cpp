// dhmcu, the controller's side of the link, on a pty: the frames it sends, and how it frames
// the display head's messages (sent here by the real relay functions).
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "mcu/mcu.h"
#include "tests/mcu/gui_sandbox.h"
#include "tests/support/target.h"
#include "tests/support/waiting.h"
#include "tests/tty/pty_pair.h"
#include "tty/tty.h"

namespace {

// dhmcu's lines without their times, and with every measured pause as "_".
std::string without_times(const std::string &out) {
  static const std::regex stamp(R"((^|\n)\[ *[0-9]+\.[0-9]{3}\] )");
  static const std::regex pause(R"( [0-9]+ ms after the prefix)");
  return std::regex_replace(std::regex_replace(out, stamp, "$1"), pause, " _ ms after the prefix");
}

using Bytes = std::vector<unsigned char>;
using std::chrono::milliseconds;
using testing::HasSubstr;

class DhMcu : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_GE(pair.master, 0);
    // Not inherited by dhmcu: its own opening of the port is what tells that it is ready.
    fcntl(pair.master, F_SETFD, FD_CLOEXEC);
    fcntl(pair.slave, F_SETFD, FD_CLOEXEC);
    // dhmcu opens the link by name: give it the pty through a name under the sandbox.
    port = under_root("/far/ttyMCU");
    std::filesystem::create_directories(under_root("/far"));
    std::filesystem::remove(port);
    std::filesystem::create_symlink(pair.slave_name, port);
    termios raw = attributes_of(pair.master);
    cfmakeraw(&raw);
    tcsetattr(pair.master, TCSANOW, &raw);
  }

  void TearDown() override {
    if (child > 0) {
      kill(child, SIGKILL);
      int status;
      finish(status);
    }
  }

  // Starts dhmcu with `args` (split at spaces), its standard output and error into a pipe.
  void start(const std::string &args) {
    std::vector<std::string> words = program_words(DH_BUILD_DIR "/dhmcu", {"-p", port});
    std::istringstream split(args);
    for (std::string word; split >> word;) words.push_back(word);
    std::vector<char *> argv;
    for (std::string &word : words) argv.push_back(word.data());
    argv.push_back(nullptr);

    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], 2);
    posix_spawn_file_actions_addclose(&actions, pipe_ends[0]);
    ASSERT_EQ(posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(pipe_ends[1]);
    output = pipe_ends[0];
  }
  // Waits for dhmcu to end; its output and exit status.
  std::string finish(int &status) {
    std::string out = std::move(seen);
    seen.clear();
    char chunk[4096];
    ssize_t got;
    while ((got = read(output, chunk, sizeof chunk)) > 0 || (got < 0 && errno == EINTR)) {
      if (got > 0) out.append(chunk, size_t(got));
    }
    close(output);
    output = -1;
    waitpid(child, &status, 0);
    child = -1;
    return out;
  }

  // Waits until dhmcu has the port open: it prints nothing when it is ready to listen.
  bool port_open() { return wait_until([&] { return holds_open(child, port); }, milliseconds(20000)); }
  // Waits until dhmcu has printed `text`; what it printed so far stays in `seen` for finish().
  bool printed(const std::string &text) { return read_until(output, seen, text, milliseconds(20000)); }

  // Runs dhmcu with `args` to its end; what it printed (output and errors), and its status.
  static std::string run_dhmcu(const std::string &args, int &status) {
    std::string command;
    for (const std::string &word : program_words(DH_BUILD_DIR "/dhmcu", {})) command += word + " ";
    FILE *pipe = popen((command + args + " 2>&1").c_str(), "r");
    std::string out;
    if (pipe == nullptr) return out;
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, pipe)) > 0) out.append(chunk, got);
    const int ended = pclose(pipe);
    status = WIFEXITED(ended) ? WEXITSTATUS(ended) : -1;
    return out;
  }

  // The frames dhmcu sends, read at the display head's end.
  std::vector<Bytes> frames(size_t count) {
    const Bytes bytes = read_far_end(pair.master, count * controller_frame_len, milliseconds(3000));
    std::vector<Bytes> split;
    for (size_t at = 0; at + controller_frame_len <= bytes.size(); at += controller_frame_len) {
      split.emplace_back(bytes.begin() + long(at), bytes.begin() + long(at + controller_frame_len));
    }
    return split;
  }

  PtyPair pair;
  std::string port;
  pid_t child = -1;
  int output = -1;
  std::string seen;  // dhmcu's output read before finish()
};

TEST_F(DhMcu, SendsOneShotFramesInOrderThenThePeriodicOnes) {
  start("--host-data 0102ff --wake --knob 2 --status 2,30,1500 --wireless 5,0,1 --count 2 "
        "--rate 100");
  const auto sent = frames(6);
  int status = -1;
  finish(status);
  EXPECT_EQ(status, 0);
  ASSERT_EQ(sent.size(), 6u);
  EXPECT_EQ(Bytes(sent[0].begin(), sent[0].begin() + 7), (Bytes{0xAA, 0x55, 0x44, 1, 2, 0xFF, 0}));
  EXPECT_EQ(sent[1][2], 0x43);
  EXPECT_EQ(sent[2][2], 0x46);
  EXPECT_EQ(sent[2][56], 1);
  EXPECT_EQ(sent[3][56], 1);
  for (size_t i : {4u, 5u}) {
    // Status with the wireless record: theme 5, brightness 0, rotation 1.
    EXPECT_EQ(Bytes(sent[i].begin(), sent[i].begin() + 5), (Bytes{0xAA, 0x55, 0x46, 2, 30}));
    EXPECT_EQ(sent[i][11], 0x05);
    EXPECT_EQ(sent[i][12], 0xDC);
    EXPECT_EQ(sent[i][34], 5);
    EXPECT_EQ(sent[i][32], 0);
    EXPECT_EQ(sent[i][55], 1);
    EXPECT_EQ(sent[i][56], 0);
  }
}

TEST_F(DhMcu, SendsAPictureAsNumberedPackagesAndAnEndFrame) {
  Bytes picture(300);
  for (size_t i = 0; i < picture.size(); ++i) picture[i] = uint8_t(i * 3);
  const std::string file = under_root("/far/picture.jpg");
  std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char *>(picture.data()),
                                             long(picture.size()));
  start("--picture " + file + " --rate 200");
  const auto sent = frames(3);
  int status = -1;
  finish(status);
  EXPECT_EQ(status, 0);
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0][3], 0);
  EXPECT_EQ(sent[1][3], 1);
  EXPECT_EQ(Bytes(sent[0].begin() + 4, sent[0].end()), Bytes(picture.begin(), picture.begin() + 220));
  EXPECT_EQ(Bytes(sent[1].begin() + 4, sent[1].begin() + 84), Bytes(picture.begin() + 220, picture.end()));
  EXPECT_EQ(Bytes(sent[2].begin() + 2, sent[2].begin() + 6), (Bytes{0x99, 0xFF, 0x01, 0x2C}));
}

TEST_F(DhMcu, PrintsTheDisplayHeadsMessages) {
  start("");  // listens until a signal
  ASSERT_TRUE(port_open()) << "dhmcu did not open " << port;

  // The display head's end is the master here: the relay writes there.
  tty_fd_mcu = pair.master;
  const uint8_t settings[14] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14};
  const Bytes firmware = pattern(100);
  const Bytes light = {0xA3, 0x00, 0x10};  // a payload that looks like a prefix itself
  // The pauses the display head keeps between prefix and payload: at least 100 ms before the
  // pump/fan settings and 50 ms before the first firmware block (a busy machine only lengthens
  // them; what dhmcu measures on its side is printed, but a late read shortens it).
  auto took = [](auto &&relay) {
    const auto before = std::chrono::steady_clock::now();
    stdout_of(relay);
    return std::chrono::steady_clock::now() - before;
  };
  EXPECT_GE(took([&] { mcu_set_pump_fan(settings); }), milliseconds(100));
  stdout_of([&] { mcu_erase(); });
  EXPECT_GE(took([&] { mcu_update_data(firmware.data(), uint32_t(firmware.size())); }), milliseconds(50));
  // Only a silence parts a bare block from the one before it: each goes out once dhmcu has
  // printed the one before.
  EXPECT_TRUE(printed("firmware data, 100 bytes")) << seen;
  stdout_of([&] { mcu_update_data(firmware.data(), 10); });
  EXPECT_TRUE(printed("data without prefix, 10 bytes")) << seen;
  stdout_of([&] { mcu_light_data(light.data(), uint32_t(light.size())); });
  EXPECT_TRUE(printed(": a3 00 10\n")) << seen;
  tty_fd_mcu = -2;
  kill(child, SIGTERM);
  int status = -1;
  const std::string out = finish(status);
  EXPECT_EQ(status, 0);
  const std::string lines = without_times(out);
  EXPECT_THAT(lines, HasSubstr("A4 00 pump/fan settings, 14 bytes _ ms after the prefix: 01 02 03 04 05 06 "
                               "07 08 09 0a 0b 0c 0d 0e\n"
                               "A6 00 firmware erase\n"
                               "A7 00 firmware data, 100 bytes _ ms after the prefix: 00 07 0e"));
  EXPECT_THAT(lines, HasSubstr(" ...\ndata without prefix, 10 bytes: 00 07 0e 15 1c 23 2a 31 38 3f\n"
                               "A3 00 lighting data, 3 bytes _ ms after the prefix: a3 00 10\n"));
}

// Relays sent back to back, with no silence between one's payload and the next one's prefix,
// are still told apart: a lighting block followed at once by an erase, and by pump/fan
// settings.
TEST_F(DhMcu, TellsBackToBackRelaysApart) {
  const Bytes light = {0x6c, 0x69, 0x67, 0x68, 0x74};
  const uint8_t settings[14] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14};
  const std::string expected =
      "A3 00 lighting data, 5 bytes _ ms after the prefix: 6c 69 67 68 74\n"
      "A6 00 firmware erase\n"
      "A3 00 lighting data, 5 bytes _ ms after the prefix: 6c 69 67 68 74\n"
      "A4 00 pump/fan settings, 14 bytes _ ms after the prefix: 01 02 03 04 05 06 07 08 09 0a 0b 0c "
      "0d 0e\n";
  // dhmcu parts a payload from what follows by the pause before the next payload, as the
  // controller does. A dhmcu the machine did not run for the whole of a 50 or 100 ms pause
  // reads both sides of it at once and cannot see it: such a run says nothing about the
  // splitting, which is the same every time it sees the pauses. So up to three runs.
  std::string lines;
  for (int run = 0; run < 3 && lines != expected; ++run) {
    start("");
    ASSERT_TRUE(port_open()) << "dhmcu did not open " << port;
    tty_fd_mcu = pair.master;
    stdout_of([&] {
      mcu_light_data(light.data(), uint32_t(light.size()));
      mcu_erase();
      mcu_light_data(light.data(), uint32_t(light.size()));
      mcu_set_pump_fan(settings);
    });
    tty_fd_mcu = -2;
    EXPECT_TRUE(printed("0c 0d 0e\n")) << seen;
    kill(child, SIGTERM);
    int status = -1;
    lines = without_times(finish(status));
    EXPECT_EQ(status, 0);
  }
  EXPECT_EQ(lines, expected);
}

// The faults a controller can make: a picture out of order, with a package missing or
// repeated and an end frame of its own size; a stray byte; a pause inside a frame; a frame
// type of its own and bytes set anywhere in it.
TEST_F(DhMcu, SendsFaultyPicturesSlipsAndGaps) {
  Bytes picture(500);
  for (size_t i = 0; i < picture.size(); ++i) picture[i] = uint8_t(i);
  const std::string file = under_root("/far/faulty.jpg");
  std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char *>(picture.data()), long(picture.size()));
  int status = -1;
  EXPECT_EQ(run_dhmcu("-p " + port + " --picture-size 70000 --picture " + file, status), 
            "dhmcu: bad value for --picture-size: '70000': 0..65535\n");
  EXPECT_EQ(status, 2);

  start("--packages 2,0,0 --picture-size 9 --picture " + file + " --rate 200");
  std::vector<Bytes> sent = frames(4);
  finish(status);
  EXPECT_EQ(status, 0);
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[0][3], 2);
  EXPECT_EQ(sent[0][4], uint8_t(440 % 256));  // package 2 starts at byte 440
  EXPECT_EQ(sent[1][3], 0);
  EXPECT_EQ(sent[2][3], 0);
  EXPECT_EQ(Bytes(sent[3].begin() + 2, sent[3].begin() + 6), (Bytes{0x99, 0xFF, 0x00, 0x09}));

  start("--packages 3 --picture " + file);
  EXPECT_THAT(finish(status), HasSubstr("package 3 lies beyond"));
  EXPECT_EQ(WEXITSTATUS(status), 2);

  // A stray byte, then a frame in two halves 300 ms apart; the frame type and bytes 35..36
  // of every composed frame set.
  start("--set 2=77 --set 35=beef --slip --gap 300 --wake --rate 50");
  const auto before = std::chrono::steady_clock::now();
  const Bytes first = read_far_end(pair.master, 1 + 112, milliseconds(3000));
  const Bytes rest = read_far_end(pair.master, 112, milliseconds(3000));
  const auto took = std::chrono::steady_clock::now() - before;
  finish(status);
  ASSERT_EQ(first.size() + rest.size(), 225u);
  EXPECT_EQ(first[0], 0x00);
  EXPECT_EQ(Bytes(first.begin() + 1, first.begin() + 4), (Bytes{0xAA, 0x55, 0x77}));
  EXPECT_EQ(first[1 + 35], 0xBE);
  EXPECT_EQ(first[1 + 36], 0xEF);
  EXPECT_GE(took, milliseconds(280));
}

// A serving dhmcu keeps reporting and takes its changes from the control socket.
TEST_F(DhMcu, ServesItsControlSocket) {
  const std::string socket = under_root("/far/mcu.ctl");
  std::filesystem::remove(socket);
  start("--serve " + socket + " --status 0,31,1500 --rate 20");
  ASSERT_TRUE(wait_until([&] { return std::filesystem::exists(socket); }, milliseconds(3000)));
  int status = -1;
  auto control = [&](const std::string &words) { return run_dhmcu("--ctl " + socket + " " + words, status); };
  EXPECT_EQ(control("mode 2"), "ok\n");
  EXPECT_EQ(control("pump 1234"), "ok\n");
  EXPECT_EQ(control("set 60=99"), "ok\n");
  EXPECT_EQ(control("knob 1"), "ok\n");
  const std::string state = control("state");
  EXPECT_THAT(state, HasSubstr("\"mode\":2"));
  EXPECT_THAT(state, HasSubstr("\"pump\":1234"));
  EXPECT_THAT(state, HasSubstr("\"set\":{\"60\":\"99\"}"));
  EXPECT_THAT(control("pump 70000"), HasSubstr("error: pump takes a number 0..65535"));
  EXPECT_THAT(control("picture " + under_root("/far")), HasSubstr("is not a file"));

  // The frames follow: a knob step, then status frames with the new fields.
  bool knob = false, changed = false;
  for (int i = 0; i < 40 && !(knob && changed); ++i) {
    const Bytes frame = read_far_end(pair.master, 224, milliseconds(1000));
    if (frame.size() != 224u) break;
    if (frame[56] == 1 && frame[3] == 2) knob = true;
    if (frame[3] == 2 && frame[11] == 0x04 && frame[12] == 0xD2 && frame[60] == 0x99 && frame[56] == 0) changed = true;
  }
  EXPECT_TRUE(knob);
  EXPECT_TRUE(changed);

  // A second server on the same socket (on a port of its own: this one is held) is refused;
  // the socket goes with the server.
  PtyPair other;
  EXPECT_THAT(run_dhmcu("-p " + other.slave_name + " --serve " + socket, status), HasSubstr("another dhmcu serves"));
  EXPECT_EQ(status, 2);
  kill(child, SIGTERM);
  finish(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_FALSE(std::filesystem::exists(socket));
}

TEST_F(DhMcu, EndsCleanlyOnASignalAndRefusesBadArguments) {
  start("");  // only listens
  ASSERT_TRUE(port_open()) << "dhmcu did not open " << port;  // its handlers are in place by then
  // And it is in its loop once it has told a message apart (under a user-mode emulator the
  // program's own set-up may still be under way when the port is open).
  const Bytes data(10, 0x55);
  ASSERT_EQ(write(pair.master, data.data(), data.size()), ssize_t(data.size()));
  ASSERT_TRUE(printed("data without prefix, 10 bytes")) << seen;
  int status = -1;
  kill(child, SIGTERM);
  finish(status);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);

  for (const char *bad : {"--status 1,2", "--status 1,2,70000", "--host-data 0g",
                          "--host-data 000102030405060708090a0b0c0d0e0f1011", "--rate 0",
                          "--bogus"}) {
    start(bad);
    EXPECT_EQ(WEXITSTATUS((finish(status), status)), 2) << bad;
  }

  // A port that is no port (a regular file, a FIFO, a directory, /dev/null) is refused and left
  // as it was: no frame is written into it.
  const std::string dir = std::filesystem::path(port).parent_path().string() + "/not-ports";
  std::filesystem::create_directories(dir + "/a directory");
  { std::ofstream(dir + "/file") << "keep me"; }
  ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0600), 0);
  for (const std::string &path : {dir + "/file", dir + "/fifo", dir + "/a directory", std::string("/dev/null")}) {
    const std::string out = run_dhmcu("-p '" + path + "' --knob 1", status);
    EXPECT_EQ(status, 2) << path << ": " << out;
    EXPECT_THAT(out, HasSubstr("is not a serial port or a pty; it was left untouched")) << path;
  }
  std::ifstream kept(dir + "/file");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "keep me");
  std::filesystem::remove_all(dir);
}

// The port is one program's at a time, as for dhhost and dhtrace: a second controller on it
// would interleave its frames with the first's and take part of the display head's messages.
TEST_F(DhMcu, APortHeldByAnotherProgramIsRefused) {
  start("--status 0,31,1500 --rate 2");
  ASSERT_TRUE(port_open()) << "dhmcu did not open " << port;
  const auto locked = [&] {
    const int fd = open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    const bool held = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0;
    if (fd >= 0) close(fd);
    return held;
  };
  ASSERT_TRUE(wait_until(locked, milliseconds(20000))) << "dhmcu holds " << port << " without its lock";
  int status = -1;
  const std::string out = run_dhmcu("-p " + port + " --knob 1", status);
  EXPECT_EQ(status, 2) << out;
  // Told by its pid: under the board's emulator the holder's name is the emulator's.
  EXPECT_THAT(out, HasSubstr(port + " is in use by ")) << out;
  EXPECT_THAT(out, HasSubstr("(pid " + std::to_string(child) + ")")) << out;
  kill(child, SIGTERM);
  finish(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);

  // Once the holder has gone, the port is free again.
  const std::string after = run_dhmcu("-p " + port + " --knob 1", status);
  EXPECT_EQ(status, 0) << after;
}

}  // namespace
