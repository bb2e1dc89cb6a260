// dhhost: drives a display head from the host side of its command link.
//
//   dhhost [-p PORT] [-t SECONDS] [--json] COMMAND [ARGS...]
//
// The options may also follow the command. Each subcommand sends one host command (or one
// exchange of several) and prints what the device answered; with --json every subcommand
// prints one JSON object ({"ok": true} where there is nothing to report, {"ok": false,
// "error": ...} on a failure). Exit status: 0 done, 1 the device failed, did not answer or
// answered wrongly, 2 a usage error, a local file that cannot be sent or a port that cannot
// be opened.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "tools/dhhost.h"

namespace {

enum class Extra { none, chunk, fps };

struct Subcommand {
  const char *name;
  std::vector<const char *> positionals;  // the required ones, then at most one optional
  bool last_optional;
  const char *help;
  int (*run)(const Options &, const Args &);
  Extra extra = Extra::none;
};

const std::vector<Subcommand> &subcommands() {
  static const std::vector<Subcommand> table = {
      {"version", {}, false, "Ask the device for its identity (0x0A).", run_version},
      {"put", {"LOCAL", "REMOTE"}, false,
       "Upload a file in chunks (0x26, then 0x27 chunks of 64 KiB by default, --chunk 1..1048576 bytes, and an "
       "empty chunk that closes the upload, so that REMOTE is replaced only once every byte is stored).",
       run_put, Extra::chunk},
      {"put-small", {"LOCAL", "REMOTE"}, false, "Upload a file of 1 to 1048576 bytes in one go (0x28).",
       run_put_small},
      {"rm", {"PATH"}, false, "Delete a file, or every file below a directory (0x2A).", run_rm},
      {"size", {"PATH"}, false, "Print a file's size in bytes; 0 when it is missing (0x62).", run_size},
      {"ls", {"DIR"}, false,
       "List a directory: subdirectories (with a trailing /), then files (0x63). The device lists at most 511 "
       "characters of names and slashes of each kind and leaves the rest out without a mark; a missing DIR is "
       "created.",
       run_ls},
      {"df", {}, false, "Print the SD card's total, used and available KiB (0x64).", run_df},
      {"config", {"BRIGHTNESS", "MODE", "AUX2", "ROTATION", "AUX4", "KEEP_ON"}, false,
       "Store the settings, each 0..255; applied at the next start (0x7D).", run_config},
      {"mark-usb-display", {}, false, "Create the USB-display marker file (0x96).", run_mark_usb_display},
      {"rotate", {"CODE"}, false, "Rotate the screen: 0, 1, 2, 3 for 0, 90, 180, 270 degrees; stored (0x0D).",
       run_rotate},
      {"brightness", {"LEVEL"}, false, "Set the backlight, 0..100; 0 darkens and keeps the level (0x0E).",
       run_brightness},
      {"fps", {"RATE"}, false, "Set the video frame rate, 0..255; 0 turns the pacing off (0x0F).", run_fps},
      {"jpg", {"FILE"}, false, "Show a JPEG picture full-screen (0x65).", run_jpg},
      {"png", {"FILE"}, false, "Show a PNG picture on the overlay layer (0x66).", run_png},
      {"show-local", {"PATH"}, false, "Show a JPEG file of the device full-screen (0x71).", run_show_local},
      {"stop-slideshow", {}, false, "Stop the SD card slideshow (0x72).", run_stop_slideshow},
      {"play", {"PATH"}, false, "Play a local H.264 file of the device in a loop (0x6E).", run_play},
      {"stop-play", {}, false, "Stop the local video (0x6F).", run_stop_play},
      {"play-state", {}, false, "Say whether a local video is playing (0x70).", run_play_state},
      {"stream", {"FILE"}, false,
       "Stream an H.264 file to the screen in blocks, never overfilling the device's queue; then two "
       "end-of-stream units (00 00 00 01 0B): once the device has taken the second, the last picture is "
       "shown, and 0x7B ends the stream (0x79, 0x7A, 0x7B). Ctrl-C ends the stream too. --fps is "
       "accepted and checked for older scripts; the end no longer depends on it.",
       run_stream, Extra::fps},
      {"queue", {}, false, "Print how many H.264 blocks wait in the device's queue, 0..5 (0x7A).", run_queue},
      {"stop-stream", {}, false, "End a host video stream (0x7B).", run_stop_stream},
      {"theme", {"HEX64"}, false, "Send the host theme record, 64 bytes in hex; shown in online mode (0xF9).",
       run_theme},
      {"mcu-data", {}, false, "Print the controller's 32-byte status record in hex (0xFA).", run_mcu_data},
      {"pump-fan", {"HEX14"}, false, "Relay 14 bytes of pump and fan settings to the controller (0xFB).",
       run_pump_fan},
      {"light", {"FILE"}, false, "Relay lighting data (1 to 1048576 bytes) to the controller (0xFC).", run_light},
      {"fw-update", {"FILE"}, false,
       "Erase the controller's firmware and send the new image in chunks (0xF7, then 0xF8; --chunk "
       "1..1048576 bytes, 4096 by default). An empty image is refused before the erase.",
       run_fw_update, Extra::chunk},
      {"group", {}, false, "Print the group and position (0xC9).", run_group},
      {"test-decode", {}, false, "Start the device's decoder test; the USB monitor then stands still (0xFD).",
       run_test_decode},
      {"reboot", {}, false, "Reboot the device (0x0B).", run_reboot},
      {"halt", {}, false, "Halt the device (0x0C).", run_halt},
      {"raw", {"CODE", "PAYLOAD-HEX"}, true,
       "Send any command code (hex, with or without 0x: 0a, 0x0a) with payload bytes from command byte "
       "8 on, and dump the reply.",
       run_raw},
  };
  return table;
}

void print_failure(const Options &opt, int status, const std::string &error) {
  if (!opt.json) return;
  printf("%s\n", json_line({{"ok", false}, {"error", error}, {"exit", status}}).c_str());
}

}  // namespace

int main(int argc, char **argv) {
  Options opt;
  const char *env_port = getenv("DHHOST_PORT");
  opt.port = env_port != nullptr && env_port[0] != '\0' ? env_port : "/dev/ttyACM0";
  std::string timeout_text;

  CLI::App app{"Drives a display head from the host side of its command link.", "dhhost"};
  app.footer("'dhhost COMMAND --help' explains one command. Exit status: 0 done, 1 the device failed, did "
             "not answer or went away, or dhhost was interrupted, 2 a usage error, a local file that cannot be "
             "sent, or no port.");
  app.add_option("-p,--port", opt.port, "the device's serial port (default $DHHOST_PORT, else /dev/ttyACM0)");
  app.add_option("-t,--timeout", timeout_text, "how long to wait for each reply, in seconds (default 10; an upload's last chunk at least 30)");
  app.add_flag("--json", opt.json, "print one JSON object for every command");
  app.require_subcommand(1, 1);
  app.fallthrough();

  const std::vector<Subcommand> &table = subcommands();
  std::vector<std::vector<std::string>> values(table.size());
  std::vector<CLI::App *> parsed(table.size());
  for (size_t i = 0; i < table.size(); ++i) {
    const Subcommand &sub = table[i];
    CLI::App *command = app.add_subcommand(sub.name, sub.help);
    values[i].resize(sub.positionals.size());
    for (size_t p = 0; p < sub.positionals.size(); ++p) {
      CLI::Option *positional = command->add_option(sub.positionals[p], values[i][p]);
      if (!(sub.last_optional && p + 1 == sub.positionals.size())) positional->required();
    }
    if (sub.extra == Extra::chunk) command->add_option("--chunk", opt.chunk, "bytes per chunk");
    if (sub.extra == Extra::fps) command->add_option("--fps", opt.fps, "the device's frame rate, 0..255");
    parsed[i] = command;
  }

  // --json holds for the failures found before the options are parsed (an unknown command, a
  // parse error) too: those print their JSON object as well.
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "-p" || word == "--port" || word == "-t" || word == "--timeout") {
      ++i;
    } else if (word == "--json") {
      opt.json = true;
    }
  }
  // The command is the first word that is neither an option nor an option's value.
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "-p" || word == "--port" || word == "-t" || word == "--timeout") {
      ++i;
      continue;
    }
    if (word.empty() || word[0] == '-') continue;
    const bool known = std::any_of(table.begin(), table.end(), [&](const Subcommand &sub) { return word == sub.name; });
    if (!known) {
      say_error("unknown command '" + word + "' ('dhhost --help' lists the commands)");
      print_failure(opt, exit_usage, first_error());
      return exit_usage;
    }
    break;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError &e) {
    if (e.get_exit_code() == 0) return app.exit(e);  // --help
    say_error(std::string(e.what()) + " ('dhhost --help' lists the commands)");
    print_failure(opt, exit_usage, first_error());
    return exit_usage;
  }
  if (!timeout_text.empty()) {
    char *end = nullptr;
    const double seconds = strtod(timeout_text.c_str(), &end);
    if (end == timeout_text.c_str() || *end != '\0' || !(seconds > 0 && seconds <= 3600)) {
      say_error("the timeout must be a number of seconds, more than 0 and at most 3600, not '" + timeout_text + "'");
      print_failure(opt, exit_usage, first_error());
      return exit_usage;
    }
    opt.timeout_ms = std::max(1, int(seconds * 1000));
  }

  for (size_t i = 0; i < table.size(); ++i) {
    if (!parsed[i]->parsed()) continue;
    Args args;
    for (size_t p = 0; p < values[i].size(); ++p) {
      if (parsed[i]->get_option(table[i].positionals[p])->count() > 0) args.push_back(values[i][p]);
    }
    catch_interruptions();
    const int status = table[i].run(opt, args);
    if (status != exit_ok) print_failure(opt, status, first_error());
    return status;
  }
  return exit_usage;
}
