// The file store behind the host's file commands: uploads, deletion, sizes, listings and the
// SD card's space.
//
// --- Written and read by the host command loop only.
#pragma once

#include <cstdint>

struct StorageInfo {
  uint32_t total_kib;
  uint32_t used_kib;
  uint32_t avail_kib;
  uint32_t extra0;
  uint32_t extra1;
  uint32_t extra2;
};
static_assert(sizeof(StorageInfo) == 24);

constexpr int dir_result_len = 10240;

extern StorageInfo storage;
extern char dir_result[dir_result_len];
