// The daemon's side of the shared block, and the processes that alone touch it.
//
// The block outlives the daemon and may be in use by the GUI process at a restart, so its
// objects are set up only when new; the mutex is robust, so a holder that dies hands the next
// locker EOWNERDEAD. But the GUI process can also leave the objects in any state or cut the
// block short, and no portable code survives a C library call on such objects or a touch of a
// page cut away. So a helper, forked while the daemon has one thread, holds the block open,
// keeps the bytes it still owes it and passes each request on to a worker it forks, which maps
// the block and makes the calls. A worker that dies (SIGBUS) or has not answered within
// worker_limit_ms is ended; the next one sets the objects up again, with a message, and tries
// once more.
#include "mcu/gui_shm.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>

#include "mcu/mcu.h"
#include "platform/shm_root.h"

namespace {

constexpr char shm_name[] = "/demo_shm";
constexpr int answer_wait_ms = 100;  // the controller thread's wait: a later answer comes later
constexpr int lock_try_ms = 2;  // then the publish is skipped: the GUI process holds the mutex
constexpr int worker_limit_ms = 1000;

// A request, and the same filled in as its answer.
struct Message {
  uint64_t seq;     // numbers the requests: the answers come in turn
  bool adopt;       // open the block, set it up if new, set the flag to 0; otherwise a publish
  uint8_t command;  // the pause (2) or resume (3) a publish carries, or 0
  GuiRecord record;  // the bytes to write are those `changed`
  bool put[gui_record::size];  // every byte written since the start: owed to a block made anew
  int8_t result;    // 1 every byte owed written; 0 skipped, the mutex is held; -1 failed
  char note[1024];  // lines for the daemon's log: room for all a request can gather
};

void note(Message &message, const char *format, ...) {
  const size_t used = strlen(message.note);
  va_list args;
  va_start(args, format);
  vsnprintf(message.note + used, sizeof message.note - used, format, args);
  va_end(args);
}

// --- The helper process and its workers.

bool set_up(GuiSharedBlock *block) {
  pthread_mutexattr_t mutex_attr;
  pthread_condattr_t cond_attr;
  if (pthread_mutexattr_init(&mutex_attr) != 0) return false;
  if (pthread_condattr_init(&cond_attr) != 0) {
    pthread_mutexattr_destroy(&mutex_attr);
    return false;
  }
  const bool ok = pthread_mutexattr_setrobust(&mutex_attr, PTHREAD_MUTEX_ROBUST) == 0 &&
                  pthread_mutexattr_setpshared(&mutex_attr, PTHREAD_PROCESS_SHARED) == 0 &&
                  pthread_condattr_setpshared(&cond_attr, PTHREAD_PROCESS_SHARED) == 0 &&
                  pthread_mutex_init(&block->mutex, &mutex_attr) == 0 &&
                  pthread_cond_init(&block->cond, &cond_attr) == 0;
  pthread_mutexattr_destroy(&mutex_attr);
  pthread_condattr_destroy(&cond_attr);
  return ok;
}

// A mutex as set up, and which of its words a lock or an unlock changes, learned on one in the
// helper's own memory: a mutex that stays taken while another word differs is written over.
uint8_t set_up_image[sizeof(pthread_mutex_t)];
bool lock_word[sizeof(pthread_mutex_t) / 4];

void learn_mutex() {
  static GuiSharedBlock own;
  uint8_t locked[sizeof own.mutex], unlocked[sizeof own.mutex];
  if (!set_up(&own)) return;
  memcpy(set_up_image, &own.mutex, sizeof own.mutex);
  pthread_mutex_lock(&own.mutex);
  memcpy(locked, &own.mutex, sizeof own.mutex);
  pthread_mutex_unlock(&own.mutex);
  memcpy(unlocked, &own.mutex, sizeof own.mutex);
  for (size_t at = 0; at < sizeof own.mutex; at += 4) {
    lock_word[at / 4] = memcmp(set_up_image + at, locked + at, 4) != 0 ||
                        memcmp(set_up_image + at, unlocked + at, 4) != 0;
  }
}

bool written_over(const pthread_mutex_t *mutex) {
  const auto *now = reinterpret_cast<const volatile uint8_t *>(mutex);
  for (size_t i = 0; i < sizeof *mutex; ++i) {
    if (!lock_word[i / 4] && now[i] != set_up_image[i]) return true;
  }
  return false;
}

// 0 locked (a dead holder's mutex made consistent), ETIMEDOUT held, or the error.
int lock(GuiSharedBlock *block, Message &answer) {
  int result = pthread_mutex_trylock(&block->mutex);
  if (result == EBUSY) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const long nsec = now.tv_nsec + lock_try_ms * 1000000L;
    const timespec deadline{now.tv_sec + nsec / 1000000000L, nsec % 1000000000L};
    result = pthread_mutex_timedlock(&block->mutex, &deadline);
  }
  const bool over = result == ETIMEDOUT && written_over(&block->mutex);
  if (over || (result != 0 && result != EOWNERDEAD && result != ETIMEDOUT)) {
    note(answer, "gui shm: mutex %s%s%s, setting it up again\n",
         over ? "written over" : "unusable (", over ? "" : strerror(result), over ? "" : ")");
    result = set_up(block) ? pthread_mutex_trylock(&block->mutex) : EINVAL;
  }
  if (result == EOWNERDEAD) {  // both sides only ever replace whole fields of the record
    note(answer, "gui shm: last holder of the mutex died, mutex recovered\n");
    pthread_mutex_consistent(&block->mutex);
    result = 0;
  }
  return result;
}

// One request, in a worker of its own; the block is whole. `again`: set the objects up first.
void serve(Message &answer, int fd, bool again) {
  void *map = mmap(nullptr, gui_block_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (map == MAP_FAILED) {
    return note(answer, "gui shm: cannot map the block: %s\n", strerror(errno));
  }
  auto *block = static_cast<GuiSharedBlock *>(map);
  const auto *objects = reinterpret_cast<const uint8_t *>(&block->mutex);
  const size_t objects_size = gui_cond_offset + sizeof(pthread_cond_t) - gui_mutex_offset;
  const bool zeroed = std::all_of(objects, objects + objects_size,
                                  [](uint8_t b) { return b == 0; });  // never set up, or made anew
  const bool usable = !(again || zeroed) || set_up(block);
  const int locked = usable && !answer.adopt ? lock(block, answer) : EINVAL;
  if (answer.adopt && usable) std::atomic_ref<int32_t>(block->new_data).store(0);
  if (locked == 0) {
    for (size_t i = 0; i < gui_record::size; ++i) {
      if (answer.record.changed[i] || (zeroed && answer.put[i])) {
        block->record[i] = answer.record.bytes[i];
      }
    }
    block->new_data = 1;
    pthread_cond_signal(&block->cond);
    pthread_mutex_unlock(&block->mutex);
  }
  munmap(map, gui_block_size);
  answer.result = (answer.adopt ? usable : locked == 0) ? 1 : locked == ETIMEDOUT ? 0 : -1;
  if (!usable) note(answer, "gui shm: cannot set up its objects\n");
  if (usable && answer.result < 0) {
    note(answer, "gui shm: cannot lock the mutex: %s\n", strerror(locked));
  }
}

[[noreturn]] void helper_main(int daemon) {
  learn_mutex();
  int fd = -1;
  bool again = false;  // the next worker sets the objects up before anything else
  bool busy = false;   // the last publish was skipped for the GUI process: said once
  bool unstarted = false;  // the last worker could not be started: said once
  Message answer;
  GuiRecord owed{};  // the bytes the block is still owed, and the last value of every byte
  bool put[gui_record::size] = {};
  pid_t worker = -1;
  int link = -1;  // the helper's end of the worker's socket
  const auto end_worker = [&] {
    if (worker > 0 && kill(worker, SIGKILL) == 0) waitpid(worker, nullptr, 0);
    if (link >= 0) close(link);
    worker = link = -1;
  };
  while (recv(daemon, &answer, sizeof answer, 0) == ssize_t(sizeof answer)) {
    answer.result = -1;
    answer.note[0] = '\0';
    struct stat st {};
    if (answer.adopt) {
      end_worker();
      if (fd >= 0) close(fd);
      fd = open_gui_block(O_RDWR | O_CREAT, 0666);
      if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        close(fd);
        fd = -1;
        errno = EINVAL;
      }
      if (fd < 0) note(answer, "gui shm: cannot open %s: %s; nothing is published\n",
                       shm_object_name(shm_name).c_str(), strerror(errno));
      owed = GuiRecord{};
      std::fill(std::begin(put), std::end(put), false);
      again = false;  // a block made now is all zeros: set up as new
    }
    // A block cut short is made whole here, so that the message outlives a worker the next
    // cut ends. The objects went with the cut, and so did the record's bytes past it.
    if (fd >= 0 && fstat(fd, &st) == 0 && st.st_size < off_t(gui_block_size)) {
      if (!answer.adopt) {
        note(answer, "gui shm: block cut to %d bytes, setting it up again\n", int(st.st_size));
        std::fill(owed.changed + std::min<off_t>(st.st_size, gui_record::size),
                  std::end(owed.changed), true);
      }
      end_worker();
      again = true;
      if (ftruncate(fd, gui_block_size) != 0) {
        note(answer, "gui shm: cannot make the block whole: %s\n", strerror(errno));
      }
    }
    for (size_t i = 0; i < gui_record::size; ++i) {
      if (answer.record.changed[i]) gui_record_put(&owed, i, answer.record.bytes[i]);
      put[i] = put[i] || answer.record.changed[i];
    }
    answer.record = owed;
    std::copy(std::begin(put), std::end(put), answer.put);
    for (int attempt = 0; fd >= 0 && attempt < 2; ++attempt) {
      int pair[2];
      if (worker < 0 && socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair) == 0) {
        worker = fork();
        if (worker == 0) {  // serves requests until the helper goes
          signal(SIGBUS, SIG_DFL);  // a block cut short under it ends the worker, nothing else
          const rlimit no_core{0, 0};  // and leaves no core file, however often a GUI cuts
          setrlimit(RLIMIT_CORE, &no_core);
          close(daemon);
          close(pair[0]);
          for (Message request; recv(pair[1], &request, sizeof request, 0) > 0; again = false) {
            serve(request, fd, again);
            if (send(pair[1], &request, sizeof request, MSG_NOSIGNAL) <= 0) break;
          }
          _exit(0);
        }
        const int why = errno;
        close(pair[1]);
        link = pair[0];
        errno = why;
      }
      if (worker < 0) {  // none started: the objects were not touched, nothing to set up again
        if (!unstarted) note(answer, "gui shm: cannot start a worker: %s\n", strerror(errno));
        unstarted = true;
        end_worker();
        break;
      }
      unstarted = false;
      pollfd ready{link, POLLIN, 0};
      const bool asked = worker > 0 && send(link, &answer, sizeof answer, MSG_NOSIGNAL) > 0;
      const int seen = asked ? poll(&ready, 1, worker_limit_ms) : -1;
      const bool answered = seen == 1 && recv(link, &answer, sizeof answer, 0) > 0;
      again = !answered;
      if (answered) break;
      end_worker();
      note(answer, "gui shm: helper process %s, setting the mutex and condition variable up "
                   "again\n", seen == 0 ? "stuck" : "ended");
    }
    if (answer.result == 1 && !answer.adopt) std::fill_n(owed.changed, gui_record::size, false);
    if (!answer.adopt && answer.result == 0 && !busy) {
      note(answer, "gui shm: mutex held by the GUI process, publish skipped\n");
    }
    busy = !answer.adopt && answer.result == 0;
    if (send(daemon, &answer, sizeof answer, MSG_NOSIGNAL) != ssize_t(sizeof answer)) break;
  }
  end_worker();
  _exit(0);  // the daemon is gone
}

// --- The daemon's side: the controller thread alone (and tests, one thread at a time).

int helper = -1;  // the daemon's end of the helper's socket
pid_t helper_pid = -1;
GuiRecord staging{};
uint64_t sent = 0, answered = 0;  // the last request sent and the last answered
uint64_t command_sent = 0;  // the last request sent with a command: only its landing clears it
bool still_owed = false;  // the last answer left bytes owed

void helper_gone() {
  printf("gui shm: the helper process is gone, nothing reaches the block\n");
  close(helper);
  if (helper_pid > 0 && kill(helper_pid, SIGKILL) == 0) {  // in case only the socket failed
    waitpid(helper_pid, nullptr, 0);  // our child, not yet waited for: its pid is still its
  }
  helper = helper_pid = -1;
}

bool send_request(Message &request) {
  request.seq = sent + 1;
  if (helper >= 0 && send(helper, &request, sizeof request, MSG_NOSIGNAL | MSG_DONTWAIT) ==
                         ssize_t(sizeof request)) {
    ++sent;
    return true;
  }
  if (helper >= 0 && errno == EPIPE) helper_gone();  // it died between requests
  return false;
}

// Takes the answers that come within `wait_ms`, until the last request sent is answered.
void settle(int wait_ms) {
  using namespace std::chrono;
  const auto until = steady_clock::now() + milliseconds(wait_ms);
  Message answer;
  while (helper >= 0 && answered < sent) {
    pollfd ready{helper, POLLIN, 0};
    const auto left = duration_cast<milliseconds>(until - steady_clock::now()).count();
    if (poll(&ready, 1, int(std::max<decltype(left)>(left, 0))) != 1) return;
    if (recv(helper, &answer, sizeof answer, 0) != ssize_t(sizeof answer)) return helper_gone();
    answered = answer.seq;
    still_owed = answer.result != 1;
    printf("%.*s", int(sizeof answer.note), answer.note);
    if (answer.result == 1 && answer.command != 0 && answer.seq >= command_sent) {
      screen_gui_command_published(answer.command);
    }
  }
}

}  // namespace

void gui_helper_start() {
  int pair[2];
  if (helper >= 0 || socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) return;
  fflush(stdout);
  const pid_t pid = fork();
  if (pid == 0) {
    close(pair[0]);
    helper_main(pair[1]);
  }
  close(pair[1]);
  if (pid < 0) return (void)close(pair[0]);
  helper = pair[0];
  helper_pid = pid;
  sent = answered = 0;
}

int open_gui_block(int flags, mode_t mode) { return shm_open_under_root(shm_name, flags, mode); }

void gui_shm_create() {
  staging = GuiRecord{};
  Message request{};
  request.adopt = true;
  if (send_request(request)) settle(worker_limit_ms * 5);
  if (helper < 0 || answered < sent) {
    printf("gui shm: no helper process answers: nothing is published to %s\n",
           shm_object_name(shm_name).c_str());
  }
}

GuiRecord *gui_publish_begin() { return &staging; }

void gui_record_step(GuiRecord *record) {
  if (record == nullptr) return;
  const uint8_t type = screen_gui_command();  // 2 pause, 3 resume
  const uint8_t *command = type == 2 ? gui_pause_command : type == 3 ? gui_resume_command : nullptr;
  if (command != nullptr) {
    gui_record_put(record, gui_record::kind, gui_kind_command);
    gui_record_put(record, gui_record::command_code, command, gui_record::command_code_size);
  } else {
    const uint16_t speed = pump_speed;
    gui_record_put(record, gui_record::start_marker, gui_record_start_byte);
    gui_record_put(record, gui_record::kind, gui_kind_data);
    gui_record_put(record, gui_record::control_mode, control_mode);
    gui_record_put(record, gui_record::water_temp, water_temp);
    gui_record_put(record, gui_record::pump_speed_high, uint8_t(speed >> 8));
    gui_record_put(record, gui_record::pump_speed_low, uint8_t(speed & 0xFF));
    gui_record_put(record, gui_record::theme_index, current_theme_index);
  }
  gui_record_put(record, gui_record::end_marker, gui_record_end_byte);
  // A command is cleared only once it is in the block, and only if it is still the request
  // published: a pause or resume that came in meanwhile stays pending for the next one.
  Message request{};
  request.command = command != nullptr ? type : 0;
  request.record = *record;
  if (send_request(request)) {
    std::fill_n(record->changed, gui_record::size, false);  // the helper owes them now
    if (command != nullptr) command_sent = sent;
  }
  settle(answer_wait_ms);
}

bool gui_block_pending(int wait_ms) {
  settle(wait_ms);
  return still_owed || answered < sent ||
         std::count(std::begin(staging.changed), std::end(staging.changed), true) > 0;
}
