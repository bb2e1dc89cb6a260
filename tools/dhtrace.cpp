// dhtrace: sits between a peer and the display head's serial port and shows what goes over
// the link, decoded. It opens the device's port (--device), makes a pty at --listen for the
// peer to open instead, and copies every byte unchanged both ways, the copy first and the
// decoding after it, so the link is delayed by no more than a read and a write.
//
//   dhtrace --device PORT --listen PATH [--listen-is-device] [--link host|controller] [--json]
//           [--pcap FILE]
//   dhtrace --read FILE.pcapng [--json]
//
// With --listen-is-device the roles turn round: the pty at PATH is the device's port (the
// daemon opens it) and PORT is the peer's end of the cable. The simulator traces the host
// link that way, so that the host's end stays its own and can come and go with the cable.
//
// One line (or one JSON object, --json) per protocol unit on standard output; --pcap also
// writes a pcapng capture, which --read decodes again offline. SIGINT and SIGTERM end it; the
// pty's link at PATH is removed.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "tools/host_client.h"
#include "tools/trace_decode.h"
#include "tools/trace_pcap.h"

namespace {

using Clock = std::chrono::steady_clock;

volatile sig_atomic_t stop_requested = 0;
void on_signal(int) { stop_requested = 1; }

struct Options {
  std::string device, listen, link = "host", pcap, read;
  bool json = false;
  bool listen_is_device = false;
};

struct Output {
  bool json = false;
  PcapWriter pcap;
  bool pcap_failed = false;
};

void emit(Output &output, std::vector<TraceEvent> &events) {
  for (const TraceEvent &event : events) {
    const std::string line = output.json ? event_json(event).dump(-1, ' ', false,
                                                                   nlohmann::json::error_handler_t::replace)
                                         : event_line(event);
    fputs(line.c_str(), stdout);
    fputc('\n', stdout);
    if (output.pcap.file != nullptr && !pcap_write(output.pcap, event) && !output.pcap_failed) {
      output.pcap_failed = true;
      fprintf(stderr, "dhtrace: writing the capture failed: %s\n", strerror(errno));
    }
  }
  if (!events.empty()) fflush(stdout);
  events.clear();
}

int64_t wall_now_us() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// A serial port (or a pty), raw at the link's speed. Anything else (a regular file, a FIFO, a
// directory given by mistake) is left untouched: the peer's bytes would be written into it.
int open_device(const std::string &path, TraceLink link) {
  struct stat info{};
  if (stat(path.c_str(), &info) == 0 && !S_ISCHR(info.st_mode)) {
    fprintf(stderr, "dhtrace: %s is not a serial port or a pty; it was left untouched\n", path.c_str());
    return -1;
  }
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    fprintf(stderr, "dhtrace: cannot open %s: %s\n", path.c_str(), strerror(errno));
    return -1;
  }
  if (!isatty(fd)) {
    fprintf(stderr, "dhtrace: %s is not a serial port or a pty; it was left untouched\n", path.c_str());
    close(fd);
    return -1;
  }
  // The port is one program's at a time, as dhhost and pyserial's exclusive mode take it: two
  // readers of one port would each get part of the other's replies.
  if (!lock_port(fd)) {
    const std::string holders = port_holders(path);
    fprintf(stderr, "dhtrace: %s is in use by %s; the port is one program's at a time\n", path.c_str(),
            holders.empty() ? "another program" : holders.c_str());
    close(fd);
    return -1;
  }
  termios tio{};
  if (tcgetattr(fd, &tio) == 0) {
    cfmakeraw(&tio);
    const speed_t speed = link == TraceLink::host ? B115200 : B460800;
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    tio.c_cflag |= CLOCAL | CREAD;
    tcsetattr(fd, TCSANOW, &tio);
  }
  return fd;
}

// The pty the peer opens: its master is ours, and so is one descriptor of its slave, so that
// the master keeps working while no peer has it open. PATH becomes a link to the slave.
bool make_listen_pty(const std::string &path, int &master, int &slave) {
  struct stat st {};
  if (lstat(path.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
    fprintf(stderr, "dhtrace: %s exists and is not a link; not replacing it\n", path.c_str());
    return false;
  }
  master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    fprintf(stderr, "dhtrace: cannot make a pty: %s\n", strerror(errno));
    return false;
  }
  const char *name = ptsname(master);
  slave = name != nullptr ? open(name, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
  if (slave < 0) {
    fprintf(stderr, "dhtrace: cannot open the pty: %s\n", strerror(errno));
    return false;
  }
  termios tio{};
  tcgetattr(slave, &tio);
  cfmakeraw(&tio);
  tcsetattr(slave, TCSANOW, &tio);
  unlink(path.c_str());
  if (symlink(name, path.c_str()) != 0) {
    fprintf(stderr, "dhtrace: cannot make %s: %s\n", path.c_str(), strerror(errno));
    return false;
  }
  return true;
}

// Writes all bytes to a non-blocking descriptor; false when it fails or stays full for 2 s.
bool write_all(int fd, const uint8_t *bytes, size_t count) {
  int stalled_ms = 0;
  while (count > 0) {
    const ssize_t n = write(fd, bytes, count);
    if (n > 0) {
      bytes += n;
      count -= size_t(n);
      stalled_ms = 0;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EIO) return false;
    if (stalled_ms >= 2000 || stop_requested) return false;
    pollfd pfd{fd, POLLOUT, 0};
    poll(&pfd, 1, 10);
    stalled_ms += 10;
  }
  return true;
}

int run_proxy(const Options &options, Output &output) {
  const TraceLink link = options.link == "controller" ? TraceLink::controller : TraceLink::host;
  const auto start = Clock::now();
  const int64_t start_wall = wall_now_us();
  if (!options.pcap.empty()) {
    std::string error;
    if (!pcap_open(output.pcap, options.pcap, link, start_wall, error)) {
      fprintf(stderr, "dhtrace: %s\n", error.c_str());
      return 1;
    }
  }
  const int device = open_device(options.device, link);
  if (device < 0) return 1;
  int master = -1, slave = -1;
  if (!make_listen_pty(options.listen, master, slave)) return 1;

  auto now_us = [&start] {
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
  };
  TraceDecoder decoder = make_decoder(link);
  std::vector<TraceEvent> events;
  std::vector<uint8_t> buffer(65536);
  int status = 0;
  while (!stop_requested) {
    const int64_t deadline = trace_next_deadline(decoder);
    int timeout_ms = 500;
    if (deadline >= 0) timeout_ms = int(std::clamp<int64_t>((deadline - now_us()) / 1000 + 1, 1, 500));
    pollfd fds[2] = {{master, POLLIN, 0}, {device, POLLIN, 0}};
    const int ready = poll(fds, 2, timeout_ms);
    if (ready < 0 && errno != EINTR) {
      fprintf(stderr, "dhtrace: poll failed: %s\n", strerror(errno));
      status = 1;
      break;
    }
    bool idle = true;
    for (int side = 0; side < 2 && ready > 0; ++side) {
      if ((fds[side].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      const int from = fds[side].fd, to = side == 0 ? device : master;
      // Side 0 is the pty at --listen: the peer's, or the device's with --listen-is-device.
      const bool to_device = (side == 0) != options.listen_is_device;
      const ssize_t n = read(from, buffer.data(), buffer.size());
      if (n > 0) {
        idle = false;
        if (!write_all(to, buffer.data(), size_t(n))) {
          fprintf(stderr, "dhtrace: cannot pass %zd bytes %s: %s\n", n,
                  to_device ? "to the device" : "to the peer", strerror(errno));
        }
        trace_feed(decoder, to_device ? TraceDir::to_device : TraceDir::from_device,
                   buffer.data(), size_t(n), now_us(), events);
      } else if (n == 0 || (errno != EAGAIN && errno != EINTR && errno != EIO)) {
        fprintf(stderr, "dhtrace: the %s side ended%s%s\n", to_device ? "peer's" : "device's",
                n == 0 ? "" : ": ", n == 0 ? "" : strerror(errno));
        status = 1;
        stop_requested = 1;
      }
    }
    // A side whose far end is closed for a moment reports EIO at once: do not spin on it.
    if (ready > 0 && idle) usleep(10000);
    trace_tick(decoder, now_us(), events);
    emit(output, events);
  }
  trace_finish(decoder, now_us(), events);
  emit(output, events);
  unlink(options.listen.c_str());
  close(master);
  close(slave);
  close(device);
  pcap_close(output.pcap);
  return status;
}

int run_read(const Options &options, Output &output) {
  std::vector<PcapRecord> records;
  std::string error;
  const bool whole = pcap_read(options.read, records, error);
  if (!whole && records.empty()) {
    fprintf(stderr, "dhtrace: %s\n", error.c_str());
    return 1;
  }
  const TraceLink link = records.empty() ? TraceLink::host : records.front().link;
  TraceDecoder decoder = make_decoder(link);
  std::vector<TraceEvent> events;
  const int64_t zero = records.empty() ? 0 : records.front().t_us;
  int64_t t = 0;
  const std::vector<uint8_t> filler(65536, 0);
  for (const PcapRecord &record : records) {
    t = record.t_us - zero;
    trace_feed(decoder, record.dir, record.bytes.data(), record.bytes.size(), t, events);
    // The part of a long unit that the capture left out, so the framing stays as it was.
    for (uint64_t left = record.length > record.bytes.size() ? record.length - record.bytes.size() : 0;
         left > 0;) {
      const size_t n = size_t(std::min<uint64_t>(left, filler.size()));
      trace_feed(decoder, record.dir, filler.data(), n, t, events);
      left -= n;
    }
    emit(output, events);
  }
  trace_finish(decoder, t, events);
  emit(output, events);
  if (!whole) {
    fprintf(stderr, "dhtrace: %s\n", error.c_str());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  Options options;
  CLI::App app{"Shows the traffic of a display head's serial link, decoded.\n"
               "Between a peer and the device's port: dhtrace --device PORT --listen PATH\n"
               "A capture made with --pcap, offline:  dhtrace --read FILE.pcapng"};
  app.add_option("--device", options.device, "the device's port (as the peer would open it)");
  app.add_option("--listen", options.listen, "the pty to make for the peer to open instead");
  app.add_flag("--listen-is-device", options.listen_is_device,
               "the pty at --listen is the device's port, and --device the peer's end of the cable");
  app.add_option("--link", options.link, "which link: host (the PC's) or controller")
      ->check(CLI::IsMember({"host", "controller"}));
  app.add_flag("--json", options.json, "one JSON object per line instead of text");
  app.add_option("--pcap", options.pcap, "also write a pcapng capture to this file");
  app.add_option("--read", options.read, "decode a pcapng capture made with --pcap");
  try {
    app.parse(argc, argv);
    if (options.read.empty() == (options.device.empty() || options.listen.empty())) {
      if (options.read.empty() && options.device.empty() != options.listen.empty()) {
        throw CLI::ValidationError("--device and --listen go together");
      }
      throw CLI::ValidationError("give --device and --listen, or --read");
    }
    if (!options.read.empty() && (!options.pcap.empty() || !options.device.empty())) {
      throw CLI::ValidationError("--read takes no --device, --listen or --pcap");
    }
  } catch (const CLI::CallForHelp &) {
    printf("%s", app.help().c_str());
    return 0;
  } catch (const CLI::ParseError &e) {
    fprintf(stderr, "dhtrace: %s\n%s", e.what(), app.help().c_str());
    return 2;
  }

  struct sigaction action {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  Output output;
  output.json = options.json;
  return options.read.empty() ? run_proxy(options, output) : run_read(options, output);
}
