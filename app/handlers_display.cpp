// Display commands: rotation, backlight, frame rate, host JPEG and PNG frames, pictures from
// the device's files and the slideshow.
#include <cstdio>

#include "app/command_args.h"
#include "app/globals.h"
#include "app/handlers_internal.h"
#include "crypto/host_packet.h"
#include "disp/disp.h"
#include "disp/image.h"
#include "h264/local_player.h"
#include "mcu/gui_shm.h"
#include "screen/player.h"
#include "screen/screen.h"
#include "storage/util.h"

// Applied at once; a rotation that cannot be stored is answered as failed.
// The panel and the setting change together under cfg_lock, as the controller's do.
HandlerEnd cmd_set_rotation(const HostCommand &cmd, uint8_t *reply) {
  uint8_t code = cmd.payload[0];
  {
    std::lock_guard<std::recursive_mutex> hold(cfg_lock);
    set_rotation(code);
    cfg.local_rotation = code;
  }
  if (SaveConfig() != 0) return failure_reply(reply, "rotation not stored");
  return HandlerEnd::reply;
}

// Level 0 darkens the screen and keeps the level that a later restore brings back.
HandlerEnd cmd_set_brightness(const HostCommand &cmd, uint8_t *) {
  uint8_t level = cmd.payload[0];
  if (level == 0) {
    set_brightness(0, 1);
  } else {
    set_brightness(level, 0);
  }
  return HandlerEnd::reply;
}

HandlerEnd cmd_set_framerate(const HostCommand &cmd, uint8_t *) {
  set_framerate(cmd.payload[0]);
  return HandlerEnd::reply;
}

// The frame is read before anything stops: a block that fails to arrive changes nothing.
HandlerEnd cmd_show_jpg(const HostCommand &cmd, uint8_t *) {
  uint32_t length = read_be32(&cmd.code + command_first_value);
  if (auto end = unless_block_ok(read_follow_on_block(length))) return *end;
  screen_show_host_jpeg(r_buf, int(length));  // a playing local video stops first
  return HandlerEnd::reply;
}

HandlerEnd cmd_show_png(const HostCommand &cmd, uint8_t *) {
  uint32_t length = read_be32(&cmd.code + command_first_value);
  if (auto end = unless_block_ok(read_follow_on_block(length))) return *end;
  screen_show_host_png(r_buf, int(length));  // the GUI pauses first
  return HandlerEnd::reply;
}

HandlerEnd cmd_play_local_jpg(const HostCommand &cmd, uint8_t *) {
  puts("CMD_PLAY_LOCAL_JPG \r");
  std::optional<std::string> name = take_name_argument(cmd);
  if (!name) return HandlerEnd::reply;
  screen_show_host_jpeg_file(name->c_str());
  return HandlerEnd::reply;
}

HandlerEnd cmd_stop_local_jpg(const HostCommand &, uint8_t *) {
  screen_stop_slideshow();
  return HandlerEnd::reply;
}
