// The block shared with the GUI process ("/demo_shm", 4096 bytes): the whole interface between
// the two processes, and the daemon's one description of what a publish writes. Native byte
// order (little-endian on the board), except the pump speed: big-endian, byte 11 high.
// Bytes 0..127 are the record, 128..131 the new-data flag (the daemon sets 1 at every publish,
// the reader 0). At 136 the process-shared robust mutex, then the process-shared condition
// variable at the next 8-byte boundary: 160 on the board, 176 on x86-64 (a 40-byte mutex).
// Both processes must be built for the same platform.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>

inline constexpr size_t gui_block_size = 4096;
inline constexpr size_t gui_mutex_offset = 136;
inline constexpr size_t gui_cond_offset =
    (gui_mutex_offset + sizeof(pthread_mutex_t) + 7) / 8 * 8;

// Offsets into the 128-byte record.
namespace gui_record {
inline constexpr size_t size = 128;
inline constexpr size_t start_marker = 0;       // 0xA1, written by data records only
inline constexpr size_t kind = 1;               // 0x51 data record, 0x99 command
inline constexpr size_t command_code = 2;       // 3 bytes in a command: pause or resume
inline constexpr size_t command_code_size = 3;
inline constexpr size_t control_mode = 3;       // data record: control mode
inline constexpr size_t water_temp = 4;         // data record: water temperature
inline constexpr size_t theme_data_first = 5;   // 6 bytes of theme data, 5..10
inline constexpr size_t pump_speed_high = 11;   // data record: pump speed, big-endian
inline constexpr size_t pump_speed_low = 12;
inline constexpr size_t theme_data_second = 13; // 21 bytes of theme data, 13..33
inline constexpr size_t theme_index = 34;       // data record: theme index
// The wireless copy: controller frame bytes 3..66 land on the same offsets (35..66: the rest of
// the display record).
inline constexpr size_t display_record_first = 3;
inline constexpr size_t display_record_end = 67;  // one past the last byte
inline constexpr size_t end_marker = 127;       // 0xB1, every publish
}  // namespace gui_record

inline constexpr uint8_t gui_record_start_byte = 0xA1;
inline constexpr uint8_t gui_record_end_byte = 0xB1;
inline constexpr uint8_t gui_kind_data = 0x51;
inline constexpr uint8_t gui_kind_command = 0x99;
inline constexpr uint8_t gui_pause_command[gui_record::command_code_size] = {0x12, 0x34, 0x56};
inline constexpr uint8_t gui_resume_command[gui_record::command_code_size] = {0x65, 0x43, 0x21};

// The mapped block. `mutex` guards the record and the flag for both processes; `cond` is
// signalled after every publish. Only pthread calls may touch the two native objects.
struct GuiSharedBlock {
  uint8_t record[gui_record::size];
  int32_t new_data;
  alignas(8) pthread_mutex_t mutex;
  alignas(8) pthread_cond_t cond;
};

static_assert(offsetof(GuiSharedBlock, new_data) == 128 &&
              offsetof(GuiSharedBlock, mutex) == gui_mutex_offset &&
              offsetof(GuiSharedBlock, cond) == gui_cond_offset &&
              sizeof(GuiSharedBlock) <= gui_block_size);
// The board: exactly the layout the GUI process was built for.
static_assert(!(sizeof(void *) == 4 && sizeof(pthread_mutex_t) == 24) ||
              (offsetof(GuiSharedBlock, cond) == 160 && sizeof(pthread_cond_t) == 48));
