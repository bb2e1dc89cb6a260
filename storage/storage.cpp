// File store state and the SD card's space.
//
// `storage` is refreshed from statvfs on the card's mount point: the byte counts are formed in
// 64 bits (fragment size times blocks) and only the KiB figure is kept to 32 bits, so a card
// above 4 GiB does not wrap before the division. Blocks reserved for the superuser count as
// used. A card that cannot be examined leaves the previous figures in place. The operations on
// files are in files.cpp, the listing in dir_listing.cpp, the process lookup in process.cpp.
#include "storage/storage.h"

#include <sys/statvfs.h>

#include <string>

#include "platform/root_path.h"

StorageInfo storage = {};
char dir_result[dir_result_len] = {};

void set_storage_kib(StorageInfo &info, uint64_t fragment_size, uint64_t total_blocks,
                     uint64_t avail_blocks) {
  info.total_kib = static_cast<uint32_t>((fragment_size * total_blocks) >> 10);
  info.avail_kib = static_cast<uint32_t>((fragment_size * avail_blocks) >> 10);
  info.used_kib = info.total_kib - info.avail_kib;
}

void QuerryStorage() {
  std::string mount_point = root_path("/tmp/sdcard/mmcblk0p1");
  struct statvfs fs = {};
  if (statvfs(mount_point.c_str(), &fs) != 0) {
    perror("statvfs failed");
    return;
  }
  set_storage_kib(storage, fs.f_frsize, fs.f_blocks, fs.f_bavail);
}

int print_size(uint64_t bytes) {
  double value = static_cast<double>(bytes);
  const char *unit = "B";
  if (value >= 1024) {
    value /= 1024;
    unit = "KB";
    if (value >= 1024) {
      value /= 1024;
      unit = "MB";
      if (value >= 1024) {
        value /= 1024;
        unit = "GB";
      }
    }
  }
  return printf("%.2f %s\n", value, unit);
}
