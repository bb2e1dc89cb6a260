// dhmcu: plays the cooling controller's side of the controller link, for developers and tests.
//
//   dhmcu -p PORT [options]                 frames out, the display head's messages printed
//   dhmcu -p PORT --serve SOCKET [options]  the same, and run-time changes from SOCKET
//   dhmcu --ctl SOCKET WORDS...             one change to a serving dhmcu
//
// It opens PORT raw at 460800 baud, sends controller frames (224 bytes, AA 55 TYPE ...) and
// prints every message the display head sends to the controller (framed as
// tools/dhmcu_listener.h tells). One-shot frames (--host-data, --wake, --picture, --knob,
// --bad-header, --slip) go out first, in command-line order; then the periodic status frame
// (--status, --wireless, or always when serving), until --count frames, --duration seconds or
// a signal. Every frame is paced at --rate. A serving dhmcu also takes the words of
// tools/dhmcu_control.h from its control socket and applies them to the frames that follow.
#include <fcntl.h>
#include <sys/stat.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "mcu/mcu.h"
#include "tools/dhmcu_control.h"
#include "tools/dhmcu_frames.h"
#include "tools/dhmcu_listener.h"
#include "tools/host_client.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto answers_wait = std::chrono::milliseconds(500);
constexpr auto write_stall = std::chrono::seconds(2);
constexpr auto client_limit = std::chrono::seconds(2);
constexpr size_t client_line_limit = 4096;
// The display head rests 50 ms after each frame it takes.
constexpr double frames_taken_per_second = 20;
constexpr auto one_shot_interval = std::chrono::milliseconds(50);

volatile sig_atomic_t stop_requested = 0;

void on_signal(int) { stop_requested = 1; }

void usage(FILE *out) {
  fprintf(out,
          "usage: dhmcu -p PORT [options]\n"
          "       dhmcu -p PORT --serve SOCKET [options]\n"
          "       dhmcu --ctl SOCKET WORDS...\n"
          "\n"
          "Plays the cooling controller on PORT (raw, 460800 baud, 8N1): sends controller frames\n"
          "and prints every message the display head sends to the controller.\n"
          "\n"
          "  -p, --port PORT              the serial port (or pty) of the link\n"
          "      --status MODE,TEMP,PUMP  periodic status frames: control mode (0 offline,\n"
          "                               1 wireless, 2 online), water temperature, pump speed\n"
          "      --wireless THEME,BRIGHT,ROT\n"
          "                               periodic status frames carrying a wireless display\n"
          "                               record (control mode 1 unless --status gives one)\n"
          "      --set OFFSET=HEX         these bytes, from OFFSET on, in every frame dhmcu\n"
          "                               composes (not in picture packages); e.g. 2=77 for a\n"
          "                               frame type of its own, 35=0102 for the host's record\n"
          "      --rate HZ                frames per second (default 10; above 20 the display\n"
          "                               head falls behind)\n"
          "      --count N                stop after N periodic frames\n"
          "      --duration S             stop after S seconds (default: with periodic frames or\n"
          "                               nothing to send, until a signal; else 0.5 s after the\n"
          "                               last frame)\n"
          "      --knob N                 N knob steps (status frames with byte 56 = 1)\n"
          "      --host-data HEX          a host-data frame; up to 17 bytes, e.g. 0102ff\n"
          "      --wake                   a wake frame\n"
          "      --picture FILE.jpg       a picture as packages of 220 bytes numbered 0.., then\n"
          "                               the end frame (255) with the size, big-endian\n"
          "      --packages N,N,...       for the next --picture: the packages to send, in this\n"
          "                               order (leave one out, repeat one)\n"
          "      --picture-size N         for the next --picture: the size its end frame\n"
          "                               announces (0..65535)\n"
          "      --bad-header             a frame whose header is not AA 55 (the display head\n"
          "                               reopens its port)\n"
          "      --slip                   one stray byte: the frames after it are off by one\n"
          "      --gap MS                 the next frame goes out in two halves MS apart (the\n"
          "                               display head gives up on a frame after 2 s)\n"
          "      --dump                   print every payload byte (default: the first 32)\n"
          "      --serve SOCKET           keep reporting and take changes from the Unix socket\n"
          "                               SOCKET (made here, removed at the end)\n"
          "      --ctl SOCKET WORDS...    send WORDS to the dhmcu serving SOCKET, print its\n"
          "                               answer; exit 0 on \"ok\" (or the state), 1 on an error\n"
          "  -h, --help                   this text\n"
          "\n"
          "Control words: mode N, temp N, pump N, wireless T,B,R|off, set OFFSET=HEX,\n"
          "unset OFFSET|all, knob [N], picture FILE [packages=LIST] [size=N], host-data HEX\n"
          "(lasts: its bytes also ride in bytes 35.. of later frames), wake, slip, gap [MS],\n"
          "rate HZ, state (a JSON object).\n"
          "\n"
          "Received messages print after the time of their first byte (seconds since dhmcu\n"
          "started) as 'A3 00 lighting data, N bytes M ms after the prefix: ..', 'A4 00\n"
          "pump/fan settings, ..', 'A6 00 firmware erase', 'A7 00 firmware data, ..' and 'data\n"
          "without prefix, N bytes: ..'.\n");
}

[[noreturn]] void bad_value(const char *option, const char *value, const std::string &why = "") {
  fprintf(stderr, "dhmcu: bad value for %s: '%s'%s%s\n", option, value, why.empty() ? "" : ": ", why.c_str());
  exit(2);
}

bool parse_number(const char *text, double low, double high, double &out) {
  char *end = nullptr;
  errno = 0;
  out = strtod(text, &end);
  return errno == 0 && end != text && *end == '\0' && std::isfinite(out) && out >= low && out <= high;
}

// "A,B,C" with each value within 0 and its limit.
bool parse_triple(const char *text, const int limits[3], int out[3]) {
  int consumed = 0;
  if (sscanf(text, "%d,%d,%d%n", &out[0], &out[1], &out[2], &consumed) != 3 || text[consumed] != '\0') {
    return false;
  }
  for (int i = 0; i < 3; ++i) {
    if (out[i] < 0 || out[i] > limits[i]) return false;
  }
  return true;
}

void warn_rate(double rate) {
  if (rate > frames_taken_per_second) {
    fprintf(stderr,
            "dhmcu: warning: %g frames a second is more than the display head takes (it rests 50 ms "
            "after each frame, about %g a second): frames queue up in the port and arrive late\n",
            rate, frames_taken_per_second);
  }
}

// Raw 8N1 at 460800, no flow control, non-blocking (the loop polls).
int open_port(const char *path) {
  // Only a terminal is a port: a regular file, a FIFO or a directory given by mistake is left
  // untouched (frames written into a file would overwrite it).
  struct stat info{};
  if (stat(path, &info) == 0 && !S_ISCHR(info.st_mode)) {
    fprintf(stderr, "dhmcu: %s is not a serial port or a pty; it was left untouched\n", path);
    return -1;
  }
  const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    fprintf(stderr, "dhmcu: cannot open %s: %s\n", path, strerror(errno));
    return -1;
  }
  if (!isatty(fd)) {
    fprintf(stderr, "dhmcu: %s is not a serial port or a pty; it was left untouched\n", path);
    close(fd);
    return -1;
  }
  // The port is one program's at a time, as dhhost and dhtrace take theirs: two controllers
  // on one port would interleave their frames and each take part of the other's messages.
  if (!lock_port(fd)) {
    const std::string holders = port_holders(path);
    fprintf(stderr, "dhmcu: %s is in use by %s; the port is one program's at a time\n", path,
            holders.empty() ? "another program" : holders.c_str());
    close(fd);
    return -1;
  }
  termios tio{};
  if (tcgetattr(fd, &tio) == 0) {
    cfmakeraw(&tio);
    cfsetispeed(&tio, B460800);
    cfsetospeed(&tio, B460800);
    tio.c_cflag &= ~(CRTSCTS | CSTOPB | PARENB);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
      fprintf(stderr, "dhmcu: cannot configure %s: %s\n", path, strerror(errno));
      close(fd);
      return -1;
    }
  }
  return fd;
}

void print_output(McuListener &listener) {
  const std::string out = listener.take_output();
  if (!out.empty()) fputs(out.c_str(), stdout);
}

// Reads what is there into the listener; false on a port error.
bool drain_input(int fd, McuListener &listener) {
  uint8_t chunk[4096];
  for (;;) {
    const ssize_t got = read(fd, chunk, sizeof chunk);
    if (got > 0) {
      listener.feed(chunk, size_t(got), Clock::now());
      continue;
    }
    if (got == 0 || errno == EAGAIN || errno == EINTR) return true;
    if (errno == EIO) return true;  // a pty whose far end is closed for a moment
    fprintf(stderr, "dhmcu: read: %s\n", strerror(errno));
    return false;
  }
}

// Listens for `wait`, or until input comes; false on a port error.
bool listen_for(int fd, McuListener &listener, std::chrono::milliseconds wait) {
  pollfd watch{fd, POLLIN, 0};
  const int ready = poll(&watch, 1, int(std::max<long>(long(wait.count()), 1)));
  if (ready > 0 && !drain_input(fd, listener)) return false;
  if (ready > 0 && (watch.revents & (POLLHUP | POLLERR)) && !(watch.revents & POLLIN)) {
    usleep(10000);  // a pty whose far end is closed: do not spin
  }
  listener.tick(Clock::now());
  print_output(listener);
  return true;
}

// Writes bytes whole, listening meanwhile; false when the port does not take them.
bool write_all(int fd, const uint8_t *bytes, size_t count, McuListener &listener) {
  size_t done = 0;
  const auto deadline = Clock::now() + write_stall;
  while (done < count) {
    if (stop_requested) return true;
    const ssize_t written = write(fd, bytes + done, count - done);
    if (written > 0) {
      done += size_t(written);
      continue;
    }
    if (written < 0 && errno != EAGAIN && errno != EINTR && errno != EIO) {
      fprintf(stderr, "dhmcu: write: %s\n", strerror(errno));
      return false;
    }
    if (Clock::now() >= deadline) {
      fprintf(stderr, "dhmcu: the port takes no data\n");
      return false;
    }
    pollfd watch{fd, POLLIN | POLLOUT, 0};
    poll(&watch, 1, 10);
    if (!drain_input(fd, listener)) return false;
    listener.tick(Clock::now());
    print_output(listener);
  }
  return true;
}

// One write to the link, in two parts with its pause where it asks for one.
bool send_outgoing(int fd, const Outgoing &out, McuListener &listener) {
  const size_t first = out.split > 0 && out.split < out.bytes.size() ? out.split : out.bytes.size();
  if (!write_all(fd, out.bytes.data(), first, listener)) return false;
  if (first == out.bytes.size()) return true;
  const auto resume = Clock::now() + out.pause;
  while (!stop_requested && Clock::now() < resume) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(resume - Clock::now());
    if (!listen_for(fd, listener, std::min(left + std::chrono::milliseconds(1), listener.next_tick(Clock::now())))) {
      return false;
    }
  }
  return write_all(fd, out.bytes.data() + first, out.bytes.size() - first, listener);
}

std::string stamp(Clock::time_point started) {
  char text[32];
  snprintf(text, sizeof text, "[%8.3f] ", std::chrono::duration<double>(Clock::now() - started).count());
  return text;
}

// The clients of the control socket: each sends one line and gets one back.
struct Client {
  int fd;
  std::string line;
  Clock::time_point deadline;
};

void answer(Client &client, const std::string &reply) {
  const std::string out = reply + "\n";
  // A few hundred bytes into a fresh Unix socket: they fit its buffer.
  if (send(client.fd, out.data(), out.size(), MSG_NOSIGNAL | MSG_DONTWAIT) != ssize_t(out.size())) {
    fprintf(stderr, "dhmcu: a control client took no answer\n");
  }
  close(client.fd);
  client.fd = -1;
}

void serve_clients(int listener_fd, std::vector<Client> &clients, ServingState &state, Clock::time_point started) {
  for (;;) {
    const int fd = accept4(listener_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) break;
    clients.push_back(Client{fd, "", Clock::now() + client_limit});
  }
  const double rate_before = state.rate;
  for (Client &client : clients) {
    char chunk[1024];
    ssize_t got;
    bool closed = false;
    while ((got = read(client.fd, chunk, sizeof chunk)) > 0) client.line.append(chunk, size_t(got));
    if (got == 0) closed = true;
    const size_t end = client.line.find('\n');
    if (end != std::string::npos || (closed && !client.line.empty())) {
      std::string line = client.line.substr(0, end);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      const std::string reply = run_control_words(line, state);
      if (line.rfind("state", 0) != 0) printf("%scontrol: %s: %s\n", stamp(started).c_str(), line.c_str(), reply.c_str());
      answer(client, reply);
    } else if (client.line.size() > client_line_limit) {
      answer(client, "error: a command line of more than 4096 bytes");
    } else if (closed) {
      close(client.fd);
      client.fd = -1;
    } else if (Clock::now() >= client.deadline) {
      answer(client, "error: no command within 2 s");
    }
  }
  std::erase_if(clients, [](const Client &client) { return client.fd < 0; });
  if (state.rate != rate_before) warn_rate(state.rate);
}

// dhmcu --ctl SOCKET WORDS...
int run_client(int argc, char **argv, int first) {
  if (first >= argc) {
    fprintf(stderr, "dhmcu: --ctl needs a socket and words, e.g. --ctl ROOT/host/mcu.ctl mode 1\n");
    return 2;
  }
  const std::string socket_path = argv[first];
  std::string line;
  for (int i = first + 1; i < argc; ++i) {
    std::string word = argv[i];
    // The server reads the picture: give it a path that does not depend on where we are.
    if (i > first + 1 && std::string(argv[i - 1]) == "picture") {
      std::error_code ignored;
      word = std::filesystem::absolute(word, ignored).string();
    }
    line += (line.empty() ? "" : " ") + word;
  }
  if (line.empty()) {
    fprintf(stderr, "dhmcu: --ctl %s needs words, e.g. mode 1\n", socket_path.c_str());
    return 2;
  }
  if (line.find('\n') != std::string::npos) {
    fprintf(stderr, "dhmcu: a control word holds a line end\n");
    return 2;
  }
  std::string reply, error;
  if (!control_request(socket_path, line, reply, error)) {
    fprintf(stderr, "dhmcu: %s\n", error.c_str());
    return 2;
  }
  if (reply.rfind("error", 0) == 0) {
    fprintf(stderr, "dhmcu: %s\n", reply.c_str());
    return 1;
  }
  printf("%s\n", reply.c_str());
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  setvbuf(stdout, nullptr, _IONBF, 0);

  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "-h" || option == "--help") {
      usage(stdout);
      return 0;
    }
    if (option == "--ctl") return run_client(argc, argv, i + 1);
  }

  const char *port = nullptr;
  const char *serve_path = nullptr;
  ServingState state;
  bool status_given = false, wireless_given = false;
  std::optional<long> count;
  std::optional<double> duration;
  bool dump = false;
  PictureOptions next_picture;

  auto need_value = [&](int &i) -> const char * {
    if (i + 1 >= argc) {
      fprintf(stderr, "dhmcu: %s needs a value\n", argv[i]);
      exit(2);
    }
    return argv[++i];
  };

  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "-p" || option == "--port") {
      port = need_value(i);
    } else if (option == "--serve") {
      serve_path = need_value(i);
    } else if (option == "--status") {
      const char *value = need_value(i);
      constexpr int limits[3] = {255, 255, 65535};  // the pump speed has 16 bits
      int fields[3];
      if (!parse_triple(value, limits, fields)) bad_value("--status", value);
      state.controller.mode = fields[0];
      state.controller.temp = fields[1];
      state.controller.pump = fields[2];
      status_given = true;
    } else if (option == "--wireless") {
      const char *value = need_value(i);
      constexpr int limits[3] = {255, 255, 255};
      int fields[3];
      if (!parse_triple(value, limits, fields)) bad_value("--wireless", value);
      state.controller.wireless = Wireless{fields[0], fields[1], fields[2]};
      wireless_given = true;
    } else if (option == "--set") {
      const char *value = need_value(i);
      size_t offset = 0;
      std::vector<uint8_t> bytes;
      std::string error;
      if (!parse_setting(value, offset, bytes, error)) bad_value("--set", value, error);
      for (size_t b = 0; b < bytes.size(); ++b) state.controller.overrides[offset + b] = bytes[b];
    } else if (option == "--rate") {
      const char *value = need_value(i);
      if (!parse_number(value, 0.01, 1000, state.rate)) bad_value("--rate", value);
    } else if (option == "--count") {
      const char *value = need_value(i);
      long number = 0;
      if (!parse_whole(value, 0, 1000000000L, number)) bad_value("--count", value);
      count = number;
    } else if (option == "--duration") {
      const char *value = need_value(i);
      double seconds;
      if (!parse_number(value, 0, 1e6, seconds)) bad_value("--duration", value);
      duration = seconds;
    } else if (option == "--knob") {
      const char *value = need_value(i);
      long steps = 0;
      if (!parse_whole(value, 0, 100000, steps)) bad_value("--knob", value);
      // The knob frames take the control mode given so far (offline by default).
      for (long step = 0; step < steps; ++step) queue_outgoing(state, Outgoing{status_frame(state.controller, true)});
    } else if (option == "--host-data") {
      const char *value = need_value(i);
      std::vector<uint8_t> bytes;
      if (!parse_hex(value, bytes) || bytes.size() > size_t(frame_at::host_data_len)) bad_value("--host-data", value);
      Frame frame = blank_frame(frame_host_data);
      std::copy(bytes.begin(), bytes.end(), frame.begin() + frame_at::host_data);
      queue_outgoing(state, Outgoing{std::move(frame)});
    } else if (option == "--wake") {
      queue_outgoing(state, Outgoing{blank_frame(frame_wake)});
    } else if (option == "--packages") {
      const char *value = need_value(i);
      std::vector<int> packages;
      if (!parse_packages(value, packages)) bad_value("--packages", value, "package numbers 0..254, e.g. 1,0,2");
      next_picture.packages = packages;
    } else if (option == "--picture-size") {
      const char *value = need_value(i);
      long size = 0;
      if (!parse_whole(value, 0, 65535, size)) bad_value("--picture-size", value, "0..65535");
      next_picture.size = size;
    } else if (option == "--picture") {
      const char *value = need_value(i);
      std::vector<Outgoing> frames;
      std::string error, note;
      if (!picture_frames(value, next_picture, frames, error, note)) {
        fprintf(stderr, "dhmcu: %s\n", error.c_str());
        return 2;
      }
      if (!note.empty()) fprintf(stderr, "dhmcu: note: %s\n", note.c_str());
      for (Outgoing &frame : frames) queue_outgoing(state, std::move(frame));
      next_picture = {};
    } else if (option == "--bad-header") {
      Frame frame = blank_frame(frame_status);
      frame[frame_at::header0] = 0x00;
      frame[frame_at::header1] = 0x00;
      queue_outgoing(state, Outgoing{std::move(frame), false});
    } else if (option == "--slip") {
      state.queue.push_back(Outgoing{Frame{0x00}, false});
    } else if (option == "--gap") {
      const char *value = need_value(i);
      long ms = 0;
      if (!parse_whole(value, 1, 60000, ms)) bad_value("--gap", value, "1..60000 ms");
      state.gap_next = std::chrono::milliseconds(ms);
    } else if (option == "--dump") {
      dump = true;
    } else {
      fprintf(stderr, "dhmcu: unknown option '%s'\n", option.c_str());
      usage(stderr);
      return 2;
    }
  }
  if (port == nullptr) {
    fprintf(stderr, "dhmcu: no port given (-p PORT)\n");
    usage(stderr);
    return 2;
  }
  if (next_picture.packages || next_picture.size) {
    fprintf(stderr, "dhmcu: --packages and --picture-size go before the --picture they shape\n");
    return 2;
  }
  if (wireless_given && !status_given) state.controller.mode = control_wireless;
  const bool periodic = status_given || wireless_given || serve_path != nullptr;
  warn_rate(state.rate);

  struct sigaction action{};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);  // no SA_RESTART: poll returns at once
  sigaction(SIGTERM, &action, nullptr);

  const int fd = open_port(port);
  if (fd < 0) return 2;
  int control_fd = -1;
  if (serve_path != nullptr) {
    std::string error;
    control_fd = control_listen(serve_path, error);
    if (control_fd < 0) {
      fprintf(stderr, "dhmcu: %s\n", error.c_str());
      close(fd);
      return 2;
    }
  }
  std::vector<Client> clients;

  const auto started = Clock::now();
  McuListener listener(dump, started);
  // With nothing to send, dhmcu only listens: until a signal or --duration.
  const bool listen_only = !periodic && state.queue.empty();
  std::optional<Clock::time_point> end;
  if (duration) {
    end = started + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(*duration));
  }

  long periodic_sent = 0;
  auto next_send = started;
  int status_code = 0;
  for (;;) {
    auto now = Clock::now();
    if (stop_requested || (end && now >= *end)) break;
    const auto interval = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / state.rate));

    const bool periodic_left = periodic && (!count || periodic_sent < *count);
    const bool sending = !state.queue.empty() || periodic_left;
    if (!sending && !end && !listen_only && serve_path == nullptr) {
      // Everything is out: listen a little longer for the answers, then stop.
      end = now + answers_wait;
    }

    if (sending && now >= next_send) {
      Outgoing out;
      const bool one_shot = !state.queue.empty();
      if (one_shot) {
        out = std::move(state.queue.front());
        state.queue.pop_front();
      } else {
        ++periodic_sent;
        queue_outgoing(state, Outgoing{status_frame(state.controller, false)});
        out = std::move(state.queue.back());
        state.queue.pop_back();
      }
      if (out.composed) apply_overrides(state.controller, out.bytes);
      if (!send_outgoing(fd, out, listener)) {
        status_code = 1;
        break;
      }
      // A stray byte goes out between frames; it does not take a frame's turn. A serving
      // dhmcu sends what it was asked for (knob steps, pictures) at least as fast as the
      // display head takes frames, whatever its reporting rate.
      if (out.bytes.size() == size_t(controller_frame_len)) {
        ++state.frames_sent;
        next_send += one_shot && serve_path != nullptr ? std::min<Clock::duration>(interval, one_shot_interval) : interval;
        if (next_send < now) next_send = now;  // fell behind (a stalled port): do not burst
      }
      continue;
    }

    auto wait = listener.next_tick(now);
    if (sending) wait = std::min(wait, std::chrono::duration_cast<std::chrono::milliseconds>(next_send - now) +
                                           std::chrono::milliseconds(1));
    if (end) wait = std::min(wait, std::chrono::duration_cast<std::chrono::milliseconds>(*end - now) +
                                       std::chrono::milliseconds(1));
    if (!clients.empty()) wait = std::min(wait, std::chrono::milliseconds(100));
    std::vector<pollfd> watch{{fd, POLLIN, 0}};
    if (control_fd >= 0) watch.push_back({control_fd, POLLIN, 0});
    for (const Client &client : clients) watch.push_back({client.fd, POLLIN, 0});
    const int ready = poll(watch.data(), watch.size(), int(std::max<long>(long(wait.count()), 1)));
    if (ready > 0 && (watch[0].revents & POLLIN) && !drain_input(fd, listener)) {
      status_code = 1;
      break;
    }
    if (ready > 0 && (watch[0].revents & (POLLHUP | POLLERR)) && !(watch[0].revents & POLLIN)) {
      usleep(10000);  // a pty whose far end is closed: do not spin
    }
    listener.tick(Clock::now());
    print_output(listener);
    state.messages_received = listener.messages();
    if (control_fd >= 0) serve_clients(control_fd, clients, state, started);
  }
  drain_input(fd, listener);
  listener.flush(Clock::now());
  print_output(listener);
  for (Client &client : clients) close(client.fd);
  if (control_fd >= 0) {
    close(control_fd);
    unlink(serve_path);
  }
  close(fd);
  return status_code;
}
