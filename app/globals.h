// The long-lived buffers that start-up allocates once and never releases.
#pragma once

#include <cstdint>

// --- Main thread only: the host command loop builds every reply here (cmd_len bytes)...
extern uint8_t *reply_buf;
// ...and receives every packet and follow-on block here.
extern uint8_t *r_buf;         // max_packet_len bytes
// --- Allocated by start-up before the controller thread starts; that thread alone uses it.
extern uint8_t *uart_r_buf;    // 512 bytes
// --- Set once by start-up; read by the version command.
extern char *version_info;

constexpr int uart_r_buf_len = 512;
