// Controller commands: the messages relayed to the cooling controller (lighting, pump and
// fan, firmware), the host's theme record, the controller's status for the host, and the
// decoder test. While the controller reports wireless mode (control mode 1) the relays and
// the theme record are dropped whole: no action, no reply, and a block that follows is not
// read (the packet loop then meets its bytes as further packets, as the host expects).
#include <cstdio>

#include "app/command_args.h"
#include "app/globals.h"
#include "app/handlers_internal.h"
#include "crypto/host_packet.h"
#include "mcu/mcu.h"
#include "platform/root_path.h"
#include "usb_state/usb_state.h"

namespace {

// Reads the block of a relay whose length is command bytes 12..15. A block longer than r_buf
// is read off the port and nothing is forwarded; one that stops coming abandons the command.
BlockRead relay_block(const HostCommand &cmd, uint32_t &length) {
  length = read_be32(&cmd.code + command_second_value);
  return read_follow_on_block(length);
}

}  // namespace

HandlerEnd cmd_mcu_erase(const HostCommand &, uint8_t *reply) {
  if (mcu_gate_closed()) return HandlerEnd::drop;
  if (mcu_erase() != 0) return failure_reply(reply, "firmware erase not sent");
  return HandlerEnd::reply;
}

HandlerEnd cmd_mcu_update_data(const HostCommand &cmd, uint8_t *reply) {
  if (mcu_gate_closed()) return HandlerEnd::drop;
  uint32_t length = 0;
  if (auto end = unless_block_ok(relay_block(cmd, length))) return *end;
  if (mcu_update_data(r_buf, length) != 0) return failure_reply(reply, "firmware data not sent whole");
  return HandlerEnd::reply;
}

HandlerEnd cmd_set_theme(const HostCommand &cmd, uint8_t *) {
  if (mcu_gate_closed()) return HandlerEnd::drop;
  mcu_set_theme(cmd.payload);  // command bytes 8..71
  return HandlerEnd::reply;
}

HandlerEnd cmd_get_mcu_data(const HostCommand &, uint8_t *reply) {
  mcu_get_data(reply);
  return HandlerEnd::reply;
}

HandlerEnd cmd_mcu_set_pump_fan(const HostCommand &cmd, uint8_t *reply) {
  if (mcu_gate_closed()) return HandlerEnd::drop;
  if (mcu_set_pump_fan(cmd.payload) != 0) {  // command bytes 8..21
    return failure_reply(reply, "pump/fan settings not sent whole");
  }
  return HandlerEnd::reply;
}

HandlerEnd cmd_mcu_light_data(const HostCommand &cmd, uint8_t *reply) {
  if (mcu_gate_closed()) return HandlerEnd::drop;
  uint32_t length = 0;
  if (auto end = unless_block_ok(relay_block(cmd, length))) return *end;
  if (mcu_light_data(r_buf, length) != 0) return failure_reply(reply, "lighting data not sent whole");
  return HandlerEnd::reply;
}

HandlerEnd cmd_get_group_position(const HostCommand &, uint8_t *reply) {
  mcu_get_group_position(reply);
  return HandlerEnd::reply;
}

// Marks the test and starts the device image's decoder test tool in the background; from
// now on the USB monitor leaves the screen alone.
HandlerEnd cmd_test_h264_decode(const HostCommand &, uint8_t *) {
  test_h264 = 1;
  run_device_command("cmd_h264_direct_decode",
                     {"infile=/media/out.h264", "width=400", "height=400"}, true);
  return HandlerEnd::reply;
}
