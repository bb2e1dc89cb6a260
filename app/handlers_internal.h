// The handlers, by group; handlers.cpp maps the codes to them. Each gets the deciphered
// command and the cleared reply buffer and says how the exchange ends.
#pragma once

#include <cstdint>
#include <optional>

#include "app/command_args.h"
#include "app/handlers.h"

struct HostCommand;

// How a command ends when its block did not arrive whole: abandoned (the port is reopened)
// when it stopped coming, answered without acting when it was too long; nothing when the
// whole block is in r_buf and the handler goes on.
inline std::optional<HandlerEnd> unless_block_ok(BlockRead read) {
  switch (read) {
    case BlockRead::failed: return HandlerEnd::abandon;
    case BlockRead::too_long: return HandlerEnd::reply;
    case BlockRead::ok: break;
  }
  return std::nullopt;
}

// The answer to a command whose store, write or relay failed, whole or in part: the layout of
// the create-file failure (the header goes over bytes 0..5 later, so the host sees "_failed\0"
// at bytes 6..13 and 0x61 at byte 8), and a line on standard error saying what did not
// happen. Success keeps the all-zero result. Returns HandlerEnd::reply.
HandlerEnd failure_reply(uint8_t *reply, const char *what_failed);

// Device: identity, settings, markers, the device image's commands.
HandlerEnd cmd_get_version(const HostCommand &cmd, uint8_t *reply);
HandlerEnd cmd_reboot(const HostCommand &cmd, uint8_t *reply);
HandlerEnd cmd_halt(const HostCommand &cmd, uint8_t *reply);
HandlerEnd cmd_set_config(const HostCommand &cmd, uint8_t *reply);
HandlerEnd cmd_mark_usb_display(const HostCommand &cmd, uint8_t *reply);

// Display: rotation, backlight, frame rate, pictures.
HandlerEnd cmd_set_rotation(const HostCommand &cmd, uint8_t *reply);
HandlerEnd cmd_set_brightness(const HostCommand &cmd, uint8_t *reply);
HandlerEnd cmd_set_framerate(const HostCommand &cmd, uint8_t *reply);
HandlerEnd cmd_show_jpg(const HostCommand &cmd, uint8_t *reply);
HandlerEnd cmd_show_png(const HostCommand &cmd, uint8_t *reply);
HandlerEnd cmd_play_local_jpg(const HostCommand &cmd, uint8_t *reply);
HandlerEnd cmd_stop_local_jpg(const HostCommand &cmd, uint8_t *reply);

// Video: local playback and the host's stream.
HandlerEnd cmd_play_local_h264(const HostCommand &cmd, uint8_t *reply);
HandlerEnd cmd_stop_local_h264(const HostCommand &cmd, uint8_t *reply);
HandlerEnd cmd_get_local_h264_state(const HostCommand &cmd, uint8_t *reply);
HandlerEnd cmd_push_h264_block(const HostCommand &cmd, uint8_t *reply);
HandlerEnd cmd_get_h264_block_count(const HostCommand &cmd, uint8_t *reply);
HandlerEnd cmd_stop_h264(const HostCommand &cmd, uint8_t *reply);

// Controller: relays, the host theme record, the controller's data, the decoder test.
HandlerEnd cmd_mcu_erase(const HostCommand &cmd, uint8_t *reply);
HandlerEnd cmd_mcu_update_data(const HostCommand &cmd, uint8_t *reply);
HandlerEnd cmd_set_theme(const HostCommand &cmd, uint8_t *reply);
HandlerEnd cmd_get_mcu_data(const HostCommand &cmd, uint8_t *reply);
HandlerEnd cmd_mcu_set_pump_fan(const HostCommand &cmd, uint8_t *reply);
HandlerEnd cmd_mcu_light_data(const HostCommand &cmd, uint8_t *reply);
HandlerEnd cmd_get_group_position(const HostCommand &cmd, uint8_t *reply);
HandlerEnd cmd_test_h264_decode(const HostCommand &cmd, uint8_t *reply);

// Files: upload, small files, deletion, sizes, listings, storage.
HandlerEnd cmd_create_file(const HostCommand &cmd, uint8_t *reply);
HandlerEnd cmd_save_file_buffer(const HostCommand &cmd, uint8_t *reply);
HandlerEnd cmd_save_small_file(const HostCommand &cmd, uint8_t *reply);
HandlerEnd cmd_delete_file(const HostCommand &cmd, uint8_t *reply);
HandlerEnd cmd_get_file_size(const HostCommand &cmd, uint8_t *reply);
HandlerEnd cmd_query_dir(const HostCommand &cmd, uint8_t *reply);
HandlerEnd cmd_query_storage(const HostCommand &cmd, uint8_t *reply);
