// The host side of the command link, as a host PC program speaks it: build an enciphered
// packet from a code, a tag and a payload, send it with its follow-on block, and read and
// check the reply. dhhost and the system tests use it.
#pragma once

#include <array>
#include <cerrno>
#include <cstdint>
#include <span>
#include <string>

using PacketBytes = std::array<uint8_t, 512>;
using ReplyBytes = std::array<uint8_t, 512>;

// The packet for a command: the 496-byte record (code, 0, 1A, 6D, tag, payload at byte 8),
// DES-CBC enciphered with the packet key as key and IV (504 bytes with the padding), six
// filler bytes and A1 1A. A payload longer than 488 bytes is cut.
PacketBytes build_packet(uint8_t code, const std::array<uint8_t, 4> &tag,
                         std::span<const uint8_t> payload);

// The packet for a whole 504-byte plain text, enciphered without adding padding: for tests
// that need a chosen last byte.
PacketBytes build_packet_from_plain(std::span<const uint8_t, 504> plain);

// A payload carrying L (and M) big-endian at bytes 8..15 and a name from byte 16.
std::string name_payload(const std::string &name);

// Opens a host-side serial port (a USB ACM port, or a pty) in raw mode. -1 with a message.
int host_port_open(const std::string &path);

// How claiming the host port went.
enum class PortClaim {
  ok,
  missing,   // nothing at the path (an unplugged USB serial port leaves none)
  held,      // another program has the port; `error` names it
  not_port,  // neither a terminal nor a socket: left untouched
  failed,    // it could not be opened
};

// The host port for one program alone: a terminal is opened, locked with flock (LOCK_EX,
// as every host program here and pyserial's exclusive mode do; not TIOCEXCL, which a pty
// that the simulator keeps open would keep after the program has gone), set raw and its
// pending input dropped; a Unix socket is connected. `error` says why not.
PortClaim host_port_claim(const std::string &path, int &fd, std::string &error);

// Takes the port's exclusive flock, the one every program of the project takes: a holder that
// is letting go (a bridge whose client has just left) is given half a second.
bool lock_port(int fd);

// Who holds the lock of the terminal at `path`, other than this process: "dhhost (pid 123)",
// joined with ", "; empty when nobody can be seen.
std::string port_holders(const std::string &path);

// errno after a read or write on a port whose device went away: an unplugged USB serial
// port (or the sim's host end, when its cable is pulled or the device restarts) hangs up.
constexpr int port_gone_errno = ENODEV;

// Writes all bytes; 0, or -1 on an error (with errno set; port_gone_errno when the device
// went away).
int host_write_all(int fd, std::span<const uint8_t> bytes);

// Reads up to `count` bytes, waiting at most `timeout_ms` in all. Returns
// the number of bytes read (less than `count` on a time-out), or -1 on an error (errno
// port_gone_errno when the port hung up: the device went away).
long host_read_exact(int fd, uint8_t *buffer, size_t count, int timeout_ms);

enum class ReplyCheck {
  ok,
  no_reply,      // nothing, or not a whole reply, within the time
  port_error,    // the port could not be written or read
  bad_header,    // code, status or tag do not match the command
};
const char *describe(ReplyCheck result);

// Sends one command (and its block) and reads its reply. With `raw_page` the reply is a
// listing page without a header and is not checked.
ReplyCheck host_transact(int fd, uint8_t code, std::span<const uint8_t> payload,
                         std::span<const uint8_t> block, ReplyBytes &reply, int timeout_ms,
                         bool raw_page = false);
