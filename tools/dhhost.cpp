// dhhost: drives a display head from the host side of its command link.
//
//   dhhost [-p PORT] [-t SECONDS] [--json] COMMAND [ARGS...]
//
// The options may also follow the command.
// Each subcommand sends one host command (or one exchange of several) and prints what the
// device answered. Exit status: 0 done, 1 the device did not answer or answered wrongly,
// 2 a usage error or a port that cannot be opened.
#include <algorithm>
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
    {"rotate", "rotate CODE", "Rotate the screen: 0, 1, 2, 3 for 0, 90, 180, 270 degrees; stored (0x0D).",
     run_rotate},
    {"brightness", "brightness LEVEL",
     "Set the backlight, 0..100 (higher counts as 100); 0 darkens and keeps the level (0x0E).",
     run_brightness},
    {"fps", "fps RATE", "Set the video frame rate; 0 turns the pacing off (0x0F).", run_fps},
    {"jpg", "jpg FILE", "Show a JPEG picture full-screen (0x65).", run_jpg},
    {"png", "png FILE", "Show a PNG picture on the overlay layer (0x66).", run_png},
    {"show-local", "show-local PATH", "Show a JPEG file of the device full-screen (0x71).", run_show_local},
    {"stop-slideshow", "stop-slideshow", "Stop the SD card slideshow (0x72).", run_stop_slideshow},
    {"play", "play PATH", "Play a local H.264 file of the device in a loop (0x6E).", run_play},
    {"stop-play", "stop-play", "Stop the local video (0x6F).", run_stop_play},
    {"play-state", "play-state", "Say whether a local video is playing (0x70).", run_play_state},
    {"stream", "stream FILE.h264 [--fps RATE]",
     "Stream an H.264 file to the screen in blocks, never overfilling the device's queue; when "
     "its pictures have been shown at RATE (the device's frame rate, 24 by default) end it with "
     "0x7B (0x79, 0x7A, 0x7B).",
     run_stream},
    {"queue", "queue", "Print how many H.264 blocks wait in the device's queue, 0..5 (0x7A).", run_queue},
    {"stop-stream", "stop-stream", "End a host video stream (0x7B).", run_stop_stream},
    {"theme", "theme HEX64", "Send the host theme record, 64 bytes in hex; shown in online mode (0xF9).",
     run_theme},
    {"mcu-data", "mcu-data", "Print the controller's 32-byte status record in hex (0xFA).", run_mcu_data},
    {"pump-fan", "pump-fan HEX14", "Relay 14 bytes of pump and fan settings to the controller (0xFB).",
     run_pump_fan},
    {"light", "light FILE", "Relay lighting data to the controller (0xFC).", run_light},
    {"fw-update", "fw-update FILE [--chunk BYTES]",
     "Erase the controller's firmware and send the new image in chunks (0xF7, then 0xF8).", run_fw_update},
    {"group", "group", "Print the group and position (0xC9).", run_group},
    {"test-decode", "test-decode", "Start the device's decoder test; the USB monitor then stands still (0xFD).",
     run_test_decode},
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
          "      --json           JSON output of the query commands (version, size, ls, df,\n"
          "                       play-state, queue, mcu-data, group)\n"
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

  // The options may stand before the command or among its arguments; anything else that
  // starts with '-' before the command is unknown, after it it is the command's own.
  std::string name;
  Args args;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "-p" || arg == "--port" || arg == "-t" || arg == "--timeout") {
      if (i + 1 == argc) {
        fprintf(stderr, "dhhost: %s needs a value\n", arg.c_str());
        return exit_usage;
      }
      const char *value = argv[++i];
      if (arg == "-p" || arg == "--port") {
        opt.port = value;
        continue;
      }
      char *end = nullptr;
      double seconds = strtod(value, &end);
      if (end == value || *end != '\0' || !(seconds > 0 && seconds <= 3600)) {
        fprintf(stderr, "dhhost: timeout must be a number of seconds (0..3600], not %s\n", value);
        return exit_usage;
      }
      opt.timeout_ms = std::max(1, int(seconds * 1000));
    } else if (arg == "--json") {
      opt.json = true;
    } else if (!name.empty()) {
      args.push_back(arg);
    } else if (arg == "-h" || arg == "--help") {
      usage(stdout);
      return exit_ok;
    } else if (arg[0] == '-') {
      fprintf(stderr, "dhhost: unknown option %s\n\n", arg.c_str());
      usage(stderr);
      return exit_usage;
    } else {
      name = arg;
    }
  }
  if (name.empty()) {
    usage(stderr);
    return exit_usage;
  }
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
