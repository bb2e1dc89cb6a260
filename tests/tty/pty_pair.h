// A pseudo-terminal pair standing in for a serial link: the port under test is the slave end,
// the far end (the host PC or the controller) is the master.
#pragma once

#include <poll.h>
#include <pty.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

struct PtyPair {
  int master = -1;
  int slave = -1;
  std::string slave_name;

  PtyPair() {
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
      ADD_FAILURE() << "openpty: " << strerror(errno);
      return;
    }
    // The name straight into the string: copied out of a local array, GCC 12 took the string's
    // assignment for keeping a pointer to the array (-Wdangling-pointer), which it does not.
    slave_name.resize(128);
    if (ptsname_r(master, slave_name.data(), slave_name.size()) == 0) {
      slave_name.resize(strlen(slave_name.c_str()));
    } else {
      slave_name.clear();
    }
    // Start as a fresh port: 8 data bits, no parity (also for a reused pty number whose frame
    // format a test shim still remembers).
    termios attributes;
    memset(&attributes, 0, sizeof attributes);
    tcgetattr(slave, &attributes);
    attributes.c_cflag = (attributes.c_cflag & ~(CSIZE | PARENB)) | CS8;
    tcsetattr(slave, TCSANOW, &attributes);
  }
  ~PtyPair() {
    if (slave >= 0) close(slave);
    if (master >= 0) close(master);
  }
  PtyPair(const PtyPair &) = delete;
  PtyPair &operator=(const PtyPair &) = delete;
};

// The port's attributes with every byte defined, padding included, for byte-wise comparison.
inline termios attributes_of(int fd) {
  termios attributes;
  memset(&attributes, 0, sizeof attributes);
  EXPECT_EQ(tcgetattr(fd, &attributes), 0) << strerror(errno);
  return attributes;
}

inline bool readable_within(int fd, std::chrono::milliseconds timeout) {
  pollfd watch{fd, POLLIN, 0};
  return poll(&watch, 1, static_cast<int>(timeout.count())) == 1 && (watch.revents & POLLIN);
}

inline void write_all(int fd, const unsigned char *data, size_t count) {
  while (count > 0) {
    const ssize_t written = write(fd, data, count);
    if (written < 0) {
      if (errno == EINTR) continue;
      ADD_FAILURE() << "write: " << strerror(errno);
      return;
    }
    data += written;
    count -= static_cast<size_t>(written);
  }
}

// Reads `count` bytes from the far end, giving up after `silence` without data.
inline std::vector<unsigned char> read_far_end(int fd, size_t count,
                                               std::chrono::milliseconds silence) {
  std::vector<unsigned char> bytes;
  unsigned char chunk[4096];
  while (bytes.size() < count && readable_within(fd, silence)) {
    const ssize_t got = read(fd, chunk, std::min(sizeof chunk, count - bytes.size()));
    if (got <= 0) break;
    bytes.insert(bytes.end(), chunk, chunk + got);
  }
  return bytes;
}

inline std::vector<unsigned char> pattern(size_t count) {
  std::vector<unsigned char> bytes(count);
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<unsigned char>((i * 7 + i / 256) & 0xFF);
  return bytes;
}
