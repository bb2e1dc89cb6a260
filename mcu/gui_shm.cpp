// The daemon's side of the shared block, and the helper processes that alone touch it.
//
// The block outlives the daemon and may be in use by the GUI process at a restart, so its
// objects are set up only when it is new; the mutex is robust, so a holder that dies hands the
// next locker EOWNERDEAD. But the GUI process can also leave the objects in any state or cut
// the block short, and no portable code survives a C library call on such objects or a touch
// of a page cut away. So the helper, forked while the daemon has a single thread, keeps the
// block's descriptor and passes each request on to a worker it forks: the worker maps the
// block and makes the calls. A worker that dies (SIGBUS) or has not answered within
// worker_limit_ms is ended; the next worker sets the objects up again, with a message, and
// tries the request once more. The controller thread waits at most answer_wait_ms for an
// answer; a request answered later is still served in turn, and its answer taken later.
#include "mcu/gui_shm.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>

#include "mcu/mcu.h"
#include "platform/shm_root.h"

namespace {

constexpr char shm_name[] = "/demo_shm";
constexpr int answer_wait_ms = 100;
constexpr int lock_try_ms = 2;  // then the publish is skipped: the GUI process holds the mutex
constexpr int worker_limit_ms = 1000;

// `adopt` comes with the block's descriptor: the flag to 0, the objects set up when `fresh`.
// Otherwise the bytes `owed` of `record`, flag 1 and the wake-up.
struct Request {
  bool adopt, fresh;
  uint8_t record[gui_record::size];
  bool owed[gui_record::size];
};
// The one answer to each request: 1 in the block; 0 skipped, the mutex is held; -1 failed.
struct Answer {
  int8_t result;
  char note[256];  // lines for the daemon's log
};

Answer &note(Answer &answer, const char *format, ...) {
  const size_t used = strlen(answer.note);
  va_list args;
  va_start(args, format);
  vsnprintf(answer.note + used, sizeof answer.note - used, format, args);
  va_end(args);
  return answer;
}

// --- The helper process and its workers.

bool init_mutex(pthread_mutex_t *mutex) {
  pthread_mutexattr_t attr;
  if (pthread_mutexattr_init(&attr) != 0) return false;
  const bool ok = pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST) == 0 &&
                  pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED) == 0 &&
                  pthread_mutex_init(mutex, &attr) == 0;
  pthread_mutexattr_destroy(&attr);
  return ok;
}

bool set_up(GuiSharedBlock *block) {
  pthread_condattr_t attr;
  if (!init_mutex(&block->mutex) || pthread_condattr_init(&attr) != 0) return false;
  const bool ok = pthread_condattr_setpshared(&attr, PTHREAD_PROCESS_SHARED) == 0 &&
                  pthread_cond_init(&block->cond, &attr) == 0;
  pthread_condattr_destroy(&attr);
  return ok;
}

// A mutex as set up, and which of its words a lock or an unlock changes, learned on one in the
// helper's own memory: a mutex that stays taken while another word differs is written over.
uint8_t set_up_image[sizeof(pthread_mutex_t)];
bool lock_word[sizeof(pthread_mutex_t) / 4];

void learn_mutex() {
  static pthread_mutex_t mutex;
  uint8_t locked[sizeof mutex], unlocked[sizeof mutex];
  if (!init_mutex(&mutex)) return;
  memcpy(set_up_image, &mutex, sizeof mutex);
  pthread_mutex_lock(&mutex);
  memcpy(locked, &mutex, sizeof mutex);
  pthread_mutex_unlock(&mutex);
  memcpy(unlocked, &mutex, sizeof mutex);
  for (size_t at = 0; at < sizeof mutex; at += 4) {
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
int lock(GuiSharedBlock *block, Answer &answer) {
  int result = pthread_mutex_trylock(&block->mutex);
  if (result == EBUSY) {
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_nsec += lock_try_ms * 1000000L;
    deadline.tv_sec += deadline.tv_nsec / 1000000000L;
    deadline.tv_nsec %= 1000000000L;
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

// One request; `again` after a worker that died. A block shorter than ours (new, or cut by
// another process) is made whole and set up anew; a longer one is left as long as it is.
Answer serve(const Request &request, int fd, bool again) {
  Answer answer{-1, ""};
  struct stat st {};
  void *map = MAP_FAILED;
  errno = EINVAL;
  if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
      (st.st_size >= off_t(gui_block_size) || ftruncate(fd, gui_block_size) == 0)) {
    map = mmap(nullptr, gui_block_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  }
  if (map == MAP_FAILED) {
    return note(answer, "gui shm: cannot use the block: %s\n", strerror(errno));
  }
  auto *block = static_cast<GuiSharedBlock *>(map);
  const bool cut = st.st_size < off_t(gui_block_size);
  if (cut && !request.adopt) {
    note(answer, "gui shm: block cut to %d bytes, setting it up again\n", int(st.st_size));
  }
  const auto *objects = reinterpret_cast<const uint8_t *>(&block->mutex);
  const bool fresh = again || cut || (request.adopt && request.fresh) ||
                     std::all_of(objects, objects + (gui_cond_offset - gui_mutex_offset +
                                                     sizeof(pthread_cond_t)),
                                 [](uint8_t b) { return b == 0; });  // never set up
  const bool usable = !fresh || set_up(block);
  if (!usable) note(answer, "gui shm: cannot set up its objects\n");
  const int locked = usable ? lock(block, answer) : EINVAL;
  if (request.adopt && usable) {
    std::atomic_ref<int32_t>(block->new_data).store(0);
  } else if (locked == 0) {
    for (size_t i = 0; i < gui_record::size; ++i) {
      if (request.owed[i]) block->record[i] = request.record[i];
    }
    block->new_data = 1;
    pthread_cond_signal(&block->cond);
  }
  if (locked == 0) pthread_mutex_unlock(&block->mutex);
  munmap(map, gui_block_size);
  answer.result = locked == 0 || (request.adopt && usable) ? 1 : locked == ETIMEDOUT ? 0 : -1;
  if (answer.result < 0 && usable) {
    note(answer, "gui shm: cannot use the block: %s\n", strerror(locked));
  }
  return answer;
}

// Sends (`*fd` a descriptor to pass, or -1) or receives (`*fd` the one passed, if any) one
// whole message.
bool transfer(bool sending, int sock, void *data, size_t size, int *fd) {
  iovec part{data, size};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr message{};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sending && *fd < 0 ? 0 : sizeof control;
  cmsghdr *header = CMSG_FIRSTHDR(&message);
  if (!sending) {
    if (recvmsg(sock, &message, 0) != ssize_t(size)) return false;
    header = CMSG_FIRSTHDR(&message);
    if (header != nullptr && header->cmsg_type == SCM_RIGHTS) {
      memcpy(fd, CMSG_DATA(header), sizeof(int));
    }
    return true;
  }
  if (*fd >= 0) {
    header->cmsg_len = CMSG_LEN(sizeof(int));
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    memcpy(CMSG_DATA(header), fd, sizeof(int));
  }
  return sendmsg(sock, &message, MSG_NOSIGNAL) == ssize_t(size);
}

// A worker: serves the requests the helper passes on until the helper goes.
[[noreturn]] void worker_main(int link, int block_fd, bool again) {
  signal(SIGBUS, SIG_DFL);  // a block cut short under it ends the worker, nothing else
  Request request{};
  while (recv(link, &request, sizeof request, 0) == ssize_t(sizeof request)) {
    const Answer answer = serve(request, block_fd, again);
    again = false;
    if (send(link, &answer, sizeof answer, MSG_NOSIGNAL) != ssize_t(sizeof answer)) break;
  }
  _exit(0);
}

[[noreturn]] void helper_main(int sock) {
  learn_mutex();
  int block_fd = -1, link = -1;
  pid_t worker = -1;
  bool again = false;  // the last worker died: the next one sets the objects up again
  const auto end_worker = [&] {
    if (worker > 0 && kill(worker, SIGKILL) == 0) waitpid(worker, nullptr, 0);
    if (link >= 0) close(link);
    worker = link = -1;
  };
  const auto start_worker = [&](bool again) {
    int pair[2];
    worker = socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair) == 0 ? fork() : -1;
    if (worker == 0) {
      close(sock);
      close(pair[0]);
      worker_main(pair[1], block_fd, again);
    }
    link = worker > 0 ? pair[0] : -1;
    if (worker > 0) close(pair[1]);
  };
  Request request{};
  for (int fd = -1; transfer(false, sock, &request, sizeof request, &fd); fd = -1) {
    if (fd >= 0) {  // a new block: a new worker for it
      end_worker();
      if (block_fd >= 0) close(block_fd);
      block_fd = fd;
    }
    Answer answer{-1, ""}, lost{-1, ""};
    // A cut seen here is made whole here, so that its message outlives a worker the next cut
    // ends; the objects went with it, so a new worker sets them up again.
    struct stat st {};
    if (!request.adopt && fstat(block_fd, &st) == 0 && st.st_size < off_t(gui_block_size)) {
      note(lost, "gui shm: block cut to %d bytes, setting it up again\n", int(st.st_size));
      again = again || ftruncate(block_fd, gui_block_size) == 0;
      if (again) end_worker();
    }
    // A worker that fails the request is replaced; the new one sets the objects up again and
    // tries the request once more.
    for (int attempt = 0; attempt < 2; ++attempt) {
      if (worker < 0) start_worker(again);
      pollfd ready{link, POLLIN, 0};
      const bool sent = link >= 0 && send(link, &request, sizeof request, MSG_NOSIGNAL) > 0;
      const int seen = sent ? poll(&ready, 1, worker_limit_ms) : -1;
      again = seen != 1 || recv(link, &answer, sizeof answer, 0) != ssize_t(sizeof answer);
      if (!again) break;
      answer = Answer{-1, ""};
      end_worker();
      note(lost, "gui shm: helper process %s, setting the mutex and condition variable up "
                 "again\n", seen == 0 ? "stuck" : "ended");
    }
    note(lost, "%.*s", int(sizeof answer.note), answer.note);  // what was lost comes first
    memcpy(answer.note, lost.note, sizeof answer.note);
    if (send(sock, &answer, sizeof answer, MSG_NOSIGNAL) != ssize_t(sizeof answer)) break;
  }
  end_worker();
  _exit(0);  // the daemon is gone
}

// --- The daemon's side: the controller thread alone (and tests, one thread at a time).

int helper = -1;  // the daemon's end of the helper's socket
int block_fd = -1;
GuiRecord staging{};
// The requests with the helper, unanswered, oldest first: served in turn, answered in turn.
struct Sent {
  bool adopt;
  uint8_t command;
  uint32_t puts;  // staging.puts when it was sent
};
constexpr int most_sent = 16;
Sent sent[most_sent];
int first_sent = 0, sent_count = 0;
int last_result = -1;
bool busy_reported = false;

bool send_request(Request &request, uint8_t command) {
  int fd = request.adopt ? block_fd : -1;
  if (helper < 0 || sent_count == most_sent ||
      !transfer(true, helper, &request, sizeof request, &fd)) {
    return false;
  }
  sent[(first_sent + sent_count++) % most_sent] = Sent{request.adopt, command, staging.puts};
  return true;
}

void take(const Answer &answer) {
  const Sent done = sent[first_sent];
  first_sent = (first_sent + 1) % most_sent;
  --sent_count;
  last_result = answer.result;
  printf("%.*s", int(sizeof answer.note), answer.note);
  if (done.adopt) return;
  if (answer.result == 0 && !busy_reported) {
    printf("gui shm: mutex held by the GUI process, publish skipped\n");
  }
  busy_reported = answer.result == 0;
  if (answer.result != 1) return;
  // In the block: owed now is only what was written after it was sent.
  for (size_t i = 0; i < gui_record::size; ++i) {
    if (staging.written[i] <= done.puts) staging.owed[i] = false;
  }
  if (done.command != 0) screen_gui_command_published(done.command);
}

// Takes the answers that come within `wait_ms`; whether none is out any more.
bool settle(int wait_ms) {
  using namespace std::chrono;
  const auto until = steady_clock::now() + milliseconds(wait_ms);
  while (sent_count > 0) {
    pollfd ready{helper, POLLIN, 0};
    const auto left = duration_cast<milliseconds>(until - steady_clock::now()).count();
    if (poll(&ready, 1, int(std::max<decltype(left)>(left, 0))) != 1) break;
    Answer answer;
    if (recv(helper, &answer, sizeof answer, 0) == ssize_t(sizeof answer)) {
      take(answer);
      continue;
    }
    printf("gui shm: the helper process is gone, nothing reaches the block\n");
    close(helper);
    helper = -1;
    sent_count = 0;
  }
  return sent_count == 0;
}

int gui_block_write(uint8_t command) {
  settle(0);
  Request request{};
  memcpy(request.record, staging.bytes, sizeof request.record);
  memcpy(request.owed, staging.owed, sizeof request.owed);
  if (block_fd < 0 || !send_request(request, command)) return -1;
  return settle(answer_wait_ms) ? last_result : 0;
}

}  // namespace

void gui_helper_start() {
  int pair[2];
  if (helper >= 0 || socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair) != 0) return;
  const pid_t pid = fork();
  if (pid == 0) {
    close(pair[0]);
    helper_main(pair[1]);
  }
  close(pair[1]);
  if (pid < 0) close(pair[0]);
  if (pid > 0) fcntl(pair[0], F_SETFD, FD_CLOEXEC);
  helper = pid > 0 ? pair[0] : -1;
}

int open_gui_block(int flags, mode_t mode) { return shm_open_under_root(shm_name, flags, mode); }

void gui_shm_create() {
  const std::string name = shm_object_name(shm_name);
  int fd = open_gui_block(O_RDWR | O_CREAT | O_EXCL, 0666);
  const bool created = fd >= 0;
  if (fd < 0 && errno == EEXIST) fd = open_gui_block(O_RDWR, 0666);
  if (fd < 0) printf("gui shm: cannot open %s: %s\n", name.c_str(), strerror(errno));
  // Whatever happens below, no earlier block is published to any more.
  if (block_fd >= 0) close(block_fd);
  block_fd = fd;
  const uint32_t puts = staging.puts;  // answers still out must clear nothing written from now
  staging = GuiRecord{};
  staging.puts = puts;
  last_result = -1;
  Request request{};
  request.adopt = true;
  request.fresh = created;
  gui_helper_start();
  const bool ready = fd >= 0 && send_request(request, 0) && settle(worker_limit_ms * 5) &&
                     last_result == 1;
  if (fd >= 0 && !ready) {
    printf("gui shm: cannot set up %s\n", name.c_str());
    close(block_fd);
    block_fd = -1;
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
  gui_block_write(command != nullptr ? type : 0);
}

bool gui_block_pending(int wait_ms) {
  settle(wait_ms);
  return std::any_of(std::begin(staging.owed), std::end(staging.owed), [](bool b) { return b; });
}
