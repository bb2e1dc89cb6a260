// The host command set: what each command code does and what its reply carries.
// Handlers run on the main thread inside the packet loop, one at a time, each to completion
// before its reply is written.
#pragma once

#include <cstdint>

struct HostCommand;

enum class HandlerEnd {
  reply,       // the loop sends the standard reply built in the reply buffer
  own_answer,  // the handler has written its own 512 bytes
  drop,        // no reply at all
  abandon,     // the follow-on block could not be read whole: no reply, reopen the port
};

// Runs the handler of cmd.code with a cleared 512-byte reply buffer. Codes without a
// handler do nothing and get the standard reply.
HandlerEnd handle_host_command(const HostCommand &cmd, uint8_t *reply);

