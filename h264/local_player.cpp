// The local video files: the theme backgrounds and the fallback chain.
#include "h264/local_player.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/root_path.h"

const char *const h264_bg_filses[background_video_count] = {
    "/media/bg_h264/0_wave.h264",
    "/media/bg_h264/1_wave2.h264",
    "/media/bg_h264/2_ColorScroll.h264",
    "/media/bg_h264/3_Colorgradient.h264",
    "/media/bg_h264/4_Blockparticles.h264",
    "/media/bg_h264/5_RollingBlocksN.h264",
    "/media/bg_h264/6_jelly.h264",
    "/media/bg_h264/7_Jiguang.h264",
    "/media/bg_h264/8_TechnologyLines3.h264",
    "/media/bg_h264/9_TechnologyLines4.h264",
    "/media/bg_h264/10_box.h264",
    "/media/bg_h264/11_Particleballvacuum.h264",
    "/media/bg_h264/12_Fallingparticles.h264",
};

namespace {

constexpr const char *theme5_path = "/media/bg_h264/5_RollingBlocksN.h264";
constexpr const char *theme5_old_name = "/media/bg_h264/5_RollingBlocks.h264";
constexpr const char *theme5_user_copy = "/usr/data/5_RollingBlocksN.h264";

// Only a regular file is played: a FIFO or a device (one of the daemon's own ports, say) is
// refused like a missing file, without waiting on it, and the fallbacks follow.
FILE *try_open(const char *device_path, int &error) {
  if (device_path == nullptr) {
    error = ENOENT;
    return nullptr;
  }
  const int fd = open_regular_file(device_path, O_RDONLY);
  FILE *file = fd >= 0 ? fdopen(fd, "rb") : nullptr;
  if (file == nullptr) {
    error = errno;
    if (fd >= 0) close(fd);
    // The chain's messages carry no path: a refused FIFO or device is named here.
    if (error == EINVAL || error == EISDIR) fprintf(stderr, "cannot open %s: %s\n", device_path, strerror(error));
  }
  return file;
}

}  // namespace

FILE *open_local_h264_file(const char *path, bool on_switch, const char *last_switch_path) {
  int error = 0;
  FILE *file = try_open(path, error);
  if (file != nullptr) {
    puts(on_switch ? "found 264 file" : "found 264 file 1");
    return file;
  }
  const bool theme5 = path != nullptr && strcmp(path, theme5_path) == 0;
  if (theme5) {
    file = try_open(theme5_old_name, error);
    if (!on_switch) puts("use replace old file name 1");
    if (file != nullptr) {
      if (on_switch) puts("success replace old file name");
      return file;
    }
  }
  fprintf(stderr, "open old file video err 1: %s\n", strerror(error));
  if (theme5) {
    file = try_open(theme5_user_copy, error);
    if (!on_switch) puts("use replace usr data file name 1");
    if (file != nullptr) {
      if (on_switch) puts("success replace usr data file name");
      return file;
    }
  }
  fprintf(stderr, "open usr data video err 1: %s\n", strerror(error));
  file = try_open(last_switch_path != nullptr ? last_switch_path : h264_bg_filses[0], error);
  if (file != nullptr) return file;
  fprintf(stderr, "open err:1 %s\n", strerror(error));
  return nullptr;
}
