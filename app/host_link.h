// The host command link: reads 512-byte packets from the host port, checks and deciphers them,
// runs their handlers and writes each reply after its command has been carried out.
#pragma once

#include <cstdint>

// Serves tty_fd until a packet read fails (15 s without data, a 2 s gap inside a packet, a
// read error) or a follow-on block cannot be read whole; then returns -1 so that start-up
// closes and reopens the port. `reply` is the 512-byte reply buffer.
int host_command_loop(uint8_t *reply);
