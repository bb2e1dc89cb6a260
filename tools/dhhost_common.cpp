// What every dhhost subcommand shares: the port, one checked exchange, argument parsing.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <unistd.h>

#include "tools/dhhost.h"

int open_port(const Options &opt) {
  if (access(opt.port.c_str(), F_OK) != 0) {
    fprintf(stderr, "dhhost: port %s: %s (-p PORT or DHHOST_PORT names the device's port)\n",
            opt.port.c_str(), strerror(errno));
    return -1;
  }
  return host_port_open(opt.port);
}

Port::Port(const Options &opt) : fd(open_port(opt)) {}
Port::~Port() {
  if (fd >= 0) close(fd);
}

void report_failure(const Options &opt, const std::string &what, ReplyCheck result) {
  if (result == ReplyCheck::no_reply) {
    fprintf(stderr, "dhhost: no reply to %s within %.1f s on %s\n", what.c_str(), opt.timeout_ms / 1000.0,
            opt.port.c_str());
  } else {
    fprintf(stderr, "dhhost: %s: %s\n", what.c_str(), describe(result));
  }
}

bool transact(const Options &opt, int fd, uint8_t code, std::span<const uint8_t> payload,
              std::span<const uint8_t> block, ReplyBytes &reply) {
  ReplyCheck result = host_transact(fd, code, payload, block, reply, opt.timeout_ms);
  if (result == ReplyCheck::ok) return true;
  char what[32];
  snprintf(what, sizeof what, "command 0x%02X", code);
  report_failure(opt, what, result);
  return false;
}

int query(const Options &opt, uint8_t code, ReplyBytes &reply) {
  Port port(opt);
  if (!port.ok()) return exit_usage;
  return transact(opt, port.fd, code, {}, {}, reply) ? exit_ok : exit_device;
}

int simple_command(const Options &opt, uint8_t code, std::span<const uint8_t> payload) {
  Port port(opt);
  if (!port.ok()) return exit_usage;
  ReplyBytes reply{};
  return transact(opt, port.fd, code, payload, {}, reply) ? exit_ok : exit_device;
}

bool read_local_file(const std::string &path, std::vector<uint8_t> &data) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    fprintf(stderr, "dhhost: cannot read %s: %s\n", path.c_str(), strerror(errno));
    return false;
  }
  data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

bool parse_number(const std::string &text, uint64_t max, const char *what, uint64_t &value) {
  char *end = nullptr;
  errno = 0;
  unsigned long long parsed = strtoull(text.c_str(), &end, 0);
  if (text.empty() || text[0] == '-' || *end != '\0' || errno != 0 || parsed > max) {
    fprintf(stderr, "dhhost: %s must be a number from 0 to %llu, not '%s'\n", what,
            static_cast<unsigned long long>(max), text.c_str());
    return false;
  }
  value = parsed;
  return true;
}

std::string json_string(const std::string &text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += char(c);
    } else if (c < 0x20) {
      char escaped[8];
      snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += char(c);
    }
  }
  return out + "\"";
}

Progress::Progress(uint64_t total)
    : total_(total), shown_(isatty(STDERR_FILENO)), start_(std::chrono::steady_clock::now()) {}

void Progress::update(uint64_t done) {
  if (!shown_) return;
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  int percent = total_ == 0 ? 100 : int(done * 100 / total_);
  int filled = percent * 30 / 100;
  fprintf(stderr, "\r[%-30s] %3d%%  %llu/%llu bytes  %.1f KiB/s", std::string(size_t(filled), '#').c_str(),
          percent, static_cast<unsigned long long>(done), static_cast<unsigned long long>(total_),
          seconds > 0 ? done / 1024.0 / seconds : 0.0);
}

Progress::~Progress() {
  if (shown_) fputc('\n', stderr);
}
