// The local video player.
//
// The player is a worker of the screen owner (h264/screen.h): at the top of each run it asks
// what to do, and is told to open a file (with the fallback chain), run, switch files or quit.
// A run reads blocks of one ring slot and pushes them into the stream the owner gave it,
// pausing while 3 or more are pending, and rewinds at the end of the file. A pass that showed
// no picture (a file that does not decode) waits up to a second before it rewinds, so such a
// file is not read over and over. Every order comes from the owner, so there is one player
// thread at most, and a stopped player cannot queue a block: its stream ended with the stop.
#include "h264/local_player.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "disp/disp.h"
#include "h264/h264.h"
#include "h264/screen.h"
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

std::mutex local_264_path_mutex;
char local_264_path[local_264_path_size] = {};
std::atomic<int32_t> local_h264_playing{0};
std::atomic<int32_t> local_h264_mark{0};
std::atomic<int32_t> h264_loop_mark{0};
std::atomic<int32_t> local_h264_switch_mark{0};
std::atomic<const char *> local_h264_switch_path{nullptr};
std::atomic<const char *> local_last_h264_switch_path{nullptr};

namespace {

constexpr const char *theme5_path = "/media/bg_h264/5_RollingBlocksN.h264";
constexpr const char *theme5_old_name = "/media/bg_h264/5_RollingBlocks.h264";
constexpr const char *theme5_user_copy = "/usr/data/5_RollingBlocksN.h264";
constexpr int most_pending_blocks = 3;
constexpr int pending_pause_ms = 100;
constexpr int no_picture_wait_ms = 1000;

struct FileCloser {
  void operator()(FILE *file) const { fclose(file); }
};
using UniqueFile = std::unique_ptr<FILE, FileCloser>;

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

// One pass through the file from where it stands, into stream `epoch`. Ends the run when the
// file is not to be looped or gives nothing; otherwise leaves it rewound.
void run_pass(FILE *file, std::vector<uint8_t> &block, uint32_t epoch, const char *path) {
  const uint32_t pictures_before = screen_player_pictures();
  size_t pushed = 0;
  for (;;) {
    const size_t count = fread(block.data(), 1, block.size(), file);
    if (count == 0 || !screen_player_may_push()) break;
    int queued = push_h264_block_in_stream(block.data(), int(count), epoch);
    // A stream the host ended (0x7B) is joined anew; a stop or a switch ends the pass.
    while (queued < 0 && screen_player_rejoin(epoch)) {
      queued = push_h264_block_in_stream(block.data(), int(count), epoch);
    }
    if (queued < 0) break;
    pushed += count;
    screen_player_wait_room(most_pending_blocks, pending_pause_ms);
  }
  printf("totalframe:%d \n", 0);
  if (h264_loop_mark != 1) {
    screen_player_run_ended();
    return;
  }
  if (!screen_player_may_push()) return;  // the next order says what comes instead
  if (pushed == 0) {
    // Rewinding a file that gives nothing would spin for ever.
    fprintf(stderr, "local h264 file gives no data: %s\n", path);
    screen_player_run_ended();
    return;
  }
  if (screen_player_pictures() == pictures_before) {
    screen_player_wait_picture(pictures_before, no_picture_wait_ms);
  }
  clearerr(file);
  fseek(file, 0, SEEK_SET);
}

// The player's life: orders from the owner until it is told to quit.
int play_orders(int loop) {
  if (loop != 0) h264_loop_mark = 1;
  UniqueFile file;
  std::vector<uint8_t> block;
  char path[local_264_path_size] = {};
  for (;;) {
    PlayerOrder order = screen_player_next();
    switch (order.kind) {
      case PlayerOrder::quit:
        return -1;
      case PlayerOrder::open:
        file.reset();
        memcpy(path, order.path, sizeof path);
        path[sizeof path - 1] = '\0';
        printf("play_local_h264 name: %s \n", path);
        file.reset(open_local_h264_file(path, false));
        if (!file) screen_player_open_failed();
        if (file && block.empty()) block.resize(h264_block_max_length);
        break;
      case PlayerOrder::switch_file: {
        stop_h264();
        puts("switch h264 file ");
        file.reset();
        file.reset(open_local_h264_file(order.path[0] != '\0' ? order.path : nullptr, true));
        uint32_t epoch = 0;
        if (!screen_player_switched(file != nullptr, epoch)) break;
        memcpy(path, order.path, sizeof path);
        if (block.empty()) block.resize(h264_block_max_length);
        run_pass(file.get(), block, epoch, path);
        break;
      }
      case PlayerOrder::run:
        if (!file) {
          screen_player_run_ended();
          break;
        }
        run_pass(file.get(), block, order.epoch, path);
        break;
    }
  }
}

}  // namespace

FILE *open_local_h264_file(const char *path, bool on_switch) {
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
  const char *last = local_last_h264_switch_path;
  file = try_open(last != nullptr ? last : h264_bg_filses[0], error);
  if (file != nullptr) return file;
  fprintf(stderr, "open err:1 %s\n", strerror(error));
  return nullptr;
}

int play_local_h264_async(const char *path) {
  clean_fb1();
  return screen_start_player(path);
}

void *play_local_h264_thread(void *) {
  // A run that cannot have the memory it needs (its block buffer, say) ends with a message;
  // the player then takes its next order, which is to quit unless a new start came meanwhile.
  for (;;) {
    try {
      play_orders(1);
      return nullptr;
    } catch (const std::bad_alloc &) {
      fprintf(stderr, "local h264 player: out of memory, the run ends\n");
      screen_player_run_ended();
    }
  }
}

int play_local_h264(const char *path, int loop) {
  if (path == nullptr || !screen_player_take_over(path)) return -1;
  return play_orders(loop);
}

void stop_local_h264() { screen_stop_player(); }

void switch_local_h264() { screen_request_switch(); }

void set_switch_h264_path(const char *path) { screen_set_switch_path(path); }

uint8_t local_h264_is_running() { return uint8_t(local_h264_mark & 0xFF); }
