// State the host command handlers keep between packets.
//
// --- Main thread only, except test_h264, which the USB monitor reads.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>

// The upload stream opened by 0x26 and written by 0x27; null when no upload is open.
extern FILE *saveFp;
// Where the next 0x63 page starts in dir_result: 0, 512, ..., 9728. Start-up sets it to 0
// once; a reopen of the port does not reset it.
extern int32_t dir_page_offset;
// Firmware-erase flag of the controller relay.
extern uint8_t use_erase;
// The prefix of the firmware messages to the controller (first byte changed by the erase).
extern uint8_t before_data[7];
// Once 1 (0xFD), the USB monitor stops acting, for the life of the process.
extern std::atomic<uint8_t> test_h264;
