// The host command table.
//
// Each code maps to one handler; codes that have none get the standard reply with an all-zero
// result. A handler reads its arguments through command_args (which refuses names and blocks
// that would not fit), calls the operation of its subsystem, and fills the result bytes of the
// reply; the packet loop adds the header and sends it after the handler has returned.
#include "app/handlers.h"

#include <cstring>

#include "app/globals.h"
#include "app/host_packet.h"
#include "storage/version.h"

namespace {

// 0x0A: the device identity at reply bytes 8.., without its terminator.
HandlerEnd cmd_get_version(const HostCommand &, uint8_t *reply) {
  if (version_info != nullptr) {
    memcpy(reply + reply_result, version_info, strnlen(version_info, cmd_len - reply_result));
  }
  return HandlerEnd::reply;
}

}  // namespace

HandlerEnd handle_host_command(const HostCommand &cmd, uint8_t *reply) {
  switch (cmd.code) {
    case CMD_GET_VERSION:
      return cmd_get_version(cmd, reply);
    default:
      return HandlerEnd::reply;
  }
}
