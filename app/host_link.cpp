// The packet loop.
//
// One request, one answer, strictly in order: the reply is written only after the handler
// has finished, including its block read and any slow action, and every write drains the port.
// A packet with a wrong trailer, a bad padding byte or a wrong check or magic byte is dropped
// without a reply. There is no resynchronisation inside the stream: a lost byte misaligns
// every later read until one fails, and then the port is reopened, which empties its queues.
#include "app/host_link.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "app/globals.h"
#include "app/handlers.h"
#include "app/handlers_internal.h"
#include "crypto/host_packet.h"
#include "crypto/crypto.h"
#include "platform/owners.h"
#include "tty/tty.h"

namespace {
// A command that cannot have the memory it needs is not carried out: it is answered with the
// failure layout and the loop goes on.
HandlerEnd handle_within_memory(const HostCommand &cmd, uint8_t *reply) {
  try {
    return handle_host_command(cmd, reply);
  } catch (const std::bad_alloc &) {
    fprintf(stderr, "command 0x%02x: out of memory, not carried out\n", cmd.code);
    memset(reply, 0, cmd_len);
    return failure_reply(reply, "command not carried out");
  }
}
}  // namespace

int host_command_loop(uint8_t *reply) {
  for (;;) {
    if (uart_read(tty_fd, r_buf, cmd_len) == -1) return -1;
    if (r_buf[510] != packet_trailer_0 || r_buf[511] != packet_trailer_1) continue;

    std::unique_ptr<HostCommand, FreeDeleter> cmd(des_decrypt(r_buf, des_len));
    if (!cmd) continue;
    if (cmd->check != command_check || cmd->magic != command_magic) continue;

    memset(reply, 0, cmd_len);
    switch (handle_within_memory(*cmd, reply)) {
      case HandlerEnd::reply:
        reply[0] = cmd->code;
        reply[1] = reply_status_ok;
        memcpy(reply + 2, cmd->tag, sizeof cmd->tag);
        safe_write(tty_fd, reply, cmd_len);
        break;
      case HandlerEnd::own_answer:
      case HandlerEnd::drop:
        break;
      case HandlerEnd::abandon:
        return -1;
    }
  }
}
