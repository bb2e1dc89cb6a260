// Host-side command link.
//
// The device answers every accepted command with exactly 512 plain bytes, after it has
// carried the command out, and drops bad packets without a word; so the host's only signal
// for a lost command is silence, and every read here has a time limit.
#include "tools/host_client.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <random>
#include <sys/file.h>
#include <sstream>
#include <sys/sysmacros.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include "crypto/host_packet.h"
#include "crypto/crypto.h"

namespace {

// Enciphers `plain` with the packet key in CBC mode and returns the first 504 cipher bytes.
// des_encode always pads; the padding block comes after the 504 bytes and is dropped.
void encipher_504(const uint8_t *plain, uint8_t *cipher) {
  const auto *key = reinterpret_cast<const uint8_t *>(packet_key);
  uint8_t *out = nullptr;
  size_t size = des_len;
  des_encode(DES_CBC, key, packet_key_len, key, plain, &out, &size);
  memcpy(cipher, out, des_len);
  free(out);
}

PacketBytes frame(const uint8_t *cipher) {
  PacketBytes packet{};
  memcpy(packet.data(), cipher, des_len);
  packet[510] = packet_trailer_0;
  packet[511] = packet_trailer_1;
  return packet;
}

}  // namespace

PacketBytes build_packet(uint8_t code, const std::array<uint8_t, 4> &tag,
                         std::span<const uint8_t> payload) {
  // The record is 496 bytes; the cipher's padding of a whole block (eight 08 bytes) makes 504.
  uint8_t plain[504];
  memset(plain, 0, sizeof plain);
  plain[0] = code;
  plain[2] = command_check;
  plain[3] = command_magic;
  memcpy(plain + 4, tag.data(), 4);
  if (!payload.empty()) memcpy(plain + 8, payload.data(), std::min(payload.size(), command_record_len - 8));
  memset(plain + command_record_len, 8, 8);
  uint8_t cipher[504];
  encipher_504(plain, cipher);
  return frame(cipher);
}

PacketBytes build_packet_from_plain(std::span<const uint8_t, 504> plain) {
  uint8_t cipher[504];
  encipher_504(plain.data(), cipher);
  return frame(cipher);
}

std::string name_payload(const std::string &name) {
  std::string payload(8 + name.size(), '\0');
  write_be32(reinterpret_cast<uint8_t *>(payload.data()), uint32_t(name.size()));
  memcpy(payload.data() + 8, name.data(), name.size());
  return payload;
}

namespace {

void make_raw(int fd) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return;
  cfmakeraw(&tio);
  cfsetispeed(&tio, B115200);
  cfsetospeed(&tio, B115200);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  tcsetattr(fd, TCSANOW, &tio);
  tcflush(fd, TCIFLUSH);  // a stale answer of an earlier session must not pass for ours
}

// A pty's master: its far end closing is a pause (the peer reopens), not a hang-up.
bool is_pty_master(int fd) {
  char name[128];
  return ptsname_r(fd, name, sizeof name) == 0;
}

}  // namespace

int host_port_open(const std::string &path) {
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    fprintf(stderr, "cannot open %s: %s\n", path.c_str(), strerror(errno));
    return -1;
  }
  make_raw(fd);
  return fd;
}

std::string port_holders(const std::string &path) {
  struct stat port {};
  if (stat(path.c_str(), &port) != 0) return "";
  // The lock's holders, as the kernel lists them: "1: FLOCK ADVISORY WRITE PID MA:MI:INODE ..."
  char id[64];
  snprintf(id, sizeof id, "%02x:%02x:%llu", major(port.st_dev), minor(port.st_dev),
           static_cast<unsigned long long>(port.st_ino));
  std::ifstream locks("/proc/locks");
  std::string line, holders;
  while (std::getline(locks, line)) {
    std::istringstream words(line);
    std::string number, kind, advisory, mode, pid, where;
    if (!(words >> number >> kind)) continue;
    if (kind == "->") words >> kind;  // a waiter
    if (kind != "FLOCK" || !(words >> advisory >> mode >> pid >> where) || where != id) continue;
    if (pid == std::to_string(getpid())) continue;
    std::string name;
    std::ifstream comm("/proc/" + pid + "/comm");
    std::getline(comm, name);
    const std::string holder = (name.empty() ? "a program" : name) + " (pid " + pid + ")";
    if (holders.find(holder) == std::string::npos) holders += (holders.empty() ? "" : ", ") + holder;
  }
  return holders;
}

PortClaim host_port_claim(const std::string &path, int &fd, std::string &error) {
  fd = -1;
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    error = path + ": " + strerror(errno);
    return errno == ENOENT ? PortClaim::missing : PortClaim::failed;
  }
  if (S_ISSOCK(info.st_mode)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
      error = path + ": a socket path too long";
      return PortClaim::failed;
    }
    memcpy(address.sun_path, path.c_str(), path.size() + 1);
    fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
      error = "cannot connect to " + path + ": " + strerror(errno);
      if (fd >= 0) close(fd);
      fd = -1;
      return PortClaim::failed;
    }
    return PortClaim::ok;
  }
  if (!S_ISCHR(info.st_mode)) {
    error = path + " is not a terminal or a socket; it was left untouched";
    return PortClaim::not_port;
  }
  fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int why = errno;
    error = "cannot open " + path + ": " + strerror(why);
    if (why == EBUSY) {  // a port another program opened with TIOCEXCL
      const std::string holders = port_holders(path);
      error = path + " is in use by " + (holders.empty() ? "another program" : holders);
      return PortClaim::held;
    }
    return why == ENOENT ? PortClaim::missing : PortClaim::failed;
  }
  if (!isatty(fd)) {
    close(fd);
    fd = -1;
    error = path + " is not a terminal or a socket; it was left untouched";
    return PortClaim::not_port;
  }
  if (!lock_port(fd)) {
    const std::string holders = port_holders(path);
    close(fd);
    fd = -1;
    error = path + " is in use by " + (holders.empty() ? "another program" : holders);
    return PortClaim::held;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  make_raw(fd);
  return PortClaim::ok;
}

bool lock_port(int fd) {
  for (int tries = 0; tries < 50; ++tries) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK) return false;
    usleep(10000);
  }
  return false;
}

int host_write_all(int fd, std::span<const uint8_t> bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      // A socket port whose far end has gone says EPIPE, or ECONNRESET when it left bytes unread.
      if ((errno == EIO || errno == EPIPE || errno == ECONNRESET) && !is_pty_master(fd)) {
        errno = port_gone_errno;
        return -1;
      }
      if (errno == EAGAIN) {
        pollfd pfd{fd, POLLOUT, 0};
        poll(&pfd, 1, 1000);
        continue;
      }
      return -1;
    }
    done += size_t(n);
  }
  return 0;
}

long host_read_exact(int fd, uint8_t *buffer, size_t count, int timeout_ms) {
  using clock = std::chrono::steady_clock;
  const auto deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
  size_t done = 0;
  while (done < count) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now());
    if (left.count() <= 0) break;
    pollfd pfd{fd, POLLIN, 0};
    int ready = poll(&pfd, 1, int(left.count()));
    if (ready < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (ready == 0) break;
    // A port that hangs up (a USB serial port unplugged, a pty whose master is gone) reads
    // end-of-file or EIO for good; a pty's master whose far end is closed only for a moment
    // reads EIO until the far end reopens.
    const bool hung_up = (pfd.revents & (POLLHUP | POLLERR)) != 0 && !is_pty_master(fd);
    ssize_t n = read(fd, buffer + done, count - done);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      if (errno == EIO && !hung_up && is_pty_master(fd)) {
        usleep(10000);
        continue;
      }
      if (errno == EIO || errno == ENXIO || errno == ENODEV || errno == ECONNRESET) errno = port_gone_errno;
      return -1;
    }
    if (n == 0) {
      if (hung_up || (pfd.revents & POLLIN) != 0) {
        errno = port_gone_errno;
        return -1;
      }
      continue;  // a raw port with VMIN 0 returns 0 between bytes
    }
    done += size_t(n);
  }
  return long(done);
}

const char *describe(ReplyCheck result) {
  switch (result) {
    case ReplyCheck::ok: return "ok";
    case ReplyCheck::no_reply: return "no reply from the device";
    case ReplyCheck::port_error: return "the port failed";
    case ReplyCheck::bad_header: return "the reply does not belong to the command";
  }
  return "?";
}

ReplyCheck host_transact(int fd, uint8_t code, std::span<const uint8_t> payload,
                         std::span<const uint8_t> block, ReplyBytes &reply, int timeout_ms,
                         bool raw_page) {
  static std::mt19937 random_tags{std::random_device{}()};
  std::array<uint8_t, 4> tag;
  uint32_t value = random_tags();
  memcpy(tag.data(), &value, 4);

  PacketBytes packet = build_packet(code, tag, payload);
  if (host_write_all(fd, packet) != 0) return ReplyCheck::port_error;
  if (!block.empty() && host_write_all(fd, block) != 0) return ReplyCheck::port_error;

  long got = host_read_exact(fd, reply.data(), reply.size(), timeout_ms);
  if (got < 0) return ReplyCheck::port_error;
  if (size_t(got) < reply.size()) return ReplyCheck::no_reply;
  if (raw_page) return ReplyCheck::ok;
  if (reply[0] != code || reply[1] != reply_status_ok || memcmp(reply.data() + 2, tag.data(), 4) != 0) {
    return ReplyCheck::bad_header;
  }
  return ReplyCheck::ok;
}
