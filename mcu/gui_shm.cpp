// The daemon's side of the shared block, and the processes that alone touch it.
//
// The block outlives the daemon and may be in use by the GUI process at a restart, so its
// objects are set up only when new; the mutex is robust, so a holder that dies hands the next
// locker EOWNERDEAD. But the GUI process can also leave the objects in any state or cut the
// block short, and no portable code survives a C library call on such objects or a touch of a
// page cut away. So a helper, forked while the daemon has one thread, forks a worker that
// serves the daemon's requests. A cut under it (SIGBUS) or a request not done within a second
// (SIGALRM) ends the worker: the helper answers that request as failed and starts another,
// which sets the objects up again. Every publish carries all the bytes the daemon has written.
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
#include <new>

#include "mcu/mcu.h"
#include "platform/shm_root.h"

namespace {

constexpr char shm_name[] = "/demo_shm";
constexpr int answer_wait_ms = 100;  // the controller thread's wait: a later answer comes later
constexpr unsigned worker_limit_s = 1;

// A request, and the same filled in as its answer.
struct Message {
  uint64_t seq;      // numbers the requests, so that an answer names its own; 0: a note alone
  bool adopt;        // open the block, set it up if new, set the flag to 0; otherwise a publish
  uint8_t command;   // the pause (2) or resume (3) a publish carries, or 0
  GuiRecord record;  // the bytes `written` go to the block
  bool landed;       // the answer: the record is in the block (the start: the block is ready)
  char note[512];    // lines for the daemon's log
};

void note(Message &message, const char *format, ...) {
  const size_t used = strlen(message.note);
  va_list args;
  va_start(args, format);
  vsnprintf(message.note + used, sizeof message.note - used, format, args);
  va_end(args);
}

// --- The helper process and its worker.

bool set_up(GuiSharedBlock *block) {
  static pthread_mutexattr_t mutex_attr;  // made once, by the helper before any worker
  static pthread_condattr_t cond_attr;
  static const bool made = pthread_mutexattr_init(&mutex_attr) == 0 &&
                           pthread_mutexattr_setrobust(&mutex_attr, PTHREAD_MUTEX_ROBUST) == 0 &&
                           pthread_mutexattr_setpshared(&mutex_attr, PTHREAD_PROCESS_SHARED) == 0 &&
                           pthread_condattr_init(&cond_attr) == 0 &&
                           pthread_condattr_setpshared(&cond_attr, PTHREAD_PROCESS_SHARED) == 0;
  return made && pthread_mutex_init(&block->mutex, &mutex_attr) == 0 &&
         pthread_cond_init(&block->cond, &cond_attr) == 0;
}

// A mutex as set up, made once by the helper in its own memory. What a set-up makes non-zero is
// its type, which neither a lock nor a waiter changes (the lock, owner, waiter and list words
// start at zero): a mutex that stays taken while one of those bytes differs is written over.
uint8_t set_up_image[sizeof(pthread_mutex_t)];

bool written_over(const pthread_mutex_t *mutex) {
  const auto *now = reinterpret_cast<const volatile uint8_t *>(mutex);
  for (size_t i = 0; i < sizeof *mutex; ++i) {
    if (set_up_image[i] != 0 && now[i] != set_up_image[i]) return true;
  }
  return false;
}

// Whether the mutex is taken (a dead holder's made consistent); says why not.
bool lock(GuiSharedBlock *block, Message &answer) {
  constexpr timespec nap{0, 200000};  // tried for about 2 ms, then the publish is skipped
  int result = pthread_mutex_trylock(&block->mutex);  // a free one, or a dead holder's, at once
  for (int tries = 0; result == EBUSY && tries < 10; ++tries) {
    nanosleep(&nap, nullptr);  // a pause no step of the clock lengthens
    result = pthread_mutex_trylock(&block->mutex);
  }
  const bool over = result == EBUSY && written_over(&block->mutex);
  if (over || (result != 0 && result != EOWNERDEAD && result != EBUSY)) {
    note(answer, "gui shm: mutex %s%s, setting it up again\n", over ? "written over" : "unusable: ",
         over ? "" : strerror(result));
    result = set_up(block) ? pthread_mutex_trylock(&block->mutex) : EINVAL;
  }
  if (result == EOWNERDEAD) {  // both sides only ever replace whole fields of the record
    note(answer, "gui shm: last holder of the mutex died, mutex recovered\n");
    pthread_mutex_consistent(&block->mutex);  // we hold it, whatever this says
    result = 0;
  }
  if (result == EBUSY) note(answer, "gui shm: mutex held by the GUI process, publish skipped\n");
  else if (result != 0) note(answer, "gui shm: cannot lock the mutex: %s\n", strerror(result));
  return result == 0;
}

// One request, in the worker. `again`: the last worker ended in the middle of a request, so
// the objects are set up before anything else.
void serve(Message &answer, bool &again) {
  int fd = open_gui_block(O_RDWR, 0);  // O_CREAT only if absent: a sticky /dev/shm may refuse
  const bool removed = fd < 0 && errno == ENOENT;
  if (removed) fd = open_gui_block(O_RDWR | O_CREAT, 0666);
  struct stat st {};
  const bool cut = fd >= 0 && fstat(fd, &st) == 0 && st.st_size < off_t(gui_block_size);
  if (cut && !answer.adopt && removed) {
    note(answer, "gui shm: block removed, making it again\n");
  } else if (cut && !answer.adopt) {  // the objects went with the cut, as did the bytes past it
    note(answer, "gui shm: block cut to %d bytes, setting it up again\n", int(st.st_size));
  }
  again = again || cut;
  void *map = fd < 0 || (cut && ftruncate(fd, gui_block_size) != 0)
                  ? MAP_FAILED
                  : mmap(nullptr, gui_block_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (map == MAP_FAILED) {
    note(answer, "gui shm: cannot open, size or map %s: %s; nothing is published\n",
         shm_object_name(shm_name).c_str(), strerror(errno));
  }
  if (fd >= 0) close(fd);
  if (map == MAP_FAILED) return;
  auto *block = static_cast<GuiSharedBlock *>(map);
  const auto *objects = reinterpret_cast<const uint8_t *>(&block->mutex);
  const bool zeroed = std::all_of(objects, reinterpret_cast<const uint8_t *>(&block->cond + 1),
                                  [](uint8_t b) { return b == 0; });  // never set up
  const bool usable = !(again || zeroed) || set_up(block);
  again = again && !usable;
  const bool locked = usable && !answer.adopt && lock(block, answer);
  if (answer.adopt && usable) std::atomic_ref<int32_t>(block->new_data).store(0);
  if (locked) {
    for (size_t i = 0; i < gui_record::size; ++i) {
      if (answer.record.written[i]) block->record[i] = answer.record.bytes[i];
    }
    block->new_data = 1;
    pthread_cond_signal(&block->cond);
    pthread_mutex_unlock(&block->mutex);
  }
  munmap(map, gui_block_size);
  answer.landed = answer.adopt ? usable : locked;
  if (!usable) note(answer, "gui shm: cannot set up its objects\n");
}

// Serves the requests, each received into `current`, which the helper sees too, until the
// daemon or the helper goes. A request in hand has its number there; once answered, 0.
[[noreturn]] void worker_main(int daemon, Message *current, bool again) {
  signal(SIGBUS, SIG_DFL);  // a block cut short under it ends the worker, nothing else
  signal(SIGALRM, SIG_DFL);  // and so does a request that takes too long
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  const rlimit no_core{0, 0};  // and leaves no core file, however often a GUI cuts the block
  setrlimit(RLIMIT_CORE, &no_core);
  const pid_t helper = getppid();
  while (recv(daemon, current, sizeof *current, 0) == ssize_t(sizeof *current) &&
         getppid() == helper) {
    alarm(worker_limit_s);
    serve(*current, again);
    alarm(0);
    const Message answer = *current;
    current->seq = 0;
    current->note[0] = '\0';
    if (send(daemon, &answer, sizeof answer, MSG_NOSIGNAL) != ssize_t(sizeof answer)) break;
  }
  _exit(0);
}

[[noreturn]] void helper_main(int daemon) {
  static GuiSharedBlock own;
  if (set_up(&own)) memcpy(set_up_image, &own.mutex, sizeof own.mutex);
  void *shared = mmap(nullptr, sizeof(Message), PROT_READ | PROT_WRITE,
                      MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (shared == MAP_FAILED) _exit(1);
  auto *current = new (shared) Message{};
  for (bool again = false;;) {
    const pid_t worker = fork();
    if (worker == 0) worker_main(daemon, current, again);
    int status = 0;
    if (worker < 0) {  // the requests wait; the objects were not touched
      note(*current, "gui shm: cannot start a worker: %s\n", strerror(errno));
      sleep(1);
    } else if (waitpid(worker, &status, 0) != worker || status == 0) {
      _exit(0);  // the daemon is gone
    } else {
      again = current->seq != 0;  // it may have been in the middle of a call on the objects
      const int by = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
      note(*current, "gui shm: helper process %s (%s)%s\n", by == SIGALRM ? "stuck" : "ended",
           by != 0 ? strsignal(by) : "exit status not 0",
           again ? ", setting the mutex and condition variable up again" : "");
    }
    current->landed = false;  // the request in hand, if any, is answered as failed
    if (send(daemon, current, sizeof *current, MSG_NOSIGNAL) != ssize_t(sizeof *current)) _exit(0);
    current->seq = 0;
    current->note[0] = '\0';
  }
}

// --- The daemon's side: the controller thread alone (and tests, one thread at a time).

int helper = -1;  // the daemon's end of the helper's socket
pid_t helper_pid = -1;
GuiRecord staging{};
uint64_t sent = 0;      // the number of the last request
bool answered = true;  // its answer came, or it could not be sent
bool landed = true;    // and its record reached the block
char said[sizeof Message::note] = "";  // the last note: one said again and again is printed once

void helper_gone() {
  printf("gui shm: the helper process is gone, nothing reaches the block\n");
  close(helper);
  kill(helper_pid, SIGKILL);  // in case only the socket failed; our child, not yet waited for
  waitpid(helper_pid, nullptr, 0);
  helper = -1;
}

// Sends `request` (unless null), then takes the answers in, waiting at most `wait_ms` for the
// one to the last request. Only that answer counts: each request carries all the earlier
// ones did, and a command is cleared only if it is still the one asked.
void exchange(Message *request, int wait_ms) {
  using namespace std::chrono;
  if (request != nullptr) {
    request->seq = ++sent;
    landed = false;
    answered = helper < 0 || send(helper, request, sizeof *request, MSG_NOSIGNAL | MSG_DONTWAIT) !=
                                 ssize_t(sizeof *request);
    if (answered && helper >= 0 && errno == EPIPE) helper_gone();  // it died between requests
  }
  const auto until = steady_clock::now() + milliseconds(wait_ms);
  Message answer;
  while (helper >= 0) {  // after that answer (or a failed send), only those already here
    pollfd ready{helper, POLLIN, 0};
    const auto left = duration_cast<milliseconds>(until - steady_clock::now()).count();
    if (poll(&ready, 1, answered ? 0 : int(std::max<decltype(left)>(left, 0))) != 1) return;
    if (recv(helper, &answer, sizeof answer, 0) != ssize_t(sizeof answer)) return helper_gone();
    answer.note[sizeof answer.note - 1] = '\0';
    if (strcmp(answer.note, said) != 0) printf("%s", strcpy(said, answer.note));
    if (answer.seq != sent) continue;  // a note alone, or the late answer to an earlier request
    answered = true;
    landed = answer.landed;
    if (landed && answer.command != 0) screen_gui_command_published(answer.command);
  }
}

}  // namespace

void gui_helper_start() {
  int pair[2];
  if (helper >= 0 || socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) return;
  fflush(stdout);
  helper_pid = fork();
  if (helper_pid == 0) close(pair[0]), helper_main(pair[1]);
  close(pair[1]);
  helper = helper_pid > 0 ? pair[0] : -1;
  if (helper < 0) close(pair[0]);
}

int open_gui_block(int flags, mode_t mode) { return shm_open_under_root(shm_name, flags, mode); }

void gui_shm_create() {
  staging = GuiRecord{};
  Message request{};
  request.adopt = true;
  exchange(&request, int(worker_limit_s) * 5000);  // a worker stuck in it is replaced by then
  if (helper < 0) printf("gui shm: no helper process: nothing is published to %s\n",
                         shm_object_name(shm_name).c_str());
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
  Message request{};
  request.command = command != nullptr ? type : 0;
  request.record = *record;
  exchange(&request, answer_wait_ms);
}

bool gui_block_pending(int wait_ms) {
  exchange(nullptr, wait_ms);
  return !landed;
}
