#include "mcu/gui_shm_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "platform/root_path.h"

namespace {

constexpr char shm_name[] = "/demo_shm";
constexpr char sandbox_dir[] = "/dev/shm";
constexpr char sandbox_file[] = "/dev/shm/demo_shm";

}  // namespace

std::string gui_block_name() {
  return sandbox_root().empty() ? std::string(shm_name) : root_path(sandbox_file);
}

int open_gui_block(int flags, mode_t mode) {
  if (sandbox_root().empty()) return shm_open(shm_name, flags, mode);
  const std::string path = root_path(sandbox_file);
  if (path.empty()) {
    errno = ENAMETOOLONG;
    return -1;
  }
  if (flags & O_CREAT) {
    // Like the device's /dev/shm, the directory is simply there.
    const std::string root = sandbox_root();
    mkdir((root + "/dev").c_str(), 0755);
    mkdir((root + sandbox_dir).c_str(), 01777);
  }
  return open(path.c_str(), flags | O_CLOEXEC, mode);
}

GuiSharedBlock *map_gui_block(int fd) {
  void *map = mmap(nullptr, gui_block_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  return map == MAP_FAILED ? nullptr : static_cast<GuiSharedBlock *>(map);
}

struct timespec gui_deadline_after(int ms) {
  struct timespec deadline {};
  clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_sec += ms / 1000;
  deadline.tv_nsec += long(ms % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  return deadline;
}

int lock_gui_block(GuiSharedBlock *block, int timeout_ms) {
  // A free mutex, or one whose holder has already died, is taken without waiting.
  int result = pthread_mutex_trylock(&block->mutex);
  if (result == EBUSY) {
    const struct timespec deadline = gui_deadline_after(timeout_ms);
    result = pthread_mutex_timedlock(&block->mutex, &deadline);
  }
  if (result == EOWNERDEAD) {
    // The holder died in the middle of its turn. Readers and the publisher only ever replace
    // whole fields of the record, so it is safe to go on with it as it stands.
    pthread_mutex_consistent(&block->mutex);
  }
  return result;
}
