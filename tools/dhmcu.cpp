// dhmcu: plays the cooling controller's side of the controller link, for developers and tests.
//
//   dhmcu -p PORT [options]
//
// It opens PORT raw at 460800 baud, sends controller frames (224 bytes, AA 55 TYPE ...) and
// prints every message the display head sends to the controller. One-shot frames (--host-data,
// --wake, --picture, --knob, --bad-header) go out first, in command-line order; then the
// periodic status frame (--status, --wireless), if any, until --count frames, --duration
// seconds or a signal. Every frame is paced at --rate.
//
// Messages from the display head have no length and no end marker: a two-byte prefix
// { A3 | A4 | A6 | A7, 00 } in one write, a pause of 50-100 ms, then the payload in one write
// (A6 has none), and firmware data after the first block goes out with no prefix at all. So the
// listener frames them by silence:
// - bytes are grouped into bursts; a burst ends after 20 ms without a byte;
// - a burst that is exactly a prefix opens a message; the next burst, if it begins within
//   1 s, is its payload; A6 00 is reported at once (no payload);
// - a burst that starts with a prefix and goes on is a prefix and its payload sent without a
//   pause;
// - the pump/fan payload is always 14 bytes: what follows it in the same burst is framed anew;
// - any other burst is data without a prefix (a later firmware block).
// A payload that happens to begin with a prefix and is sent on its own would be taken for a
// message of its own; the display head never leaves less than 20 ms between prefix and
// payload, so a prefix is never merged into the burst before it.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "mcu/mcu.h"

namespace {

using Clock = std::chrono::steady_clock;
using Frame = std::vector<uint8_t>;

constexpr auto burst_gap = std::chrono::milliseconds(20);
constexpr auto payload_wait = std::chrono::milliseconds(1000);
constexpr auto linger = std::chrono::milliseconds(500);
constexpr auto write_stall = std::chrono::seconds(2);
constexpr size_t bytes_shown = 32;
constexpr size_t pump_fan_len = 14;
constexpr int max_picture_packages = picture_end_package;  // numbered 0..254

volatile sig_atomic_t stop_requested = 0;

void on_signal(int) { stop_requested = 1; }

void usage(FILE *out) {
  fprintf(out,
          "usage: dhmcu -p PORT [options]\n"
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
          "      --rate HZ                frames per second (default 10)\n"
          "      --count N                stop after N periodic frames\n"
          "      --duration S             stop after S seconds (default: with periodic frames or\n"
          "                               nothing to send, until a signal; else 0.5 s after the\n"
          "                               last frame)\n"
          "      --knob N                 N knob steps (status frames with byte 56 = 1)\n"
          "      --host-data HEX          a host-data frame; up to 17 bytes, e.g. 0102ff\n"
          "      --wake                   a wake frame\n"
          "      --picture FILE.jpg       a picture as packages of 220 bytes numbered 0.., then\n"
          "                               the end frame (255) with the size, big-endian\n"
          "      --bad-header             a frame whose header is not AA 55 (the display head\n"
          "                               reopens its port)\n"
          "      --dump                   print every payload byte (default: the first 32)\n"
          "  -h, --help                   this text\n"
          "\n"
          "Received messages print as 'A3 00 lighting data, N bytes: ..', 'A4 00 pump/fan\n"
          "settings, ..', 'A6 00 firmware erase', 'A7 00 firmware data, ..' and 'data without\n"
          "prefix, N bytes: ..'.\n");
}

Frame blank_frame(uint8_t type) {
  Frame frame(controller_frame_len, 0);
  frame[frame_at::header0] = 0xAA;
  frame[frame_at::header1] = 0x55;
  frame[frame_at::type] = type;
  return frame;
}

struct Status {
  int mode = 0, temp = 0, pump = 0;
};
struct Wireless {
  int theme = 0, brightness = 0, rotation = 0;
};

Frame status_frame(const Status &status, const std::optional<Wireless> &wireless, bool knob) {
  Frame frame = blank_frame(frame_status);
  frame[frame_at::mode] = static_cast<uint8_t>(status.mode);
  frame[frame_at::water_temp] = static_cast<uint8_t>(status.temp);
  frame[frame_at::pump_high] = static_cast<uint8_t>(status.pump >> 8);
  frame[frame_at::pump_low] = static_cast<uint8_t>(status.pump);
  if (wireless) {
    frame[frame_at::theme] = static_cast<uint8_t>(wireless->theme);
    frame[frame_at::brightness] = static_cast<uint8_t>(wireless->brightness);
    frame[frame_at::rotation] = static_cast<uint8_t>(wireless->rotation);
  }
  if (knob) frame[frame_at::knob_step] = 1;
  return frame;
}

// "A,B,C" with each value within 0 and its limit.
bool parse_triple(const char *text, const int limits[3], int out[3]) {
  int consumed = 0;
  if (sscanf(text, "%d,%d,%d%n", &out[0], &out[1], &out[2], &consumed) != 3 ||
      text[consumed] != '\0') {
    return false;
  }
  for (int i = 0; i < 3; ++i) {
    if (out[i] < 0 || out[i] > limits[i]) return false;
  }
  return true;
}

bool parse_hex(const char *text, std::vector<uint8_t> &out) {
  const size_t length = strlen(text);
  if (length % 2 != 0) return false;
  for (size_t i = 0; i < length; i += 2) {
    char pair[3] = {text[i], text[i + 1], '\0'};
    if (!isxdigit(static_cast<unsigned char>(pair[0])) ||
        !isxdigit(static_cast<unsigned char>(pair[1]))) {
      return false;
    }
    out.push_back(static_cast<uint8_t>(strtoul(pair, nullptr, 16)));
  }
  return true;
}

bool parse_number(const char *text, double low, double high, double &out) {
  char *end = nullptr;
  errno = 0;
  out = strtod(text, &end);
  return errno == 0 && end != text && *end == '\0' && std::isfinite(out) && out >= low &&
         out <= high;
}

// The picture as frames; false (after a message) when it cannot be sent.
bool picture_frames(const char *path, std::vector<Frame> &frames) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    fprintf(stderr, "dhmcu: cannot read %s\n", path);
    return false;
  }
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t limit = size_t(max_picture_packages) * picture_package_len;
  if (bytes.size() > limit) {
    fprintf(stderr, "dhmcu: %s has %zu bytes; packages 0..254 carry at most %zu\n", path,
            bytes.size(), limit);
    return false;
  }
  if (bytes.size() > size_t(picture_buffer_len)) {
    fprintf(stderr, "dhmcu: note: %zu bytes is more than the display head keeps (%d)\n",
            bytes.size(), picture_buffer_len);
  }
  for (size_t offset = 0, number = 0; offset < bytes.size();
       offset += picture_package_len, ++number) {
    Frame frame = blank_frame(frame_picture);
    frame[frame_at::package] = static_cast<uint8_t>(number);
    const size_t count = std::min<size_t>(picture_package_len, bytes.size() - offset);
    std::copy_n(bytes.begin() + long(offset), count, frame.begin() + frame_at::picture_data);
    frames.push_back(std::move(frame));
  }
  Frame end = blank_frame(frame_picture);
  end[frame_at::package] = picture_end_package;
  end[frame_at::picture_data] = static_cast<uint8_t>(bytes.size() >> 8);
  end[frame_at::picture_data + 1] = static_cast<uint8_t>(bytes.size());
  frames.push_back(std::move(end));
  return true;
}

// Raw 8N1 at 460800, no flow control, non-blocking (the loop polls).
int open_port(const char *path) {
  const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    fprintf(stderr, "dhmcu: cannot open %s: %s\n", path, strerror(errno));
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

std::string hex_bytes(const uint8_t *bytes, size_t count, size_t shown) {
  std::string text;
  char one[4];
  for (size_t i = 0; i < std::min(count, shown); ++i) {
    snprintf(one, sizeof one, i == 0 ? "%02x" : " %02x", bytes[i]);
    text += one;
  }
  if (count > shown) text += " ...";
  return text;
}

// Frames the display head's messages by silence (see the top of this file).
class Listener {
 public:
  explicit Listener(bool dump) : shown_(dump ? SIZE_MAX : bytes_shown) {}

  void feed(const uint8_t *bytes, size_t count, Clock::time_point now) {
    burst_.insert(burst_.end(), bytes, bytes + count);
    last_byte_ = now;
  }

  // Ends a burst after its silence and a prefix that waited in vain for its payload.
  void tick(Clock::time_point now) {
    if (!burst_.empty() && now - last_byte_ >= burst_gap) {
      std::vector<uint8_t> burst;
      burst.swap(burst_);
      end_burst(burst, now);
    }
    if (pending_ && now - pending_since_ >= payload_wait) {
      report(*pending_, nullptr, 0);
      pending_.reset();
    }
  }

  // How long the loop may sleep before tick() has something to do.
  std::chrono::milliseconds next_tick(Clock::time_point now) const {
    auto wait = std::chrono::milliseconds(1000);
    if (!burst_.empty()) wait = std::min(wait, remaining(last_byte_ + burst_gap, now));
    if (pending_) wait = std::min(wait, remaining(pending_since_ + payload_wait, now));
    return wait;
  }

  void flush(Clock::time_point now) {
    tick(now + payload_wait + burst_gap);
  }

 private:
  static std::chrono::milliseconds remaining(Clock::time_point when, Clock::time_point now) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(when - now);
    return std::max(left + std::chrono::milliseconds(1), std::chrono::milliseconds(1));
  }

  static bool is_prefix(const uint8_t *bytes, size_t count) {
    if (count < 2 || bytes[1] != 0x00) return false;
    return bytes[0] == 0xA3 || bytes[0] == 0xA4 || bytes[0] == 0xA6 || bytes[0] == 0xA7;
  }

  void end_burst(const std::vector<uint8_t> &burst, Clock::time_point now) {
    end_burst(burst.data(), burst.size(), now);
  }

  // The pump/fan payload has a fixed length: whatever follows it in the same burst is the
  // next message.
  void end_burst(const uint8_t *bytes, size_t count, Clock::time_point now) {
    if (count == 0) return;
    if (pending_) {
      const uint8_t code = *pending_;
      pending_.reset();
      const size_t taken = code == 0xA4 ? std::min(count, pump_fan_len) : count;
      report(code, bytes, taken);
      end_burst(bytes + taken, count - taken, now);
      return;
    }
    if (!is_prefix(bytes, count)) {
      report_bare(bytes, count);
      return;
    }
    const uint8_t code = bytes[0];
    if (code == 0xA6) {
      report(code, nullptr, 0);
      end_burst(bytes + 2, count - 2, now);
    } else if (count == 2) {
      pending_ = code;
      pending_since_ = now;
    } else {
      pending_ = code;  // sent without a pause: the rest of the burst is the payload
      end_burst(bytes + 2, count - 2, now);
    }
  }

  void report(uint8_t code, const uint8_t *payload, size_t count) {
    const char *what = code == 0xA3   ? "lighting data"
                       : code == 0xA4 ? "pump/fan settings"
                       : code == 0xA6 ? "firmware erase"
                                      : "firmware data";
    if (code == 0xA6) {
      printf("%02X 00 %s\n", code, what);
    } else if (count == 0) {
      printf("%02X 00 %s, 0 bytes\n", code, what);
    } else {
      printf("%02X 00 %s, %zu bytes: %s\n", code, what, count,
             hex_bytes(payload, count, shown_).c_str());
    }
  }

  void report_bare(const uint8_t *bytes, size_t count) {
    printf("data without prefix, %zu bytes: %s\n", count, hex_bytes(bytes, count, shown_).c_str());
  }

  size_t shown_;
  std::vector<uint8_t> burst_;
  Clock::time_point last_byte_{};
  std::optional<uint8_t> pending_;
  Clock::time_point pending_since_{};
};

// Reads what is there into the listener; false on a port error.
bool drain_input(int fd, Listener &listener) {
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

// Writes one frame whole, listening meanwhile; false when the port does not take it.
bool send_frame(int fd, const Frame &frame, Listener &listener) {
  size_t done = 0;
  const auto deadline = Clock::now() + write_stall;
  while (done < frame.size()) {
    if (stop_requested) return true;
    const ssize_t written = write(fd, frame.data() + done, frame.size() - done);
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
  }
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  setvbuf(stdout, nullptr, _IONBF, 0);

  const char *port = nullptr;
  std::optional<Status> status;
  std::optional<Wireless> wireless;
  double rate = 10;
  std::optional<long> count;
  std::optional<double> duration;
  bool dump = false;
  std::vector<Frame> one_shots;

  auto need_value = [&](int &i) -> const char * {
    if (i + 1 >= argc) {
      fprintf(stderr, "dhmcu: %s needs a value\n", argv[i]);
      exit(2);
    }
    return argv[++i];
  };
  auto bad_value = [](const char *option, const char *value) {
    fprintf(stderr, "dhmcu: bad value for %s: '%s'\n", option, value);
    exit(2);
  };

  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "-h" || option == "--help") {
      usage(stdout);
      return 0;
    } else if (option == "-p" || option == "--port") {
      port = need_value(i);
    } else if (option == "--status") {
      const char *value = need_value(i);
      constexpr int limits[3] = {255, 255, 65535};  // the pump speed has 16 bits
      int fields[3];
      if (!parse_triple(value, limits, fields)) bad_value("--status", value);
      status = Status{fields[0], fields[1], fields[2]};
    } else if (option == "--wireless") {
      const char *value = need_value(i);
      constexpr int limits[3] = {255, 255, 255};
      int fields[3];
      if (!parse_triple(value, limits, fields)) bad_value("--wireless", value);
      wireless = Wireless{fields[0], fields[1], fields[2]};
    } else if (option == "--rate") {
      const char *value = need_value(i);
      if (!parse_number(value, 0.01, 1000, rate)) bad_value("--rate", value);
    } else if (option == "--count") {
      const char *value = need_value(i);
      double number;
      if (!parse_number(value, 0, 1e9, number) || number != std::floor(number)) {
        bad_value("--count", value);
      }
      count = long(number);
    } else if (option == "--duration") {
      const char *value = need_value(i);
      double seconds;
      if (!parse_number(value, 0, 1e6, seconds)) bad_value("--duration", value);
      duration = seconds;
    } else if (option == "--knob") {
      const char *value = need_value(i);
      double steps;
      if (!parse_number(value, 0, 100000, steps) || steps != std::floor(steps)) {
        bad_value("--knob", value);
      }
      // The knob frames take the control mode given so far (offline by default).
      for (long step = 0; step < long(steps); ++step) {
        one_shots.push_back(status_frame(status.value_or(Status{}), std::nullopt, true));
      }
    } else if (option == "--host-data") {
      const char *value = need_value(i);
      std::vector<uint8_t> bytes;
      if (!parse_hex(value, bytes) || bytes.size() > size_t(frame_at::host_data_len)) {
        bad_value("--host-data", value);
      }
      Frame frame = blank_frame(frame_host_data);
      std::copy(bytes.begin(), bytes.end(), frame.begin() + frame_at::host_data);
      one_shots.push_back(std::move(frame));
    } else if (option == "--wake") {
      one_shots.push_back(blank_frame(frame_wake));
    } else if (option == "--picture") {
      if (!picture_frames(need_value(i), one_shots)) return 2;
    } else if (option == "--bad-header") {
      Frame frame = blank_frame(frame_status);
      frame[frame_at::header0] = 0x00;
      frame[frame_at::header1] = 0x00;
      one_shots.push_back(std::move(frame));
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

  std::optional<Frame> periodic;
  if (status || wireless) {
    Status fields = status.value_or(Status{1, 0, 0});
    periodic = status_frame(fields, wireless, false);
  }

  struct sigaction action{};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);  // no SA_RESTART: poll returns at once
  sigaction(SIGTERM, &action, nullptr);

  const int fd = open_port(port);
  if (fd < 0) return 2;

  Listener listener(dump);
  const auto started = Clock::now();
  const auto interval = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(1.0 / rate));
  // With nothing to send, dhmcu only listens: until a signal or --duration.
  const bool listen_only = !periodic && one_shots.empty();
  std::optional<Clock::time_point> end;
  if (duration) end = started + std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double>(*duration));

  size_t next_one_shot = 0;
  long periodic_sent = 0;
  auto next_send = started;
  int status_code = 0;
  for (;;) {
    auto now = Clock::now();
    if (stop_requested || (end && now >= *end)) break;

    const bool periodic_left = periodic && (!count || periodic_sent < *count);
    const bool sending = next_one_shot < one_shots.size() || periodic_left;
    if (!sending && !end && !listen_only) {
      // Everything is out: listen a little longer for the answers, then stop.
      end = now + linger;
    }

    if (sending && now >= next_send) {
      const Frame *frame = nullptr;
      if (next_one_shot < one_shots.size()) {
        frame = &one_shots[next_one_shot++];
      } else {
        frame = &*periodic;
        ++periodic_sent;
      }
      if (!send_frame(fd, *frame, listener)) {
        status_code = 1;
        break;
      }
      next_send += interval;
      if (next_send < now) next_send = now;  // fell behind (a stalled port): do not burst
      continue;
    }

    auto wait = listener.next_tick(now);
    if (sending) wait = std::min(wait, std::chrono::duration_cast<std::chrono::milliseconds>(
                                           next_send - now) + std::chrono::milliseconds(1));
    if (end) wait = std::min(wait, std::chrono::duration_cast<std::chrono::milliseconds>(
                                       *end - now) + std::chrono::milliseconds(1));
    pollfd watch{fd, POLLIN, 0};
    const int ready = poll(&watch, 1, int(std::max<long>(wait.count(), 1)));
    if (ready > 0 && !drain_input(fd, listener)) {
      status_code = 1;
      break;
    }
    if (ready > 0 && (watch.revents & (POLLHUP | POLLERR)) && !(watch.revents & POLLIN)) {
      usleep(10000);  // a pty whose far end is closed: do not spin
    }
    listener.tick(Clock::now());
  }
  drain_input(fd, listener);
  listener.flush(Clock::now());
  close(fd);
  return status_code;
}
