// The local video player.
//
// A player thread opens its file (with the fallback chain), then runs: it reads blocks of one
// ring slot and pushes them, pausing while 3 or more are pending, rewinds at the end of the file
// and, at the top of each run, takes over a pending background switch.
//
// One player at a time. Every start takes a ticket; a stop_local_h264 takes one as well, so a
// start requested before a stop does not play after it. A player thread first waits for any
// earlier player to end (after stopping it), gives up if a newer ticket exists by then, and
// otherwise registers with a new player generation. Every stop and every registration moves the
// generation on, and a player goes on only while the generation is its own. Its blocks are
// queued with push_h264_block_in_stream, tied to the stream it joined under pc_mutex after
// checking its generation there, so once a stop (which ends the stream under pc_mutex) has
// returned, no block of the stopped player can reach the ring. The marks a run sets
// (local_h264_mark, local_h264_playing) are cleared at its end only if no later run has taken
// them over.
#include "h264/local_player.h"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "disp/disp.h"
#include "h264/h264.h"
#include "platform/root_path.h"
#include "storage/util.h"

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
constexpr auto handover_wait = std::chrono::seconds(2);
constexpr int most_pending_blocks = 3;
constexpr useconds_t pending_pause_us = 100000;

struct FileCloser {
  void operator()(FILE *file) const { fclose(file); }
};
using UniqueFile = std::unique_ptr<FILE, FileCloser>;

// --- Protected by player_mutex.
std::mutex player_mutex;
// Never destroyed, like pc_condc: a player thread may wait on it while the process exits.
std::condition_variable &player_ended = *new std::condition_variable;
uint32_t start_ticket = 0;      // the latest start request (or stop, which cancels them)
int player_threads = 0;         // player threads in play_local_h264, whatever their state
int registered_players = 0;     // players past the handover and not yet ended
uint32_t marks_owner = 0;       // generation of the run that set the marks last
// Moved on (under player_mutex) by every stop and every registration; read anywhere.
std::atomic<uint32_t> player_generation{0};

uint32_t next_ticket_locked() {
  if (++start_ticket == 0) ++start_ticket;  // 0 means "no ticket yet"
  return start_ticket;
}

// The stop itself: the player goes no further. player_mutex held.
void stop_run_locked() {
  local_h264_mark = 0;
  ++player_generation;
}

void end_stream_after_stop() {
  end_h264_stream();
  puts("stop_local_h264 ");
}

// A stop from outside: it also cancels the starts requested before it.
void stop_player() {
  {
    std::lock_guard<std::mutex> lock(player_mutex);
    stop_run_locked();
    next_ticket_locked();
  }
  end_stream_after_stop();
}

// The player's own stops (taking over from a run, a file that cannot be opened) stop only the
// run of `generation`, and only if nothing has stopped or replaced it meanwhile: a newer player
// is left alone, and starts still to come are not cancelled.
void stop_run(uint32_t generation) {
  {
    std::lock_guard<std::mutex> lock(player_mutex);
    if (player_generation != generation) return;
    stop_run_locked();
  }
  end_stream_after_stop();
}

bool is_current(uint32_t generation) { return player_generation == generation; }
bool still_wanted(uint32_t generation) {
  return is_current(generation) && local_h264_mark == 1;
}

// Waits for an earlier player to end and registers this one; false when a newer start (or a
// stop) has come, and this one is not to play.
bool take_over(uint32_t ticket, uint32_t &generation) {
  std::unique_lock<std::mutex> lock(player_mutex);
  if (start_ticket != ticket) return false;  // a stale start must not stop the newer player
  bool earlier_still_running = false;
  if (registered_players > 0) {
    const uint32_t running = player_generation;
    lock.unlock();
    stop_run(running);
    lock.lock();
    earlier_still_running = !player_ended.wait_for(
        lock, handover_wait, [&] { return registered_players == 0 || start_ticket != ticket; });
  }
  if (start_ticket != ticket) return false;
  generation = ++player_generation;
  ++registered_players;
  lock.unlock();
  // A player that outlived the wait can no longer go on (the generation has moved), but it may
  // have joined the stream just now: end that stream so that none of its blocks is queued.
  if (earlier_still_running) end_h264_stream();
  return true;
}

void end_run(uint32_t generation) {
  std::lock_guard<std::mutex> lock(player_mutex);
  if (marks_owner == generation) {
    local_h264_mark = 0;
    local_h264_playing = 0;
    marks_owner = 0;
  }
  --registered_players;
  player_ended.notify_all();
}

// The top of a run: the marks become this run's, unless it has been stopped or replaced.
bool begin_run(uint32_t generation) {
  std::lock_guard<std::mutex> lock(player_mutex);
  if (!is_current(generation)) return false;
  local_h264_mark = 1;
  local_h264_playing = 1;
  marks_owner = generation;
  return true;
}

// The stream this run's blocks go into, read under pc_mutex after checking that the run is
// still current there: a stop after this point ends the stream it returns.
bool join_stream(uint32_t generation, uint32_t &epoch) {
  std::lock_guard<std::mutex> lock(pc_mutex);
  if (!is_current(generation)) return false;
  epoch = h264_stream_epoch;
  return true;
}

// Queues one block; false when the run has been stopped. A stream ended by someone else (the
// host's stop_h264) is joined anew and the block pushed into it.
bool push_block(const uint8_t *data, int length, uint32_t generation, uint32_t &epoch) {
  while (push_h264_block_in_stream(data, length, epoch) < 0) {
    if (!join_stream(generation, epoch)) return false;
  }
  return true;
}

struct Registration {
  uint32_t generation;
  ~Registration() { end_run(generation); }
};

FILE *try_open(const char *device_path, int &error) {
  if (device_path == nullptr) {
    error = ENOENT;
    return nullptr;
  }
  const std::string path = root_path(device_path);
  if (path.empty()) {
    error = ENAMETOOLONG;
    return nullptr;
  }
  FILE *file = fopen(path.c_str(), "rb");
  if (file == nullptr) error = errno;
  return file;
}

// Leaves the count of player threads when the thread is done with playing.
struct PlayerThreadCount {
  ~PlayerThreadCount() {
    std::lock_guard<std::mutex> lock(player_mutex);
    --player_threads;
  }
};

int play(const char *path, int loop, uint32_t ticket) {
  uint32_t generation = 0;
  if (!take_over(ticket, generation)) return -1;
  Registration registration{generation};

  if (loop != 0) h264_loop_mark = 1;
  printf("play_local_h264 name: %s \n", path);
  UniqueFile file(open_local_h264_file(path, false));
  if (!file) {
    stop_run(generation);
    return -1;
  }
  std::vector<uint8_t> block(h264_block_max_length);

  for (;;) {
    if (!begin_run(generation)) break;
    uint32_t epoch = 0;
    if (!join_stream(generation, epoch)) break;
    if (local_h264_switch_mark == 1) {
      stop_h264();
      puts("switch h264 file ");
      file.reset(open_local_h264_file(local_h264_switch_path, true));
      if (!file) {
        stop_run(generation);
        break;
      }
      local_h264_switch_mark = 0;
      // The stop above emptied the ring; the new file's first block goes into slot 0, which
      // the decoder thread reads next, after releasing everything of the old file.
      if (!join_stream(generation, epoch)) break;
    }

    size_t pushed = 0;
    for (;;) {
      const size_t count = fread(block.data(), 1, block.size(), file.get());
      if (count == 0 || !still_wanted(generation) || local_h264_switch_mark == 1) break;
      if (!push_block(block.data(), int(count), generation, epoch)) break;
      pushed += count;
      while (h264_block_cnt >= most_pending_blocks && still_wanted(generation)) {
        usleep(pending_pause_us);
      }
    }
    printf("totalframe:%d \n", 0);

    if (h264_loop_mark != 1 || !still_wanted(generation)) break;
    if (pushed == 0 && local_h264_switch_mark != 1) {
      // Rewinding a file that gives nothing would spin for ever.
      fprintf(stderr, "local h264 file gives no data: %s\n", path);
      break;
    }
    clearerr(file.get());
    fseek(file.get(), 0, SEEK_SET);
  }
  return -1;
}

void *ticket_arg(uint32_t ticket) { return reinterpret_cast<void *>(uintptr_t(ticket)); }

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
  if (local_h264_playing == 1) return 0;
  uint32_t ticket = 0;
  {
    std::lock_guard<std::mutex> players(player_mutex);
    std::lock_guard<std::mutex> paths(local_264_path_mutex);
    // Checked and copied under the lock: the path may be cfg.local_path itself.
    const size_t length = path != nullptr ? strnlen(path, local_264_path_size) : 0;
    if (path == nullptr || length >= size_t(local_264_path_size)) {
      fprintf(stderr, "play_local_h264_async: %s refused\n",
              path == nullptr ? "no path" : "path of 128 characters or more");
      return -1;
    }
    char copy[local_264_path_size] = {};
    memcpy(copy, path, length);
    memcpy(local_264_path, copy, sizeof copy);
    {
      std::lock_guard<std::recursive_mutex> hold(cfg_lock);
      memcpy(cfg.local_path, copy, sizeof copy);
    }
    ticket = next_ticket_locked();
    ++player_threads;  // counted from here, so that it is never seen missing before it runs
  }
  pthread_t thread;
  const int result = pthread_create(&thread, nullptr, play_local_h264_thread, ticket_arg(ticket));
  if (result == 0) {
    pthread_detach(thread);  // never joined: its resources go when it ends
  } else {
    fprintf(stderr, "play_local_h264_async: no thread: %s\n", strerror(result));
    std::lock_guard<std::mutex> players(player_mutex);
    --player_threads;
  }
  return result;
}

void *play_local_h264_thread(void *arg) {
  uint32_t ticket = uint32_t(reinterpret_cast<uintptr_t>(arg));
  char path[local_264_path_size];
  {
    std::lock_guard<std::mutex> players(player_mutex);
    std::lock_guard<std::mutex> paths(local_264_path_mutex);
    if (ticket == 0) {  // not started by play_local_h264_async: a start of its own
      ticket = next_ticket_locked();
      ++player_threads;
    }
    memcpy(path, local_264_path, sizeof path);
  }
  PlayerThreadCount counted;
  path[sizeof path - 1] = '\0';
  play(path, 1, ticket);
  return nullptr;
}

int play_local_h264(const char *path, int loop) {
  if (path == nullptr) return -1;
  uint32_t ticket = 0;
  {
    std::lock_guard<std::mutex> players(player_mutex);
    ticket = next_ticket_locked();
    ++player_threads;
  }
  PlayerThreadCount counted;
  return play(path, loop, ticket);
}

void stop_local_h264() { stop_player(); }

void switch_local_h264() { local_h264_switch_mark = 1; }

void set_switch_h264_path(const char *path) {
  local_last_h264_switch_path = local_h264_switch_path.exchange(path);
}

uint8_t local_h264_is_running() { return uint8_t(local_h264_mark & 0xFF); }

int local_h264_player_threads() {
  std::lock_guard<std::mutex> lock(player_mutex);
  return player_threads;
}

int local_h264_players() {
  std::lock_guard<std::mutex> lock(player_mutex);
  return registered_players;
}
