// The owner of the screen state.
//
// Design. Layer 0, the GUI state with its pending command, the local player's orders and the
// background switch target are one state, guarded by screen_lock. Each request is a single
// function that checks and changes that state under the lock, so no request sees another half
// done, and no decision is made on a flag read outside the lock it depends on. The workers
// hold nothing of their own: the player thread asks screen_player_next at the top of each run
// and is told to open a file, run, switch or quit; the decoder thread (below this folder) is
// only asked, through h264/, to break off one named stream after its next picture. Rules
// that follow from it:
// - One player thread at most: a thread is made only when none exists; a start while the
//   player is stopping or still opening hands it the new path, which it plays next.
// - A stop ends the player's stream at once (the ring is emptied under pc_mutex and a new
//   stream epoch begins), so no block of the stopped player is queued after it returns.
// - A switch is taken by the player, or dropped with a message when it cannot be made or no
//   player is left to make it. Only the player's own stream is ended for it: by the decoder
//   after a picture (a break the owner asks for while the player pushes into that stream), or
//   by the switch order itself, under screen_lock, so a host stream begun meanwhile is never
//   cut.
// - A resume gives the screen back to the GUI and its background whatever is on it; only a
//   host stream's own queued blocks hold it back.
// - A pause or resume command stays pending until the publish that writes it takes it.
// - The controller thread's decisions that depend on the GUI state (store a picture, take a
//   status frame, draw the assembled picture) are requests too, so none acts on a GUI state
//   a pause has changed meanwhile.
#include "screen/screen.h"

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "disp/disp.h"
#include "disp/image.h"
#include "h264/h264.h"
#include "h264/local_player.h"
#include "screen/player.h"
#include "storage/util.h"

std::atomic<uint8_t> lvgl_state{0xFF};
std::atomic<uint8_t> data_update_type{0};
std::atomic<uint8_t> data_update_mark{0};
std::atomic<int32_t> local_h264_playing{0};
std::atomic<int32_t> local_h264_mark{0};
std::atomic<int32_t> local_h264_switch_mark{0};
std::atomic<const char *> local_h264_switch_path{nullptr};
std::atomic<const char *> local_last_h264_switch_path{nullptr};

namespace {

constexpr uint8_t gui_shown = 1;
constexpr uint8_t gui_paused = 0;
constexpr uint8_t command_none = 0;
constexpr uint8_t command_pause = 2;
constexpr uint8_t command_resume = 3;

// --- Everything below is guarded by screen_lock.
std::mutex screen_lock;
// Notified on every change a waiting worker may care about. Never destroyed: a player may wait
// on it while the process exits.
std::condition_variable &screen_changed = *new std::condition_variable;
Layer0 layer0 = Layer0::nothing;
int player_threads = 0;  // the player thread: 0 or 1
// A start the player has not taken yet, and its path. Read without the lock by may_push.
std::atomic<bool> player_fresh{false};
char player_path[local_264_path_size] = {};
bool player_joined = false;  // player_epoch is the stream the player pushes into
uint32_t player_epoch = 0;

using Hold = std::lock_guard<std::mutex>;

bool is_background_path(const char *path) {
  for (const char *background : h264_bg_filses) {
    if (strcmp(background, path) == 0) return true;
  }
  return false;
}

bool player_on_layer0() { return layer0 == Layer0::background || layer0 == Layer0::local_video; }

uint32_t current_epoch() {
  std::lock_guard<std::mutex> ring(pc_mutex);
  return h264_stream_epoch;
}

void drop_switch_locked(const char *why) {
  if (local_h264_switch_mark != 1) return;
  local_h264_switch_mark = 0;
  h264_cancel_break();
  const char *target = local_h264_switch_path;
  printf("background switch to %s dropped: %s\n", target != nullptr ? target : "(none)", why);
}

void stop_locked() {
  local_h264_mark = 0;
  player_fresh = false;
  player_joined = false;
  if (player_on_layer0()) layer0 = Layer0::nothing;
  end_h264_stream();
  puts("stop_local_h264 ");
  screen_changed.notify_all();
}

enum class Start { started, handed_over, refused, bad_path, no_thread };

// The start itself; layer 1 has been cleared by the caller.
Start start_locked(const char *path) {
  const size_t length = path != nullptr ? strnlen(path, local_264_path_size) : 0;
  if (path == nullptr || length >= size_t(local_264_path_size)) {
    fprintf(stderr, "play_local_h264_async: %s refused\n",
            path == nullptr ? "no path" : "path of 128 characters or more");
    return Start::bad_path;
  }
  // A player in its read loop that is to go on keeps playing; the path is not taken.
  if (local_h264_mark == 1 && local_h264_playing == 1 && !player_fresh) return Start::refused;
  char copy[local_264_path_size] = {};
  memcpy(copy, path, length);  // the path may be cfg.local_path itself
  {
    std::lock_guard<std::recursive_mutex> hold(cfg_lock);
    memcpy(cfg.local_path, copy, sizeof copy);
  }
  memcpy(player_path, copy, sizeof copy);
  // The new file replaces a pending switch and its break.
  local_h264_switch_mark = 0;
  if (player_joined) h264_cancel_break();
  player_fresh = true;
  local_h264_mark = 1;
  layer0 = is_background_path(copy) ? Layer0::background : Layer0::local_video;
  screen_changed.notify_all();
  if (player_threads > 0) return Start::handed_over;
  player_threads = 1;
  pthread_t thread;
  const int result = pthread_create(&thread, nullptr, play_local_h264_thread, nullptr);
  if (result != 0) {
    fprintf(stderr, "play_local_h264_async: no thread: %s\n", strerror(result));
    player_threads = 0;
    player_fresh = false;
    local_h264_mark = 0;
    layer0 = Layer0::nothing;
    return Start::no_thread;
  }
  pthread_detach(thread);  // never joined: its resources go when it ends
  return Start::started;
}

void pause_locked() {
  if (lvgl_state != gui_shown) return;
  stop_locked();
  printf("pause lvgl before h264\n");
  lvgl_state = gui_paused;
  data_update_type = command_pause;
  data_update_mark = 1;
}

void join_locked(uint32_t &epoch) {
  epoch = current_epoch();
  player_epoch = epoch;
  player_joined = true;
}

bool player_goes_on() {
  return local_h264_mark == 1 && !player_fresh && local_h264_switch_mark == 0;
}

// A switch is pending: the stream the player pushes into breaks off after its next picture.
void request_switch_locked() {
  local_h264_switch_mark = 1;
  if (player_joined && local_h264_mark == 1 && !player_fresh) {
    h264_break_after_picture(player_epoch);
  }
  screen_changed.notify_all();
}

void resume_locked(uint8_t theme) {
  // Only the host's own stream holds a resume back, and only while its blocks are queued.
  if (layer0 == Layer0::host_stream && h264_block_cnt > 0) return;
  printf("h264 block == 0, check lvgl state\n");
  if (lvgl_state != gui_paused && lvgl_state != gui_shown) return;  // start-up not finished
  if (theme >= background_video_count) {
    // The table has no entry for it; the first theme's background stands in.
    printf("theme index %d out of range, background of theme 0\n", theme);
    theme = 0;
  }
  const bool paused = lvgl_state == gui_paused;
  // Kept by keep_on: the background would end it, also one still opening its folder.
  const bool slideshow = slideshow_on();
  // The background of `theme`: another theme's file (a host's local clip) gives way to it.
  const char *target = local_h264_switch_mark == 1 ? local_h264_switch_path.load() : player_path;
  const bool background_plays = layer0 == Layer0::background && local_h264_mark == 1 &&
                                target != nullptr && strcmp(target, h264_bg_filses[theme]) == 0;
  if (!paused && (background_plays || slideshow)) return;  // the GUI has the screen already
  if (paused) {
    printf("restore lvgl \n------------------");
    fflush(stdout);
    lvgl_state = gui_shown;
  }
  set_framerate(24);
  if (!slideshow && !background_plays) {
    if (local_h264_mark == 1) stop_locked();  // a local clip gives way to the background
    clean_fb1();
    start_locked(h264_bg_filses[theme]);
  }
  if (paused) {
    data_update_type = command_resume;
    data_update_mark = 1;
  }
}

}  // namespace

int screen_start_player(const char *path) {
  Hold hold(screen_lock);
  switch (start_locked(path)) {
    case Start::bad_path: return -1;
    case Start::no_thread: return -1;
    default: return 0;
  }
}

void screen_stop_player() {
  Hold hold(screen_lock);
  stop_locked();
}

void screen_request_switch() {
  Hold hold(screen_lock);
  request_switch_locked();
}

void screen_set_switch_path(const char *path) {
  Hold hold(screen_lock);
  local_last_h264_switch_path = local_h264_switch_path.exchange(path);
}

void screen_pause() {
  Hold hold(screen_lock);
  pause_locked();
}

void screen_resume(const std::atomic<uint8_t> &theme) {
  Hold hold(screen_lock);
  resume_locked(theme);
}

void screen_follow_theme(const std::atomic<uint8_t> &current, std::atomic<uint8_t> &last_followed) {
  Hold hold(screen_lock);
  const uint8_t theme = current;
  if (theme == last_followed || lvgl_state != gui_shown) return;
  if (theme >= background_video_count) return;  // kept valid by every writer
  local_last_h264_switch_path = local_h264_switch_path.exchange(h264_bg_filses[theme]);
  last_followed = theme;
  if (local_h264_mark == 1) {
    request_switch_locked();
  } else {
    clean_fb1();
    start_locked(h264_bg_filses[theme]);
  }
}

void screen_gui_loaded(uint8_t theme) {
  if (theme >= background_video_count) theme = 0;  // the settings load keeps it within already
  Hold hold(screen_lock);
  current_theme_index = theme;
  last_theme_index = theme;
  lvgl_state = gui_shown;  // from now on the controller thread follows the theme
  set_framerate(24);
  clean_fb1();
  start_locked(h264_bg_filses[theme]);
}

void screen_show_host_jpeg(const uint8_t *data, int length) {
  Hold hold(screen_lock);
  if (local_h264_mark == 1) stop_locked();
  show_jpg_buffer(data, length);
  layer0 = Layer0::nothing;
}

void screen_show_host_png(const uint8_t *data, int length) {
  Hold hold(screen_lock);
  pause_locked();
  decode_png(data, length);
}

void screen_show_host_jpeg_file(const char *path) {
  Hold hold(screen_lock);
  show_jpg_local(path);
}

void screen_host_stream_block() {
  Hold hold(screen_lock);
  if (local_h264_mark == 1) stop_locked();
  pause_locked();
  layer0 = Layer0::host_stream;
}

void screen_stop_slideshow() {
  Hold hold(screen_lock);
  ImgPlaying = 0;
}

void screen_request_publish() {
  Hold hold(screen_lock);
  data_update_mark = 1;
}

bool screen_status_frame() {
  Hold hold(screen_lock);
  if (lvgl_state != gui_shown) return false;
  data_update_mark = 1;
  return true;
}

bool screen_picture_frame() {
  Hold hold(screen_lock);
  return lvgl_state == gui_shown;
}

bool screen_show_controller_picture(const char *path, const uint8_t *data, int length) {
  Hold hold(screen_lock);
  if (lvgl_state != gui_shown) {
    printf("GUI paused: %s not shown\n", path);
    return false;
  }
  if (local_h264_mark == 1) stop_locked();
  if (data != nullptr) {
    show_jpg_buffer(data, length);
  } else {
    show_jpg_local(path);
  }
  layer0 = Layer0::nothing;
  return true;
}

uint8_t screen_gui_command() { return data_update_type; }

void screen_gui_command_published(uint8_t command) {
  Hold hold(screen_lock);
  if (command != command_none && data_update_type == command) data_update_type = command_none;
}

void screen_picture_package_stored() {
  Hold hold(screen_lock);
  if (data_update_type == command_none) data_update_mark = 0;
}

PlayerOrder screen_player_next() {
  Hold hold(screen_lock);
  PlayerOrder order{PlayerOrder::quit, {}, 0, local_last_h264_switch_path};
  if (player_fresh) {
    player_fresh = false;
    player_joined = false;
    order.kind = PlayerOrder::open;
    memcpy(order.path, player_path, sizeof order.path);
    return order;
  }
  if (local_h264_mark != 1) {
    player_threads = 0;
    player_joined = false;
    local_h264_playing = 0;
    drop_switch_locked("no player left");
    screen_changed.notify_all();
    return order;
  }
  local_h264_playing = 1;
  if (local_h264_switch_mark == 1) {
    // The player's own stream ends here, under the lock a host stream's start takes: a
    // stream begun since (the host's first block) is not the player's and stays.
    if (player_joined) end_h264_stream_of(player_epoch);
    player_joined = false;
    puts("h264 stop ");
    order.kind = PlayerOrder::switch_file;
    const char *target = local_h264_switch_path;
    if (target != nullptr) snprintf(order.path, sizeof order.path, "%s", target);
    return order;
  }
  order.kind = PlayerOrder::run;
  join_locked(order.epoch);
  return order;
}

void screen_player_open_failed() {
  Hold hold(screen_lock);
  if (!player_fresh) stop_locked();  // unless a newer start is waiting for the player
}

bool screen_player_switched(bool opened, uint32_t &epoch) {
  Hold hold(screen_lock);
  if (!opened) {
    drop_switch_locked("its file and every fallback are missing");
    if (!player_fresh) stop_locked();
    return false;
  }
  if (local_h264_mark != 1 || player_fresh) return false;  // stopped or replaced meanwhile
  local_h264_switch_mark = 0;
  h264_cancel_break();
  if (player_on_layer0()) layer0 = Layer0::background;
  const char *target = local_h264_switch_path;
  if (target != nullptr) snprintf(player_path, sizeof player_path, "%s", target);
  join_locked(epoch);
  return true;
}

bool screen_player_may_push() { return player_goes_on(); }

bool screen_player_rejoin(uint32_t &epoch) {
  Hold hold(screen_lock);
  if (!player_goes_on()) return false;
  join_locked(epoch);
  return true;
}

void screen_player_wait_room(int pending, int timeout_ms) {
  std::unique_lock<std::mutex> lock(screen_lock);
  while (h264_block_cnt >= pending && player_goes_on()) {
    screen_changed.wait_for(lock, std::chrono::milliseconds(timeout_ms));
  }
}

void screen_player_run_ended() {
  Hold hold(screen_lock);
  if (player_fresh) return;
  local_h264_mark = 0;
  player_joined = false;
  if (player_on_layer0()) layer0 = Layer0::nothing;
}

ScreenView screen_view() {
  Hold hold(screen_lock);
  ScreenView view{layer0,
                  lvgl_state,
                  data_update_type,
                  local_h264_mark == 1,
                  player_fresh,
                  player_threads,
                  local_h264_switch_mark == 1,
                  player_path};
  return view;
}

const char *layer0_name(Layer0 owner) {
  switch (owner) {
    case Layer0::nothing: return "nothing";
    case Layer0::background: return "background";
    case Layer0::local_video: return "local video";
    case Layer0::host_stream: return "host stream";
  }
  return "?";
}

int local_h264_players() {
  Hold hold(screen_lock);
  return player_threads;
}
