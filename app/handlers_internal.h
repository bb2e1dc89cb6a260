// The handlers, by group; handlers.cpp maps the codes to them. Each gets the deciphered
// command and the cleared reply buffer and says how the exchange ends.
#pragma once

#include <cstdint>

#include "app/handlers.h"

struct HostCommand;

// Device: identity, settings, markers, the device image's commands.
HandlerEnd cmd_get_version(const HostCommand &cmd, uint8_t *reply);
HandlerEnd cmd_reboot(const HostCommand &cmd, uint8_t *reply);
HandlerEnd cmd_halt(const HostCommand &cmd, uint8_t *reply);
HandlerEnd cmd_set_config(const HostCommand &cmd, uint8_t *reply);
HandlerEnd cmd_mark_usb_display(const HostCommand &cmd, uint8_t *reply);

// Files: upload, small files, deletion, sizes, listings, storage.
HandlerEnd cmd_create_file(const HostCommand &cmd, uint8_t *reply);
HandlerEnd cmd_save_file_buffer(const HostCommand &cmd, uint8_t *reply);
HandlerEnd cmd_save_small_file(const HostCommand &cmd, uint8_t *reply);
HandlerEnd cmd_delete_file(const HostCommand &cmd, uint8_t *reply);
HandlerEnd cmd_get_file_size(const HostCommand &cmd, uint8_t *reply);
HandlerEnd cmd_query_dir(const HostCommand &cmd, uint8_t *reply);
HandlerEnd cmd_query_storage(const HostCommand &cmd, uint8_t *reply);
