// dhhost's controller subcommands: the relays to the cooling controller (lighting, pump and
// fan, firmware), the host theme record, the controller's status, and the decoder test.
//
// While the controller reports wireless mode the device drops the relays and the theme
// record without a reply; dhhost then names that as the likely cause of the time-out. A relay
// the device could not pass on comes back as its failure reply.
#include <cstdio>
#include <cstring>

#include "crypto/host_packet.h"
#include "tools/dhhost.h"

namespace {

constexpr size_t theme_record_len = 64;
constexpr size_t pump_fan_len = 14;
constexpr uint64_t default_fw_chunk = 4096;

bool read_hex_exactly(const std::string &text, size_t length, const std::string &what, std::vector<uint8_t> &bytes) {
  if (!parse_hex(text, bytes)) {
    say_error(what + " must be hex digits in pairs, not '" + text + "'");
    return false;
  }
  if (bytes.size() != length) {
    say_error(what + " must be " + std::to_string(length) + " bytes (" + std::to_string(length * 2) +
              " hex digits), not " + std::to_string(bytes.size() * 2) + " digits");
    return false;
  }
  return true;
}

// The words for a relay that went wrong: without a reply the likely cause is wireless mode,
// in which the device drops controller commands unanswered.
std::string relay_failure(const Options &opt, uint8_t code, Exchange result) {
  char what[32];
  snprintf(what, sizeof what, "command 0x%02X", code);
  std::string text = exchange_failure(opt, what, result);
  if (result == Exchange::no_reply) {
    text += "; if the controller is in wireless mode, the device drops controller commands without a reply";
  } else if (result == Exchange::failed) {
    text += ": the controller did not get it";
  }
  return text;
}

// A relay with a block: its length at command bytes 12..15.
Exchange send_relay_block(const Options &opt, int fd, uint8_t code, std::span<const uint8_t> block, size_t &filler) {
  uint8_t payload[8] = {};
  write_be32(payload + 4, uint32_t(block.size()));
  ReplyBytes reply{};
  return exchange(opt, fd, code, payload, block, reply, &filler);
}

// A relay without a block, on a port of its own.
int relay(const Options &opt, uint8_t code, std::span<const uint8_t> payload) {
  Port port(opt);
  if (!port.ok()) return exit_usage;
  ReplyBytes reply{};
  const Exchange result = exchange(opt, port.fd, code, payload, {}, reply, nullptr, true);
  if (result != Exchange::ok) {
    say_error(relay_failure(opt, code, result));
    return exit_device;
  }
  print_done(opt);
  return exit_ok;
}

}  // namespace

int run_theme(const Options &opt, const Args &args) {
  std::vector<uint8_t> record;
  if (!read_hex_exactly(args[0], theme_record_len, "the theme record", record)) return exit_usage;
  return relay(opt, CMD_SET_THEME, record);
}

int run_pump_fan(const Options &opt, const Args &args) {
  std::vector<uint8_t> settings;
  if (!read_hex_exactly(args[0], pump_fan_len, "the pump and fan settings", settings)) return exit_usage;
  return relay(opt, CMD_MCU_SET_PUMP_FAN, settings);
}

int run_light(const Options &opt, const Args &args) {
  LocalFile file;
  if (!file.open(args[0], uint64_t(max_packet_len), true, "lighting data")) return exit_usage;
  std::vector<uint8_t> data;
  if (!file.read(size_t(file.size()), data)) return exit_usage;
  Port port(opt);
  if (!port.ok()) return exit_usage;
  size_t filler = 0;
  const Exchange result = send_relay_block(opt, port.fd, CMD_MCU_LIGHT_DATA, data, filler);
  if (filler > 0) {
    say_error("interrupted: the lighting data was finished with " + std::to_string(filler) +
              " filler bytes to keep the link aligned, and the controller got them");
    return exit_device;
  }
  if (result != Exchange::ok) {
    say_error(relay_failure(opt, CMD_MCU_LIGHT_DATA, result));
    return exit_device;
  }
  print_done(opt);
  return exit_ok;
}

int run_fw_update(const Options &opt, const Args &args) {
  uint64_t chunk = default_fw_chunk;
  if (opt.chunk && !parse_number(*opt.chunk, 1, uint64_t(max_packet_len), "--chunk", chunk)) return exit_usage;
  // Checked before the erase: an empty or unreadable image must not cost the old firmware.
  LocalFile image;
  if (!image.open(args[0], UINT32_MAX, false, "a firmware image")) {
    say_error("the controller's firmware was not erased");
    return exit_usage;
  }
  Port port(opt);
  if (!port.ok()) return exit_usage;
  ReplyBytes reply{};
  const Exchange erased = exchange(opt, port.fd, CMD_MCU_ERASE, {}, {}, reply);
  if (erased != Exchange::ok) {
    say_error(relay_failure(opt, CMD_MCU_ERASE, erased) + "; no image was sent");
    return exit_device;
  }
  Progress progress(image.size());
  std::vector<uint8_t> piece;
  for (uint64_t done = 0; done < image.size();) {
    const auto left_with = [&](const std::string &why) {
      say_error(why + ": the controller's firmware is erased and it has " + std::to_string(done) + " of " +
                std::to_string(image.size()) + " bytes of the new image; run fw-update again");
    };
    if (interrupted()) {
      left_with("interrupted");
      return exit_device;
    }
    if (!image.read(size_t(std::min<uint64_t>(chunk, image.size() - done)), piece)) return exit_device;
    if (piece.empty()) {
      left_with(image.path() + " became shorter while it was sent");
      return exit_device;
    }
    size_t filler = 0;
    const Exchange sent = send_relay_block(opt, port.fd, CMD_MCU_UPDATE_DATA, piece, filler);
    if (filler > 0) {
      done += piece.size() - filler;
      left_with("interrupted (the last chunk was finished with " + std::to_string(filler) +
                " filler bytes to keep the link aligned, and the controller got them)");
      return exit_device;
    }
    if (sent != Exchange::ok) {
      left_with(relay_failure(opt, CMD_MCU_UPDATE_DATA, sent));
      return exit_device;
    }
    done += piece.size();
    progress.update(done);
  }
  print_result(opt, {{"ok", true}, {"bytes", image.size()}});
  return exit_ok;
}

int run_mcu_data(const Options &opt, const Args &) {
  ReplyBytes reply{};
  if (int status = query(opt, CMD_GET_MCU_DATA, reply); status != exit_ok) return status;
  std::string hex;
  for (size_t i = 0; i < 32; ++i) {
    char byte[4];
    snprintf(byte, sizeof byte, "%02x", reply[reply_result + i]);
    hex += byte;
  }
  print_result(opt, {{"mcu_data", hex}}, hex + "\n");
  return exit_ok;
}

int run_group(const Options &opt, const Args &) {
  ReplyBytes reply{};
  if (int status = query(opt, CMD_GET_GROUP_POSITION, reply); status != exit_ok) return status;
  print_result(opt, {{"group", reply[8]}, {"position", reply[9]}},
               "group " + std::to_string(reply[8]) + " position " + std::to_string(reply[9]) + "\n");
  return exit_ok;
}

int run_test_decode(const Options &opt, const Args &) {
  return simple_command(opt, CMD_TEST_H264_DECODE);
}
