// The settings files.
//
// Both files are raw images of the start of their record, written at offset 0 without
// truncation so that a longer file from before keeps its tail. A load copies only the bytes
// the file actually supplied: a short file leaves the rest of the record as it was (zero at
// start-up) and `size`, which sits after the stored bytes, is never touched. Only a file that
// cannot be opened is treated as missing; it is rebuilt with the defaults and saved. Every
// path goes through root_path() at the system call, so a sandbox root keeps the files under it.
#include "storage/util.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/root_path.h"
#include "storage/owners.h"

using storage_detail::UniqueFd;

std::recursive_mutex cfg_lock;
AppConfig cfg = {0, 0, 0, 0, 0, 0, {}, 132};
GuiConfig lvgl_cfg = {0, 13, 16};

namespace {

constexpr char app_cfg_path[] = "/usr/data/app.cfg";
constexpr char lvgl_cfg_path[] = "/usr/data/lvgl_app.cfg";

// Everything in front of `size` may be stored; `size` itself never is.
constexpr size_t app_cfg_max_len = offsetof(AppConfig, size);

// A path root_path() refuses opens nothing; open("") fails like a missing file.
int open_device_file(const char *device_path, int flags) {
  std::string path = root_path(device_path);
  return open(path.c_str(), flags | O_CLOEXEC, 0644);
}

// Reads until `length` bytes, end of file or an error; returns how many arrived.
size_t read_up_to(int fd, uint8_t *block, size_t length) {
  size_t done = 0;
  while (done < length) {
    ssize_t n = read(fd, block + done, length - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  return done;
}

// The number of record bytes app.cfg holds, kept inside the record whatever `size` says.
size_t app_cfg_len() {
  return static_cast<size_t>(std::clamp<int32_t>(cfg.size, 0, app_cfg_max_len));
}

}  // namespace

void SaveConfig() {
  UniqueFd fd(open_device_file(app_cfg_path, O_RDWR | O_CREAT));
  if (!fd) {
    printf("SaveConfig open app.cfg err");
    return;
  }
  // A snapshot of the record, written in one go.
  std::array<uint8_t, app_cfg_max_len> block{};
  size_t length = 0;
  uint8_t rotation = 0;
  {
    std::lock_guard<std::recursive_mutex> hold(cfg_lock);
    length = app_cfg_len();
    memcpy(block.data(), &cfg, length);
    rotation = cfg.local_rotation;
  }
  (void)!pwrite(fd.get(), block.data(), length, 0);
  fd.close_now();
  sync();
  printf("SaveConfig success | local_rotation:%d\n", rotation);
}

int ReadConfig() {
  std::lock_guard<std::recursive_mutex> hold(cfg_lock);
  UniqueFd fd(open_device_file(app_cfg_path, O_RDWR));
  if (!fd) {
    printf("ReadConfig open app.cfg err,rebuild");
    cfg.brightness = 128;
    cfg.mode = 0;
    cfg.aux2 = 0;
    cfg.local_rotation = 0;
    cfg.aux4 = 0;
    memcpy(cfg.local_path, "file://test", sizeof "file://test");
    SaveConfig();
    return 1;
  }
  std::array<uint8_t, app_cfg_max_len> block{};
  const size_t got = read_up_to(fd.get(), block.data(), app_cfg_len());
  memcpy(&cfg, block.data(), got);
  fd.close_now();
  // The file holds 126 bytes of the path, which need not contain its end.
  cfg.local_path[sizeof cfg.local_path - 1] = '\0';
  printf("ReadConfig bright:%d mode:%d  local_rotation:%d \n", cfg.brightness, cfg.mode,
         cfg.local_rotation);
  return 0;
}

void SaveLVGLConfig() {
  UniqueFd fd(open_device_file(lvgl_cfg_path, O_RDWR | O_CREAT));
  if (!fd) {
    printf("SaveConfig open app.cfg err");
    return;
  }
  // Bytes 1.. carry nothing and are stored as zero; byte 0 always fits.
  const size_t length = std::max<size_t>(lvgl_cfg.file_size, 1);
  std::array<uint8_t, 256> block{};
  block[0] = lvgl_cfg.theme_index;
  (void)!pwrite(fd.get(), block.data(), length, 0);
  fd.close_now();
  sync();
  puts("SaveConfig success ");
}

int ReadLVGLConfig() {
  UniqueFd fd(open_device_file(lvgl_cfg_path, O_RDWR));
  if (!fd) {
    printf("ReadConfig open lvgl app.cfg err,rebuild");
    lvgl_cfg.theme_index = 0;
    SaveLVGLConfig();
    return 1;
  }
  std::array<uint8_t, 256> block{};
  const size_t got = read_up_to(fd.get(), block.data(), lvgl_cfg.file_size);
  if (got > 0) lvgl_cfg.theme_index = block[0];
  fd.close_now();
  // The index selects one of the background videos: one past the table would be read blind.
  if (lvgl_cfg.theme_index >= background_theme_count) {
    printf("ReadConfig theme index %d out of range, using 0\n", lvgl_cfg.theme_index);
    lvgl_cfg.theme_index = 0;
  }
  printf("ReadConfig theme index: %d \n", lvgl_cfg.theme_index);
  return 0;
}
