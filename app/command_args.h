// The two helpers every host command handler uses: taking the name argument of a command and
// reading the raw block that follows a packet. Both refuse what would not fit, so a handler
// never reads past the command record or writes past r_buf.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

struct HostCommand;

// The name argument: L (command bytes 8..11, big-endian) bytes from command byte 16, as a
// terminated string. A name longer than 480 bytes would run past the shortest record: it is
// refused with a message (std::nullopt), and the handler takes no action.
std::optional<std::string> take_name_argument(const HostCommand &cmd);

enum class BlockRead {
  ok,        // the whole block is in r_buf
  too_long,  // longer than r_buf: read in pieces and thrown away; the framing is intact
  failed,    // could not be read whole: abandon the command and let the port be reopened
};

// Reads the follow-on block of `length` bytes into r_buf.
BlockRead read_follow_on_block(uint32_t length);
