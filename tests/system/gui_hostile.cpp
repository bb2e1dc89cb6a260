// A GUI process gone wrong, for the fault tests: it maps the shared block and, for the given
// number of seconds, does one harmful thing to it, then exits 0.
//
//   gui_hostile BLOCK_FILE mutex SECONDS     random bytes over the mutex every millisecond,
//                                            the first time a robust, priority-inheriting
//                                            mutex owned by a thread that does not exist
//   gui_hostile BLOCK_FILE cond SECONDS      random bytes over the condition variable every
//                                            millisecond, the first time its internal lock
//                                            taken and waiters counted
//   gui_hostile BLOCK_FILE truncate SECONDS  the object cut to 0 bytes, again and again
//   gui_hostile BLOCK_FILE hold SECONDS      the mutex taken and held, then released
//   gui_hostile BLOCK_FILE die SECONDS       the mutex taken, then the process ends holding it
//
// Prints "ready" once it has begun. Exit status 2 on a usage error or a missing block.
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>

#include "mcu/gui_shm_layout.h"

namespace {

using Clock = std::chrono::steady_clock;

void scribble(void *at, size_t size, std::mt19937 &random) {
  auto *bytes = static_cast<volatile uint8_t *>(at);
  for (size_t i = 0; i < size; ++i) bytes[i] = uint8_t(random());
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: gui_hostile BLOCK_FILE mutex|cond|truncate|hold|die SECONDS\n");
    return 2;
  }
  const std::string mode = argv[2];
  const auto until = Clock::now() + std::chrono::milliseconds(long(atof(argv[3]) * 1000));
  const int fd = open(argv[1], O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    perror(argv[1]);
    return 2;
  }
  std::mt19937 random(1234);

  if (mode == "truncate") {
    puts("ready");
    fflush(stdout);
    while (Clock::now() < until) {
      if (ftruncate(fd, 0) != 0) perror("ftruncate");
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return 0;
  }

  // Mapped once while the object is whole, and only written through the native objects'
  // bytes, which lie in the first page: the daemon keeps the object whole.
  void *map = mmap(nullptr, gui_block_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (map == MAP_FAILED) {
    perror("mmap");
    return 2;
  }
  auto *block = static_cast<GuiSharedBlock *>(map);

  if (mode == "hold") {
    if (pthread_mutex_lock(&block->mutex) == EOWNERDEAD) pthread_mutex_consistent(&block->mutex);
    puts("ready");
    fflush(stdout);
    std::this_thread::sleep_until(until);
    pthread_mutex_unlock(&block->mutex);
    return 0;
  }
  if (mode == "die") {
    if (pthread_mutex_lock(&block->mutex) == EOWNERDEAD) pthread_mutex_consistent(&block->mutex);
    puts("ready");
    fflush(stdout);
    _exit(0);  // the mutex is still held
  }
  if (mode == "mutex") {
    pthread_mutex_t bad;
    memset(&bad, 0, sizeof bad);
    bad.__data.__lock = INT_MAX & 0x3fffffff;          // a thread that does not exist
    bad.__data.__owner = INT_MAX & 0x3fffffff;
    bad.__data.__kind = 16 | 32 | 128;                  // robust, priority-inheriting, shared
    memcpy(&block->mutex, &bad, sizeof bad);
  } else if (mode == "cond") {
    block->cond.__data.__g1_orig_size = 2;              // its internal lock taken, waited for
    block->cond.__data.__wrefs = (5u << 3) | 1;         // five waiters
  } else {
    fprintf(stderr, "gui_hostile: unknown mode %s\n", mode.c_str());
    return 2;
  }
  puts("ready");
  fflush(stdout);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the fixed state first
  while (Clock::now() < until) {
    if (mode == "mutex") {
      scribble(&block->mutex, sizeof block->mutex, random);
    } else {
      scribble(&block->cond, sizeof block->cond, random);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return 0;
}
