// Small helpers the unit tests share: what an action printed, and waiting for a condition
// that another thread makes true.
#pragma once

#include <dirent.h>
#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/types.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

// Runs `action` and returns what it printed on standard output / standard error.
template <class Action>
std::string stdout_of(Action &&action) {
  testing::internal::CaptureStdout();
  action();
  return testing::internal::GetCapturedStdout();
}
template <class Action>
std::string stderr_of(Action &&action) {
  testing::internal::CaptureStderr();
  action();
  return testing::internal::GetCapturedStderr();
}

// Waits until `condition` holds, up to `timeout`; whether it did.
template <class Condition>
bool wait_until(Condition condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// Reads what `fd` (a pipe from a child, say) gives into `seen` until `seen` holds `text`, up to
// `timeout`; whether it came. Fails early when the writer closes its end. On a false, `seen`
// holds what did come, for the failure message.
inline bool read_until(int fd, std::string &seen, const std::string &text, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (seen.find(text) == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd watch{fd, POLLIN, 0};
    const int ready = poll(&watch, 1, int(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    char chunk[4096];
    const ssize_t got = read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    seen.append(chunk, size_t(got));
  }
  return true;
}

// Whether process `pid` has `path` open (one of its descriptors leads there): a child that
// prints nothing when it is ready has at least opened its port. A descriptor it inherited
// counts too: the caller keeps its own copies close-on-exec.
inline bool holds_open(pid_t pid, const std::string &path) {
  char wanted[PATH_MAX];
  if (realpath(path.c_str(), wanted) == nullptr) return false;
  const std::string folder = "/proc/" + std::to_string(pid) + "/fd";
  DIR *fds = opendir(folder.c_str());
  if (fds == nullptr) return false;
  bool found = false;
  while (dirent *entry = readdir(fds)) {
    char target[PATH_MAX];
    const ssize_t length = readlink((folder + "/" + entry->d_name).c_str(), target, sizeof target - 1);
    if (length <= 0) continue;
    target[length] = '\0';
    if (std::string(target) == wanted) found = true;
  }
  closedir(fds);
  return found;
}

// How often `word` occurs in `text`: a count of log lines to wait on ("after three more frames").
inline size_t times_in(const std::string &text, const std::string &word) {
  size_t count = 0;
  for (size_t at = text.find(word); !word.empty() && at != std::string::npos; at = text.find(word, at + word.size())) ++count;
  return count;
}
