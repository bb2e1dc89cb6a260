// dhhost's device subcommands: identity, settings, marker, reboot and halt, and raw commands.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "crypto/host_packet.h"
#include "tools/dhhost.h"

int run_version(const Options &opt, const Args &) {
  ReplyBytes reply{};
  if (int status = query(opt, CMD_GET_VERSION, reply); status != exit_ok) return status;
  const char *text = reinterpret_cast<const char *>(reply.data() + reply_result);
  std::string version(text, strnlen(text, reply.size() - reply_result));
  print_result(opt, {{"version", version}}, version + "\n");
  return exit_ok;
}

int run_config(const Options &opt, const Args &args) {
  static const char *const names[] = {"BRIGHTNESS", "MODE", "AUX2", "ROTATION", "AUX4", "KEEP_ON"};
  uint8_t payload[6];
  for (size_t i = 0; i < 6; ++i) {
    uint64_t value = 0;
    if (!parse_number(args[i], 0, 255, names[i], value)) return exit_usage;
    payload[i] = uint8_t(value);
  }
  return simple_command(opt, CMD_SET_CONFIG, payload);
}

int run_mark_usb_display(const Options &opt, const Args &) {
  return simple_command(opt, CMD_MARK_USB_DISPLAY);
}

namespace {

// Reboot and halt: a device that goes away before it answers has done what it was asked.
int power_command(const Options &opt, uint8_t code) {
  Port port(opt);
  if (!port.ok()) return exit_usage;
  ReplyBytes reply{};
  const Exchange result = exchange(opt, port.fd, code, {}, {}, reply, nullptr, true);
  if (result == Exchange::gone) {
    print_result(opt, {{"ok", true}, {"gone", true}}, "the device went away\n");
    return exit_ok;
  }
  if (result != Exchange::ok) {
    char what[32];
    snprintf(what, sizeof what, "command 0x%02X", code);
    say_error(exchange_failure(opt, what, result));
    return exit_device;
  }
  print_result(opt, {{"ok", true}}, "the device answered\n");
  return exit_ok;
}

}  // namespace

int run_reboot(const Options &opt, const Args &) { return power_command(opt, CMD_REBOOT); }

int run_halt(const Options &opt, const Args &) { return power_command(opt, CMD_HALT); }

namespace {

std::string dump_reply(const ReplyBytes &reply) {
  size_t last = reply.size();
  while (last > 0 && reply[last - 1] == 0) --last;
  const size_t shown = std::max<size_t>(16, (last + 15) / 16 * 16);
  std::string text;
  char part[24];
  for (size_t row = 0; row < shown; row += 16) {
    snprintf(part, sizeof part, "%03zu:", row);
    text += part;
    for (size_t i = row; i < row + 16; ++i) {
      snprintf(part, sizeof part, " %02x", reply[i]);
      text += part;
    }
    text += "\n";
  }
  if (shown < reply.size()) text += "(bytes " + std::to_string(shown) + "..511 zero)\n";
  return text;
}

}  // namespace

int run_raw(const Options &opt, const Args &args) {
  // The code in hex, as every code is written: 0a, 0x0a, 0A.
  std::vector<uint8_t> code;
  if (!parse_hex(args[0], code) || code.size() != 1) {
    say_error("the command code must be one byte in hex (00..ff, with or without 0x), not '" + args[0] + "'");
    return exit_usage;
  }
  std::vector<uint8_t> payload;
  if (args.size() == 2 && !parse_hex(args[1], payload)) {
    say_error("the raw payload must be hex digits in pairs, not '" + args[1] + "'");
    return exit_usage;
  }
  if (payload.size() > command_record_len - reply_result) {
    say_error("the raw payload may have at most " + std::to_string(command_record_len - reply_result) +
              " bytes, not " + std::to_string(payload.size()));
    return exit_usage;
  }
  Port port(opt);
  if (!port.ok()) return exit_usage;
  ReplyBytes reply{};
  const Exchange result = exchange(opt, port.fd, code[0], payload, {}, reply, nullptr, true);
  // The reply is shown whatever it says, the failure reply too; only a missing one fails (a
  // device that went away sent none).
  if (result != Exchange::ok && result != Exchange::failed) {
    char what[32];
    snprintf(what, sizeof what, "command 0x%02X", code[0]);
    say_error(exchange_failure(opt, what, result));
    return exit_device;
  }
  std::string hex;
  for (uint8_t byte : reply) {
    char two[3];
    snprintf(two, sizeof two, "%02x", byte);
    hex += two;
  }
  print_result(opt, {{"code", code[0]}, {"failed", result == Exchange::failed}, {"reply", hex}}, dump_reply(reply));
  return result == Exchange::failed ? exit_device : exit_ok;
}
