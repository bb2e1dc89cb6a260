#include "tests/system/daemon_harness.h"

#include "crypto/host_packet.h"
#include "platform/panel_view.h"
#include "tests/support/target.h"
#include "tests/system/media.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <pty.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <termios.h>
#include <utility>
#include <unistd.h>

extern char **environ;

std::string build_dir() {
  const char *dir = getenv("DH_BUILD_DIR");  // to run the tests against another build
  return dir != nullptr ? dir : DH_BUILD_DIR;
}

std::string make_temp_root() {
  char pattern[] = "/tmp/displayhead-test-XXXXXX";
  if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

std::string read_file(const std::string &path) {
  // A file under /proc of a process that ends meanwhile fails its read (ESRCH): what was read
  // is the answer, rather than an exception out of the stream's iterator.
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool screen_shows(const std::string &root, uint32_t colour, std::chrono::milliseconds within) {
  const auto deadline = std::chrono::steady_clock::now() + within;
  do {
    PanelPicture picture;
    std::string error;
    if (compose_panel(root, picture, error) && !picture.pixels.empty() &&
        near_colour(picture.at(picture.width / 2, picture.height / 2), colour, 24)) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  } while (std::chrono::steady_clock::now() < deadline);
  return false;
}

bool wait_for_pans(const std::string &root, size_t count, std::chrono::milliseconds within) {
  std::vector<uint64_t> times;
  std::string error;
  const uint64_t since = panel_pan_times_us(root, times, error) && !times.empty() ? times.back() : 0;
  const auto deadline = std::chrono::steady_clock::now() + within;
  for (;;) {
    if (panel_pan_times_us(root, times, error) &&
        size_t(std::count_if(times.begin(), times.end(), [&](uint64_t t) { return t > since; })) >= count) {
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::span<const uint8_t> bytes_of(const std::string &text) {
  return {reinterpret_cast<const uint8_t *>(text.data()), text.size()};
}

std::string name_and_length(const std::string &name, uint32_t second) {
  std::string payload = name_payload(name);
  write_be32(reinterpret_cast<uint8_t *>(payload.data()) + 4, second);
  return payload;
}

std::string chunk_payload(uint32_t block_length, uint32_t store_length, uint8_t last) {
  std::string payload(9, '\0');
  write_be32(reinterpret_cast<uint8_t *>(payload.data()), block_length);
  write_be32(reinterpret_cast<uint8_t *>(payload.data()) + 4, store_length);
  payload[8] = char(last);
  return payload;
}

bool reports_failure(const ReplyBytes &reply) {
  return memcmp(reply.data() + 6, "_failed", 8) == 0;
}

DaemonUnderTest::DaemonUnderTest(HostPort port) : root_(make_temp_root()) { start(port); }

DaemonUnderTest::DaemonUnderTest(HostPort port, const std::string &existing_root)
    : root_(existing_root), own_root_(false) {
  start(port);
}

DaemonUnderTest::DaemonUnderTest(HostPort port, const std::string &existing_root,
                                 std::vector<std::string> launcher)
    : root_(existing_root), own_root_(false), launcher_(std::move(launcher)) {
  start(port);
}

void DaemonUnderTest::start(HostPort port) {
  std::filesystem::create_directories(root_ + "/dev");
  std::filesystem::create_directories(root_ + "/usr/data");
  std::filesystem::remove(root_ + "/dev/ttyGS0");

  if (port == HostPort::pty) {
    // Raw from the start: nothing the host sends may be echoed before the daemon configures it.
    if (!open_raw_pty(master_, slave_)) throw std::runtime_error("openpty failed");
    std::filesystem::create_symlink(ptsname(master_), root_ + "/dev/ttyGS0");
  } else {
    std::filesystem::create_directories(root_ + "/host");
    std::filesystem::remove(host_port_path());
    std::string device_end = "pty,raw,echo=0,link=" + root_ + "/dev/ttyGS0";
    std::string host_end = "pty,raw,echo=0,link=" + host_port_path();
    char *socat_argv[] = {const_cast<char *>("socat"), device_end.data(), host_end.data(), nullptr};
    if (posix_spawnp(&socat_pid_, "socat", nullptr, nullptr, socat_argv, environ) != 0) {
      throw std::runtime_error("cannot start socat (apt-get install socat)");
    }
    for (int i = 0; i < 3000 && !(std::filesystem::exists(root_ + "/dev/ttyGS0") &&
                                 std::filesystem::exists(host_port_path()));
         ++i) {
      usleep(10000);
    }
    master_ = host_port_open(host_port_path());
    if (master_ < 0) throw std::runtime_error("socat made no cable");
  }

  if (controller_ < 0) connect_new_controller();

  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 2);

  std::vector<std::string> env_text;
  for (char **e = environ; *e != nullptr; ++e) {
    if (strncmp(*e, "DISPLAYHEAD_ROOT=", 17) != 0) env_text.emplace_back(*e);
  }
  env_text.push_back("DISPLAYHEAD_ROOT=" + root_);
  std::vector<char *> envp;
  for (std::string &e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);

  std::string program = build_dir() + "/displayhead";
  std::vector<std::string> command = launcher_;
  for (std::string &word : program_words(program)) command.push_back(word);
  std::vector<char *> argv;
  for (std::string &word : command) argv.push_back(word.data());
  argv.push_back(nullptr);
  int err = posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(pipe_fds[1]);
  if (err != 0) {
    close(pipe_fds[0]);
    throw std::runtime_error("cannot start " + command.front() + ": " + strerror(err));
  }
  reader_ = std::thread([this, fd = pipe_fds[0]] { collect_output(fd); });
  if (!wait_for("init_tty done!", 1, 60000)) {
    std::string out = output();
    stop();
    throw std::runtime_error("the daemon did not open its host port:\n" + out);
  }
}

void DaemonUnderTest::stop() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  if (reader_.joinable()) reader_.join();
  if (socat_pid_ > 0) {
    kill(socat_pid_, SIGTERM);
    waitpid(socat_pid_, nullptr, 0);
    socat_pid_ = -1;
  }
}

DaemonUnderTest::~DaemonUnderTest() {
  stop();
  if (master_ >= 0) close(master_);
  if (controller_ >= 0) close(controller_);
  if (controller_slave_ >= 0) close(controller_slave_);
  if (slave_ >= 0) close(slave_);
  std::error_code ignored;
  if (own_root_) {
    std::filesystem::remove_all(root_, ignored);
  } else {
    std::filesystem::remove(root_ + "/dev/ttyGS0", ignored);
    std::filesystem::remove(root_ + "/dev/ttyS5", ignored);
  }
}

void DaemonUnderTest::collect_output(int fd) {
  char chunk[4096];
  for (;;) {
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    std::lock_guard lock(mutex_);
    output_.append(chunk, size_t(n));
    changed_.notify_all();
  }
  close(fd);
}

std::string DaemonUnderTest::output() {
  std::lock_guard lock(mutex_);
  return output_;
}

namespace {
int occurrences(const std::string &text, const std::string &word) {
  int n = 0;
  for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + word.size())) ++n;
  return n;
}
}  // namespace

int DaemonUnderTest::count(const std::string &text) {
  std::lock_guard lock(mutex_);
  return occurrences(output_, text);
}

bool DaemonUnderTest::wait_for(const std::string &text, int times, int timeout_ms) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                           [&] { return occurrences(output_, text) >= times; });
}

ReplyCheck DaemonUnderTest::transact(uint8_t code, std::span<const uint8_t> payload,
                                     ReplyBytes &reply, std::span<const uint8_t> block,
                                     int timeout_ms) {
  return host_transact(master_, code, payload, block, reply, timeout_ms);
}

void DaemonUnderTest::send(std::span<const uint8_t> bytes) { host_write_all(master_, bytes); }

bool DaemonUnderTest::read_reply(ReplyBytes &reply, int timeout_ms) {
  return host_read_exact(master_, reply.data(), reply.size(), timeout_ms) == long(reply.size());
}

bool DaemonUnderTest::silent_for(int timeout_ms) {
  uint8_t byte;
  return host_read_exact(master_, &byte, 1, timeout_ms) == 0;
}

bool open_raw_pty(int &master, int &slave) {
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return false;
  fcntl(master, F_SETFD, FD_CLOEXEC);
  fcntl(slave, F_SETFD, FD_CLOEXEC);
  termios raw{};
  tcgetattr(slave, &raw);
  cfmakeraw(&raw);
  tcsetattr(slave, TCSANOW, &raw);
  return true;
}

bool DaemonUnderTest::running() {
  return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0;
}

void DaemonUnderTest::connect_new_controller() {
  // The controller port: a pty at DIR/dev/ttyS5, its far end held here.
  if (!open_raw_pty(controller_, controller_slave_)) throw std::runtime_error("openpty failed");
  std::filesystem::remove(root_ + "/dev/ttyS5");
  std::filesystem::create_symlink(ptsname(controller_), root_ + "/dev/ttyS5");
}

void DaemonUnderTest::hang_up_controller() {
  if (controller_ >= 0) close(controller_);
  if (controller_slave_ >= 0) close(controller_slave_);
  controller_ = controller_slave_ = -1;
  std::error_code ignored;
  std::filesystem::remove(root_ + "/dev/ttyS5", ignored);
}

void DaemonUnderTest::send_to_daemon_as_controller(std::span<const uint8_t> frame) {
  host_write_all(controller_, frame);
}

std::vector<uint8_t> DaemonUnderTest::read_from_daemon_as_controller(size_t at_most, int timeout_ms) {
  std::vector<uint8_t> bytes(at_most);
  long got = host_read_exact(controller_, bytes.data(), at_most, timeout_ms);
  bytes.resize(got > 0 ? size_t(got) : 0);
  return bytes;
}
