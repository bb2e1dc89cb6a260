// Controller frames as the controller sends them, and a view of the GUI block as the GUI
// process sees it, for the controller link tests.
#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <initializer_list>
#include <utility>

#include <gtest/gtest.h>

#include "mcu/gui_shm.h"
#include "mcu/mcu.h"

using Frame = std::array<uint8_t, controller_frame_len>;

// AA 55 TYPE, then `fields` as {offset, value}; everything else 0.
inline Frame make_frame(uint8_t type, std::initializer_list<std::pair<int, uint8_t>> fields = {}) {
  Frame frame{};
  frame[0] = 0xAA;
  frame[1] = 0x55;
  frame[2] = type;
  for (const auto &[offset, value] : fields) frame[size_t(offset)] = value;
  return frame;
}

inline Frame status_frame(uint8_t mode, uint8_t temp = 0, uint16_t pump = 0) {
  return make_frame(frame_status, {{frame_at::mode, mode},
                                   {frame_at::water_temp, temp},
                                   {frame_at::pump_high, uint8_t(pump >> 8)},
                                   {frame_at::pump_low, uint8_t(pump & 0xFF)}});
}

// A second mapping of the block the daemon publishes to (it must exist: gui_shm_create ran).
inline GuiSharedBlock *map_block_for_reading() {
  const int fd = open_gui_block(O_RDWR, 0);
  EXPECT_GE(fd, 0) << "no GUI block";
  if (fd < 0) return nullptr;
  // Stays mapped for the life of the process.
  void *map = mmap(nullptr, gui_block_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  return map == MAP_FAILED ? nullptr : static_cast<GuiSharedBlock *>(map);
}
