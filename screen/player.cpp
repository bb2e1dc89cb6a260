// The local video player and the entry points over the screen owner.
//
// The player is a worker of the screen owner (screen/screen.h): at the top of each run it asks
// what to do, and is told to open a file (with the fallback chain), run, switch files or quit.
// A run reads blocks of one ring slot and pushes them into the stream the owner gave it,
// pausing while 3 or more are pending, and rewinds at the end of the file. A pass that showed
// no picture (a file that does not decode) waits up to a second before it rewinds, so such a
// file is not read over and over. Every order comes from the owner, so there is one player
// thread at most, and a stopped player cannot queue a block: its stream ended with the stop.
#include "screen/player.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "disp/disp.h"
#include "disp/image.h"
#include "h264/h264.h"
#include "h264/local_player.h"
#include "platform/owners.h"
#include "screen/screen.h"
#include "storage/util.h"

std::atomic<uint8_t> current_theme_index{0};
std::atomic<uint8_t> last_theme_index{0};

namespace {

constexpr int most_pending_blocks = 3;
constexpr int pending_pause_ms = 100;
constexpr int no_picture_wait_ms = 1000;

// One pass through the file from where it stands, into stream `epoch`. Ends the run when the
// file gives nothing; otherwise leaves it rewound.
void run_pass(FILE *file, std::vector<uint8_t> &block, uint32_t epoch, const char *path) {
  const uint32_t pictures_before = h264_pictures_shown;
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
  if (!screen_player_may_push()) return;  // the next order says what comes instead
  if (pushed == 0) {
    // Rewinding a file that gives nothing would spin for ever.
    fprintf(stderr, "local h264 file gives no data: %s\n", path);
    screen_player_run_ended();
    return;
  }
  if (h264_pictures_shown == pictures_before) {
    h264_wait_picture(pictures_before, epoch, no_picture_wait_ms);
  }
  clearerr(file);
  fseek(file, 0, SEEK_SET);
}

}  // namespace

void *play_local_h264_thread(void *) {
  UniqueFile file;
  std::vector<uint8_t> block;
  char path[local_264_path_size] = {};
  for (;;) try {
    PlayerOrder order = screen_player_next();
    switch (order.kind) {
      case PlayerOrder::quit:
        return nullptr;
      case PlayerOrder::open:
        file.reset();
        memcpy(path, order.path, sizeof path);
        path[sizeof path - 1] = '\0';
        printf("play_local_h264 name: %s \n", path);
        file.reset(open_local_h264_file(path, false, order.last_switch_path));
        if (!file) screen_player_open_failed();
        if (file && block.empty()) block.resize(h264_block_max_length);
        break;
      case PlayerOrder::switch_file: {
        // The order has ended the player's own stream already.
        puts("switch h264 file ");
        file.reset();
        file.reset(open_local_h264_file(order.path[0] != '\0' ? order.path : nullptr, true,
                                        order.last_switch_path));
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
  } catch (const std::bad_alloc &) {
    // A run that cannot have the memory it needs (its block buffer, say) ends with a message;
    // the player then takes its next order, which is to quit unless a new start came meanwhile.
    fprintf(stderr, "local h264 player: out of memory, the run ends\n");
    file.reset();
    screen_player_run_ended();
  }
}

int play_local_h264_async(const char *path) {
  clean_fb1();
  return screen_start_player(path);
}

void stop_local_h264() { screen_stop_player(); }

void switch_local_h264() { screen_request_switch(); }

void set_switch_h264_path(const char *path) { screen_set_switch_path(path); }

uint8_t local_h264_is_running() { return uint8_t(local_h264_mark & 0xFF); }

void lvgl_pause() { screen_pause(); }

void lvgl_resume() { screen_resume(current_theme_index); }

void playPresetMode() {
  uint8_t mode = 0;
  char path[sizeof cfg.local_path];
  {
    std::lock_guard<std::recursive_mutex> hold(cfg_lock);
    mode = cfg.mode;
    memcpy(path, cfg.local_path, sizeof path);
  }
  switch (mode) {
    case 1:
      play_local_jpg_async();
      break;
    case 2:
      play_local_h264_async(path);
      break;
    default:
      break;
  }
}
