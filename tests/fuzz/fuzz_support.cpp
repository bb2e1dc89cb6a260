#include "tests/fuzz/fuzz_support.h"

#include <dirent.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "h264/h264.h"
#include "h264/local_player.h"
#include "screen/player.h"
#include "screen/screen.h"

// The daemon pauses to give hardware time: 50 ms after a rotation, 100 ms before a
// controller payload, 100 ms while the local player has three blocks queued. Nothing here has
// hardware to wait for, and such pauses would hold a target to a few inputs a second, so the
// process's nanosleep and usleep (the daemon's, through std::this_thread::sleep_for too) sleep
// 1 ms at most. libFuzzer and the sanitizers sleep by other means.
namespace {
constexpr long longest_pause_ns = 1'000'000;

int short_sleep(long seconds, long nanoseconds) {
  timespec wait{0, seconds > 0 ? longest_pause_ns : std::min(nanoseconds, longest_pause_ns)};
  return int(syscall(SYS_nanosleep, &wait, nullptr));
}
}  // namespace

extern "C" int nanosleep(const timespec *requested, timespec *remaining) {
  if (remaining != nullptr) *remaining = timespec{};
  return requested == nullptr ? -1 : short_sleep(requested->tv_sec, requested->tv_nsec);
}

extern "C" int usleep(useconds_t microseconds) {
  return short_sleep(0, long(microseconds) * 1000);
}

// The root lives on tmpfs, where sync() has nothing to do for the daemon's files; the real
// one would flush every disk of the (shared) machine hundreds of times a second.
extern "C" void sync() noexcept {}

namespace {

char root_parent[PATH_MAX];
pid_t root_owner = 0;

void remove_root() {
  if (getpid() != root_owner) return;
  std::error_code error;
  std::filesystem::remove_all(root_parent, error);
}

}  // namespace

const std::string &fuzz_root() {
  static const std::string *const root = [] {
    char pattern[] = "/dev/shm/displayhead-fuzz-XXXXXX";
    char fallback[] = "/tmp/displayhead-fuzz-XXXXXX";
    const char *dir = mkdtemp(pattern);
    if (dir == nullptr) dir = mkdtemp(fallback);
    if (dir == nullptr) {
      perror("mkdtemp");
      abort();  // without a root the code would reach the machine's own devices and files
    }
    snprintf(root_parent, sizeof root_parent, "%s", dir);
    root_owner = getpid();
    atexit(remove_root);
    std::string path = std::string(dir) + "/root";
    std::filesystem::create_directory(path);
    setenv("DISPLAYHEAD_ROOT", path.c_str(), 1);
    return new std::string(path);
  }();
  return *root;
}

std::string fuzz_path(const std::string &device_path) { return fuzz_root() + device_path; }

void write_fuzz_file(const std::string &device_path, const std::string &bytes) {
  std::filesystem::path path = fuzz_path(device_path);
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

void clear_root_except(std::initializer_list<const char *> keep) {
  std::error_code error;
  for (const auto &entry : std::filesystem::directory_iterator(fuzz_root(), error)) {
    const std::string name = entry.path().filename();
    if (std::none_of(keep.begin(), keep.end(), [&](const char *kept) { return name == kept; })) {
      std::filesystem::remove_all(entry.path(), error);
    }
  }
}

void finding(const char *what) {
  fprintf(stderr, "FUZZ FINDING: %s\n", what);
  abort();
}

void check_nothing_beside_root() {
  DIR *dir = opendir(root_parent);
  if (dir == nullptr) finding("the directory around the sandbox root is gone");
  int others = 0;
  while (const dirent *entry = readdir(dir)) {
    if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0 &&
        strcmp(entry->d_name, "root") != 0) {
      fprintf(stderr, "beside the sandbox root: %s\n", entry->d_name);
      ++others;
    }
  }
  closedir(dir);
  if (others > 0) finding("a path reached outside the sandbox root");
}

void stop_players() {
  stop_local_h264();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (local_h264_players() > 0) {
    if (std::chrono::steady_clock::now() > deadline) finding("a local video player did not end");
    std::this_thread::yield();
    usleep(100);
  }
  stop_h264();
}
