// The settings files.
//
// Both files are raw images of the start of their record, written at offset 0 without
// truncation so that a longer file from before keeps its tail. A load copies only the bytes
// the file actually supplied: a short file leaves the rest of the record as it was (zero at
// start-up) and `size`, which sits after the stored bytes, is never touched. Only a file that
// cannot be opened is treated as missing; it is rebuilt with the defaults and saved. A file on
// a read-only /usr/data is loaded all the same. A save that fails says why on standard error
// and is not reported as a success. Every path goes through root_path() at the system call, so
// a sandbox root keeps the files under it.
#include "storage/util.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/owners.h"
#include "platform/root_path.h"

std::recursive_mutex cfg_lock;
AppConfig cfg = {0, 0, 0, 0, 0, 0, {}, 132};
GuiConfig lvgl_cfg = {0, 13, 16};

namespace {

constexpr char app_cfg_path[] = "/usr/data/app.cfg";
constexpr char lvgl_cfg_path[] = "/usr/data/lvgl_app.cfg";

// Everything in front of `size` may be stored; `size` itself never is.
constexpr size_t app_cfg_max_len = offsetof(AppConfig, size);

// Only a regular file is a settings file: anything else at the name (a FIFO, a device) is
// refused like a missing file, without waiting on it.
int open_device_file(const char *device_path, int flags) {
  return open_regular_file(device_path, flags, 0644);
}

// A settings file to load. It is opened for reading and writing; where it may only be read
// (a read-only /usr/data), it is still loaded rather than taken for missing and rebuilt.
int open_settings_to_load(const char *device_path) {
  int fd = open_device_file(device_path, O_RDWR);
  if (fd < 0 && (errno == EROFS || errno == EACCES || errno == EPERM)) {
    fd = open_device_file(device_path, O_RDONLY);
  }
  return fd;
}

// Why a settings file could not be stored, after the line the device has always printed.
void report_save_failure(const char *device_path, const char *what, int error) {
  fprintf(stderr, "\n%s %s: %s\n", device_path, what, strerror(error));
}

// Writes the whole block at offset 0; the error number, or 0.
int write_settings(int fd, const uint8_t *block, size_t length) {
  size_t done = 0;
  while (done < length) {
    const ssize_t written = pwrite(fd, block + done, length - done, off_t(done));
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) return errno;
    if (written == 0) return ENOSPC;
    done += size_t(written);
  }
  return 0;
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

int SaveConfig() {
  UniqueFd fd(open_device_file(app_cfg_path, O_RDWR | O_CREAT));
  if (!fd) {
    const int error = errno;
    printf("SaveConfig open app.cfg err");
    report_save_failure(app_cfg_path, "cannot be opened", error);
    return -1;
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
  int error = write_settings(fd.get(), block.data(), length);
  if (fd.close_now() != 0 && error == 0) error = errno;
  sync();
  if (error != 0) {
    report_save_failure(app_cfg_path, "not stored", error);
    return -1;
  }
  printf("SaveConfig success | local_rotation:%d\n", rotation);
  return 0;
}

int ReadConfig() {
  std::lock_guard<std::recursive_mutex> hold(cfg_lock);
  UniqueFd fd(open_settings_to_load(app_cfg_path));
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

int SaveLVGLConfig() {
  GuiConfig record{};
  {
    std::lock_guard<std::recursive_mutex> hold(cfg_lock);
    record = lvgl_cfg;  // the file is written from a snapshot, outside the lock
  }
  UniqueFd fd(open_device_file(lvgl_cfg_path, O_RDWR | O_CREAT));
  if (!fd) {
    const int error = errno;
    printf("SaveConfig open app.cfg err");
    report_save_failure(lvgl_cfg_path, "cannot be opened", error);
    return -1;
  }
  // Bytes 1.. carry nothing and are stored as zero; byte 0 always fits.
  const size_t length = std::max<size_t>(record.file_size, 1);
  std::array<uint8_t, 256> block{};
  block[0] = record.theme_index;
  int error = write_settings(fd.get(), block.data(), length);
  if (fd.close_now() != 0 && error == 0) error = errno;
  sync();
  if (error != 0) {
    report_save_failure(lvgl_cfg_path, "not stored", error);
    return -1;
  }
  puts("SaveConfig success ");
  return 0;
}

int ReadLVGLConfig() {
  std::lock_guard<std::recursive_mutex> hold(cfg_lock);
  UniqueFd fd(open_settings_to_load(lvgl_cfg_path));
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

uint8_t lvgl_theme_index() {
  std::lock_guard<std::recursive_mutex> hold(cfg_lock);
  return lvgl_cfg.theme_index;
}

uint8_t lvgl_theme_count() {
  std::lock_guard<std::recursive_mutex> hold(cfg_lock);
  return lvgl_cfg.theme_count;
}
