// dhhost's controller subcommands: the relays to the cooling controller (lighting, pump and
// fan, firmware), the host theme record, the controller's status, and the decoder test.
//
// While the controller reports wireless mode the device drops the relays and the theme
// record without a reply; dhhost then says so instead of a bare time-out.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "app/host_packet.h"
#include "tools/dhhost.h"

namespace {

constexpr size_t theme_record_len = 64;
constexpr size_t pump_fan_len = 14;
constexpr uint64_t default_fw_chunk = 4096;

bool read_hex_exactly(const std::string &text, size_t length, const char *what, std::vector<uint8_t> &bytes) {
  std::string digits;
  for (char c : text) {
    if (c == ' ' || c == ':') continue;
    if (!isxdigit(static_cast<unsigned char>(c))) {
      fprintf(stderr, "dhhost: %s must be hex digits, not '%s'\n", what, text.c_str());
      return false;
    }
    digits += c;
  }
  if (digits.size() != length * 2) {
    fprintf(stderr, "dhhost: %s must be %zu bytes (%zu hex digits), not %zu digits\n", what, length,
            length * 2, digits.size());
    return false;
  }
  for (size_t i = 0; i < digits.size(); i += 2) bytes.push_back(uint8_t(std::stoul(digits.substr(i, 2), nullptr, 16)));
  return true;
}

// A relay that got no reply: most likely the controller is in wireless mode.
int relay_result(bool answered) {
  if (answered) return exit_ok;
  fprintf(stderr, "dhhost: (the device drops controller commands while the controller is in wireless mode)\n");
  return exit_device;
}

// A relay with a block: its length at command bytes 12..15.
bool send_relay_block(const Options &opt, int fd, uint8_t code, std::span<const uint8_t> block) {
  uint8_t payload[8] = {};
  write_be32(payload + 4, uint32_t(block.size()));
  ReplyBytes reply{};
  return transact(opt, fd, code, payload, block, reply);
}

}  // namespace

int run_theme(const Options &opt, const Args &args) {
  if (args.size() != 1) return wrong_arguments;
  std::vector<uint8_t> record;
  if (!read_hex_exactly(args[0], theme_record_len, "the theme record", record)) return exit_usage;
  Port port(opt);
  if (!port.ok()) return exit_usage;
  ReplyBytes reply{};
  return relay_result(transact(opt, port.fd, CMD_SET_THEME, record, {}, reply));
}

int run_pump_fan(const Options &opt, const Args &args) {
  if (args.size() != 1) return wrong_arguments;
  std::vector<uint8_t> settings;
  if (!read_hex_exactly(args[0], pump_fan_len, "the pump and fan settings", settings)) return exit_usage;
  Port port(opt);
  if (!port.ok()) return exit_usage;
  ReplyBytes reply{};
  return relay_result(transact(opt, port.fd, CMD_MCU_SET_PUMP_FAN, settings, {}, reply));
}

int run_light(const Options &opt, const Args &args) {
  if (args.size() != 1) return wrong_arguments;
  std::vector<uint8_t> data;
  if (!read_local_file(args[0], data)) return exit_usage;
  if (data.size() > size_t(max_packet_len)) {
    fprintf(stderr, "dhhost: lighting data may have at most %d bytes; %s has %zu\n", max_packet_len,
            args[0].c_str(), data.size());
    return exit_usage;
  }
  Port port(opt);
  if (!port.ok()) return exit_usage;
  return relay_result(send_relay_block(opt, port.fd, CMD_MCU_LIGHT_DATA, data));
}

int run_fw_update(const Options &opt, const Args &args) {
  Args positional;
  uint64_t chunk = default_fw_chunk;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--chunk") {
      if (i + 1 == args.size()) return wrong_arguments;
      if (!parse_number(args[++i], uint64_t(max_packet_len), "--chunk", chunk)) return exit_usage;
      if (chunk == 0) return wrong_arguments;
    } else {
      positional.push_back(args[i]);
    }
  }
  if (positional.size() != 1) return wrong_arguments;
  std::vector<uint8_t> image;
  if (!read_local_file(positional[0], image)) return exit_usage;
  Port port(opt);
  if (!port.ok()) return exit_usage;
  ReplyBytes reply{};
  if (!transact(opt, port.fd, CMD_MCU_ERASE, {}, {}, reply)) return relay_result(false);
  Progress progress(image.size());
  for (size_t done = 0; done < image.size();) {
    size_t length = std::min<size_t>(chunk, image.size() - done);
    if (!send_relay_block(opt, port.fd, CMD_MCU_UPDATE_DATA, std::span(image).subspan(done, length))) {
      fprintf(stderr, "dhhost: firmware update stopped after %zu of %zu bytes\n", done, image.size());
      return relay_result(false);
    }
    done += length;
    progress.update(done);
  }
  return exit_ok;
}

int run_mcu_data(const Options &opt, const Args &args) {
  if (!args.empty()) return wrong_arguments;
  ReplyBytes reply{};
  if (int status = query(opt, CMD_GET_MCU_DATA, reply); status != exit_ok) return status;
  std::string hex;
  for (size_t i = 0; i < 32; ++i) {
    char byte[4];
    snprintf(byte, sizeof byte, "%02x", reply[reply_result + i]);
    hex += byte;
  }
  if (opt.json) {
    printf("{\"mcu_data\": \"%s\"}\n", hex.c_str());
  } else {
    printf("%s\n", hex.c_str());
  }
  return exit_ok;
}

int run_group(const Options &opt, const Args &args) {
  if (!args.empty()) return wrong_arguments;
  ReplyBytes reply{};
  if (int status = query(opt, CMD_GET_GROUP_POSITION, reply); status != exit_ok) return status;
  if (opt.json) {
    printf("{\"group\": %u, \"position\": %u}\n", reply[8], reply[9]);
  } else {
    printf("group %u position %u\n", reply[8], reply[9]);
  }
  return exit_ok;
}

int run_test_decode(const Options &opt, const Args &args) {
  if (!args.empty()) return wrong_arguments;
  return simple_command(opt, CMD_TEST_H264_DECODE);
}
