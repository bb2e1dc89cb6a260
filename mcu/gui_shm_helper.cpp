// The daemon's hold on the shared block.
//
// The block outlives the daemon and may be in use by the GUI process at a restart, so its
// objects are set up only when it is new; the mutex is robust, so a holder that dies hands the
// next locker EOWNERDEAD. The GUI process can also leave those objects in any state or cut the
// mapping short, and no portable code survives a C library call on such objects or a touch of
// a page cut away. So no thread of the daemon makes them: a single-threaded spawner, forked
// before any thread exists, forks a helper on request (ending the one before); the helper
// alone maps the block and calls the pthread functions. The controller thread sends it each
// record with the bytes still owed and waits at most gui_answer_wait_ms for the answer (a late
// one is taken by the next publish). A helper that dies or does not answer within
// gui_helper_limit_ms is replaced, and the new one sets the objects up again, with a message.
#include "mcu/gui_shm_helper.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "mcu/gui_shm.h"
#include "mcu/gui_shm_file.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// One message each way. `adopt` comes with the block's descriptor: the flag to 0 and, when
// `fresh` (or never set up), the objects set up; a replacement helper always sets them up.
struct Request {
  bool adopt, fresh;
  uint8_t record[gui_record::size];
  bool owed[gui_record::size];
};
enum Event : uint8_t { event_cut = 1, event_owner_died = 2, event_unusable = 4 };
struct Answer {
  int8_t result = -1;  // 1 done; 0 skipped, the mutex is held; -1 failed
  uint8_t events = 0;
  int32_t cut_to = 0, error = 0;
};

// Sends (fd_io names a descriptor to pass, or -1) or receives (*fd_io gets the one passed, or
// -1) one whole message.
bool transfer(bool sending, int sock, const void *data, size_t size, int *fd_io) {
  iovec part{const_cast<void *>(data), size};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr message{};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  cmsghdr *header = CMSG_FIRSTHDR(&message);
  if (!sending) {
    *fd_io = -1;
    if (recvmsg(sock, &message, 0) != ssize_t(size)) return false;
    header = CMSG_FIRSTHDR(&message);
    if (header != nullptr && header->cmsg_type == SCM_RIGHTS) {
      memcpy(fd_io, CMSG_DATA(header), sizeof(int));
    }
    return true;
  }
  if (*fd_io < 0) message.msg_controllen = 0;
  header->cmsg_len = CMSG_LEN(sizeof(int));
  header->cmsg_level = SOL_SOCKET;
  header->cmsg_type = SCM_RIGHTS;
  memcpy(CMSG_DATA(header), fd_io, sizeof(int));
  return sendmsg(sock, &message, MSG_NOSIGNAL) == ssize_t(size);
}
bool send_message(int sock, const void *data, size_t size, int fd = -1) {
  return transfer(true, sock, data, size, &fd);
}
bool receive_message(int sock, void *data, size_t size, int *fd) {
  return transfer(false, sock, data, size, fd);
}

// --- The helper process.

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

// A mutex as set up, and which of its words a lock or an unlock changes: learned on one in
// the helper's own memory. The other words (how the C library keeps the kind) never change.
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

// A mutex that stays taken while a word no lock changes differs: written over, held by nobody.
bool written_over(const pthread_mutex_t *mutex) {
  const auto *now = reinterpret_cast<const volatile uint8_t *>(mutex);
  for (size_t i = 0; i < sizeof *mutex; ++i) {
    if (!lock_word[i / 4] && now[i] != set_up_image[i]) return true;
  }
  return false;
}

int lock(GuiSharedBlock *block, Answer &answer) {
  int result = pthread_mutex_trylock(&block->mutex);
  if (result == EBUSY) {
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_nsec += gui_lock_try_ms * 1000000L;
    deadline.tv_sec += deadline.tv_nsec / 1000000000L;
    deadline.tv_nsec %= 1000000000L;
    result = pthread_mutex_timedlock(&block->mutex, &deadline);
    if (result == ETIMEDOUT && written_over(&block->mutex)) result = -ETIMEDOUT;
  }
  if (result != 0 && result != EOWNERDEAD && result != ETIMEDOUT) {
    answer.events |= event_unusable;  // nobody can take it as it is: only a set-up is left
    answer.error = result;
    result = set_up(block) ? pthread_mutex_trylock(&block->mutex) : EINVAL;
  }
  if (result == EOWNERDEAD) {  // both sides only ever replace whole fields of the record
    answer.events |= event_owner_died;
    pthread_mutex_consistent(&block->mutex);
    result = 0;
  }
  return result;
}

Answer serve(const Request &request, int fd, GuiSharedBlock *block) {
  Answer answer;
  struct stat st {};
  if (block == nullptr || fstat(fd, &st) != 0) {
    answer.error = errno;
    return answer;
  }
  const auto *objects = reinterpret_cast<const uint8_t *>(&block->mutex);
  const auto objects_end = reinterpret_cast<const uint8_t *>(&block->cond + 1);
  bool fresh = request.adopt && (request.fresh || std::all_of(objects, objects_end,
                                                              [](uint8_t b) { return b == 0; }));
  if (st.st_size < off_t(gui_block_size)) {  // cut short: its objects went with the cut
    answer.events |= event_cut;
    answer.cut_to = int32_t(st.st_size);
    if (ftruncate(fd, gui_block_size) != 0) return answer;
    fresh = true;
  }
  if (fresh && !set_up(block)) return answer;
  const int locked = lock(block, answer);
  if (request.adopt) {
    std::atomic_ref<int32_t>(block->new_data).store(0);
  } else if (locked == 0) {
    for (size_t i = 0; i < gui_record::size; ++i) {
      if (request.owed[i]) block->record[i] = request.record[i];
    }
    block->new_data = 1;
    pthread_cond_signal(&block->cond);
  }
  if (locked == 0) pthread_mutex_unlock(&block->mutex);
  answer.result = locked == 0 || request.adopt ? 1 : locked == ETIMEDOUT ? 0 : -1;
  answer.error = locked;
  return answer;
}

[[noreturn]] void helper_main(int sock) {
  signal(SIGBUS, SIG_DFL);  // a block cut short under it ends the helper, nothing else
  learn_mutex();
  GuiSharedBlock *block = nullptr;
  int block_fd = -1, fd = -1;
  Request request{};
  while (receive_message(sock, &request, sizeof request, &fd)) {
    if (fd >= 0) {
      if (block_fd >= 0) close(block_fd);
      block_fd = fd;
      block = map_gui_block(fd);  // an earlier mapping stays until the helper ends
    }
    const Answer answer = serve(request, block_fd, block);
    if (!send_message(sock, &answer, sizeof answer)) break;
  }
  _exit(0);  // the daemon is gone
}

// The spawner: it only forks helpers and ends them.
[[noreturn]] void spawner_main(int sock) {
  pid_t helper = -1;
  char asked = 0;
  while (recv(sock, &asked, 1, 0) == 1) {
    if (helper > 0 && kill(helper, SIGKILL) == 0) waitpid(helper, nullptr, 0);
    int pair[2] = {-1, -1};
    helper = socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair) == 0 ? fork() : -1;
    if (helper == 0) {
      close(sock);
      close(pair[0]);
      helper_main(pair[1]);
    }
    send_message(sock, "h", 1, helper > 0 ? pair[0] : -1);
    for (int end : pair) close(end);
  }
  if (helper > 0) kill(helper, SIGKILL);
  _exit(0);
}

// --- The daemon's side: controller thread only (and tests, one thread at a time).
int spawner = -1, helper = -1, block_fd = -1;
GuiRecord staging{};
bool out = false;  // a request is with the helper, unanswered
bool out_adopt = false;
uint8_t out_command = 0;
Clock::time_point out_since;
int last_result = -1;
bool busy_reported = false;

bool send_request(const Request &request, uint8_t command, int fd = -1) {
  if (helper < 0 || !send_message(helper, &request, sizeof request, fd)) return false;
  out = true;
  out_adopt = request.adopt;
  out_command = command;
  out_since = Clock::now();
  std::fill(std::begin(staging.since), std::end(staging.since), false);
  return true;
}

// A new helper, handed the block to adopt, or to set up again when it replaces one.
bool start_helper(bool fresh) {
  if (helper >= 0) close(helper);
  helper = -1;
  out = false;
  if (spawner < 0) gui_helper_start();
  int fd = -1;
  char said = 0;
  if (spawner < 0 || send(spawner, "n", 1, MSG_NOSIGNAL) != 1 ||
      !receive_message(spawner, &said, 1, &fd) || fd < 0) {
    printf("gui shm: no helper process, nothing reaches the block\n");
    return false;
  }
  fcntl(fd, F_SETFD, FD_CLOEXEC);
  helper = fd;
  Request request{};
  request.adopt = true;
  request.fresh = fresh;
  return send_request(request, 0, block_fd);
}

void take(const Answer &answer) {
  out = false;
  last_result = answer.result;
  if (answer.events & event_cut) {
    printf("gui shm: block cut to %d bytes, setting it up again\n", int(answer.cut_to));
  }
  if (answer.events & event_unusable && answer.error == -ETIMEDOUT) {
    printf("gui shm: mutex written over, setting it up again\n");
  } else if (answer.events & event_unusable) {
    printf("gui shm: mutex unusable (%s), setting it up again\n", strerror(answer.error));
  }
  if (answer.events & event_owner_died) {
    printf("gui shm: last holder of the mutex died, mutex recovered\n");
  }
  if (answer.result < 0) printf("gui shm: cannot use the block: %s\n", strerror(answer.error));
  if (out_adopt) return;
  if (answer.result == 0 && !busy_reported) {
    printf("gui shm: mutex held by the GUI process, publish skipped\n");
  }
  busy_reported = answer.result == 0;
  if (answer.result != 1) return;
  // In the block: owed now is only what was written after the hand-over.
  memcpy(staging.owed, staging.since, sizeof staging.owed);
  if (out_command != 0) screen_gui_command_published(out_command);
}

void replace_helper(const char *why) {
  printf("gui shm: helper process %s, setting the mutex and condition variable up again\n", why);
  start_helper(true);
}

// Takes the answer still out, waiting at most `wait_ms`; replaces a helper that ended or has
// not answered within gui_helper_limit_ms. Whether no request is out any more.
bool settle(long wait_ms) {
  if (!out) return true;
  const long age = std::chrono::duration_cast<milliseconds>(Clock::now() - out_since).count();
  pollfd ready{helper, POLLIN, 0};
  Answer answer;
  int fd = -1;
  const int seen =
      poll(&ready, 1, int(std::clamp(gui_helper_limit_ms - age, 0L, std::max(wait_ms, 0L))));
  if (seen == 1 && receive_message(helper, &answer, sizeof answer, &fd)) {
    take(answer);
  } else if (seen == 1 || age >= gui_helper_limit_ms) {
    replace_helper(seen == 1 ? "ended" : "stuck");
  }
  return !out;
}

}  // namespace

void gui_helper_start() {
  int pair[2];
  if (spawner >= 0 || socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair) != 0) return;
  const pid_t pid = fork();
  if (pid == 0) {
    close(pair[0]);
    spawner_main(pair[1]);
  }
  close(pair[1]);
  spawner = pid > 0 ? pair[0] : -1;
  if (pid > 0) fcntl(spawner, F_SETFD, FD_CLOEXEC);
  if (pid < 0) close(pair[0]);
}

void gui_shm_create() {
  const std::string name = gui_block_name();
  int fd = open_gui_block(O_RDWR | O_CREAT | O_EXCL, 0666);
  const bool created = fd >= 0;
  if (fd < 0 && errno == EEXIST) fd = open_gui_block(O_RDWR, 0666);
  // Whatever happens below, no earlier block is published to any more.
  if (block_fd >= 0) close(block_fd);
  block_fd = -1;
  staging = GuiRecord{};
  struct stat st {};
  const char *failed = nullptr;
  if (fd < 0) failed = "open";
  if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) failed = "use";
  // A block shorter than ours cannot be one a GUI process is using: it is set up anew. A longer
  // one is left as long as it is (the GUI process maps only the first 4096 bytes too).
  const bool fresh = created || st.st_size < off_t(gui_block_size);
  if (!failed && st.st_size < off_t(gui_block_size) && ftruncate(fd, gui_block_size) != 0) {
    failed = "size";
  }
  if (failed != nullptr) {
    printf("gui shm: cannot %s %s: %s\n", failed, name.c_str(), strerror(errno));
    if (fd >= 0) close(fd);
    return;
  }
  fcntl(fd, F_SETFD, FD_CLOEXEC);
  block_fd = fd;
  last_result = -1;
  if (start_helper(fresh)) gui_block_pending(gui_helper_limit_ms * 5);
  if (last_result != 1) {
    printf("gui shm: cannot set up %s\n", name.c_str());
    close(block_fd);
    block_fd = -1;
  }
}

GuiRecord *gui_publish_begin() { return &staging; }

int gui_block_write(uint8_t command) {
  if (!settle(0)) return 0;  // the answer to an earlier publish is still out
  if (block_fd < 0) return -1;
  Request request{};
  memcpy(request.record, staging.bytes, sizeof request.record);
  memcpy(request.owed, staging.owed, sizeof request.owed);
  if (!send_request(request, command)) {
    replace_helper("ended");
    return 0;
  }
  return settle(gui_answer_wait_ms) ? last_result : 0;
}

bool gui_block_pending(int wait_ms) {
  const auto until = Clock::now() + milliseconds(wait_ms);
  while (!settle(std::chrono::duration_cast<milliseconds>(until - Clock::now()).count()) &&
         Clock::now() < until) {
  }
  return std::any_of(std::begin(staging.owed), std::end(staging.owed), [](bool b) { return b; });
}
