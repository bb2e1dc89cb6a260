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
#include <unistd.h>

#include "tools/dhhost.h"

namespace {

struct Subcommand {
  const char *name;
  const char *usage;
  const char *help;
  int (*run)(const Options &, const Args &);
};

const Subcommand subcommands[] = {
    {"version", "version", "Ask the device for its identity (0x0A).", run_version},
    {"put", "put LOCAL REMOTE [--chunk BYTES]",
     "Upload a file in chunks (0x26, then 0x27 chunks of 64 KiB by default, at most 1 MiB).",
     run_put},
    {"put-small", "put-small LOCAL REMOTE", "Upload a file of at most 1 MiB in one go (0x28).",
     run_put_small},
    {"rm", "rm PATH", "Delete a file, or every file below a directory (0x2A).", run_rm},
    {"size", "size PATH", "Print a file's size in bytes; 0 when it is missing (0x62).", run_size},
    {"ls", "ls DIR", "List a directory: subdirectories (with a trailing /), then files (0x63).",
     run_ls},
    {"df", "df", "Print the SD card's total, used and available KiB (0x64).", run_df},
    {"config", "config BRIGHTNESS MODE AUX2 ROTATION AUX4 KEEP_ON",
     "Store the settings, each 0..255; applied at the next start (0x7D).", run_config},
    {"mark-usb-display", "mark-usb-display", "Create the USB-display marker file (0x96).",
     run_mark_usb_display},
    {"reboot", "reboot", "Reboot the device (0x0B).", run_reboot},
    {"halt", "halt", "Halt the device (0x0C).", run_halt},
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
  for (const Subcommand &sub : subcommands) fprintf(out, "  %-50s %s\n", sub.usage, sub.help);
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
      if (*end != '\0' || !(seconds > 0 && seconds <= 3600)) {
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
  Args args(argv + i, argv + argc);
  for (const Subcommand &sub : subcommands) {
    if (name != sub.name) continue;
    for (const std::string &arg : args) {
      if (arg == "--help" || arg == "-h") {
        printf("usage: dhhost [OPTIONS] %s\n\n%s\n", sub.usage, sub.help);
        return exit_ok;
      }
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
