// dhhost's device subcommands: identity, settings, marker, reboot and halt, and raw commands.
#include <cctype>
#include <cstdio>
#include <cstring>

#include "app/host_packet.h"
#include "tools/dhhost.h"

int run_version(const Options &opt, const Args &args) {
  if (!args.empty()) return wrong_arguments;
  ReplyBytes reply{};
  if (int status = query(opt, CMD_GET_VERSION, reply); status != exit_ok) return status;
  const char *text = reinterpret_cast<const char *>(reply.data() + reply_result);
  std::string version(text, strnlen(text, reply.size() - reply_result));
  if (opt.json) {
    printf("{\"version\": %s}\n", json_string(version).c_str());
  } else {
    printf("%s\n", version.c_str());
  }
  return exit_ok;
}

int run_config(const Options &opt, const Args &args) {
  if (args.size() != 6) return wrong_arguments;
  static const char *const names[] = {"BRIGHTNESS", "MODE", "AUX2", "ROTATION", "AUX4", "KEEP_ON"};
  uint8_t payload[6];
  for (size_t i = 0; i < 6; ++i) {
    uint64_t value = 0;
    if (!parse_number(args[i], 255, names[i], value)) return exit_usage;
    payload[i] = uint8_t(value);
  }
  return simple_command(opt, CMD_SET_CONFIG, payload);
}

int run_mark_usb_display(const Options &opt, const Args &args) {
  if (!args.empty()) return wrong_arguments;
  return simple_command(opt, CMD_MARK_USB_DISPLAY);
}

int run_reboot(const Options &opt, const Args &args) {
  if (!args.empty()) return wrong_arguments;
  return simple_command(opt, CMD_REBOOT);
}

int run_halt(const Options &opt, const Args &args) {
  if (!args.empty()) return wrong_arguments;
  return simple_command(opt, CMD_HALT);
}

namespace {

bool parse_hex(const std::string &text, std::vector<uint8_t> &bytes) {
  std::string digits;
  for (char c : text) {
    if (c == ' ' || c == ':') continue;
    if (!isxdigit(static_cast<unsigned char>(c))) return false;
    digits += c;
  }
  if (digits.size() % 2 != 0) return false;
  for (size_t i = 0; i < digits.size(); i += 2) {
    bytes.push_back(uint8_t(std::stoul(digits.substr(i, 2), nullptr, 16)));
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

}  // namespace

int run_raw(const Options &opt, const Args &args) {
  if (args.empty() || args.size() > 2) return wrong_arguments;
  uint64_t code = 0;
  if (!parse_number(args[0], 255, "command code (0x.. for hex)", code)) return exit_usage;
  std::vector<uint8_t> payload;
  if (args.size() == 2 && !parse_hex(args[1], payload)) {
    fprintf(stderr, "dhhost: raw: payload must be hex digits, not %s\n", args[1].c_str());
    return exit_usage;
  }
  if (payload.size() > command_record_len - reply_result) {
    fprintf(stderr, "dhhost: raw: payload too long: %zu bytes, at most %zu\n", payload.size(),
            command_record_len - reply_result);
    return exit_usage;
  }
  Port port(opt);
  if (!port.ok()) return exit_usage;
  ReplyBytes reply{};
  if (!transact(opt, port.fd, uint8_t(code), payload, {}, reply)) return exit_device;
  print_reply(reply);
  return exit_ok;
}
