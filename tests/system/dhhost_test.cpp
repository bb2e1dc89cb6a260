// dhhost, run as a host-side engineer runs it: by name of the far end of the cable.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <thread>

#include "crypto/host_packet.h"
#include "crypto/crypto.h"
#include "crypto/md5.h"
#include "tests/support/target.h"
#include "tests/support/waiting.h"
#include "tests/system/daemon_harness.h"
#include "tests/system/media.h"
#include "tests/system/sim_device.h"

extern char **environ;

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::HasSubstr;

namespace {

// Reads one 512-byte packet from dhhost as the device would; whether it came whole. dhhost may
// start slowly on a busy machine: each wait is generous.
bool read_packet(int fd, uint8_t (&packet)[512]) {
  size_t got = 0;
  for (pollfd pfd{fd, POLLIN, 0}; got < sizeof packet && poll(&pfd, 1, 30000) > 0;) {
    const ssize_t n = read(fd, packet + got, sizeof packet - got);
    if (n <= 0) break;
    got += size_t(n);
  }
  return got == sizeof packet;
}

ToolRun run_dhhost(const std::string &arguments) { return run_tool("dhhost", arguments); }

// The JSON object dhhost printed, its last line (an empty one, after a failed test assertion,
// if none); the lines before are what it said on standard error.
nlohmann::json json_of(const ToolRun &run) {
  std::string last = run.out;
  if (!last.empty() && last.back() == '\n') last.pop_back();
  last = last.substr(last.rfind('\n') == std::string::npos ? 0 : last.rfind('\n') + 1);
  const nlohmann::json parsed = nlohmann::json::parse(last, nullptr, false);
  EXPECT_TRUE(parsed.is_object()) << run.out;
  return parsed.is_object() ? parsed : nlohmann::json::object();
}

std::string md5_hex(const std::string &data) {
  uint8_t *digest = nullptr;
  size_t size = data.size();
  md5(2, reinterpret_cast<const uint8_t *>(data.data()), &digest, &size);
  std::string text(reinterpret_cast<char *>(digest), size);
  free(digest);
  return text;
}

const std::string sources = DH_SOURCE_DIR;

// Starts dhhost with `arguments`, everything it prints into `output`; its pid, or -1.
pid_t spawn_dhhost(const std::vector<std::string> &arguments, const std::string &output) {
  std::vector<std::string> words = program_words(build_dir() + "/dhhost", arguments);
  std::vector<char *> argv;
  for (std::string &word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

}  // namespace

TEST(Dhhost, VersionAndRawAgainstTheSandboxedDaemon) {
  DaemonUnderTest daemon(HostPort::cable);
  std::string port = "-p " + daemon.host_port_path() + " ";

  ToolRun version = run_dhhost(port + "version");
  EXPECT_EQ(version.status, 0) << version.out;
  EXPECT_EQ(version.out, "morvadq7_0005_0020\n");
  // The options may follow the command.
  ToolRun json_after = run_dhhost("version --json " + port);
  EXPECT_EQ(json_of(json_after), nlohmann::json({{"version", "morvadq7_0005_0020"}}));

  // A code in hex, with or without 0x.
  for (const char *code : {"0x33", "33"}) {
    ToolRun raw = run_dhhost(port + "raw " + code + " 01020304");
    EXPECT_EQ(raw.status, 0) << raw.out;
    EXPECT_EQ(raw.out.substr(0, 8), "000: 33 ") << raw.out;
    EXPECT_THAT(raw.out, HasSubstr("(bytes 16..511 zero)"));
  }
  ToolRun raw_json = run_dhhost(port + "--json raw 0a");
  EXPECT_EQ(json_of(raw_json).value("code", 0), 10);
  EXPECT_EQ(json_of(raw_json).value("reply", "").substr(16, 12), "6d6f72766164") << raw_json.out;
}

TEST(Dhhost, SaysWhatWentWrong) {
  ToolRun missing = run_dhhost("-p /nonexistent/ttyACM9 version");
  EXPECT_EQ(missing.status, 2);
  EXPECT_THAT(missing.out, HasSubstr("/nonexistent/ttyACM9"));
  ToolRun missing_json = run_dhhost("--json -p /nonexistent/ttyACM9 rm /x");
  EXPECT_EQ(missing_json.status, 2);
  EXPECT_THAT(missing_json.out, HasSubstr("{\"error\":\"port /nonexistent/ttyACM9: No such file or directory"));

  // A port with nothing behind it: a pty nobody serves. The message says what the silence
  // may have left behind.
  int master = -1, slave = -1;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  ToolRun silent = run_dhhost(std::string("-p ") + ttyname(slave) + " -t 0.3 version");
  EXPECT_EQ(silent.status, 1);
  EXPECT_THAT(silent.out, HasSubstr("no reply to command 0x0A within 0.3 s"));
  EXPECT_THAT(silent.out, HasSubstr("the next command may need the link's 2 s resynchronisation"));
  ToolRun silent_ls = run_dhhost(std::string("ls /tmp -t 0.2 -p ") + ttyname(slave));
  EXPECT_EQ(silent_ls.status, 1);
  EXPECT_THAT(silent_ls.out, HasSubstr("no reply to listing page 1 (command 0x63) within 0.2 s"));
  ToolRun silent_light = run_dhhost(std::string("-t 0.2 -p ") + ttyname(slave) + " pump-fan 0102030405060708090a0b0c0d0e");
  EXPECT_EQ(silent_light.status, 1);
  EXPECT_THAT(silent_light.out, HasSubstr("if the controller is in wireless mode"));
  close(master);
  close(slave);

  // Usage errors: the range a value must lie in is the range that is taken.
  struct Refused {
    const char *arguments, *message;
  } refused[] = {
      {"raw 300", "the command code must be one byte in hex"},
      {"frobnicate", "unknown command 'frobnicate'"},
      {"version -p", "--port"},
      {"brightness 101", "the brightness level must be a number from 0 to 100, not '101'"},
      {"put --chunk 0 a b", "--chunk must be a number from 1 to 1048576, not '0'"},
      {"fw-update --chunk 2000000 a", "--chunk must be a number from 1 to 1048576"},
      {"stream --fps 256 a", "--fps must be a number from 0 to 255"},
      {"pump-fan 0102", "the pump and fan settings must be 14 bytes (28 hex digits), not 4 digits"},
      {"-t 0 version", "the timeout must be a number of seconds"},
      {"rm", "PATH is required"},
  };
  for (const Refused &bad : refused) {
    ToolRun run = run_dhhost(std::string("-p /nonexistent ") + bad.arguments);
    EXPECT_EQ(run.status, 2) << bad.arguments;
    EXPECT_THAT(run.out, HasSubstr(bad.message)) << bad.arguments;
  }
  // With --json every failure prints its object, those found before the options are read
  // (an unknown command, an option without its value) too.
  for (const char *arguments : {"--json frobnicate", "--json version -p", "frobnicate --json", "--json brightness 101"}) {
    ToolRun run = run_dhhost(std::string("-p /nonexistent ") + arguments);
    EXPECT_EQ(run.status, 2) << arguments;
    const nlohmann::json failure = json_of(run);
    EXPECT_EQ(failure.value("ok", true), false) << arguments << ": " << run.out;
    EXPECT_EQ(failure.value("exit", 0), 2) << arguments;
  }
  ToolRun help = run_dhhost("version --help");
  EXPECT_EQ(help.status, 0);
  EXPECT_THAT(help.out, HasSubstr("identity"));
}

// Every command against the real daemon, each with its JSON object.
TEST(Dhhost, EveryCommandAndItsJson) {
  DaemonUnderTest daemon(HostPort::cable);
  const std::string port = "--json -p " + daemon.host_port_path() + " ";
  const std::string card = daemon.root() + "/tmp/sdcard/mmcblk0p1";
  fs::create_directories(card + "/img");
  fs::create_directories(card + "/clips");
  write_bytes(card + "/img/blue.jpg", solid_jpeg(64, 64, 0x0000FF));
  write_bytes(daemon.root() + "/red.jpg", solid_jpeg(480, 480, 0xFF0000));
  write_bytes(daemon.root() + "/light.bin", {1, 2, 3});
  write_bytes(daemon.root() + "/firmware.bin", std::vector<uint8_t>(5000, 0x5A));
  std::ofstream(daemon.root() + "/small.txt") << "small";

  const std::string ok = R"({"ok":true})";
  struct Case {
    std::string arguments, json;
  } cases[] = {
      {"version", R"({"version":"morvadq7_0005_0020"})"},
      {"config 80 0 0 0 0 1", ok},
      {"mark-usb-display", ok},
      {"rotate 0", ok},
      {"brightness 80", ok},
      {"fps 24", ok},
      {"jpg " + daemon.root() + "/red.jpg", ok},
      {"png " + sources + "/media/overlay.png", ok},
      {"show-local /tmp/sdcard/mmcblk0p1/img/blue.jpg", ok},
      {"stop-slideshow", ok},
      {"play /media/none.h264", ok},
      {"stop-play", ok},
      {"play-state", R"({"playing":false})"},
      {"queue", R"({"queued":0})"},
      {"stop-stream", ok},
      {"theme " + std::string(128, '0'), ok},
      {"mcu-data", R"({"mcu_data":")" + std::string(64, '0') + "\"}"},
      {"pump-fan 0102030405060708090a0b0c0d0e", ok},
      {"light " + daemon.root() + "/light.bin", ok},
      {"fw-update " + daemon.root() + "/firmware.bin", R"({"bytes":5000,"ok":true})"},
      {"group", R"({"group":0,"position":0})"},
      {"test-decode", ok},
      {"reboot", ok},
      {"halt", ok},
      {"put-small " + daemon.root() + "/small.txt /tmp/sdcard/mmcblk0p1/s.txt",
       R"({"bytes":5,"ok":true,"remote":"/tmp/sdcard/mmcblk0p1/s.txt"})"},
      {"put " + daemon.root() + "/small.txt /tmp/sdcard/mmcblk0p1/t.txt",
       R"({"bytes":5,"ok":true,"remote":"/tmp/sdcard/mmcblk0p1/t.txt"})"},
      {"size /tmp/sdcard/mmcblk0p1/s.txt", R"({"path":"/tmp/sdcard/mmcblk0p1/s.txt","size":5})"},
      {"ls /tmp/sdcard/mmcblk0p1", R"({"dir":"/tmp/sdcard/mmcblk0p1","dirs":["clips","img"],"files":["s.txt","t.txt"]})"},
      {"rm /tmp/sdcard/mmcblk0p1/t.txt", ok},
  };
  for (const Case &c : cases) {
    ToolRun run = run_dhhost(port + c.arguments);
    EXPECT_EQ(run.status, 0) << c.arguments << ": " << run.out;
    nlohmann::json got = json_of(run);
    // The listing's order is the directory's own.
    for (const char *list : {"dirs", "files"}) {
      if (got.contains(list)) std::sort(got[list].begin(), got[list].end());
    }
    EXPECT_EQ(got, nlohmann::json::parse(c.json)) << c.arguments;
  }
  EXPECT_FALSE(fs::exists(card + "/t.txt"));
  EXPECT_EQ(read_file(daemon.root() + "/usr/data/app.cfg").substr(0, 6), std::string("\x50\0\0\0\0\x01", 6));

  ToolRun df = run_dhhost(port + "df");
  EXPECT_EQ(df.status, 0) << df.out;
  EXPECT_GT(json_of(df).value("total_kib", 0u), 0u) << df.out;
  ToolRun stream = run_dhhost(port + "stream " + sources + "/tests/media/colours_64x64.h264");
  EXPECT_EQ(stream.status, 0) << stream.out;
  EXPECT_EQ(json_of(stream).value("blocks", 0), 1) << stream.out;
  EXPECT_TRUE(daemon.wait_for("free h264 resource end"));

  ToolRun refused = run_dhhost(port + "put " + daemon.root() + "/small.txt /no/such/dir/x");
  EXPECT_EQ(refused.status, 1);
  const nlohmann::json failure = json_of(refused);
  EXPECT_EQ(failure.value("ok", true), false);
  EXPECT_EQ(failure.value("exit", 0), 1);
  EXPECT_THAT(failure.value("error", ""), HasSubstr("cannot create /no/such/dir/x"));
}

TEST(Dhhost, FileSessionPutListSizeRm) {
  DaemonUnderTest daemon(HostPort::cable);
  std::string port = "-p " + daemon.host_port_path() + " ";
  std::string card = daemon.root() + "/tmp/sdcard/mmcblk0p1";
  fs::create_directories(card + "/img");

  std::string local = daemon.root() + "/upload.bin";
  std::string content(3 * 1024 * 1024 + 17, '\0');
  std::mt19937 random(11);
  for (char &c : content) c = char(random());
  std::ofstream(local, std::ios::binary) << content;

  ToolRun put = run_dhhost(port + "put " + local + " /tmp/sdcard/mmcblk0p1/clip.bin");
  ASSERT_EQ(put.status, 0) << put.out;
  EXPECT_EQ(put.out, "");
  EXPECT_EQ(md5_hex(read_file(card + "/clip.bin")), md5_hex(content));
  ToolRun put_big_chunks = run_dhhost(port + "put " + local + " /tmp/sdcard/mmcblk0p1/clip2.bin --chunk 1048576");
  ASSERT_EQ(put_big_chunks.status, 0) << put_big_chunks.out;
  EXPECT_EQ(md5_hex(read_file(card + "/clip2.bin")), md5_hex(content));

  ToolRun ls = run_dhhost(port + "ls /tmp/sdcard/mmcblk0p1");
  ASSERT_EQ(ls.status, 0) << ls.out;
  EXPECT_EQ(ls.out.substr(0, 5), "img/\n") << ls.out;
  for (const char *name : {"\nclip.bin\n", "\nclip2.bin\n"}) EXPECT_THAT(ls.out, HasSubstr(name));
  // The files part starts at the first name marked "file:"; a name that holds the mark further
  // in, or a file whose name begins with it, stays where it is (the latter makes the listing
  // ambiguous, and dhhost says so).
  fs::create_directories(card + "/names/my file:s");
  std::ofstream(card + "/names/profile:1") << "x";
  ToolRun marks = run_dhhost(port + "--json ls /tmp/sdcard/mmcblk0p1/names");
  ASSERT_EQ(marks.status, 0) << marks.out;
  EXPECT_EQ(json_of(marks)["dirs"], nlohmann::json::array({"my file:s"})) << marks.out;
  EXPECT_EQ(json_of(marks)["files"], nlohmann::json::array({"profile:1"})) << marks.out;
  EXPECT_THAT(marks.out, testing::Not(HasSubstr("ambiguous")));
  std::ofstream(card + "/names/file:notes") << "x";
  ToolRun ambiguous = run_dhhost(port + "--json ls /tmp/sdcard/mmcblk0p1/names");
  ASSERT_EQ(ambiguous.status, 0) << ambiguous.out;
  EXPECT_EQ(json_of(ambiguous)["dirs"], nlohmann::json::array({"my file:s"})) << ambiguous.out;
  EXPECT_THAT(json_of(ambiguous)["files"].dump(), HasSubstr("\"file:notes\"")) << ambiguous.out;
  EXPECT_THAT(ambiguous.out, HasSubstr("is ambiguous: several names begin with \"file:\""));
  ToolRun size = run_dhhost(port + "size /tmp/sdcard/mmcblk0p1/clip.bin");
  EXPECT_EQ(size.out, std::to_string(content.size()) + "\n");
  ToolRun rm = run_dhhost(port + "rm /tmp/sdcard/mmcblk0p1/clip.bin");
  EXPECT_EQ(rm.status, 0) << rm.out;
  EXPECT_FALSE(fs::exists(card + "/clip.bin"));
}

// A directory, an empty picture, stream or image, or a file that is too big is refused before
// anything is sent: the device hears nothing, and an empty firmware image leaves the
// controller's firmware alone. An empty file and empty lighting data go through.
TEST(Dhhost, EmptyAndDirectoryInputsAreRefusedBeforeSending) {
  DaemonUnderTest daemon(HostPort::cable);
  const std::string port = "-p " + daemon.host_port_path() + " ";
  const std::string empty = daemon.root() + "/empty.bin";
  write_bytes(empty, {});
  const std::string dir = daemon.root() + "/usr";
  for (const char *command : {"put %s /tmp/x", "put-small %s /tmp/x", "jpg %s", "png %s", "stream %s",
                              "light %s", "fw-update %s"}) {
    char arguments[512];
    snprintf(arguments, sizeof arguments, command, dir.c_str());
    ToolRun run = run_dhhost(port + arguments);
    EXPECT_EQ(run.status, 2) << arguments;
    EXPECT_EQ(run.out.rfind("dhhost: " + dir + " is a directory, not a file\n", 0), 0u) << run.out;
    const std::string which = command;
    if (which == "put %s /tmp/x" || which == "put-small %s /tmp/x" || which == "light %s") continue;  // (below)
    snprintf(arguments, sizeof arguments, command, empty.c_str());
    run = run_dhhost(port + arguments);
    EXPECT_EQ(run.status, 2) << arguments;
    EXPECT_THAT(run.out, HasSubstr(empty + " is empty")) << arguments;
  }
  ToolRun erase = run_dhhost(port + "fw-update " + empty);
  EXPECT_THAT(erase.out, HasSubstr("the controller's firmware was not erased"));

  // 2 GB that take no room: refused from their size alone, at once. "At once" in processor
  // time, which a busy machine does not inflate: reading them would take seconds of it.
  const std::string sparse = daemon.root() + "/sparse.bin";
  { std::ofstream(sparse).close(); }
  fs::resize_file(sparse, 2ull << 30);
  auto children_cpu = [] {
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return std::chrono::seconds(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           std::chrono::microseconds(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
  };
  const auto before = children_cpu();
  ToolRun big = run_dhhost(port + "put-small " + sparse + " /tmp/x");
  EXPECT_LT(children_cpu() - before, 1s);
  EXPECT_EQ(big.status, 2);
  EXPECT_THAT(big.out, HasSubstr("has 2147483648 bytes; put-small takes at most 1048576"));

  EXPECT_EQ(daemon.count("create file"), 0);
  EXPECT_EQ(daemon.count("-----------------------------------erase"), 0);
  EXPECT_EQ(daemon.count("save_small_file"), 0);

  // An empty file is uploaded whole: there, and empty.
  fs::create_directories(daemon.root() + "/tmp/sdcard/mmcblk0p1");
  ToolRun put = run_dhhost(port + "put " + empty + " /tmp/sdcard/mmcblk0p1/empty.bin");
  EXPECT_EQ(put.status, 0) << put.out;
  EXPECT_TRUE(fs::exists(daemon.root() + "/tmp/sdcard/mmcblk0p1/empty.bin"));
  EXPECT_EQ(fs::file_size(daemon.root() + "/tmp/sdcard/mmcblk0p1/empty.bin"), 0u);
  write_bytes(daemon.root() + "/tmp/sdcard/mmcblk0p1/small.bin", {1, 2, 3});
  ToolRun small = run_dhhost(port + "put-small " + empty + " /tmp/sdcard/mmcblk0p1/small.bin");
  EXPECT_EQ(small.status, 0) << small.out;
  EXPECT_EQ(fs::file_size(daemon.root() + "/tmp/sdcard/mmcblk0p1/small.bin"), 0u);
}

namespace {

// Puts a file of `size` bytes of 0x42 over clip.bin (which holds "old") in chunks of a megabyte
// and interrupts dhhost while a chunk is on its way; what dhhost said. The device stops reading
// as the first chunk is announced, so that the interruption meets it on its way (a megabyte
// does not fit the cable's buffers).
std::string interrupted_put(DaemonUnderTest &daemon, size_t size, int &status) {
  const std::string card = daemon.root() + "/tmp/sdcard/mmcblk0p1";
  fs::create_directories(card);
  write_bytes(card + "/clip.bin", {'o', 'l', 'd'});
  const std::string local = daemon.root() + "/big.bin";
  write_bytes(local, std::vector<uint8_t>(size, 0x42));
  const std::string output = daemon.root() + "/put.out";
  const pid_t put = spawn_dhhost({"-p", daemon.host_port_path(), "put", local, "/tmp/sdcard/mmcblk0p1/clip.bin",
                                  "--chunk", "1048576"},
                                 output);
  if (put <= 0) return "dhhost did not start";
  if (!daemon.wait_for("save file buffer", 1, 10000)) return "no chunk came";
  // Not synchronisation: the stop is the moment the device must survive, and the interruption
  // meets the megabyte chunk whether or not dhhost has filled the cable by then.
  kill(daemon.pid(), SIGSTOP);
  std::this_thread::sleep_for(200ms);
  kill(put, SIGINT);
  std::this_thread::sleep_for(100ms);
  kill(daemon.pid(), SIGCONT);
  waitpid(put, &status, 0);
  return read_file(output);
}

}  // namespace

// Ctrl-C in the middle of an upload: the chunk being sent is finished with filler, dhhost says
// what the device was left with, the file on the device is not replaced, and the next command
// is answered at once.
TEST(Dhhost, InterruptedPutKeepsTheLinkAligned) {
  DaemonUnderTest daemon(HostPort::cable);
  int status = 0;
  const std::string said = interrupted_put(daemon, 8 << 20, status);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << said;
  EXPECT_THAT(said, HasSubstr("interrupted: the chunk after byte "));
  EXPECT_THAT(said, HasSubstr(" filler bytes to keep the link aligned"));
  EXPECT_THAT(said, HasSubstr("/tmp/sdcard/mmcblk0p1/clip.bin itself is not replaced"));
  EXPECT_EQ(read_file(daemon.root() + "/tmp/sdcard/mmcblk0p1/clip.bin"), "old");

  // The link is aligned again: the next command's reply is its own.
  ToolRun version = run_dhhost("-p " + daemon.host_port_path() + " -t 20 version");
  EXPECT_EQ(version.status, 0) << version.out;
  EXPECT_EQ(version.out, "morvadq7_0005_0020\n");
}

// Ctrl-C while a stream plays ends the stream (0x7B), so that its queued blocks do not paint
// over what comes next.
TEST(Dhhost, InterruptedStreamIsEnded) {
  DaemonUnderTest daemon(HostPort::cable);
  const std::string output = daemon.root() + "/stream.out";
  const pid_t stream = spawn_dhhost({"-p", daemon.host_port_path(), "stream", sources + "/media/host_stream.h264"}, output);
  ASSERT_GT(stream, 0);
  // The clip plays for several seconds: interrupted once its pictures are on the panel (or,
  // where the build's decoder stand-in shows none, once the decoder has taken its blocks).
  if (DH_H264_DECODES) {
    EXPECT_TRUE(wait_for_pans(daemon.root(), 3, 20000ms)) << daemon.output();
  } else {
    EXPECT_TRUE(daemon.wait_for("decoder direct work failed", 3, 20000)) << daemon.output();
  }
  kill(stream, SIGINT);
  int status = 0;
  waitpid(stream, &status, 0);
  const std::string said = read_file(output);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << said;
  EXPECT_THAT(said, HasSubstr("interrupted: "));
  EXPECT_THAT(said, HasSubstr("the stream is ended (0x7B)"));
  EXPECT_TRUE(daemon.wait_for("free h264 resource end", 1, 20000)) << daemon.output();
}

namespace {

// Plays the device on a pty for one command: reads the packet and answers with `reply`
// made to fit it (code and tag), or a reply of another command when `foreign`; a device that
// works for `slow` before it answers, when given.
void answer_one(int master, std::array<uint8_t, 8> tail, bool foreign,
                std::chrono::milliseconds slow = std::chrono::milliseconds(0)) {
  uint8_t packet[512];
  if (!read_packet(master, packet)) return;
  // The block after it, if any, is taken off the line too.
  uint8_t block[4096];
  for (pollfd pfd{master, POLLIN, 0}; poll(&pfd, 1, 200) > 0 && read(master, block, sizeof block) > 0;) {
  }
  std::this_thread::sleep_for(slow);  // the device's own work, not a wait for dhhost
  HostCommand *command = des_decrypt(packet, des_len);
  ASSERT_NE(command, nullptr);
  const uint8_t *record = &command->code;
  uint8_t reply[512] = {};
  reply[0] = foreign ? uint8_t(record[0] + 1) : record[0];
  reply[1] = reply_status_ok;
  memcpy(reply + 2, record + 4, 4);
  memcpy(reply + 6, tail.data(), tail.size());
  free(command);
  ASSERT_EQ(write(master, reply, sizeof reply), ssize_t(sizeof reply));
}

}  // namespace

// The device's failure reply (bytes 6..13 "_failed\0") is a failure: exit 1, saying what did
// not happen.
TEST(Dhhost, TheDevicesFailureReplyIsAFailure) {
  int master = -1, slave = -1;
  ASSERT_TRUE(open_raw_pty(master, slave));
  const std::string port = std::string("-p ") + ttyname(slave) + " -t 2 ";
  const std::array<uint8_t, 8> failed = {'_', 'f', 'a', 'i', 'l', 'e', 'd', 0};

  std::thread device([&] { answer_one(master, failed, false); });
  ToolRun rm = run_dhhost(port + "rm /tmp/x");
  device.join();
  EXPECT_EQ(rm.status, 1);
  EXPECT_EQ(rm.out, "dhhost: command 0x2A: the device reports that it failed; /tmp/x may not be deleted\n");

  const std::string light = make_temp_root() + "/light.bin";
  write_bytes(light, {1, 2, 3});
  device = std::thread([&] { answer_one(master, failed, false); });
  ToolRun relay = run_dhhost(port + "--json light " + light);
  device.join();
  EXPECT_EQ(relay.status, 1);
  EXPECT_EQ(json_of(relay).value("error", ""), "command 0xFC: the device reports that it failed: the controller did not get it");
  fs::remove_all(fs::path(light).parent_path());

  device = std::thread([&] { answer_one(master, {}, true); });
  ToolRun foreign = run_dhhost(port + "version");
  device.join();
  EXPECT_EQ(foreign.status, 1);
  EXPECT_THAT(foreign.out, HasSubstr("the reply belongs to another command"));
  close(master);
  close(slave);
}

// An upload's last chunk is answered after the device has synced the whole file system: dhhost
// gives it 30 s whatever its -t, so a slow card's upload is not reported failed.
TEST(Dhhost, TheLastChunkIsGivenTheCardsTime) {
  int master = -1, slave = -1;
  ASSERT_TRUE(open_raw_pty(master, slave));
  const std::string local = make_temp_root() + "/up.bin";
  write_bytes(local, {1, 2, 3});

  std::thread device([&] {
    answer_one(master, {0, 0, reply_status_ok}, false);  // 0x26: the upload is open
    answer_one(master, {}, false);                       // 0x27, the data
    answer_one(master, {}, false, 1500ms);               // 0x27, the closing chunk, on a slow card
  });
  ToolRun put = run_dhhost(std::string("-p ") + ttyname(slave) + " -t 1 put " + local + " /tmp/up.bin");
  device.join();
  EXPECT_EQ(put.status, 0) << put.out;
  fs::remove_all(fs::path(local).parent_path());
  close(master);
  close(slave);
}

TEST(Dhhost, ListingLeftUnfinishedByAnotherSessionIsDrainedFirst) {
  DaemonUnderTest daemon(HostPort::cable);
  std::string card = daemon.root() + "/tmp/sdcard/mmcblk0p1";
  fs::create_directories(card + "/old");
  fs::create_directories(card + "/new");
  std::ofstream(card + "/new/fresh.jpg") << "x";

  // Someone fetched 3 of the 20 pages of another listing and went away.
  std::string old_payload = name_payload("/tmp/sdcard/mmcblk0p1/old");
  for (int page = 0; page < 3; ++page) {
    ReplyBytes reply{};
    ASSERT_EQ(host_transact(daemon.host_fd(), 0x63,
                            std::span(reinterpret_cast<const uint8_t *>(old_payload.data()), old_payload.size()),
                            {}, reply, 3000, true),
              ReplyCheck::ok);
  }
  ToolRun ls = run_dhhost("-p " + daemon.host_port_path() + " ls /tmp/sdcard/mmcblk0p1/new");
  EXPECT_EQ(ls.status, 0) << ls.out;
  EXPECT_EQ(ls.out, "fresh.jpg\n");
}

// Names as a host program meets them: spaces, 255 bytes, non-ASCII, not UTF-8, and a file
// whose name begins with "file:" (the word that starts the files' part of a listing) go up,
// are sized and are listed as they are; a folder whose name begins with it makes the listing
// ambiguous, and dhhost says so.
TEST(Dhhost, OddNamesGoUpAndAreListedAsTheyAre) {
  DaemonUnderTest daemon(HostPort::cable);
  const std::string port = "-p " + daemon.host_port_path() + " ";
  const std::string card = daemon.root() + "/tmp/sdcard/mmcblk0p1";
  fs::create_directories(card + "/odd/sub");
  const std::string local = daemon.root() + "/a local file.txt";
  write_bytes(local, {'h', 'i', '\n'});
  const std::vector<std::string> names = {"file:a", "two words.txt", std::string(255, 'n'),
                                          "\xc3\xbcn\xc3\xaf c\xc3\xb8""d\xc3\xa9 \xe2\x82\xac.txt"};
  for (const std::string &name : names) {
    const std::string remote = "'/tmp/sdcard/mmcblk0p1/odd/" + name + "'";
    ToolRun put = run_dhhost(port + "put '" + local + "' " + remote);
    EXPECT_EQ(put.status, 0) << name << ": " << put.out;
    EXPECT_EQ(read_file(card + "/odd/" + name), "hi\n") << name;
    EXPECT_EQ(run_dhhost(port + "size " + remote).out, "3\n") << name;
  }
  ToolRun ls = run_dhhost(port + "--json ls /tmp/sdcard/mmcblk0p1/odd");
  EXPECT_EQ(ls.status, 0) << ls.out;
  nlohmann::json listing = json_of(ls);
  EXPECT_EQ(listing["dirs"], nlohmann::json({"sub"})) << ls.out;
  std::vector<std::string> files = listing.value("files", std::vector<std::string>{});
  std::sort(files.begin(), files.end());
  std::vector<std::string> expected = names;
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(files, expected) << ls.out;

  // A name that is not UTF-8 (Latin-1 "café"): the plain output keeps its bytes, and the JSON
  // shows the bad byte as U+FFFD, valid JSON whatever the name.
  fs::create_directories(card + "/latin");
  const std::string latin = "caf\xe9.txt";
  ToolRun put_latin = run_dhhost(port + "--json put '" + local + "' '/tmp/sdcard/mmcblk0p1/latin/" + latin + "'");
  EXPECT_EQ(put_latin.status, 0) << put_latin.out;
  EXPECT_EQ(json_of(put_latin).value("remote", ""), "/tmp/sdcard/mmcblk0p1/latin/caf\xef\xbf\xbd.txt");
  EXPECT_EQ(read_file(card + "/latin/" + latin), "hi\n");
  EXPECT_EQ(run_dhhost(port + "ls /tmp/sdcard/mmcblk0p1/latin").out, latin + "\n");
  ToolRun ls_latin = run_dhhost(port + "--json ls /tmp/sdcard/mmcblk0p1/latin");
  EXPECT_EQ(ls_latin.status, 0) << ls_latin.out;
  EXPECT_EQ(json_of(ls_latin)["files"], nlohmann::json({"caf\xef\xbf\xbd.txt"})) << ls_latin.out;
  ToolRun missing_latin = run_dhhost("--json -p '/nonexistent/" + latin + "' version");
  EXPECT_EQ(missing_latin.status, 2);
  EXPECT_EQ(json_of(missing_latin).value("exit", 0), 2) << missing_latin.out;

  fs::create_directories(card + "/odd2/file:x");
  write_bytes(card + "/odd2/a", {1});
  ToolRun ambiguous = run_dhhost(port + "ls /tmp/sdcard/mmcblk0p1/odd2");
  EXPECT_EQ(ambiguous.status, 0) << ambiguous.out;
  EXPECT_THAT(ambiguous.out, HasSubstr("the listing of /tmp/sdcard/mmcblk0p1/odd2 is ambiguous"));
}

// A device that goes away in the middle of a listing (its port hangs up after the first page),
// or before it answers a raw command, is said to have gone away, as for every other command,
// with its JSON object; a raw command whose reply never came is no success.
TEST(Dhhost, APortThatHangsUpMidCommandIsTheDeviceGone) {
  {
    int master = -1, slave = -1;
    ASSERT_TRUE(open_raw_pty(master, slave));
    std::thread device([master] {
      uint8_t packet[512];
      read_packet(master, packet);
      close(master);
    });
    ToolRun raw = run_dhhost(std::string("--json -t 10 -p ") + ttyname(slave) + " raw 0a");
    device.join();
    close(slave);
    EXPECT_EQ(raw.status, 1) << raw.out;
    EXPECT_THAT(raw.out, HasSubstr("command 0x0A: the device went away")) << raw.out;
    EXPECT_EQ(json_of(raw).value("exit", 0), 1) << raw.out;
  }
  {
    // A Unix socket as the port (a bridge to a device elsewhere) whose far end closes in the
    // middle of a picture's block: the device went away, said in words, not a silent end.
    const std::string dir = make_temp_root();
    const std::string socket_path = dir + "/port.sock", picture = dir + "/big.jpg";
    write_bytes(picture, std::vector<uint8_t>(1 << 20, 0xFF));
    const int server = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path, socket_path.c_str(), socket_path.size() + 1);
    ASSERT_EQ(bind(server, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(listen(server, 1), 0);
    std::thread device([server] {
      const int client = accept(server, nullptr, nullptr);
      uint8_t packet[512];
      read_packet(client, packet);
      close(client);
    });
    ToolRun jpg = run_dhhost("--json -t 10 -p " + socket_path + " jpg " + picture);
    device.join();
    close(server);
    fs::remove_all(dir);
    EXPECT_EQ(jpg.status, 1) << jpg.out;
    EXPECT_THAT(jpg.out, HasSubstr("command 0x65: the device went away")) << jpg.out;
    EXPECT_EQ(json_of(jpg).value("exit", 0), 1) << jpg.out;
  }
  for (const bool json : {false, true}) {
    int master = -1, slave = -1;
    ASSERT_TRUE(open_raw_pty(master, slave));
    std::thread device([master] {
      // The first page is answered; the request for the second finds the device going away.
      uint8_t packet[512];
      char page[512] = "result:dir:file:a/";
      if (read_packet(master, packet)) {
        EXPECT_EQ(write(master, page, sizeof page), ssize_t(sizeof page));
      }
      read_packet(master, packet);
      close(master);
    });
    ToolRun ls = run_dhhost(std::string(json ? "--json " : "") + "-t 10 -p " + ttyname(slave) + " ls /tmp");
    device.join();
    close(slave);
    EXPECT_EQ(ls.status, 1) << ls.out;
    EXPECT_THAT(ls.out, HasSubstr("listing page 2 (command 0x63): the device went away")) << ls.out;
    if (json) {
      EXPECT_EQ(json_of(ls).value("exit", 0), 1) << ls.out;
    }
  }
}

// Ctrl-C while the file's last bytes are on their way: the chunk is finished with filler to
// keep the link aligned, and that filler must not replace the file on the device.
TEST(Dhhost, InterruptedLastChunkLeavesTheFileAsItWas) {
  DaemonUnderTest daemon(HostPort::cable);
  int status = 0;
  const std::string said = interrupted_put(daemon, 1 << 20, status);  // one chunk holds it all
  const std::string clip = daemon.root() + "/tmp/sdcard/mmcblk0p1/clip.bin";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << said;
  EXPECT_THAT(said, HasSubstr("interrupted: "));
  EXPECT_THAT(said, HasSubstr("/tmp/sdcard/mmcblk0p1/clip.bin itself is not replaced"));
  EXPECT_EQ(read_file(clip), "old");

  const std::string local = daemon.root() + "/big.bin";
  ToolRun again = run_dhhost("-p " + daemon.host_port_path() + " -t 20 put " + local + " /tmp/sdcard/mmcblk0p1/clip.bin");
  EXPECT_EQ(again.status, 0) << again.out;
  EXPECT_EQ(read_file(clip), std::string(1 << 20, 0x42));
}

// Ctrl-C (or SIGTERM) while a command waits for a device that does not answer stops dhhost
// then, not when its time-out runs out; it says so and prints its JSON object.
TEST(Dhhost, InterruptedWaitForASilentDeviceStops) {
  for (const int signal : {SIGINT, SIGTERM}) {
    int master = -1, slave = -1;
    ASSERT_TRUE(open_raw_pty(master, slave));
    const std::string output = make_temp_root() + "/version.out";
    const pid_t version = spawn_dhhost({"--json", "-t", "3600", "-p", ttyname(slave), "version"}, output);
    ASSERT_GT(version, 0);
    // Its packet has gone out: it waits for the reply.
    uint8_t packet[512];
    ASSERT_TRUE(read_packet(master, packet));
    kill(version, signal);
    int status = 0;
    const bool ended = wait_until([&] { return waitpid(version, &status, WNOHANG) == version; }, 60s);
    if (!ended) {
      kill(version, SIGKILL);
      waitpid(version, &status, 0);
    }
    EXPECT_TRUE(ended) << "dhhost went on waiting after the interruption";
    const std::string said = read_file(output);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << said;
    EXPECT_THAT(said, HasSubstr("command 0x0A: interrupted before the device answered"));
    EXPECT_THAT(said, HasSubstr("\"exit\":1")) << said;
    fs::remove_all(fs::path(output).parent_path());
    close(master);
    close(slave);
  }
}
