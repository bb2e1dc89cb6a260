// The host's side of the device as a host program meets it: the end of a stream, the port
// held by one program at a time, and a simulated device whose cable can be pulled, which
// reboots and halts, and whose TCP bridge serves one client.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "crypto/host_packet.h"
#include "platform/panel_view.h"
#include "tests/support/target.h"
#include "tests/support/waiting.h"
#include "tests/system/daemon_harness.h"
#include "tests/system/media.h"
#include "tests/system/sim_device.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::HasSubstr;

namespace {

const std::string sources = DH_SOURCE_DIR;

// The test stream of five colours, three pictures each, cut after the first slice of the
// first white picture: its last picture is white, the one before it blue.
std::string stream_ending_in_one_white_picture() {
  const std::string stream = read_file(sources + "/tests/media/colours_480x480.h264");
  int pictures = 0;
  for (size_t i = 0; i + 4 < stream.size(); ++i) {
    if (stream[i] != 0 || stream[i + 1] != 0 || stream[i + 2] != 1) continue;
    const int type = stream[i + 3] & 0x1F;
    const bool starts_picture = (type == 1 || type == 5) && (uint8_t(stream[i + 4]) & 0x80) != 0;
    if (starts_picture && ++pictures == 14) {  // the 14th picture's start ends the 13th
      const size_t cut = i > 0 && stream[i - 1] == 0 ? i - 1 : i;
      return stream.substr(0, cut);
    }
  }
  ADD_FAILURE() << "the colour stream has fewer than 14 pictures";
  return stream;
}

bool near_white(uint32_t argb) {
  return ((argb >> 16) & 0xFF) > 200 && ((argb >> 8) & 0xFF) > 200 && (argb & 0xFF) > 200;
}

// scripts/sim-ctl ROOT WORDS: its status and what it printed.
ToolRun sim_ctl(const std::string &root, const std::string &words) {
  ToolRun run;
  FILE *pipe = popen(("bash " + sources + "/scripts/sim-ctl " + root + " " + words + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return run;
  char chunk[4096];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0) run.out.append(chunk, n);
  const int status = pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

// The host's end of the simulated cable, claimed as dhhost claims it.
int claim(const std::string &path) {
  int fd = -1;
  std::string error;
  EXPECT_EQ(host_port_claim(path, fd, error), PortClaim::ok) << error;
  return fd;
}

int connect_tcp(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in where{};
  where.sin_family = AF_INET;
  where.sin_port = htons(uint16_t(port));
  where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&where), sizeof where), 0) << strerror(errno);
  return fd;
}

// Everything a socket sends until its far end closes it.
std::string read_to_end(int fd) {
  std::string text;
  char buffer[512];
  pollfd pfd{fd, POLLIN, 0};
  while (poll(&pfd, 1, 10000) > 0) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, size_t(n));
  }
  return text;
}

}  // namespace

// The device completes a unit only at the next start code, and a queue count of 0 means taken,
// not shown: dhhost's end-of-stream units and its wait must put the very last picture up.
TEST(HostStream, TheLastPictureOfAStreamIsShown) {
  SKIP_WITHOUT_H264_PICTURES();
  DaemonUnderTest daemon(HostPort::cable);
  const std::string file = daemon.root() + "/white-last.h264";
  std::ofstream(file, std::ios::binary) << stream_ending_in_one_white_picture();

  const ToolRun stream = run_tool("dhhost", "-p " + daemon.host_port_path() + " stream " + file);
  ASSERT_EQ(stream.status, 0) << stream.out;
  // dhhost returns only once the last picture has been shown; it is still there.
  PanelPicture picture;
  std::string error;
  ASSERT_TRUE(compose_panel(daemon.root(), picture, error)) << error;
  const uint32_t middle = picture.at(picture.width / 2, picture.height / 2);
  EXPECT_TRUE(near_white(middle)) << std::hex << middle << " is not the white of the last picture" << daemon.output();
}

// Two programs on the port: the second is refused and told who holds it. What is neither a
// terminal nor a socket is refused and left as it was.
TEST(HostPort, OneProgramAtATimeAndOnlyAPort) {
  DaemonUnderTest daemon(HostPort::cable);
  const std::string port = daemon.host_port_path();
  {
    const int held = claim(port);
    ASSERT_GE(held, 0);
    const ToolRun second = run_tool("dhhost", "-p " + port + " version");
    EXPECT_EQ(second.status, 2) << second.out;
    EXPECT_THAT(second.out, HasSubstr("is in use by"));
    EXPECT_THAT(second.out, HasSubstr("(pid " + std::to_string(getpid()) + ")"));
    close(held);
  }
  const ToolRun free_again = run_tool("dhhost", "-p " + port + " version");
  EXPECT_EQ(free_again.status, 0) << free_again.out;

  const std::string regular = daemon.root() + "/not-a-port.txt", fifo = daemon.root() + "/a-fifo";
  std::ofstream(regular) << "keep me";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string &path : {regular, fifo, daemon.root()}) {
    const ToolRun refused = run_tool("dhhost", "-p " + path + " version");
    EXPECT_EQ(refused.status, 2) << path << ": " << refused.out;
    EXPECT_THAT(refused.out, HasSubstr("is not a terminal or a socket")) << path;
  }
  EXPECT_EQ(read_file(regular), "keep me");
}

// The cable, reboot and halt of the simulated device, as a host program sees them.
TEST(SimulatedCable, PulledRebootedAndHalted) {
  SKIP_WITHOUT_SIMULATED_DEVICE();
  SimulatedDevice device;
  const std::string root = device.root(), port = device.host_path("ttyACM0");
  const std::string state = device.device_root() + "/sys/class/udc/13500000.otg/state";
  const std::string ready = read_file(root + "/log/ready");
  EXPECT_THAT(ready, HasSubstr("HOST_PORT=" + port + "\n"));
  EXPECT_THAT(ready, HasSubstr("DEVICE=" + device.device_root() + "\n"));
  EXPECT_EQ(sim_ctl(root, "status").out, "cable=plugged power=on daemon=running\n");

  // Pulled: an open port reads end-of-file, a new open finds nothing, the gadget is detached.
  const int open_port = claim(port);
  ASSERT_GE(open_port, 0);
  EXPECT_EQ(sim_ctl(root, "cable pull").status, 0);
  uint8_t byte = 0;
  errno = 0;
  EXPECT_EQ(host_read_exact(open_port, &byte, 1, 10000), -1);
  EXPECT_EQ(errno, port_gone_errno);
  close(open_port);
  EXPECT_FALSE(fs::exists(port));
  EXPECT_EQ(read_file(state), "not attached\n");
  const ToolRun away = device.dhhost("version");
  EXPECT_EQ(away.status, 2) << away.out;
  EXPECT_EQ(sim_ctl(root, "status").out, "cable=pulled power=on daemon=running\n");
  EXPECT_EQ(sim_ctl(root, "cable plug").status, 0);
  EXPECT_EQ(read_file(state), "configured\n");
  EXPECT_EQ(device.dhhost("version").status, 0);

  // Reboot: the device goes away, the daemon starts again with its stored files, the port
  // comes back.
  EXPECT_EQ(device.dhhost("config 50 0 0 0 0 0").status, 0);
  auto starts_of_daemon = [&device] {
    const std::string log = device.log("daemon");
    size_t count = 0;
    for (size_t at = log.find("init_tty done!"); at != std::string::npos; at = log.find("init_tty done!", at + 1)) ++count;
    return count;
  };
  const size_t starts = starts_of_daemon();
  const ToolRun reboot = device.dhhost("reboot");
  EXPECT_EQ(reboot.status, 0) << reboot.out;
  EXPECT_THAT(reboot.out, HasSubstr("the device went away"));
  ASSERT_TRUE(wait_until([&] { return fs::exists(port); }, 30s)) << device.log("dhsim");
  EXPECT_GT(starts_of_daemon(), starts);
  EXPECT_EQ(device.dhhost("version").status, 0);
  EXPECT_EQ(read_file(device.device_root() + "/usr/data/app.cfg").substr(0, 1), "\x32");

  // Halt: off until the sim is told to power it on.
  const ToolRun halt = device.dhhost("halt");
  EXPECT_EQ(halt.status, 0) << halt.out;
  EXPECT_THAT(halt.out, HasSubstr("the device went away"));
  EXPECT_EQ(sim_ctl(root, "status").out, "cable=plugged power=off daemon=stopped\n");
  EXPECT_FALSE(fs::exists(port));
  EXPECT_EQ(sim_ctl(root, "power on").status, 0);
  EXPECT_EQ(device.dhhost("version").status, 0);

  EXPECT_EQ(sim_ctl(root, "cable sideways").status, 2);
}

namespace {

// dhsim serving a stand-in daemon, spawned with `args`, once its control socket `ctl` is up;
// -1 when it did not come up.
pid_t serve_stand_in(const std::string &ctl, const std::vector<std::string> &args) {
  std::vector<std::string> words = program_words(build_dir() + "/dhsim", args);
  std::vector<char *> argv = argv_of(words);
  pid_t sim = -1;
  if (posix_spawn(&sim, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
  return wait_until([&] { return fs::exists(ctl); }, 30s) ? sim : -1;
}

// Ends dhsim; whether it ended cleanly.
bool end_stand_in(pid_t sim) {
  kill(sim, SIGTERM);
  int status = 0;
  return waitpid(sim, &status, 0) == sim && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

// The gadget is the board's, not the daemon's: powered with its cable in, it is configured by
// the host as the board boots, so the daemon finds "configured" from its start, and its USB
// monitor's first poll attaches (until then a wireless record's brightness would override
// the host's). A stand-in daemon writes down the state it finds.
TEST(SimulatedCable, TheDaemonStartsWithTheGadgetConfigured) {
  char folder[] = "/tmp/dhsim-gadget-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string dir = folder, state = dir + "/state", seen = dir + "/seen", ctl = dir + "/sim.ctl";
  const pid_t sim = serve_stand_in(
      ctl, {"serve", "--device-end", dir + "/ttyGS0", "--host-end", dir + "/ttyACM0", "--udc-state", state, "--ctl",
            ctl, "--log", dir + "/daemon.log", "--power", "off", "--", "/bin/sh", "-c",
            "cat \"$0\" >>\"$1\"; echo 'init_tty done!'; exec sleep 600", state, seen});
  ASSERT_GT(sim, 0);
  auto order = [&](const std::string &what) { return run_tool("dhsim", "ctl " + ctl + " " + what); };

  EXPECT_EQ(order("power on").status, 0);
  EXPECT_EQ(read_file(seen), "configured\n");
  EXPECT_EQ(order("reboot").status, 0);
  EXPECT_TRUE(wait_until([&] { return read_file(seen).size() > 11 && fs::exists(dir + "/ttyACM0"); }, 30s));
  EXPECT_EQ(read_file(seen), "configured\nconfigured\n");
  // Powered off, or with the cable out, the gadget is not attached.
  EXPECT_EQ(order("power off").status, 0);
  EXPECT_EQ(read_file(state), "not attached\n");
  EXPECT_EQ(order("cable pull").status, 0);
  EXPECT_EQ(order("power on").status, 0);
  EXPECT_EQ(read_file(seen), "configured\nconfigured\nnot attached\n");
  EXPECT_EQ(order("cable plug").status, 0);
  EXPECT_EQ(read_file(state), "configured\n");

  EXPECT_TRUE(end_stand_in(sim));
  fs::remove_all(dir);
}

// The board's display drivers start afresh with every boot: whatever the daemon wrote to the
// backlight and the rotator before a power cycle or a reboot is gone when it starts again.
// A stand-in daemon writes down the attributes it finds, then writes its own values, as the
// daemon does.
TEST(SimulatedCable, EveryBootFindsTheDisplayAttributesAsTheirDriversLeaveThem) {
  char folder[] = "/tmp/dhsim-attributes-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string dir = folder, ctl = dir + "/sim.ctl", seen = dir + "/seen";
  const std::string rotator = dir + "/sys/rotator_angle", backlight = dir + "/sys/brightness";
  fs::create_directories(dir + "/sys");
  std::ofstream(backlight) << "35";  // a level from before the simulator started
  const pid_t sim = serve_stand_in(
      ctl, {"serve", "--device-end", dir + "/ttyGS0", "--host-end", dir + "/ttyACM0", "--udc-state", dir + "/state",
            "--ctl", ctl, "--log", dir + "/daemon.log", "--boot-attribute", rotator + "=0", "--boot-attribute",
            backlight + "=100", "--power", "off", "--", "/bin/sh", "-c",
            "echo \"$(cat \"$0\") $(cat \"$1\")\" >>\"$2\"; printf 270 >\"$0\"; printf 20 >\"$1\"; "
            "echo 'init_tty done!'; exec sleep 600",
            rotator, backlight, seen});
  ASSERT_GT(sim, 0);
  auto order = [&](const std::string &what) { return run_tool("dhsim", "ctl " + ctl + " " + what); };
  auto starts_seen = [&] {
    const std::string text = read_file(seen);
    return size_t(std::count(text.begin(), text.end(), '\n'));
  };

  EXPECT_EQ(order("power on").status, 0);
  EXPECT_EQ(read_file(seen), "0 100\n");
  EXPECT_EQ(read_file(rotator), "270");  // the stand-in's own values stand while it runs
  EXPECT_EQ(read_file(backlight), "20");
  EXPECT_EQ(order("reboot").status, 0);
  EXPECT_TRUE(wait_until([&] { return starts_seen() == 2 && fs::exists(dir + "/ttyACM0"); }, 30s)) << read_file(seen);
  EXPECT_EQ(order("power off").status, 0);
  EXPECT_EQ(order("power on").status, 0);
  EXPECT_EQ(order("halt").status, 0);
  EXPECT_EQ(order("power on").status, 0);
  EXPECT_EQ(read_file(seen), "0 100\n0 100\n0 100\n0 100\n");
  EXPECT_EQ(read_file(backlight), "20");
  for (const fs::directory_entry &entry : fs::directory_iterator(dir + "/sys")) {
    EXPECT_TRUE(entry.path() == rotator || entry.path() == backlight) << "left behind: " << entry.path();
  }

  EXPECT_TRUE(end_stand_in(sim));
  const ToolRun bad = run_tool("dhsim", "serve --boot-attribute " + backlight);
  EXPECT_EQ(bad.status, 2) << bad.out;
  EXPECT_THAT(bad.out, HasSubstr("--boot-attribute takes FILE=TEXT"));
  fs::remove_all(dir);
}

// The TCP bridge: one client, a second refused in words, dhhost refused while a client has the
// port, and dhhost served the moment the client has gone. Port 0: the bridge binds a free
// one itself (a number picked before could be taken by another program in between) and the
// sim says which.
TEST(SimulatedCable, TheTcpBridgeServesOneClient) {
  SKIP_WITHOUT_SIMULATED_DEVICE();
  SimulatedDevice device({"--tcp", "0"});
  const std::string ready = read_file(device.root() + "/log/ready");
  const size_t at = ready.find("\nTCP=");
  ASSERT_NE(at, std::string::npos) << ready;
  const int tcp = atoi(ready.c_str() + at + 5);
  ASSERT_GT(tcp, 0) << ready;
  EXPECT_THAT(device.log("dhsim"), HasSubstr("dhsim: TCP bridge on 127.0.0.1:" + std::to_string(tcp) + "\n"));

  for (int round = 0; round < 3; ++round) {
    const int first = connect_tcp(tcp);
    ReplyBytes reply{};
    ASSERT_EQ(host_transact(first, CMD_GET_VERSION, {}, {}, reply, 10000), ReplyCheck::ok);
    const int second = connect_tcp(tcp);
    EXPECT_THAT(read_to_end(second), HasSubstr("refused: the device's host port already serves the TCP client"));
    close(second);
    const ToolRun held = device.dhhost("version");
    EXPECT_EQ(held.status, 2) << held.out;
    EXPECT_THAT(held.out, HasSubstr("in use by dhsim"));
    // A command whose reply is still on its way when the client leaves: the reply must not
    // pass for the next program's.
    host_write_all(first, build_packet(CMD_GET_VERSION, {1, 2, 3, 4}, {}));
    close(first);
    const ToolRun after = device.dhhost("version");
    EXPECT_EQ(after.status, 0) << after.out;
  }
}

namespace {

std::string shell(const std::string &command) {
  std::string out;
  FILE *pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return out;
  char chunk[4096];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0) out.append(chunk, n);
  pclose(pipe);
  return out;
}

}  // namespace

// dhview beside the sim: a second one on its port is refused, its page carries the state it
// was served with, its state follows the backlight, and its cable control (a POST without a
// body) pulls dhsim's cable.
TEST(SimulatedCable, DhviewOnItsOwnPortAndItsCableControl) {
  SKIP_WITHOUT_SIMULATED_DEVICE();
  if (!fs::exists(build_dir() + "/dhview")) GTEST_SKIP() << "this build has no dhview (no cpp-httplib)";
  SimulatedDevice device({"--view", "0"});
  const std::string ready = read_file(device.root() + "/log/ready");
  const size_t at = ready.find("VIEW=http://127.0.0.1:");
  ASSERT_NE(at, std::string::npos) << ready;
  const std::string url = ready.substr(at + 5, ready.find('\n', at) - at - 5);
  const std::string port = url.substr(std::string("http://127.0.0.1:").size(), url.size() - 18);

  const ToolRun second = run_tool("dhview", "--root " + device.root() + " --port " + port);
  EXPECT_EQ(second.status, 2) << second.out;
  EXPECT_THAT(second.out, HasSubstr("port " + port + " on 127.0.0.1 is taken"));

  const std::string page = shell("curl -s " + url);
  EXPECT_THAT(page, HasSubstr("const initialState = {"));
  EXPECT_THAT(page, HasSubstr("\"usb\":\"configured\""));

  // The backlight the page shows: the host's level stands while the host is connected, a
  // wireless record's theme is taken but its brightness only once the host has gone. The
  // device sees the host at its USB monitor's first poll, which restores the start-up level.
  std::string state;
  const auto shows = [&](const std::string &text) {
    return wait_until([&] { return (state = shell("curl -s " + url + "state")).find(text) != std::string::npos; },
                      std::chrono::milliseconds(30000));
  };
  ASSERT_TRUE(device.wait_for_log("daemon", "set_brightness 60\n", 30s)) << device.log("daemon");
  ASSERT_EQ(device.dhhost("brightness 100").status, 0);
  ASSERT_EQ(device.control("mode 1").status, 0);
  ASSERT_EQ(device.control("wireless 3,50,0").status, 0);
  ASSERT_TRUE(shows("\"index\":3")) << state;
  EXPECT_THAT(shell("curl -s " + url + "state"), HasSubstr("\"backlight\":100,"));

  EXPECT_EQ(shell("curl -s -X POST -H 'X-Dhview: 1' '" + url + "control/cable?to=pulled'"), "{\"ok\":true}");
  EXPECT_EQ(sim_ctl(device.root(), "status").out, "cable=pulled power=on daemon=running\n");
  EXPECT_FALSE(fs::exists(device.host_path("ttyACM0")));
  EXPECT_TRUE(shows("\"backlight\":50,")) << state;
  EXPECT_EQ(shell("curl -s -X POST -H 'X-Dhview: 1' '" + url + "control/cable?to=plugged'"), "{\"ok\":true}");
  EXPECT_EQ(device.dhhost("version").status, 0);
}

// A full card (the sim's --card): the chunk that does not fit is the device's failure, and the
// spoilt upload is closed, so its temporary file does not keep the card full: the room is
// there again for the next file. Every failure prints its JSON object.
TEST(SimulatedCable, AFullCardHasItsRoomBackAfterAFailedUpload) {
  SKIP_WITHOUT_SIMULATED_DEVICE();
  SimulatedDevice device({"--card", "2"});
  const ToolRun before = device.dhhost("--json df");
  ASSERT_EQ(before.status, 0) << before.out;
  const nlohmann::json space = nlohmann::json::parse(before.out, nullptr, false);
  if (!space.is_object() || space.value("total_kib", 0u) != 2048u) {
    GTEST_SKIP() << "the machine allows no user namespace: the card has the host's size";
  }
  std::mt19937 random(5);
  std::vector<uint8_t> big(3 << 20), small(512 << 10);
  for (uint8_t &byte : big) byte = uint8_t(random());
  for (uint8_t &byte : small) byte = uint8_t(random());
  write_bytes(device.host_path("big.bin"), big);
  write_bytes(device.host_path("small.bin"), small);
  const std::string card = "/tmp/sdcard/mmcblk0p1";

  const ToolRun full = device.dhhost("--json put " + device.host_path("big.bin") + " " + card + "/big.bin");
  EXPECT_EQ(full.status, 1) << full.out;
  const std::string last_line = full.out.substr(full.out.rfind('{'));
  const nlohmann::json failure = nlohmann::json::parse(last_line, nullptr, false);
  ASSERT_TRUE(failure.is_object()) << full.out;
  EXPECT_EQ(failure.value("exit", 0), 1);
  EXPECT_THAT(failure.value("error", ""), HasSubstr("the device reports that it failed"));
  EXPECT_THAT(failure.value("error", ""), HasSubstr(card + "/big.bin is not replaced"));

  const ToolRun after = device.dhhost("--json df");
  const nlohmann::json left = nlohmann::json::parse(after.out, nullptr, false);
  ASSERT_TRUE(left.is_object()) << after.out;
  EXPECT_GT(left.value("avail_kib", 0u) + 64, space.value("avail_kib", 0u)) << before.out << after.out;
  for (const char *command : {"put-small", "put"}) {
    const ToolRun fits = device.dhhost(std::string(command) + " " + device.host_path("small.bin") + " " + card + "/small.bin");
    EXPECT_EQ(fits.status, 0) << command << ": " << fits.out;
  }
  EXPECT_EQ(device.dhhost("size " + card + "/big.bin").out, "0\n");
  EXPECT_EQ(device.dhhost("size " + card + "/small.bin").out, std::to_string(small.size()) + "\n");
}

// scripts/sim-ctl's usage, on a usage error: every line of it, the exit statuses too.
TEST(SimulatedCable, SimCtlUsageIsWhole) {
  const ToolRun usage = sim_ctl("/nonexistent", "cable sideways");
  EXPECT_EQ(usage.status, 2) << usage.out;
  EXPECT_THAT(usage.out, HasSubstr("Exit status 0 done, 1 the simulator\nfailed or is not running, 2 a usage error."));
}

// dhsim's --help, as the other tools give theirs: the usage alone, on standard output, status
// 0; a usage error says what is wrong on standard error and exits 2.
TEST(SimulatedCable, DhsimHelpIsItsUsageAlone) {
  const ToolRun help = run_tool("dhsim", "--help");
  EXPECT_EQ(help.status, 0) << help.out;
  EXPECT_EQ(help.out.rfind("usage: dhsim serve --device-end PATH", 0), 0u) << help.out;
  EXPECT_THAT(help.out, HasSubstr("dhsim ctl SOCKET cable pull|plug"));
  // Standard output alone (the pipe's reader takes only that): all of it.
  EXPECT_EQ(run_tool("dhsim", "--help 2>/dev/null | cat").out, help.out);
  EXPECT_EQ(run_tool("dhsim", "-h").out, help.out);

  const ToolRun none = run_tool("dhsim", "");
  EXPECT_EQ(none.status, 2) << none.out;
  EXPECT_EQ(none.out.rfind("dhsim: serve or ctl?\nusage: dhsim serve", 0), 0u) << none.out;
  EXPECT_EQ(run_tool("dhsim", "2>&1 >/dev/null | cat").out, none.out);  // standard error alone
}
