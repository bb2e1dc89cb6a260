// Command arguments.
//
// A follow-on block is raw bytes right after the packet, as many as the command says. The
// host link has no framing inside a block, so a block that is refused must still be taken off
// the port, or its bytes would be read as the next packets. An oversized block is therefore
// read in r_buf-sized pieces and dropped. A block that stops coming (2 s of silence) leaves
// the link misaligned: the caller abandons the command without a reply, and the packet loop
// ends as for a failed packet read, so the port is reopened and its queues discarded.
#include "app/command_args.h"

#include <algorithm>
#include <cstdio>

#include "app/globals.h"
#include "crypto/host_packet.h"
#include "tty/tty.h"

std::optional<std::string> take_name_argument(const HostCommand &cmd) {
  const uint8_t *record = &cmd.code;
  uint32_t length = read_be32(record + command_first_value);
  if (length > command_name_max) {
    fprintf(stderr, "name too long: %u bytes, at most %zu: command 0x%02x ignored\n", length,
            command_name_max, cmd.code);
    return std::nullopt;
  }
  return std::string(reinterpret_cast<const char *>(record + command_name), length);
}

BlockRead read_follow_on_block(uint32_t length) {
  // An empty block is read by reading nothing: waiting for a first byte would wait for one
  // the host never sends, since it is waiting for the reply.
  if (length == 0) return BlockRead::ok;
  if (length <= uint32_t(max_packet_len)) {
    return uart_read(tty_fd, r_buf, length) == -1 ? BlockRead::failed : BlockRead::ok;
  }
  fprintf(stderr, "block too long: %u bytes, at most %d: discarded\n", length, max_packet_len);
  uint32_t left = length;
  while (left > 0) {
    uint32_t piece = std::min(left, uint32_t(max_packet_len));
    if (uart_read(tty_fd, r_buf, piece) == -1) return BlockRead::failed;
    left -= piece;
  }
  return BlockRead::too_long;
}
