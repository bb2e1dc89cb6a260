// dhhost: drives a display head from the host side of its command link.
//
//   dhhost [-p PORT] [-t SECONDS] [--json] COMMAND [ARGS...]
//
// Each subcommand sends one host command (or one exchange of several) and prints what the
// device answered. Exit status: 0 done, 1 the device did not answer or answered wrongly,
// 2 a usage error or a port that cannot be opened.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "app/host_packet.h"
#include "tools/host_client.h"

namespace {

struct Options {
  std::string port;
  int timeout_ms = 10000;
  bool json = false;
};

struct Subcommand {
  const char *name;
  const char *usage;
  const char *help;
  int (*run)(const Options &, const std::vector<std::string> &);
};

constexpr int exit_ok = 0;
constexpr int exit_device = 1;
constexpr int exit_usage = 2;
constexpr int wrong_arguments = -1;  // run() returns it for a wrong argument count

int open_port(const Options &opt) {
  if (access(opt.port.c_str(), F_OK) != 0) {
    fprintf(stderr, "dhhost: port %s: %s\n", opt.port.c_str(), strerror(errno));
    return -1;
  }
  return host_port_open(opt.port);
}

// One command, one checked reply; prints the failure in words.
bool transact(const Options &opt, int fd, uint8_t code, std::span<const uint8_t> payload,
              std::span<const uint8_t> block, ReplyBytes &reply) {
  ReplyCheck result = host_transact(fd, code, payload, block, reply, opt.timeout_ms);
  if (result == ReplyCheck::ok) return true;
  if (result == ReplyCheck::no_reply) {
    fprintf(stderr, "dhhost: no reply to command 0x%02X within %.1f s on %s\n", code,
            opt.timeout_ms / 1000.0, opt.port.c_str());
  } else {
    fprintf(stderr, "dhhost: command 0x%02X: %s\n", code, describe(result));
  }
  return false;
}

int run_version(const Options &opt, const std::vector<std::string> &args) {
  if (!args.empty()) return wrong_arguments;
  int fd = open_port(opt);
  if (fd < 0) return exit_usage;
  ReplyBytes reply{};
  bool ok = transact(opt, fd, CMD_GET_VERSION, {}, {}, reply);
  close(fd);
  if (!ok) return exit_device;
  std::string text(reinterpret_cast<const char *>(reply.data() + reply_result),
                   strnlen(reinterpret_cast<const char *>(reply.data() + reply_result),
                           reply.size() - reply_result));
  if (opt.json) {
    printf("{\"version\": \"%s\"}\n", text.c_str());
  } else {
    printf("%s\n", text.c_str());
  }
  return exit_ok;
}

bool parse_hex(const std::string &text, std::vector<uint8_t> &bytes) {
  std::string digits;
  for (char c : text) {
    if (c == ' ' || c == ':') continue;
    if (!isxdigit(static_cast<unsigned char>(c))) return false;
    digits += c;
  }
  if (digits.size() % 2 != 0) return false;
  for (size_t i = 0; i < digits.size(); i += 2) {
    bytes.push_back(uint8_t(strtoul(digits.substr(i, 2).c_str(), nullptr, 16)));
  }
  return true;
}

void print_reply(const ReplyBytes &reply) {
  size_t last = reply.size();
  while (last > 0 && reply[last - 1] == 0) --last;
  size_t shown = std::max<size_t>(16, (last + 15) / 16 * 16);
  for (size_t row = 0; row < shown; row += 16) {
    printf("%03zu:", row);
    for (size_t i = row; i < row + 16; ++i) printf(" %02x", reply[i]);
    printf("\n");
  }
  if (shown < reply.size()) printf("(bytes %zu..511 zero)\n", shown);
}

int run_raw(const Options &opt, const std::vector<std::string> &args) {
  if (args.empty() || args.size() > 2) return wrong_arguments;
  char *end = nullptr;
  unsigned long code = strtoul(args[0].c_str(), &end, 0);
  if (*end != '\0' || code > 0xFF) {
    fprintf(stderr, "dhhost: raw: command code must be 0..255 (0x.. for hex), not %s\n", args[0].c_str());
    return exit_usage;
  }
  std::vector<uint8_t> payload;
  if (args.size() == 2 && !parse_hex(args[1], payload)) {
    fprintf(stderr, "dhhost: raw: payload must be hex digits, not %s\n", args[1].c_str());
    return exit_usage;
  }
  if (payload.size() > command_record_len - 8) {
    fprintf(stderr, "dhhost: raw: payload too long: %zu bytes, at most %zu\n", payload.size(),
            command_record_len - 8);
    return exit_usage;
  }
  int fd = open_port(opt);
  if (fd < 0) return exit_usage;
  ReplyBytes reply{};
  bool ok = transact(opt, fd, uint8_t(code), payload, {}, reply);
  close(fd);
  if (!ok) return exit_device;
  print_reply(reply);
  return exit_ok;
}

const Subcommand subcommands[] = {
    {"version", "version", "Ask the device for its identity (command 0x0A).", run_version},
    {"raw", "raw CODE [PAYLOAD-HEX]",
     "Send any command code with payload bytes from command byte 8 on, and dump the reply.",
     run_raw},
};

void usage(FILE *out) {
  fprintf(out,
          "usage: dhhost [-p PORT] [-t SECONDS] [--json] COMMAND [ARGS...]\n"
          "\n"
          "  -p, --port PORT      the device's serial port (default $DHHOST_PORT, else /dev/ttyACM0)\n"
          "  -t, --timeout SECS   how long to wait for each reply (default 10)\n"
          "      --json           machine-readable output for the query commands\n"
          "\n"
          "commands:\n");
  for (const Subcommand &sub : subcommands) fprintf(out, "  %-28s %s\n", sub.usage, sub.help);
  fprintf(out, "\n'dhhost COMMAND --help' shows one command.\n");
}

}  // namespace

int main(int argc, char **argv) {
  Options opt;
  const char *env_port = getenv("DHHOST_PORT");
  opt.port = env_port != nullptr && env_port[0] != '\0' ? env_port : "/dev/ttyACM0";

  int i = 1;
  for (; i < argc && argv[i][0] == '-'; ++i) {
    std::string arg = argv[i];
    if ((arg == "-p" || arg == "--port") && i + 1 < argc) {
      opt.port = argv[++i];
    } else if ((arg == "-t" || arg == "--timeout") && i + 1 < argc) {
      char *end = nullptr;
      double seconds = strtod(argv[++i], &end);
      if (*end != '\0' || seconds <= 0 || seconds > 3600) {
        fprintf(stderr, "dhhost: timeout must be a number of seconds (0..3600], not %s\n", argv[i]);
        return exit_usage;
      }
      opt.timeout_ms = int(seconds * 1000);
    } else if (arg == "--json") {
      opt.json = true;
    } else if (arg == "-h" || arg == "--help") {
      usage(stdout);
      return exit_ok;
    } else {
      fprintf(stderr, "dhhost: unknown option %s\n\n", arg.c_str());
      usage(stderr);
      return exit_usage;
    }
  }
  if (i >= argc) {
    usage(stderr);
    return exit_usage;
  }
  std::string name = argv[i++];
  std::vector<std::string> args(argv + i, argv + argc);
  for (const Subcommand &sub : subcommands) {
    if (name != sub.name) continue;
    if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
      printf("usage: dhhost [OPTIONS] %s\n\n%s\n", sub.usage, sub.help);
      return exit_ok;
    }
    int status = sub.run(opt, args);
    if (status == wrong_arguments) {
      fprintf(stderr, "usage: dhhost [OPTIONS] %s\n", sub.usage);
      return exit_usage;
    }
    return status;
  }
  fprintf(stderr, "dhhost: unknown command '%s'\n\n", name.c_str());
  usage(stderr);
  return exit_usage;
}
