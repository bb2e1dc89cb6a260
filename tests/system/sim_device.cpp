#include "tests/system/sim_device.h"

#include <gtest/gtest.h>

#include <array>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "tests/system/daemon_harness.h"
#include "tests/system/media.h"

extern char **environ;

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr auto start_limit = 60s;  // the daemon under a sanitizer starts slowly
constexpr auto stop_limit = 15s;

// Whether `text` holds `word` followed by the end or one of `ends`.
bool holds_path(const std::string &text, const std::string &word, const std::string &ends) {
  for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) {
    size_t after = at + word.size();
    if (after == text.size() || ends.find(text[after]) != std::string::npos) return true;
  }
  return false;
}

// The processes that belong to the device under `root`: its path in their arguments (socat,
// dhmcu) or as their DISPLAYHEAD_ROOT (the daemon, dhgui).
std::vector<std::string> processes_of(const std::string &root) {
  std::vector<std::string> found;
  std::error_code error;
  for (const fs::directory_entry &entry : fs::directory_iterator("/proc", error)) {
    const std::string pid = entry.path().filename();
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string cmdline = read_file(entry.path() / "cmdline");
    const std::string env = read_file(entry.path() / "environ");
    if (holds_path(cmdline, root, std::string("/\0", 2)) ||
        holds_path(env, "DISPLAYHEAD_ROOT=" + root, std::string("/\0", 2))) {
      std::string shown = cmdline;
      for (char &c : shown) c = c == '\0' ? ' ' : c;
      found.push_back(pid + ": " + shown);
    }
  }
  return found;
}

}  // namespace

ToolRun run_tool(const std::string &program, const std::string &arguments) {
  ToolRun run;
  const std::string command = program_command(build_dir() + "/" + program) + " " + arguments + " 2>&1";
  FILE *pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  std::array<char, 4096> chunk;
  size_t n;
  while ((n = fread(chunk.data(), 1, chunk.size(), pipe)) > 0) run.out.append(chunk.data(), n);
  const int status = pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

SimulatedDevice::SimulatedDevice(const std::vector<std::string> &options)
    : root_(make_temp_root()), output_path_(root_ + ".out") {
  std::vector<std::string> words = {"/bin/bash", std::string(DH_SOURCE_DIR) + "/scripts/sim",
                                    "--root", root_, "--quiet", "--no-build"};
  words.insert(words.end(), options.begin(), options.end());
  std::vector<char *> argv;
  for (std::string &word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  std::vector<std::string> env_text = {"DH_BUILD_DIR=" + build_dir()};
  for (char **e = environ; *e != nullptr; ++e) {
    if (strncmp(*e, "DH_BUILD_DIR=", 13) != 0 && strncmp(*e, "DISPLAYHEAD_ROOT=", 17) != 0) {
      env_text.emplace_back(*e);
    }
  }
  std::vector<char *> envp;
  for (std::string &e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);

  // As a terminal starts it: its own process group, SIGINT and SIGTERM at their defaults.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults, none;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGTERM);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, output_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  const int err = posix_spawn(&pid_, argv[0], &actions, &attributes, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (err != 0) {
    pid_ = -1;
    fs::remove_all(root_);
    throw std::runtime_error(std::string("cannot start scripts/sim: ") + strerror(err));
  }

  const auto deadline = std::chrono::steady_clock::now() + start_limit;
  while (!fs::exists(root_ + "/log/ready")) {  // written, whole, once everything is up
    const bool ended = waitpid(pid_, nullptr, WNOHANG) == pid_;
    if (ended || std::chrono::steady_clock::now() > deadline) {
      const std::string out = read_file(output_path_) + read_file(root_ + "/log/daemon.log");
      if (ended) pid_ = -1;
      interrupt();
      std::error_code ignored;
      fs::remove(output_path_, ignored);
      fs::remove_all(root_, ignored);
      throw std::runtime_error("scripts/sim did not come up:\n" + out);
    }
    std::this_thread::sleep_for(50ms);
  }
}

SimulatedDevice::~SimulatedDevice() {
  interrupt();
  std::error_code ignored;
  fs::remove(output_path_, ignored);
  fs::remove_all(root_, ignored);
}

void SimulatedDevice::interrupt() {
  if (pid_ <= 0) {
    for (const std::string &process : processes_of(root_)) kill(std::stoi(process), SIGKILL);
    return;
  }
  // To the sim alone: a Ctrl-C on its terminal reaches every process of the group anyway, so
  // the sim's own clean-up is what must be proven.
  kill(pid_, SIGINT);
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + stop_limit;
  pid_t ended = 0;
  while ((ended = waitpid(pid_, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
  }
  if (ended != pid_) {
    ADD_FAILURE() << "scripts/sim did not end on SIGINT:\n" << read_file(output_path_);
    kill(-pid_, SIGKILL);
    waitpid(pid_, &status, 0);
  }
  pid_ = -1;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << std::hex << status;
  EXPECT_FALSE(fs::exists(root_)) << "the root stays after SIGINT";
  std::vector<std::string> left = processes_of(root_);
  for (const std::string &process : left) {
    ADD_FAILURE() << "left running after SIGINT: " << process;
    kill(std::stoi(process), SIGKILL);
  }
}

ToolRun SimulatedDevice::dhhost(const std::string &arguments) const {
  return run_tool("dhhost", "-p " + host_path("ttyACM0") + " " + arguments);
}

ToolRun SimulatedDevice::control(const std::string &words) const {
  return run_tool("dhmcu", "--ctl " + host_path("mcu.ctl") + " " + words);
}

std::string SimulatedDevice::log(const std::string &name) const {
  return read_file(root_ + "/log/" + name + ".log");
}

bool SimulatedDevice::wait_for_log(const std::string &name, const std::string &text,
                                   std::chrono::milliseconds within) const {
  const auto deadline = std::chrono::steady_clock::now() + within;
  while (log(name).find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(50ms);
  }
  return true;
}

PanelPicture SimulatedDevice::screen() const {
  PanelPicture picture;
  std::string error;
  EXPECT_TRUE(compose_panel(device_root(), picture, error)) << error;
  return picture;
}

bool SimulatedDevice::wait_for_pixel(int x, int y, uint32_t rgb, std::chrono::milliseconds within) const {
  const auto deadline = std::chrono::steady_clock::now() + within;
  for (;;) {
    PanelPicture picture;
    std::string error;
    if (compose_panel(device_root(), picture, error) && x < picture.width && y < picture.height &&
        near_colour(picture.at(x, y), rgb, 24)) {
      return true;
    }
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(30ms);
  }
}

uint32_t theme_colour(int theme) {
  // As scripts/make-media made them.
  static constexpr uint32_t colours[13] = {0x1F4E9C, 0x2A9D8F, 0xE9C46A, 0xF4A261, 0xE76F51,
                                           0x8338EC, 0x3A86FF, 0xFF006E, 0x06D6A0, 0x118AB2,
                                           0x073B4C, 0xEF476F, 0x6A994E};
  return colours[theme];
}

// The middle of the last grid column: the boxes never pass there below row 120.
int theme_x(int theme) { return int(480 - 480.0 / (theme + 1) / 2); }
