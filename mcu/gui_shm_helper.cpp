// The daemon's hold on the shared block.
//
// Design. The block outlives the daemon: a restart finds it, possibly with the GUI process
// holding its mutex or waiting on its condition variable. So the native objects are set up
// only when the block is new, and the mutex is robust: a holder that dies hands the next
// locker EOWNERDEAD instead of a deadlock.
//
// The GUI process shares the memory of those objects and of the mapping, so it can leave them
// in any state or cut the mapping short, and no portable code survives a C library call on
// such objects or a touch of a page cut away. So no thread of the daemon makes those calls:
// - a small single-threaded process, forked at start-up before any thread exists, forks a
//   helper whenever the daemon asks, and ends the one before;
// - the helper alone maps the block and calls the pthread functions on its objects; the
//   controller thread hands it each record (with the bytes still owed) over a socket and
//   waits at most gui_answer_wait_ms for its answer;
// - a helper that dies (SIGBUS of a block cut short, the C library stopping on a mutex it
//   cannot make sense of) or does not answer within gui_helper_limit_ms is ended and
//   replaced, and only then the mutex and condition variable are set up again, with a message;
// - the helper's lock is a short try: a GUI process that holds the mutex costs skipped
//   publishes, never the pace of the controller link; the skipped bytes go with the next one.
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
#include <string>

#include "mcu/gui_shm.h"
#include "mcu/gui_shm_file.h"

namespace {

using Clock = std::chrono::steady_clock;

// --- What passes between the daemon and the helper: one message each way.
enum Op : uint8_t { op_adopt, op_repair, op_publish };
struct Request {
  uint8_t op;
  bool fresh;  // adopt: the block is new
  uint8_t record[gui_record::size];
  bool owed[gui_record::size];  // publish: the record bytes to write
};
enum Event : uint8_t { event_cut = 1, event_owner_died = 2, event_unusable = 4 };
struct Answer {
  int8_t result;   // 1 done; 0 skipped (the mutex is held); -1 failed
  uint8_t events;  // what the helper met on the way, for the daemon's messages
  int32_t cut_to;  // event_cut: the size the block had
  int32_t error;   // event_unusable, failure: the error
};

bool send_message(int sock, const void *data, size_t size, int fd = -1) {
  iovec part{const_cast<void *>(data), size};
  msghdr message{};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  if (fd >= 0) {
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr *header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    memcpy(CMSG_DATA(header), &fd, sizeof fd);
  }
  return sendmsg(sock, &message, MSG_NOSIGNAL) == ssize_t(size);
}

// One whole message, and the descriptor that came with it (else -1) in *fd.
bool receive_message(int sock, void *data, size_t size, int *fd) {
  iovec part{data, size};
  msghdr message{};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  *fd = -1;
  if (recvmsg(sock, &message, 0) != ssize_t(size)) return false;
  cmsghdr *header = CMSG_FIRSTHDR(&message);
  if (header != nullptr && header->cmsg_type == SCM_RIGHTS) memcpy(fd, CMSG_DATA(header), sizeof *fd);
  return true;
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
  pthread_condattr_t cond_attr;
  if (!init_mutex(&block->mutex) || pthread_condattr_init(&cond_attr) != 0) return false;
  const bool ok = pthread_condattr_setpshared(&cond_attr, PTHREAD_PROCESS_SHARED) == 0 &&
       pthread_cond_init(&block->cond, &cond_attr) == 0;
  pthread_condattr_destroy(&cond_attr);
  return ok;
}

// Makes a block cut short whole again; its objects went with the cut, so they are set up.
bool make_whole(int fd, GuiSharedBlock *block, Answer &answer) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return false;
  if (st.st_size >= off_t(gui_block_size)) return true;
  answer.events |= event_cut;
  answer.cut_to = int32_t(st.st_size);
  return ftruncate(fd, gui_block_size) == 0 && set_up(block);
}

// A mutex as the helper's own set-up leaves it, and which of its words a lock or an unlock
// changes, learned once on a mutex in the helper's own memory. The other words (the kind, as
// the C library keeps it) are the same in every state a lock can leave.
constexpr size_t mutex_words = sizeof(pthread_mutex_t) / sizeof(uint32_t);
uint8_t set_up_image[sizeof(pthread_mutex_t)];
bool lock_word[mutex_words];

void learn_mutex() {
  static pthread_mutex_t reference;
  uint8_t locked[sizeof reference], unlocked[sizeof reference];
  if (!init_mutex(&reference)) return;
  memcpy(set_up_image, &reference, sizeof reference);
  pthread_mutex_lock(&reference);
  memcpy(locked, &reference, sizeof reference);
  pthread_mutex_unlock(&reference);
  memcpy(unlocked, &reference, sizeof reference);
  for (size_t w = 0; w < mutex_words; ++w) {
    const size_t at = w * sizeof(uint32_t);
    lock_word[w] = memcmp(set_up_image + at, locked + at, sizeof(uint32_t)) != 0 ||
                   memcmp(set_up_image + at, unlocked + at, sizeof(uint32_t)) != 0;
  }
}

// Whether a word no lock changes differs from the set-up: written over, not held.
bool overwritten(const pthread_mutex_t *mutex) {
  const volatile uint8_t *now = reinterpret_cast<const volatile uint8_t *>(mutex);
  for (size_t i = 0; i < sizeof(pthread_mutex_t); ++i) {
    if (!lock_word[i / sizeof(uint32_t)] && now[i] != set_up_image[i]) return true;
  }
  return false;
}

// lock()'s mark for a mutex that timed out and was found written over.
constexpr int written_over = -ETIMEDOUT;

int lock(GuiSharedBlock *block, Answer &answer) {
  int result = pthread_mutex_trylock(&block->mutex);
  if (result == EBUSY) {
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_nsec += gui_lock_try_ms * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
      deadline.tv_sec += 1;
      deadline.tv_nsec -= 1000000000L;
    }
    result = pthread_mutex_timedlock(&block->mutex, &deadline);
  }
  if (result == ETIMEDOUT && overwritten(&block->mutex)) result = written_over;  // held by nobody
  if (result == ENOTRECOVERABLE || result == EINVAL || result == written_over) {
    // Nobody can lock it any more: destroying it and setting it up is all that is left.
    answer.events |= event_unusable;
    answer.error = result == written_over ? ETIMEDOUT : result;
    result = set_up(block) ? pthread_mutex_trylock(&block->mutex) : result;
  }
  if (result == EOWNERDEAD) {
    // The holder died in its turn. Both sides only replace whole fields of the record.
    answer.events |= event_owner_died;
    pthread_mutex_consistent(&block->mutex);
    result = 0;
  }
  return result;
}

bool all_zero(const void *bytes, size_t size) {
  const auto *p = static_cast<const uint8_t *>(bytes);
  for (size_t i = 0; i < size; ++i) {
    if (p[i] != 0) return false;
  }
  return true;
}

Answer serve(const Request &request, int fd, GuiSharedBlock *block) {
  Answer answer{-1, 0, 0, 0};
  if (block == nullptr || !make_whole(fd, block, answer)) {
    answer.error = errno;
    return answer;
  }
  if (request.op == op_repair) {
    answer.result = set_up(block) ? 1 : -1;
    return answer;
  }
  if (request.op == op_adopt) {
    // A block whose objects are still all zero was never set up: nobody can be using them.
    const bool fresh = request.fresh || (all_zero(&block->mutex, sizeof block->mutex) &&
                                         all_zero(&block->cond, sizeof block->cond));
    if (fresh && !set_up(block)) return answer;
    if (lock(block, answer) == 0) {
      block->new_data = 0;
      pthread_mutex_unlock(&block->mutex);
    } else {
      std::atomic_ref<int32_t>(block->new_data).store(0);
    }
    answer.result = 1;
    return answer;
  }
  const int locked = lock(block, answer);
  if (locked != 0) {
    answer.result = locked == ETIMEDOUT || locked == EBUSY ? 0 : -1;
    answer.error = locked;
    return answer;
  }
  for (size_t i = 0; i < gui_record::size; ++i) {
    if (request.owed[i]) block->record[i] = request.record[i];
  }
  block->new_data = 1;
  pthread_cond_signal(&block->cond);
  pthread_mutex_unlock(&block->mutex);
  answer.result = 1;
  return answer;
}

[[noreturn]] void helper_main(int sock) {
  signal(SIGBUS, SIG_DFL);  // a block cut short under it ends the helper, nothing else
  learn_mutex();
  GuiSharedBlock *block = nullptr;
  int block_fd = -1;
  Request request{};
  int fd = -1;
  while (receive_message(sock, &request, sizeof request, &fd)) {
    if (fd >= 0) {  // adopt and repair bring the block
      if (block_fd >= 0) close(block_fd);
      block_fd = fd;
      block = map_gui_block(fd);  // the old mapping stays: a dying helper takes it along
    }
    const Answer answer = serve(request, block_fd, block);
    if (!send_message(sock, &answer, sizeof answer)) break;
  }
  _exit(0);  // the daemon is gone
}

// --- The spawner: single-threaded, forked before any thread, it only forks and ends helpers.

[[noreturn]] void spawner_main(int sock) {
  pid_t helper = -1;
  char asked = 0;
  while (recv(sock, &asked, 1, 0) == 1) {
    if (helper > 0) {
      kill(helper, SIGKILL);
      waitpid(helper, nullptr, 0);
      helper = -1;
    }
    int pair[2] = {-1, -1};
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair) == 0) {
      helper = fork();
      if (helper == 0) {
        close(sock);
        close(pair[0]);
        helper_main(pair[1]);
      }
      close(pair[1]);
    }
    send_message(sock, "h", 1, helper > 0 ? pair[0] : -1);
    if (pair[0] >= 0) close(pair[0]);
  }
  if (helper > 0) kill(helper, SIGKILL);
  _exit(0);
}

// --- The daemon's side: controller thread only (and tests, one thread at a time).
int spawner = -1;
int helper = -1;
int block_fd = -1;
std::string block_name;
GuiRecord staging{};
bool out = false;  // a request is with the helper, unanswered
Op out_op = op_publish;
uint8_t out_command = 0;
Clock::time_point out_since;
int8_t last_result = -1;
bool busy_reported = false;

bool send_request(const Request &request, uint8_t command, int fd = -1) {
  if (helper < 0 || !send_message(helper, &request, sizeof request, fd)) return false;
  out = true;
  out_op = Op(request.op);
  out_command = command;
  out_since = Clock::now();
  for (bool &byte : staging.since) byte = false;
  return true;
}

bool new_helper() {
  if (helper >= 0) close(helper);
  helper = -1;
  out = false;
  if (spawner < 0) gui_helper_start();
  int fd = -1;
  char answer = 0;
  if (spawner < 0 || send(spawner, "n", 1, MSG_NOSIGNAL) != 1 ||
      !receive_message(spawner, &answer, 1, &fd) || fd < 0) {
    printf("gui shm: no helper process, nothing reaches the block\n");
    return false;
  }
  fcntl(fd, F_SETFD, FD_CLOEXEC);
  helper = fd;
  return true;
}

void replace_helper(const char *why) {
  printf("gui shm: helper process %s, setting the mutex and condition variable up again\n", why);
  Request request{};
  request.op = op_repair;
  if (new_helper()) send_request(request, 0, block_fd);
}

void take(const Answer &answer) {
  out = false;
  last_result = answer.result;
  if (answer.events & event_cut) {
    printf("gui shm: block cut to %d bytes, setting it up again\n", int(answer.cut_to));
  }
  if (answer.events & event_unusable) {
    if (answer.error == ETIMEDOUT) {
      printf("gui shm: mutex written over, setting it up again\n");
    } else {
      printf("gui shm: mutex unusable (%s), setting it up again\n", strerror(answer.error));
    }
  }
  if (answer.events & event_owner_died) {
    printf("gui shm: last holder of the mutex died, mutex recovered\n");
  }
  if (out_op != op_publish) {
    if (answer.result != 1) {
      printf("gui shm: cannot set up %s: %s\n", block_name.c_str(), strerror(answer.error));
    }
    return;
  }
  if (answer.result == 0 && !busy_reported) {
    printf("gui shm: mutex held by the GUI process, publish skipped\n");
  } else if (answer.result < 0) {
    printf("gui shm: publish failed: %s\n", strerror(answer.error));
  }
  busy_reported = answer.result == 0;
  if (answer.result != 1) return;
  // In the block: what is owed now is only what was written after the hand-over.
  memcpy(staging.owed, staging.since, sizeof staging.owed);
  if (out_command != 0) screen_gui_command_published(out_command);
}

// Takes the answer still out, waiting at most `wait_ms`; a helper that ended, or has not
// answered for gui_helper_limit_ms, is replaced. Whether no request is out any more.
bool settle(int wait_ms) {
  if (!out) return true;
  const auto left = std::chrono::milliseconds(gui_helper_limit_ms) - (Clock::now() - out_since);
  const long limit_left = std::chrono::duration_cast<std::chrono::milliseconds>(left).count();
  pollfd ready{helper, POLLIN, 0};
  if (poll(&ready, 1, int(std::max(0L, std::min<long>(wait_ms, limit_left)))) == 1) {
    Answer answer{};
    int fd = -1;
    if (receive_message(helper, &answer, sizeof answer, &fd)) {
      take(answer);
      return true;
    }
    replace_helper("ended");
  } else if (Clock::now() - out_since >= std::chrono::milliseconds(gui_helper_limit_ms)) {
    replace_helper("stuck");
  }
  return !out;
}

}  // namespace

void gui_helper_start() {
  if (spawner >= 0) return;
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair) != 0) return;
  const pid_t pid = fork();
  if (pid == 0) {
    close(pair[0]);
    spawner_main(pair[1]);
  }
  close(pair[1]);
  if (pid < 0) {
    close(pair[0]);
    return;
  }
  fcntl(pair[0], F_SETFD, FD_CLOEXEC);
  spawner = pair[0];
}

void gui_shm_create() {
  block_name = gui_block_name();
  bool created = true;
  int fd = open_gui_block(O_RDWR | O_CREAT | O_EXCL, 0666);
  if (fd < 0 && errno == EEXIST) {
    created = false;
    fd = open_gui_block(O_RDWR, 0666);
  }
  // Whatever happens below, no earlier block is published to any more.
  if (block_fd >= 0) close(block_fd);
  block_fd = -1;
  memset(&staging, 0, sizeof staging);
  struct stat st {};
  if (fd < 0) {
    printf("gui shm: cannot open %s: %s\n", block_name.c_str(), strerror(errno));
    return;
  }
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    printf("gui shm: %s is not a shared memory object\n", block_name.c_str());
    close(fd);
    return;
  }
  // A block shorter than ours cannot be one a GUI process is using: set up anew. A longer
  // one is left as long as it is (the GUI process maps only the first 4096 bytes too).
  const bool fresh = created || st.st_size < off_t(gui_block_size);
  if (st.st_size < off_t(gui_block_size) && ftruncate(fd, gui_block_size) != 0) {
    printf("gui shm: cannot size %s: %s\n", block_name.c_str(), strerror(errno));
    close(fd);
    return;
  }
  fcntl(fd, F_SETFD, FD_CLOEXEC);
  Request request{};
  request.op = op_adopt;
  request.fresh = fresh;
  if (!new_helper() || !send_request(request, 0, fd)) {
    close(fd);
    return;
  }
  block_fd = fd;
  last_result = -1;
  gui_block_pending(gui_helper_limit_ms * 5);
  if (last_result != 1) {
    close(block_fd);
    block_fd = -1;
  }
}

GuiRecord *gui_publish_begin() { return &staging; }

int gui_block_write(uint8_t command) {
  if (!settle(0)) return 0;  // the answer to an earlier publish is still out
  if (block_fd < 0) return -1;
  Request request{};
  request.op = op_publish;
  memcpy(request.record, staging.bytes, sizeof request.record);
  memcpy(request.owed, staging.owed, sizeof request.owed);
  if (!send_request(request, command)) {
    replace_helper("ended");
    return 0;
  }
  return settle(gui_answer_wait_ms) ? last_result : 0;
}

bool gui_block_pending(int wait_ms) {
  const auto until = Clock::now() + std::chrono::milliseconds(wait_ms);
  while (!settle(int(std::chrono::duration_cast<std::chrono::milliseconds>(
             until - Clock::now()).count()))) {
    if (Clock::now() >= until) break;
  }
  for (bool byte : staging.owed) {
    if (byte) return true;
  }
  return false;
}
