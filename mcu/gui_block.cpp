// The daemon's hold on the shared block.
//
// Design. The block outlives the daemon: a restart finds it, possibly with the GUI process
// holding its mutex or waiting on its condition variable. So the native objects are set up
// only when the block is new, never over a live one, and the mutex is robust: a holder that
// dies hands the next locker EOWNERDEAD instead of a deadlock.
//
// The GUI process shares the memory of those objects, so it can also leave them in any state.
// The C library trusts the words it finds there (a kind word that says priority-inheriting
// makes it ask the kernel about an owner; a condition variable whose internal lock looks taken
// makes pthread_cond_signal sleep until someone releases it, which nobody will). So the daemon
// never hands it an object it did not set up:
// - before every use the words the C library branches on (the mutex's kind, the condition
//   variable's flags and internal lock) are checked against what the daemon's own set-up
//   writes, and the object is set up again, with a message, when they differ;
// - a mutex that stays taken by no live thread of another process (the lock word names a
//   thread that does not exist or one of the daemon's own, or the owner word disagrees with
//   it) is set up again; one held by a live GUI thread is left alone, however long it holds
//   it;
// - while the daemon holds the mutex, it is the only legitimate writer of every word but the
//   waiters bit, so before the unlock those words are put back as the lock left them;
// - every lock is a short try: a GUI process that holds the mutex costs a skipped publish,
//   never the pace of the controller link; the skipped bytes go with the next publish;
// - a wake-up that still does not return within gui_signal_limit_ms is cut short by a timer
//   and the condition variable set up again.
// After any set-up again, processes asleep on the mutex word are woken so that they try again.
//
// The publish itself never writes into the mapping: the control-mode and record steps write
// the daemon's own staging copy, and gui_block_write carries the bytes they wrote across.
// Every touch of the mapping runs inside guarded(): should the GUI process cut the object
// short, the SIGBUS of the touch jumps back there, the publish is skipped and the next one
// makes the block whole again. Nothing there holds a lock of the daemon's, so the jump leaves
// no state behind but this thread's list of robust mutexes, which is emptied (the block's
// mutex is the only robust mutex the daemon has).
#include "mcu/gui_block.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <sched.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "mcu/gui_shm.h"
#include "mcu/gui_shm_file.h"
#include "mcu/mcu.h"

namespace {

// --- The mapping and its descriptor: written by gui_shm_create, read by the publish (both on
// the controller thread) and by the SIGBUS handler. A mapping is never unmapped, so a block
// pointer stays valid for the life of the process even after a re-creation replaced it.
std::atomic<GuiSharedBlock *> gui_block{nullptr};
std::atomic<int> gui_block_fd{-1};

// --- Controller thread only: the staging copy, which of its record bytes the block still
// lacks, and a run of publishes skipped because the GUI process held the lock (reported once).
GuiSharedBlock staging{};
bool pending[gui_record::size] = {};
bool lock_busy_reported = false;

// The owner word of a robust mutex taken over from a dead holder and not yet made consistent.
constexpr int owner_inconsistent = INT_MAX;

bool all_zero(const void *bytes, size_t size) {
  const auto *p = static_cast<const uint8_t *>(bytes);
  for (size_t i = 0; i < size; ++i) {
    if (p[i] != 0) return false;
  }
  return true;
}

// --- Set-up.

bool init_mutex(pthread_mutex_t *mutex) {
  pthread_mutexattr_t attr;
  if (pthread_mutexattr_init(&attr) != 0) return false;
  if (pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST) != 0) {
    // Still usable, only a holder that dies can no longer be taken over.
    printf("gui shm: no robust mutex on this system\n");
  }
  const bool ok = pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED) == 0 &&
                  pthread_mutex_init(mutex, &attr) == 0;
  pthread_mutexattr_destroy(&attr);
  return ok;
}

bool init_cond(pthread_cond_t *cond) {
  pthread_condattr_t attr;
  if (pthread_condattr_init(&attr) != 0) return false;
  const bool ok = pthread_condattr_setpshared(&attr, PTHREAD_PROCESS_SHARED) == 0 &&
                  pthread_cond_init(cond, &attr) == 0;
  pthread_condattr_destroy(&attr);
  return ok;
}

// The words the C library branches on, as the daemon's set-up writes them: read once from
// objects set up the same way in the daemon's own memory.
struct SetUpWords {
  int mutex_kind;
  unsigned cond_flags;  // the low three bits of the waiter word: shared, clock, destroying
};
constexpr unsigned cond_flag_bits = 7;

const SetUpWords &set_up_words() {
  static const SetUpWords words = [] {
    pthread_mutex_t mutex;
    pthread_cond_t cond;
    SetUpWords seen{-1, ~0u};
    if (init_mutex(&mutex)) {
      seen.mutex_kind = mutex.__data.__kind;
      pthread_mutex_destroy(&mutex);
    }
    if (init_cond(&cond)) {
      seen.cond_flags = cond.__data.__wrefs & cond_flag_bits;
      pthread_cond_destroy(&cond);
    }
    return seen;
  }();
  return words;
}

// Wakes every process asleep on the mutex word: after a set-up again nobody else would.
void wake_mutex_sleepers(GuiSharedBlock *block) {
  syscall(SYS_futex, &block->mutex.__data.__lock, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

bool set_up_mutex(GuiSharedBlock *block) {
  if (!init_mutex(&block->mutex)) return false;
  wake_mutex_sleepers(block);
  return true;
}

bool set_up_cond(GuiSharedBlock *block) { return init_cond(&block->cond); }

// --- The jump back. Thread-local, set only while this thread runs guarded(); the handler
// reads them.
thread_local sigjmp_buf *guard_jump = nullptr;
thread_local bool watch_armed = false;
thread_local timer_t watch_timer;
thread_local bool have_watch_timer = false;
struct sigaction previous_bus {};

int watch_signal() { return SIGRTMIN + 2; }

void on_guard_signal(int sig, siginfo_t *info, void *context) {
  sigjmp_buf *const jump = guard_jump;
  if (sig != SIGBUS) {
    if (jump != nullptr && watch_armed) siglongjmp(*jump, sig);
    return;  // a watch that ran out just after its call returned
  }
  const auto *at = static_cast<const uint8_t *>(info->si_addr);
  const auto *block = reinterpret_cast<const uint8_t *>(gui_block.load());
  if (jump != nullptr && block != nullptr && at >= block && at < block + gui_block_size) {
    siglongjmp(*jump, SIGBUS);
  }
  // Not the block's: what would have happened without this handler.
  if (previous_bus.sa_flags & SA_SIGINFO) {
    previous_bus.sa_sigaction(sig, info, context);
  } else if (previous_bus.sa_handler != SIG_DFL && previous_bus.sa_handler != SIG_IGN) {
    previous_bus.sa_handler(sig);
  } else {
    signal(SIGBUS, SIG_DFL);  // the fault repeats on return, with the default action
  }
}

void install_handlers() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction action {};
    action.sa_sigaction = on_guard_signal;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGBUS, &action, &previous_bus);
    sigaction(watch_signal(), &action, nullptr);
  });
}

// Runs body(arg) so that a fault in the mapping, or a watched call that does not end, jumps
// back here. 0 when the body ran to its end, else the signal that cut it short.
[[gnu::noinline]] int guarded(void (*body)(void *), void *arg) {
  sigjmp_buf jump;
  sigjmp_buf *const outer = guard_jump;
  const int cut = sigsetjmp(jump, 1);
  if (cut != 0) {
    guard_jump = outer;
    return cut;
  }
  guard_jump = &jump;
  body(arg);
  guard_jump = outer;
  return 0;
}

// Inside guarded(): on to the outer jump, as if the fault had happened here.
[[noreturn]] void pass_fault_on(int sig) { siglongjmp(*guard_jump, sig); }

// The thread's list of held robust mutexes as the kernel knows it. A jump out of a lock or
// unlock may leave it pointing into the block, which is set up again: it is emptied.
void forget_robust_list() {
  robust_list_head *head = nullptr;
  size_t length = 0;
  if (syscall(SYS_get_robust_list, 0, &head, &length) != 0 || head == nullptr) return;
  head->list.next = &head->list;
  head->list_op_pending = nullptr;
}

// A one-shot timer that sends watch_signal to this thread after `ms`; false when there is
// none (then the call runs unwatched).
bool arm_watch(int ms) {
  if (!have_watch_timer) {
    sigevent event{};
    event.sigev_notify = SIGEV_THREAD_ID;
    event.sigev_signo = watch_signal();
    event._sigev_un._tid = gettid();
    if (timer_create(CLOCK_MONOTONIC, &event, &watch_timer) != 0) return false;
    have_watch_timer = true;
  }
  itimerspec when{};
  when.it_value.tv_sec = ms / 1000;
  when.it_value.tv_nsec = long(ms % 1000) * 1000000L;
  return timer_settime(watch_timer, 0, &when, nullptr) == 0;
}

void disarm_watch() {
  const itimerspec never{};
  timer_settime(watch_timer, 0, &never, nullptr);
}

// --- Checks of the native objects against the daemon's set-up.

unsigned load(const unsigned *word) { return __atomic_load_n(word, __ATOMIC_RELAXED); }
int load(const int *word) { return __atomic_load_n(word, __ATOMIC_RELAXED); }

bool mutex_kind_ok(const GuiSharedBlock *block) {
  return load(&block->mutex.__data.__kind) == set_up_words().mutex_kind;
}

// A mutex that looks taken but whose holder cannot be a live thread of another process:
// nobody would ever release it.
bool held_by_nobody(const GuiSharedBlock *block) {
  const unsigned lock = unsigned(load(&block->mutex.__data.__lock));
  const int owner = load(&block->mutex.__data.__owner);
  const pid_t tid = pid_t(lock & FUTEX_TID_MASK);
  if (tid == 0 || (lock & FUTEX_OWNER_DIED) != 0) return false;  // free, or taken over next
  if (owner != tid && owner != owner_inconsistent) return true;
  // None of the daemon's threads ever holds it outside a publish.
  if (syscall(SYS_tgkill, getpid(), tid, 0) == 0) return true;
  return kill(tid, 0) != 0 && errno == ESRCH;
}

// Whether the bits of `word` clear within about a millisecond: a GUI thread inside the C
// library holds them only for a few instructions.
bool clears_soon(const unsigned *word, unsigned bits) {
  for (int i = 0; i < 100; ++i) {
    if ((load(word) & bits) == 0) return true;
    const timespec pause{0, 10000};
    nanosleep(&pause, nullptr);
  }
  return (load(word) & bits) == 0;
}

// Whether pthread_cond_signal can be handed the condition variable: its flags are the
// daemon's, and its internal lock and the references of the group it would close (the
// only things it waits for) are not held.
bool cond_usable(const GuiSharedBlock *block) {
  const auto &data = block->cond.__data;
  if ((load(&data.__wrefs) & cond_flag_bits) != set_up_words().cond_flags) return false;
  if (load(&data.__wrefs) >> 3 == 0) return true;  // no waiter: it returns at once
  if (!clears_soon(&data.__g1_orig_size, 3)) return false;
  const unsigned g1 = (load(&data.__wseq.__value32.__low) & 1) ^ 1;
  return load(&data.__g_size[g1]) != 0 || clears_soon(&data.__g_refs[g1], ~1u);
}

// --- One publish's write, inside guarded().

struct Write {
  GuiSharedBlock *block;
  int fd;
  int result = 0;  // as gui_block_write
};

// Makes an object cut short whole again and sets its native objects up anew (nobody can be
// using objects that were cut away).
bool restore_size(Write &w) {
  struct stat st {};
  if (w.fd < 0 || fstat(w.fd, &st) != 0 || st.st_size >= off_t(gui_block_size)) return true;
  printf("gui shm: block cut to %lld bytes, setting it up again\n",
         static_cast<long long>(st.st_size));
  if (ftruncate(w.fd, gui_block_size) != 0) {
    printf("gui shm: cannot restore the block: %s\n", strerror(errno));
    return false;
  }
  return set_up_mutex(w.block) && set_up_cond(w.block);
}

// Takes the mutex with a short try, setting it up again where the C library must not be
// handed it. False: skipped (the reason printed).
bool lock_short(Write &w) {
  GuiSharedBlock *block = w.block;
  if (!mutex_kind_ok(block)) {
    printf("gui shm: mutex overwritten (kind %d), setting it up again\n",
           load(&block->mutex.__data.__kind));
    if (!set_up_mutex(block)) return false;
  }
  int result = lock_gui_block(block, gui_lock_try_ms);
  if (result == ETIMEDOUT && held_by_nobody(block)) {
    printf("gui shm: mutex held by no live thread, setting it up again\n");
    result = EINVAL;
  } else if (result == ENOTRECOVERABLE || result == EINVAL) {
    printf("gui shm: mutex unusable (%s), setting it up again\n", strerror(result));
  }
  if (result == ENOTRECOVERABLE || result == EINVAL) {
    if (!set_up_mutex(block)) {
      printf("gui shm: mutex setup failed\n");
      return false;
    }
    result = lock_gui_block(block, gui_lock_try_ms);
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

void signal_call(void *cond) { pthread_cond_signal(static_cast<pthread_cond_t *>(cond)); }

// Wakes the GUI process; a condition variable it cannot be handed, or whose wake-up does not
// end, is set up again instead (with the mutex held, nobody can be starting a wait on it).
void wake_gui(GuiSharedBlock *block) {
  if (!cond_usable(block)) {
    printf("gui shm: condition variable overwritten, setting it up again\n");
    set_up_cond(block);
    return;
  }
  const bool watched = arm_watch(gui_signal_limit_ms);
  watch_armed = watched;
  const int cut = guarded(signal_call, &block->cond);
  watch_armed = false;
  if (watched) disarm_watch();
  if (cut == SIGBUS) pass_fault_on(cut);
  if (cut != 0) {
    printf("gui shm: wake-up of the GUI process stuck, condition variable set up again\n");
    set_up_cond(block);
  }
}

// Puts the mutex back as the daemon's lock left it (`image`), should anyone have written over
// it meanwhile, and unlocks it.
void unlock_as_locked(Write &w, const pthread_mutex_t &image) {
  pthread_mutex_t *mutex = &w.block->mutex;
  const unsigned own = unsigned(gettid());
  const unsigned lock = unsigned(load(&mutex->__data.__lock));
  const auto *now = reinterpret_cast<const uint8_t *>(mutex);
  const auto *then = reinterpret_cast<const uint8_t *>(&image);
  const size_t rest = sizeof(int);  // everything after the lock word
  if ((lock & FUTEX_TID_MASK) != own || memcmp(now + rest, then + rest, sizeof image - rest) != 0) {
    printf("gui shm: mutex overwritten while the daemon held it, put back\n");
    memcpy(reinterpret_cast<uint8_t *>(mutex) + rest, then + rest, sizeof image - rest);
    // The waiters bit makes the unlock wake anyone who may be waiting.
    __atomic_store_n(&mutex->__data.__lock, int(own | FUTEX_WAITERS), __ATOMIC_RELEASE);
  }
  pthread_mutex_unlock(mutex);
}

void write_body(void *arg) {
  Write &w = *static_cast<Write *>(arg);
  GuiSharedBlock *block = w.block;
  if (!restore_size(w) || !lock_short(w)) return;
  pthread_mutex_t image;
  memcpy(&image, &block->mutex, sizeof image);
  for (size_t i = 0; i < gui_record::size; ++i) {
    if (pending[i]) block->record[i] = staging.record[i];
  }
  block->new_data = 1;
  wake_gui(block);
  unlock_as_locked(w, image);
  w.result = 1;
}

// The record bytes the publish just prepared has written, by the record's table: the
// control-mode step's copy of the mode, then the record step's fields of its kind.
void mark_written(const uint8_t *record) {
  auto mark = [](size_t first, size_t end) {
    for (size_t i = first; i < end; ++i) pending[i] = true;
  };
  if (control_mode == 1) mark(gui_record::display_record_first, gui_record::display_record_end);
  if (control_mode == 2 && pc_send_theme_mark == 1) {
    mark(gui_record::theme_data_first, gui_record::pump_speed_high);
    mark(gui_record::theme_data_second, gui_record::theme_index + 1);
  }
  if (record[gui_record::kind] == gui_kind_command) {
    mark(gui_record::kind, gui_record::command_code + gui_record::command_code_size);
  } else {
    for (size_t at : {gui_record::start_marker, gui_record::kind, gui_record::control_mode,
                      gui_record::water_temp, gui_record::pump_speed_high,
                      gui_record::pump_speed_low, gui_record::theme_index}) {
      pending[at] = true;
    }
  }
  pending[gui_record::end_marker] = true;
}

void drop_block(int fd, GuiSharedBlock *block) {
  if (block != nullptr) munmap(block, gui_block_size);
  if (fd >= 0) close(fd);
}

struct Adopt {
  GuiSharedBlock *block;
  bool fresh;
  bool ok = false;
};

// With a new block: its native objects set up; then the flag back to 0.
void adopt_body(void *arg) {
  Adopt &a = *static_cast<Adopt *>(arg);
  GuiSharedBlock *block = a.block;
  // An existing block whose native objects are still all zero was never set up (its creator
  // died first, or created it without them): nobody can be using them.
  if (!a.fresh && all_zero(&block->mutex, sizeof block->mutex) &&
      all_zero(&block->cond, sizeof block->cond)) {
    a.fresh = true;
  }
  if (a.fresh && !(set_up_mutex(block) && set_up_cond(block))) return;
  Write w{block, -1};
  if (lock_short(w)) {
    block->new_data = 0;
    pthread_mutex_unlock(&block->mutex);
  } else {
    __atomic_store_n(&block->new_data, 0, __ATOMIC_SEQ_CST);
  }
  a.ok = true;
}

}  // namespace

void gui_shm_create() {
  install_handlers();
  set_up_words();
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
  for (bool &byte : pending) byte = false;
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
  const bool fresh = created || st.st_size < off_t(gui_block_size);
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
  // The handler knows the block from here on; the publish only once it is set up.
  gui_block = block;
  Adopt adopt{block, fresh};
  const int cut = guarded(adopt_body, &adopt);
  gui_block = nullptr;
  if (cut != 0) forget_robust_list();
  if (cut != 0 || !adopt.ok) {
    printf("gui shm: cannot set up the mutex of %s\n", name.c_str());
    drop_block(fd, block);
    return;
  }
  // The bytes 0..127 of an earlier run stay; only the flag starts again from 0.
  gui_block_fd = fd;
  gui_block = block;
}

GuiSharedBlock *gui_publish_begin() { return &staging; }

int gui_block_write() {
  mark_written(staging.record);
  GuiSharedBlock *block = gui_block;
  if (block == nullptr) return -1;
  Write w{block, gui_block_fd};
  const int cut = guarded(write_body, &w);
  if (cut != 0) {
    // Cut short under the daemon: whatever it held there is gone; the next publish makes the
    // block whole and sets it up again.
    forget_robust_list();
    printf("gui shm: block cut short during a publish, publish skipped\n");
    return 0;
  }
  if (w.result == 1) {
    for (bool &byte : pending) byte = false;
  }
  return w.result;
}

bool gui_block_pending() {
  for (bool byte : pending) {
    if (byte) return true;
  }
  return false;
}
