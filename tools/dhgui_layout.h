// The shared block as the GUI process knows it: the interface the display head documents for
// it, written down here on its own, not taken from the daemon's header, so that a test holding
// the two side by side catches a change made on one side only.
//
// "/demo_shm", 4096 bytes, mapped shared:
//   0..127   the record: 0xA1 at 0 (data records), kind at 1 (0x51 data, 0x99 command),
//            pause 12 34 56 / resume 65 43 21 at 2..4, control mode 3, water temperature 4,
//            pump speed 11..12 big-endian, theme index 34, 0xB1 at 127
//   128..131 new-data flag, int32, 1 after every publish
//   136      process-shared robust mutex (the platform's native object)
//   then     process-shared condition variable, at the next 8-byte boundary after the mutex:
//            160 on the board (24-byte mutex), 176 on x86-64 (40-byte mutex)
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>

namespace dhgui_layout {
inline constexpr size_t block_size = 4096;
inline constexpr size_t record_size = 128;
inline constexpr size_t flag_offset = 128;
inline constexpr size_t mutex_offset = 136;
inline constexpr size_t cond_offset = (mutex_offset + sizeof(pthread_mutex_t) + 7) / 8 * 8;

inline constexpr size_t start_marker = 0;
inline constexpr size_t kind = 1;
inline constexpr size_t command = 2;
inline constexpr size_t mode = 3;
inline constexpr size_t temperature = 4;
inline constexpr size_t pump_high = 11;
inline constexpr size_t pump_low = 12;
inline constexpr size_t theme = 34;
inline constexpr size_t end_marker = 127;

inline constexpr uint8_t start_byte = 0xA1;
inline constexpr uint8_t end_byte = 0xB1;
inline constexpr uint8_t kind_data = 0x51;
inline constexpr uint8_t kind_command = 0x99;
inline constexpr uint8_t pause_code[3] = {0x12, 0x34, 0x56};
inline constexpr uint8_t resume_code[3] = {0x65, 0x43, 0x21};
}  // namespace dhgui_layout

static_assert(dhgui_layout::cond_offset + sizeof(pthread_cond_t) <= dhgui_layout::block_size);
