// The daemon's side of the shared block and the GUI state.
//
// Design. The block outlives the daemon: a restart finds it, possibly with the GUI process
// holding its mutex or waiting on its condition variable. So the native objects are set up
// only when the block is new, never over a live one, and the mutex is robust: a holder that
// dies (the GUI process, or an earlier run of the daemon) hands the next locker EOWNERDEAD
// instead of a deadlock, and a mutex that was left unusable is set up again. Every lock is
// timed, so a GUI process that hangs while holding the mutex costs a skipped publish, never
// the controller thread. The daemon only writes the record; it never reads what the GUI
// process may have written there.
//
// lvgl_pause and lvgl_resume change the GUI state under state_mutex, so a pause and a resume
// from two threads never interleave their checks and effects; the command they leave travels
// in data_update_type, which the record step clears only if no newer request replaced it.
#include "mcu/gui_shm.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>

#include "disp/disp.h"
#include "h264/h264.h"
#include "h264/local_player.h"
#include "mcu/gui_shm_file.h"
#include "mcu/mcu.h"

std::atomic<uint8_t> lvgl_state{0xFF};
std::atomic<uint8_t> data_update_type{0};
std::atomic<uint8_t> data_update_mark{0};

namespace {

constexpr uint8_t update_data = 0;
constexpr uint8_t update_pause = 2;
constexpr uint8_t update_resume = 3;

// --- The mapping and its descriptor: written by gui_shm_create, read by the publish (both on
// the controller thread). A mapping is never unmapped, so a block pointer stays valid for the
// life of the process even after a re-creation replaced it.
std::atomic<GuiSharedBlock *> gui_block{nullptr};
std::atomic<int> gui_block_fd{-1};
// --- Controller thread only: a run of publishes skipped because the GUI process held the lock
// is reported once.
bool lock_busy_reported = false;

// Serialises lvgl_pause and lvgl_resume.
std::mutex state_mutex;

bool all_zero(const void *bytes, size_t size) {
  const auto *p = static_cast<const uint8_t *>(bytes);
  for (size_t i = 0; i < size; ++i) {
    if (p[i] != 0) return false;
  }
  return true;
}

bool init_block_mutex(GuiSharedBlock *block) {
  pthread_mutexattr_t attr;
  if (pthread_mutexattr_init(&attr) != 0) return false;
  if (pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST) != 0) {
    // Still usable, only a holder that dies can no longer be taken over.
    printf("gui shm: no robust mutex on this system\n");
  }
  bool ok = pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED) == 0 &&
            pthread_mutex_init(&block->mutex, &attr) == 0;
  pthread_mutexattr_destroy(&attr);
  return ok;
}

bool init_block_cond(GuiSharedBlock *block) {
  pthread_condattr_t attr;
  if (pthread_condattr_init(&attr) != 0) return false;
  bool ok = pthread_condattr_setpshared(&attr, PTHREAD_PROCESS_SHARED) == 0 &&
            pthread_cond_init(&block->cond, &attr) == 0;
  pthread_condattr_destroy(&attr);
  return ok;
}

// Takes the block's mutex for the daemon, dealing with what the other process may have left.
bool lock_block(GuiSharedBlock *block) {
  int result = lock_gui_block(block, gui_lock_timeout_ms);
  if (result == ENOTRECOVERABLE || result == EINVAL) {
    // No process can lock it any more: set it up again rather than give up publishing.
    printf("gui shm: mutex unusable (%s), setting it up again\n", strerror(result));
    if (!init_block_mutex(block)) {
      printf("gui shm: mutex setup failed\n");
      return false;
    }
    result = lock_gui_block(block, gui_lock_timeout_ms);
  }
  if (result == EOWNERDEAD) {
    printf("gui shm: last holder of the mutex died, mutex recovered\n");
    result = 0;
  }
  if (result == 0) {
    lock_busy_reported = false;
    return true;
  }
  if (result == ETIMEDOUT) {
    if (!lock_busy_reported) printf("gui shm: mutex held by the GUI process, publish skipped\n");
    lock_busy_reported = true;
    return false;
  }
  printf("gui shm: mutex lock failed: %s\n", strerror(result));
  return false;
}

void drop_block(int fd, GuiSharedBlock *block) {
  if (block != nullptr) munmap(block, gui_block_size);
  if (fd >= 0) close(fd);
}

}  // namespace

void gui_shm_create() {
  const std::string name = gui_block_name();
  bool created = true;
  int fd = open_gui_block(O_RDWR | O_CREAT | O_EXCL, 0666);
  if (fd < 0 && errno == EEXIST) {
    created = false;
    fd = open_gui_block(O_RDWR, 0666);
  }
  // Whatever happens below, no earlier block is published to any more.
  gui_block = nullptr;
  const int old_fd = gui_block_fd.exchange(-1);
  if (old_fd >= 0) close(old_fd);
  if (fd < 0) {
    printf("gui shm: cannot open %s: %s\n", name.c_str(), strerror(errno));
    return;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    printf("gui shm: %s is not a shared memory object\n", name.c_str());
    drop_block(fd, nullptr);
    return;
  }
  // A block shorter than ours cannot be one a GUI process is using: set it up anew. A longer
  // one is left as long as it is (the GUI process maps only the first 4096 bytes too).
  bool fresh = created || st.st_size < off_t(gui_block_size);
  if (st.st_size < off_t(gui_block_size) && ftruncate(fd, gui_block_size) != 0) {
    printf("gui shm: cannot size %s: %s\n", name.c_str(), strerror(errno));
    drop_block(fd, nullptr);
    return;
  }
  GuiSharedBlock *block = map_gui_block(fd);
  if (block == nullptr) {
    printf("gui shm: cannot map %s: %s\n", name.c_str(), strerror(errno));
    drop_block(fd, nullptr);
    return;
  }
  // An existing block whose native objects are still all zero was never set up (its creator
  // died first, or created it without them): nobody can be using them.
  if (!fresh && all_zero(&block->mutex, sizeof block->mutex) &&
      all_zero(&block->cond, sizeof block->cond)) {
    fresh = true;
  }
  if (fresh && !(init_block_mutex(block) && init_block_cond(block))) {
    printf("gui shm: cannot set up the mutex of %s\n", name.c_str());
    drop_block(fd, block);
    return;
  }
  // The bytes 0..127 of an earlier run stay; only the flag starts again from 0.
  if (lock_block(block)) {
    block->new_data = 0;
    pthread_mutex_unlock(&block->mutex);
  } else {
    __atomic_store_n(&block->new_data, 0, __ATOMIC_SEQ_CST);
  }
  gui_block_fd = fd;
  gui_block = block;
}

GuiSharedBlock *gui_publish_begin() {
  GuiSharedBlock *block = gui_block;
  if (block == nullptr) return nullptr;
  // Touching a page beyond the end of the object would kill the daemon with SIGBUS: should
  // another process have cut the object short, it is made whole and set up again first.
  struct stat st {};
  const int fd = gui_block_fd;
  if (fd >= 0 && fstat(fd, &st) == 0 && st.st_size < off_t(gui_block_size)) {
    printf("gui shm: block cut to %lld bytes, setting it up again\n",
           static_cast<long long>(st.st_size));
    if (ftruncate(fd, gui_block_size) != 0 || !init_block_mutex(block) ||
        !init_block_cond(block)) {
      printf("gui shm: cannot restore the block: %s\n", strerror(errno));
      gui_block = nullptr;
      return nullptr;
    }
  }
  return lock_block(block) ? block : nullptr;
}

void gui_record_step(GuiSharedBlock *block) {
  if (block == nullptr) return;
  uint8_t *record = block->record;
  uint8_t type = data_update_type;
  const uint8_t *command = nullptr;
  if (type == update_pause) command = gui_pause_command;
  if (type == update_resume) command = gui_resume_command;
  if (command != nullptr) {
    record[gui_record::kind] = gui_kind_command;
    memcpy(record + gui_record::command_code, command, gui_record::command_code_size);
    // Cleared only if it still holds the request just published: a pause or resume that came
    // in meanwhile stays pending for the next publish.
    data_update_type.compare_exchange_strong(type, update_data);
  } else {
    const uint16_t speed = pump_speed;
    record[gui_record::start_marker] = gui_record_start_byte;
    record[gui_record::kind] = gui_kind_data;
    record[gui_record::control_mode] = control_mode;
    record[gui_record::water_temp] = water_temp;
    record[gui_record::pump_speed_high] = uint8_t(speed >> 8);
    record[gui_record::pump_speed_low] = uint8_t(speed & 0xFF);
    record[gui_record::theme_index] = current_theme_index;
  }
  record[gui_record::end_marker] = gui_record_end_byte;
  block->new_data = 1;
  pthread_cond_signal(&block->cond);
  pthread_mutex_unlock(&block->mutex);
}

void lvgl_pause() {
  std::lock_guard<std::mutex> hold(state_mutex);
  if (lvgl_state != 1) return;
  stop_local_h264();
  printf("pause lvgl before h264\n");
  lvgl_state = 0;
  data_update_type = update_pause;
  data_update_mark = 1;
}

void lvgl_resume() {
  std::lock_guard<std::mutex> hold(state_mutex);
  if (h264_block_cnt > 0) return;
  printf("h264 block == 0, check lvgl state\n");
  if (lvgl_state != 0) return;
  printf("restore lvgl \n------------------");
  fflush(stdout);
  lvgl_state = 1;
  set_framerate(24);
  uint8_t theme = current_theme_index;
  if (theme >= background_video_count) {
    // The table has no entry for it; the first theme's background stands in.
    printf("theme index %d out of range, background of theme 0\n", theme);
    theme = 0;
  }
  play_local_h264_async(h264_bg_filses[theme]);
  data_update_type = update_resume;
  data_update_mark = 1;
}
