// dhsim: the simulated device's power and its USB cable to the host.
//
//   dhsim serve --device-end PATH --host-end PATH --udc-state FILE --ctl SOCKET --log FILE
//               [--boot-attribute FILE=TEXT]... [--tcp PORT [--bind ADDR]] [--power off]
//               -- DAEMON [ARGS...]
//   dhsim ctl SOCKET cable pull|plug | power off|on | reboot | halt | status
//
// serve owns both ends of the host's cable, as two ptys whose masters it joins: the device's
// end (PATH a link to its slave, the daemon's /dev/ttyGS0) stays for the life of the device;
// the host's end (a link to its slave, the PC's /dev/ttyACM0) exists only while the cable is
// plugged and the device is up, as a USB serial port does. Pulling the cable closes the host
// end's master, so a program that has the port open reads end-of-file and its writes fail,
// removes the link, so a new open fails, and sets the gadget state to "not attached";
// plugging makes a new host end and sets "configured".
//
// It also runs the daemon: powered on, the daemon starts (its output appended to the log),
// finding the gadget "configured" when the cable is in (the host configures the board's
// gadget as it boots, before the daemon runs), and the host end comes once the daemon has
// opened its port ("init_tty done!" in the log);
// powered off, the host end goes and the daemon is ended. The device's own reboot and halt
// (its image's commands, which call "dhsim ctl SOCKET reboot|halt") drop the host end before
// the daemon can answer: reboot ends the daemon and starts it again with its stored files,
// halt leaves the device off until "power on".
//
// --boot-attribute: a driver's attribute (a file under the device's /sys) and the text its
// driver gives it at boot. The board's drivers start afresh with each boot, so whatever the
// daemon wrote before (a backlight level, a rotator angle) is gone once the device is powered
// on again or rebooted: every start of the daemon finds the attribute at TEXT, replaced whole
// just before it runs.
//
// --tcp: the host end as a raw TCP socket, for one client at a time (--tcp 0: on a free port,
// which it says on standard error, "dhsim: TCP bridge on ADDR:PORT"). The bridge claims the
// host port as a host program does (so dhhost and a TCP client exclude each other), refuses a
// second client, or one while the port is held or the device is away, with a line of text
// saying why, and lets go of the port the moment its client leaves.
//
// ctl sends one command and prints the answer: "ok ..." (exit 0), "error ..." (exit 1). A
// command that waits for the device (power on, plug) is answered when it is done. status
// answers "cable=plugged|pulled power=on|off daemon=running|stopped".
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tools/host_client.h"

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int exit_usage = 2;
constexpr const char *daemon_ready_text = "init_tty done!";
constexpr auto boot_limit = std::chrono::seconds(30);

volatile sig_atomic_t stop_requested = 0;
void on_stop(int) { stop_requested = 1; }

struct Options {
  std::string device_end, host_end, udc_state, ctl, log, bind = "127.0.0.1";
  int tcp = -1;  // the TCP bridge's port; 0 a free one, -1 none
  bool power = true;
  std::vector<std::pair<std::string, std::string>> boot_attributes;  // file, its text at boot
  std::vector<std::string> daemon;
};

void say(const std::string &text) { fprintf(stderr, "dhsim: %s\n", text.c_str()); }

// A pty pair in raw mode: the master, and one descriptor of the slave of our own so that the
// master reads nothing (rather than EIO) while no program has the slave open.
struct Pty {
  int master = -1, slave = -1;
  std::string name;
};

bool make_pty(Pty &pty) {
  pty.master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (pty.master < 0 || grantpt(pty.master) != 0 || unlockpt(pty.master) != 0) return false;
  char name[128];
  if (ptsname_r(pty.master, name, sizeof name) != 0) return false;
  pty.name = name;
  pty.slave = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (pty.slave < 0) return false;
  termios tio{};
  tcgetattr(pty.slave, &tio);
  cfmakeraw(&tio);
  cfsetispeed(&tio, B115200);
  cfsetospeed(&tio, B115200);
  tcsetattr(pty.slave, TCSANOW, &tio);
  return true;
}

void close_pty(Pty &pty) {
  if (pty.master >= 0) close(pty.master);
  if (pty.slave >= 0) close(pty.slave);
  pty = Pty{};
}

// PATH becomes a link to `target`, replaced in one step.
bool link_to(const std::string &target, const std::string &path) {
  const std::string temporary = path + ".new";
  unlink(temporary.c_str());
  return symlink(target.c_str(), temporary.c_str()) == 0 && rename(temporary.c_str(), path.c_str()) == 0;
}

void write_text(const std::string &path, const std::string &text) {
  std::ofstream out(path, std::ios::trunc);
  out << text;
}

// Bytes waiting to go one way, written as the far side takes them.
struct Pipe {
  std::vector<uint8_t> pending;
  size_t at = 0;
  bool empty() const { return at >= pending.size(); }
  void clear() {
    pending.clear();
    at = 0;
  }
};

// Moves bytes from `from` into `pipe` (when it is empty) and from `pipe` to `to`. Returns
// false when `from` has ended (end-of-file or an error other than a pause).
bool pump(int from, short from_events, Pipe &pipe, int to, bool discard) {
  if (pipe.empty() && (from_events & (POLLIN | POLLHUP | POLLERR)) != 0) {
    uint8_t buffer[65536];
    const ssize_t n = read(from, buffer, sizeof buffer);
    if (n > 0 && !discard) {
      pipe.pending.assign(buffer, buffer + n);
      pipe.at = 0;
    } else if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR && errno != EIO)) {
      return false;
    }
  }
  if (!pipe.empty() && to >= 0) {
    const ssize_t n = write(to, pipe.pending.data() + pipe.at, pipe.pending.size() - pipe.at);
    if (n > 0) pipe.at += size_t(n);
    if (pipe.empty()) pipe.clear();
  }
  return true;
}

class Sim {
 public:
  explicit Sim(Options options) : opt_(std::move(options)) {}
  int run();

 private:
  void plug_host_end();
  void drop_host_end();
  void update_host_end();
  void set_gadget(const char *state);
  void reset_boot_attributes();
  bool start_daemon();
  void stop_daemon();
  void reap_daemon();
  void end_tcp_client(const char *why);
  void accept_tcp();
  void serve_ctl(int client);
  void answer(int client, const std::string &text);
  void answer_waiting(const std::string &text);
  std::string status() const;
  size_t log_size() const;
  bool daemon_ready() const;

  Options opt_;
  Pty device_, host_;
  Pipe to_device_, to_host_;
  bool cable_ = true, power_ = true, booted_ = false;
  pid_t daemon_ = -1;
  size_t log_from_ = 0;
  Clock::time_point boot_start_{};
  int ctl_ = -1, tcp_ = -1, tcp_client_ = -1, tcp_port_ = -1;
  std::string tcp_peer_;
  Pipe tcp_in_, tcp_out_;
  std::vector<int> waiting_;  // ctl clients answered when the device is up
};

void Sim::plug_host_end() {
  if (host_.master >= 0) return;
  if (!make_pty(host_) || !link_to(host_.name, opt_.host_end)) {
    say(std::string("cannot make the host's end of the cable: ") + strerror(errno));
    close_pty(host_);
    return;
  }
  to_device_.clear();
  to_host_.clear();
}

void Sim::drop_host_end() {
  if (host_.master < 0) return;
  unlink(opt_.host_end.c_str());
  end_tcp_client("the device went away");
  close_pty(host_);
  to_device_.clear();
  to_host_.clear();
}

// An attribute replaced whole (a new file renamed over it): like a sysfs attribute it never
// reads empty, for the daemon that polls it nor for the tools that watch it.
bool replace_attribute(const std::string &path, const std::string &text) {
  const std::string temporary = path + ".dhsim";
  write_text(temporary, text);
  if (rename(temporary.c_str(), path.c_str()) == 0) return true;
  const int why = errno;
  unlink(temporary.c_str());
  errno = why;
  return false;
}

void Sim::set_gadget(const char *state) {
  if (!replace_attribute(opt_.udc_state, state)) {
    say("cannot write the gadget state " + opt_.udc_state + ": " + strerror(errno));
  }
}

// The drivers' attributes as they are after a boot: the levels and angles the daemon wrote
// before the power went or the device rebooted do not survive it.
void Sim::reset_boot_attributes() {
  for (const auto &[path, text] : opt_.boot_attributes) {
    if (!replace_attribute(path, text)) say("cannot write " + path + ": " + strerror(errno));
  }
}

// The gadget is the board's: the host configures it while the board is powered with its
// cable in, from early in the boot, before the daemon runs. The host end is there exactly
// while the cable is plugged and the device is up.
void Sim::update_host_end() {
  set_gadget(cable_ && power_ ? "configured\n" : "not attached\n");
  if (cable_ && power_ && booted_) {
    plug_host_end();
  } else {
    drop_host_end();
  }
}

size_t Sim::log_size() const {
  struct stat info {};
  return stat(opt_.log.c_str(), &info) == 0 ? size_t(info.st_size) : 0;
}

bool Sim::daemon_ready() const {
  std::ifstream in(opt_.log, std::ios::binary);
  in.seekg(std::streamoff(log_from_));
  std::stringstream text;
  text << in.rdbuf();
  return text.str().find(daemon_ready_text) != std::string::npos;
}

bool Sim::start_daemon() {
  booted_ = false;
  update_host_end();  // the gadget as the daemon finds it from its start
  reset_boot_attributes();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, opt_.log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  posix_spawn_file_actions_addclose(&actions, STDIN_FILENO);
  std::vector<char *> argv;
  for (std::string &word : opt_.daemon) argv.push_back(word.data());
  argv.push_back(nullptr);
  log_from_ = log_size();
  const int err = posix_spawnp(&daemon_, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (err != 0) {
    daemon_ = -1;
    say(std::string("cannot start the daemon: ") + strerror(err));
    return false;
  }
  boot_start_ = Clock::now();
  return true;
}

// SIGTERM, then SIGKILL after 3 s; the device's power is off when it returns.
void Sim::stop_daemon() {
  booted_ = false;
  if (daemon_ < 0) return;
  kill(daemon_, SIGTERM);
  const auto limit = Clock::now() + std::chrono::seconds(3);
  int status = 0;
  while (waitpid(daemon_, &status, WNOHANG) == 0) {
    if (Clock::now() > limit) {
      kill(daemon_, SIGKILL);
      waitpid(daemon_, &status, 0);
      break;
    }
    usleep(10000);
  }
  daemon_ = -1;
}

void Sim::reap_daemon() {
  if (daemon_ < 0) return;
  int status = 0;
  if (waitpid(daemon_, &status, WNOHANG) != daemon_) return;
  daemon_ = -1;
  booted_ = false;
  char how[64];
  if (WIFEXITED(status)) {
    snprintf(how, sizeof how, "with status %d", WEXITSTATUS(status));
  } else {
    snprintf(how, sizeof how, "by signal %d", WTERMSIG(status));
  }
  say(std::string("the daemon ended ") + how + " (see its log, " + opt_.log +
      "); the device stays powered; 'power off' then 'power on' starts it again");
  answer_waiting("error the daemon ended before it opened its port");
}

void Sim::end_tcp_client(const char *why) {
  if (tcp_client_ < 0) return;
  say("TCP client " + tcp_peer_ + ": " + why + "; it is disconnected");
  close(tcp_client_);
  tcp_client_ = -1;
  if (tcp_port_ >= 0) close(tcp_port_);
  tcp_port_ = -1;
  tcp_in_.clear();
  tcp_out_.clear();
}

void Sim::accept_tcp() {
  sockaddr_in peer{};
  socklen_t size = sizeof peer;
  const int client = accept4(tcp_, reinterpret_cast<sockaddr *>(&peer), &size, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (client < 0) return;
  char address[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &peer.sin_addr, address, sizeof address);
  const std::string name = std::string(address) + ":" + std::to_string(ntohs(peer.sin_port));
  std::string refusal;
  int port = -1;
  if (tcp_client_ >= 0) {
    refusal = "the device's host port already serves the TCP client " + tcp_peer_ + "; one client at a time";
  } else if (host_.master < 0) {
    refusal = "the device is not connected (" + std::string(!power_ ? "powered off" : !cable_ ? "cable pulled" : "starting") + ")";
  } else {
    std::string error;
    if (host_port_claim(opt_.host_end, port, error) != PortClaim::ok) refusal = error;
  }
  if (!refusal.empty()) {
    const std::string line = "dhsim: refused: " + refusal + "\n";
    [[maybe_unused]] ssize_t n = write(client, line.data(), line.size());
    close(client);
    say("refused the TCP client " + name + ": " + refusal);
    return;
  }
  fcntl(port, F_SETFL, fcntl(port, F_GETFL) | O_NONBLOCK);
  tcp_client_ = client;
  tcp_port_ = port;
  tcp_peer_ = name;
  say("TCP client " + name + " connected");
}

std::string Sim::status() const {
  return std::string("cable=") + (cable_ ? "plugged" : "pulled") + " power=" + (power_ ? "on" : "off") +
         " daemon=" + (daemon_ >= 0 ? "running" : "stopped");
}

void Sim::answer(int client, const std::string &text) {
  const std::string line = text + "\n";
  [[maybe_unused]] ssize_t n = write(client, line.data(), line.size());
  close(client);
}

void Sim::answer_waiting(const std::string &text) {
  for (int client : waiting_) answer(client, text);
  waiting_.clear();
}

void Sim::serve_ctl(int client) {
  // One short line; the client sends it at once.
  std::string line;
  char c = 0;
  pollfd pfd{client, POLLIN, 0};
  while (line.size() < 128 && poll(&pfd, 1, 1000) > 0 && read(client, &c, 1) == 1 && c != '\n') line += c;
  if (line == "status") return answer(client, "ok " + status());
  if (line == "cable pull") {
    cable_ = false;
    update_host_end();
    return answer(client, "ok " + status());
  }
  if (line == "cable plug") {
    cable_ = true;
    update_host_end();
    return answer(client, "ok " + status());
  }
  if (line == "power off" || line == "halt") {
    // Halt: the host end goes before the daemon can answer, as the board's USB goes down.
    power_ = false;
    update_host_end();
    stop_daemon();
    return answer(client, "ok " + status());
  }
  if (line == "power on" || line == "reboot") {
    if (line == "reboot") {
      booted_ = false;
      update_host_end();
      set_gadget("not attached\n");  // the board's USB goes down with it
      stop_daemon();
      say("the device reboots");
    }
    power_ = true;
    if (daemon_ >= 0 && booted_) return answer(client, "ok " + status());
    if (daemon_ < 0 && !start_daemon()) return answer(client, "error the daemon cannot start");
    if (line == "reboot") return answer(client, "ok rebooting");
    waiting_.push_back(client);  // answered once the daemon has opened its port
    return;
  }
  answer(client, "error unknown command '" + line + "' (cable pull|plug, power off|on, reboot, halt, status)");
}

int Sim::run() {
  if (!make_pty(device_) || !link_to(device_.name, opt_.device_end)) {
    say(std::string("cannot make the device's end of the cable: ") + strerror(errno));
    return 1;
  }
  unlink(opt_.host_end.c_str());
  set_gadget("not attached\n");

  if (opt_.tcp >= 0) {
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(uint16_t(opt_.tcp));
    tcp_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const int one = 1;
    // SO_REUSEADDR only: a port in TIME_WAIT is taken again, one that another program
    // listens on is not.
    if (tcp_ >= 0) setsockopt(tcp_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (inet_pton(AF_INET, opt_.bind.c_str(), &where.sin_addr) != 1) {
      say("--bind takes an IPv4 address, not " + opt_.bind);
      return exit_usage;
    }
    if (tcp_ < 0 || bind(tcp_, reinterpret_cast<sockaddr *>(&where), sizeof where) != 0 || listen(tcp_, 4) != 0) {
      const int why = errno;
      say("cannot listen on " + opt_.bind + ":" + std::to_string(opt_.tcp) + ": " + strerror(why) +
          (why == EADDRINUSE ? " (another program listens there; give another --tcp PORT)" : ""));
      return 1;
    }
    // The port bound, said before the control socket exists: for --tcp 0 the kernel picked
    // a free one as it bound it, so no other program can take it in between.
    socklen_t size = sizeof where;
    if (getsockname(tcp_, reinterpret_cast<sockaddr *>(&where), &size) != 0) {
      say(std::string("cannot tell the TCP bridge's port: ") + strerror(errno));
      return 1;
    }
    say("TCP bridge on " + opt_.bind + ":" + std::to_string(ntohs(where.sin_port)));
  }
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (opt_.ctl.size() >= sizeof address.sun_path) {
    say("the control socket's path is too long: " + opt_.ctl);
    return exit_usage;
  }
  memcpy(address.sun_path, opt_.ctl.c_str(), opt_.ctl.size() + 1);
  unlink(opt_.ctl.c_str());
  ctl_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (ctl_ < 0 || bind(ctl_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || listen(ctl_, 8) != 0) {
    say("cannot make the control socket " + opt_.ctl + ": " + strerror(errno));
    return 1;
  }
  power_ = opt_.power;
  if (power_ && !start_daemon()) return 1;
  fprintf(stderr, "dhsim: serving %s\n", opt_.ctl.c_str());

  while (!stop_requested) {
    reap_daemon();
    if (daemon_ >= 0 && !booted_) {
      if (daemon_ready()) {
        booted_ = true;
        update_host_end();
        answer_waiting("ok " + status());
      } else if (Clock::now() - boot_start_ > boot_limit) {
        say("the daemon has not opened its port (see " + opt_.log + ")");
        answer_waiting("error the daemon has not opened its port");
        boot_start_ = Clock::now();
      }
    }
    std::vector<pollfd> fds;
    auto add = [&fds](int fd, short events) {
      fds.push_back({fd, events, 0});
      return fds.size() - 1;
    };
    const size_t ctl_at = add(ctl_, POLLIN);
    auto events = [](const Pipe &in, const Pipe &out) {
      return short((in.empty() ? POLLIN : 0) | (out.empty() ? 0 : POLLOUT));
    };
    const size_t device_at = add(device_.master, events(to_host_, to_device_));
    const size_t host_at = add(host_.master, events(to_device_, to_host_));
    const size_t tcp_at = add(tcp_, POLLIN);
    const size_t client_at = add(tcp_client_, events(tcp_in_, tcp_out_));
    const size_t port_at = add(tcp_port_, events(tcp_out_, tcp_in_));
    const int ready = poll(fds.data(), fds.size(), booted_ || daemon_ < 0 ? 500 : 50);
    if (ready < 0) {
      if (errno == EINTR) continue;
      say(std::string("poll failed: ") + strerror(errno));
      return 1;
    }
    if (fds[ctl_at].revents & POLLIN) {
      const int client = accept4(ctl_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client >= 0) serve_ctl(client);
      continue;  // the descriptors may have changed
    }
    if (tcp_ >= 0 && (fds[tcp_at].revents & POLLIN)) {
      accept_tcp();
      continue;
    }
    // The cable: device to host (dropped while the host end is away) and host to device.
    pump(device_.master, fds[device_at].revents, to_host_, host_.master, host_.master < 0);
    if (host_.master >= 0) pump(host_.master, fds[host_at].revents, to_device_, device_.master, false);
    if (!to_device_.empty()) pump(-1, 0, to_device_, device_.master, false);
    if (!to_host_.empty()) pump(-1, 0, to_host_, host_.master, false);
    // The TCP client and its claim of the host port.
    if (tcp_client_ >= 0) {
      if (!pump(tcp_client_, fds[client_at].revents, tcp_in_, tcp_port_, false)) {
        end_tcp_client("left");
      } else if (!pump(tcp_port_, fds[port_at].revents, tcp_out_, tcp_client_, false)) {
        end_tcp_client("the device went away");
      }
    }
    // A pty whose far end is closed reports at once: do not spin on it.
    bool moved = false;
    for (const pollfd &pfd : fds) moved = moved || (pfd.revents & (POLLIN | POLLOUT)) != 0;
    if (ready > 0 && !moved) usleep(10000);
  }
  answer_waiting("error the simulator stops");
  drop_host_end();
  stop_daemon();
  unlink(opt_.ctl.c_str());
  unlink(opt_.device_end.c_str());
  return 0;
}

constexpr const char *usage_text =
    "usage: dhsim serve --device-end PATH --host-end PATH --udc-state FILE --ctl SOCKET --log FILE\n"
    "                   [--boot-attribute FILE=TEXT]... [--tcp PORT [--bind ADDR]] [--power off]\n"
    "                   -- DAEMON [ARGS...]\n"
    "       dhsim ctl SOCKET cable pull|plug | power off|on | reboot | halt | status\n";

// A usage error: what is wrong, then the usage, on standard error.
int usage(const char *why) {
  fprintf(stderr, "dhsim: %s\n%s", why, usage_text);
  return exit_usage;
}

int run_ctl(const std::string &socket_path, const std::string &command) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socket_path.size() >= sizeof address.sun_path) return usage("the socket's path is too long");
  memcpy(address.sun_path, socket_path.c_str(), socket_path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
    fprintf(stderr, "dhsim: no simulator serves %s: %s\n", socket_path.c_str(), strerror(errno));
    return 1;
  }
  const std::string line = command + "\n";
  if (write(fd, line.data(), line.size()) != ssize_t(line.size())) {
    fprintf(stderr, "dhsim: cannot send to %s: %s\n", socket_path.c_str(), strerror(errno));
    return 1;
  }
  std::string answer;
  char buffer[256];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) answer.append(buffer, size_t(n));
  close(fd);
  while (!answer.empty() && answer.back() == '\n') answer.pop_back();
  if (answer.rfind("ok", 0) == 0) {
    printf("%s\n", answer.size() > 3 ? answer.substr(3).c_str() : "");
    return 0;
  }
  fprintf(stderr, "dhsim: %s\n", answer.empty() ? "the simulator ended without an answer" : answer.c_str());
  return 1;
}

}  // namespace

int main(int argc, char **argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (!args.empty() && (args[0] == "-h" || args[0] == "--help")) {
    fputs(usage_text, stdout);
    return 0;
  }
  if (args.empty()) return usage("serve or ctl?");
  if (args[0] == "ctl") {
    if (args.size() < 3) return usage("ctl takes a socket and a command");
    std::string command;
    for (size_t i = 2; i < args.size(); ++i) command += (i > 2 ? " " : "") + args[i];
    return run_ctl(args[1], command);
  }
  if (args[0] != "serve") return usage(("unknown mode " + args[0]).c_str());
  Options opt;
  size_t i = 1;
  for (; i < args.size() && args[i] != "--"; ++i) {
    const std::string &word = args[i];
    if (i + 1 >= args.size()) return usage((word + " needs a value").c_str());
    const std::string &value = args[++i];
    if (word == "--device-end") opt.device_end = value;
    else if (word == "--host-end") opt.host_end = value;
    else if (word == "--udc-state") opt.udc_state = value;
    else if (word == "--ctl") opt.ctl = value;
    else if (word == "--log") opt.log = value;
    else if (word == "--bind") opt.bind = value;
    else if (word == "--power" && (value == "on" || value == "off")) opt.power = value == "on";
    else if (word == "--boot-attribute") {
      // A path may hold '=', the text (a number) not: the last '=' parts them.
      const size_t equals = value.rfind('=');
      if (equals == std::string::npos || equals == 0) return usage("--boot-attribute takes FILE=TEXT");
      opt.boot_attributes.emplace_back(value.substr(0, equals), value.substr(equals + 1));
    }
    else if (word == "--tcp") {
      char *end = nullptr;
      const long port = strtol(value.c_str(), &end, 10);
      if (value.empty() || *end != '\0' || port < 0 || port > 65535) {
        return usage("--tcp takes a port, 1..65535, or 0 for a free one");
      }
      opt.tcp = int(port);
    } else {
      return usage(("unknown option " + word).c_str());
    }
  }
  for (++i; i < args.size(); ++i) opt.daemon.push_back(args[i]);
  if (opt.device_end.empty() || opt.host_end.empty() || opt.udc_state.empty() || opt.ctl.empty() ||
      opt.log.empty() || opt.daemon.empty()) {
    return usage("serve needs --device-end, --host-end, --udc-state, --ctl, --log and the daemon's command");
  }
  struct sigaction action {};
  action.sa_handler = on_stop;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
  Sim sim(std::move(opt));
  return sim.run();
}
