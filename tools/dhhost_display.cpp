// dhhost's display subcommands: rotation, backlight, frame rate, pictures, the slideshow.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "app/host_packet.h"
#include "tools/dhhost.h"

namespace {

int byte_command(const Options &opt, const Args &args, uint8_t code, uint64_t max, const char *what) {
  if (args.size() != 1) return wrong_arguments;
  uint64_t value = 0;
  if (!parse_number(args[0], max, what, value)) return exit_usage;
  const uint8_t payload[1] = {uint8_t(value)};
  return simple_command(opt, code, payload);
}

// A picture file sent as the block of `code`, its length at command bytes 8..11.
int picture_command(const Options &opt, const Args &args, uint8_t code) {
  if (args.size() != 1) return wrong_arguments;
  std::vector<uint8_t> data;
  if (!read_local_file(args[0], data)) return exit_usage;
  if (data.size() > size_t(max_packet_len)) {
    fprintf(stderr, "dhhost: %s has %zu bytes; a picture may have at most %d\n", args[0].c_str(),
            data.size(), max_packet_len);
    return exit_usage;
  }
  uint8_t payload[4];
  write_be32(payload, uint32_t(data.size()));
  Port port(opt);
  if (!port.ok()) return exit_usage;
  ReplyBytes reply{};
  return transact(opt, port.fd, code, payload, data, reply) ? exit_ok : exit_device;
}

}  // namespace

int run_rotate(const Options &opt, const Args &args) {
  return byte_command(opt, args, CMD_SET_ROTATION, 3, "rotation code (0, 1, 2, 3 for 0, 90, 180, 270 degrees)");
}

int run_brightness(const Options &opt, const Args &args) {
  return byte_command(opt, args, CMD_SET_BRIGHTNESS, 255, "brightness level");
}

int run_fps(const Options &opt, const Args &args) {
  return byte_command(opt, args, CMD_SET_FRAMERATE, 255, "frame rate");
}

int run_jpg(const Options &opt, const Args &args) { return picture_command(opt, args, CMD_SHOW_JPG); }

int run_png(const Options &opt, const Args &args) { return picture_command(opt, args, CMD_SHOW_PNG); }

int run_show_local(const Options &opt, const Args &args) {
  if (args.size() != 1) return wrong_arguments;
  if (args[0].empty() || args[0].size() > command_name_max) {
    fprintf(stderr, "dhhost: path must be 1 to %zu bytes long\n", command_name_max);
    return exit_usage;
  }
  std::string payload = name_payload(args[0]);
  return simple_command(opt, CMD_PLAY_LOCAL_JPG, bytes_of(payload));
}

int run_stop_slideshow(const Options &opt, const Args &args) {
  if (!args.empty()) return wrong_arguments;
  return simple_command(opt, CMD_STOP_LOCAL_JPG);
}
