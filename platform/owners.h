// Owners for what a function opens or allocates: each closes or frees what it holds when the
// function leaves, on every path. Where a close can fail in a way that must be reported, the
// function closes by hand through close_now()/release(). For every folder; any thread.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

// A file descriptor; -1 holds nothing.
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  UniqueFd(const UniqueFd &) = delete;
  UniqueFd &operator=(const UniqueFd &) = delete;
  ~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
  }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }

  // Hands the descriptor over; the owner holds nothing afterwards.
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

  // Closes now and hands back close()'s result; the owner holds nothing afterwards.
  int close_now() {
    int fd = fd_;
    fd_ = -1;
    return fd >= 0 ? ::close(fd) : 0;
  }

 private:
  int fd_;
};

// A block from malloc (or a function that hands out one for the caller to free).
struct FreeDeleter {
  void operator()(void *block) const { std::free(block); }
};

struct FileCloser {
  void operator()(FILE *stream) const { fclose(stream); }
};
using UniqueFile = std::unique_ptr<FILE, FileCloser>;

struct DirCloser {
  void operator()(DIR *dir) const { closedir(dir); }
};
using UniqueDir = std::unique_ptr<DIR, DirCloser>;
