// Device commands: the identity, the stored settings, the USB-display marker and the device
// image's reboot and halt.
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "app/globals.h"
#include "app/handlers_internal.h"
#include "crypto/host_packet.h"
#include "platform/root_path.h"
#include "storage/util.h"

HandlerEnd cmd_get_version(const HostCommand &, uint8_t *reply) {
  // The identity at reply bytes 8.., without its terminator.
  if (version_info != nullptr) {
    memcpy(reply + reply_result, version_info, strnlen(version_info, cmd_len - reply_result));
  }
  return HandlerEnd::reply;
}

// The reply goes out when the command returns; on the device a reboot may never let it.
HandlerEnd cmd_reboot(const HostCommand &, uint8_t *) {
  run_device_command("reboot", {}, false);
  return HandlerEnd::reply;
}

HandlerEnd cmd_halt(const HostCommand &, uint8_t *) {
  run_device_command("halt", {}, false);
  return HandlerEnd::reply;
}

// Stored only: nothing changes on the screen until the values are used at the next start.
HandlerEnd cmd_set_config(const HostCommand &cmd, uint8_t *reply) {
  const uint8_t *p = cmd.payload;
  {
    std::lock_guard<std::recursive_mutex> hold(cfg_lock);
    cfg.brightness = p[0];
    cfg.mode = p[1];
    cfg.aux2 = p[2];
    cfg.local_rotation = p[3];
    cfg.aux4 = p[4];
    cfg.keep_on = p[5];
  }
  if (SaveConfig() != 0) return failure_reply(reply, "settings not stored");
  return HandlerEnd::reply;
}

HandlerEnd cmd_mark_usb_display(const HostCommand &, uint8_t *reply) {
  int fd = open_regular_file("/usr/data/usb_display", O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return failure_reply(reply, "/usr/data/usb_display not created");
  close(fd);
  return HandlerEnd::reply;
}
