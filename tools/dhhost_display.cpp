// dhhost's display subcommands: rotation, backlight, frame rate, pictures, the slideshow.
#include <cstdio>
#include <cstring>

#include "crypto/host_packet.h"
#include "tools/dhhost.h"

namespace {

int byte_command(const Options &opt, const Args &args, uint8_t code, uint64_t max, const std::string &what) {
  uint64_t value = 0;
  if (!parse_number(args[0], 0, max, what, value)) return exit_usage;
  const uint8_t payload[1] = {uint8_t(value)};
  return simple_command(opt, code, payload);
}

// A picture file sent as the block of `code`, its length at command bytes 8..11.
int picture_command(const Options &opt, const Args &args, uint8_t code, const char *what) {
  LocalFile file;
  if (!file.open(args[0], uint64_t(max_packet_len), false, what)) return exit_usage;
  std::vector<uint8_t> data;
  if (!file.read(size_t(file.size()), data)) return exit_usage;
  uint8_t payload[4];
  write_be32(payload, uint32_t(data.size()));
  Port port(opt);
  if (!port.ok()) return exit_usage;
  ReplyBytes reply{};
  size_t filler = 0;
  const Exchange result = exchange(opt, port.fd, code, payload, data, reply, &filler);
  if (filler > 0) {
    say_error("interrupted: the picture was finished with " + std::to_string(filler) +
              " filler bytes to keep the link aligned; the device may show it damaged or not at all");
    return exit_device;
  }
  if (result != Exchange::ok) {
    char name[32];
    snprintf(name, sizeof name, "command 0x%02X", code);
    say_error(exchange_failure(opt, name, result) + "; the picture may not be shown");
    return exit_device;
  }
  print_done(opt);
  return exit_ok;
}

}  // namespace

int run_rotate(const Options &opt, const Args &args) {
  return byte_command(opt, args, CMD_SET_ROTATION, 3, "the rotation code (0, 1, 2, 3 for 0, 90, 180, 270 degrees)");
}

int run_brightness(const Options &opt, const Args &args) {
  return byte_command(opt, args, CMD_SET_BRIGHTNESS, 100, "the brightness level");
}

int run_fps(const Options &opt, const Args &args) {
  return byte_command(opt, args, CMD_SET_FRAMERATE, 255, "the frame rate");
}

int run_jpg(const Options &opt, const Args &args) { return picture_command(opt, args, CMD_SHOW_JPG, "a JPEG picture"); }

int run_png(const Options &opt, const Args &args) { return picture_command(opt, args, CMD_SHOW_PNG, "a PNG picture"); }

int run_show_local(const Options &opt, const Args &args) {
  if (args[0].empty() || args[0].size() > command_name_max) {
    say_error("a remote path must be 1 to " + std::to_string(command_name_max) + " bytes long");
    return exit_usage;
  }
  std::string payload = name_payload(args[0]);
  return simple_command(opt, CMD_PLAY_LOCAL_JPG, bytes_of(payload));
}

int run_stop_slideshow(const Options &opt, const Args &) {
  return simple_command(opt, CMD_STOP_LOCAL_JPG);
}
