// The serial port layer. Every function works on a descriptor the caller owns; the layer keeps
// no state apart from the two port globals that the set-up functions fill in.
//
// uart_config builds the new attributes in a copy of the port's current ones and checks every
// argument before the first tcsetattr, so a refused argument leaves the port exactly as it was.
// Reads lean on the driver's timing (VMIN 0, VTIME 20): a read returns whatever has arrived, or
// nothing after 2 s of silence, which is how a sender that stalls mid-block is noticed; uart_read
// adds the 15 s wait for the first byte with select(). Writes never wait for room: writability
// is polled with a zero time-out, so a full output queue fails the write at once, and a write
// that went through waits in tcdrain until the bytes are on the wire. A signal is not silence:
// interrupted system calls are retried, and select waits out only what remains of its time-out.
// select() cannot watch a descriptor at or above FD_SETSIZE; such a descriptor fails the wait
// with the usual select message instead of overrunning the descriptor set.
#include "tty/tty.h"

#include "platform/root_path.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <thread>

// A null path or a zero descriptor is a programming error and must stop the process in every
// build type, release builds (NDEBUG) included.
#undef NDEBUG
#include <cassert>

int tty_fd = 0;
std::atomic<int> tty_fd_mcu{-2};

namespace {

struct Rate {
  int rate;
  speed_t constant;
};

// Searched in this order.
constexpr Rate rates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};
static_assert(std::size(rates) == 30);

constexpr auto settle_before_flush = std::chrono::milliseconds(50);

// Thread-safe error text: the controller thread and the main thread both report errors.
std::string error_text(int error_number) {
  char text[128];
  return strerror_r(error_number, text, sizeof text);  // GNU variant: returns the text
}

// Runs `call` again while it fails with EINTR.
template <typename Call>
auto retry_interrupted(Call call) {
  for (;;) {
    auto result = call();
    if (result != -1 || errno != EINTR) return result;
  }
}

enum class Direction { readable, writable };

// select() on one descriptor: 1 when ready, 0 at the time-out, -1 on error. A signal restarts
// the wait with the time that remains.
int wait_for(int fd, Direction direction, std::chrono::microseconds timeout) {
  if (fd < 0 || fd >= FD_SETSIZE) {
    errno = fd < 0 ? EBADF : EINVAL;
    return -1;
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto remaining = std::max(
        std::chrono::duration_cast<std::chrono::microseconds>(deadline -
                                                              std::chrono::steady_clock::now()),
        std::chrono::microseconds(0));
    timeval limit{};
    limit.tv_sec = static_cast<time_t>(remaining.count() / 1'000'000);
    limit.tv_usec = static_cast<suseconds_t>(remaining.count() % 1'000'000);
    fd_set set;
    FD_ZERO(&set);
    FD_SET(fd, &set);
    const int result = select(fd + 1, direction == Direction::readable ? &set : nullptr,
                              direction == Direction::writable ? &set : nullptr, nullptr, &limit);
    if (result == -1 && errno == EINTR) continue;
    return result;
  }
}

}  // namespace

int uart_open(const char *pathname) {
  assert(pathname != nullptr);
  const int fd = retry_interrupted([&] { return open(pathname, O_RDWR | O_NOCTTY); });
  if (fd == -1) {
    fprintf(stderr, "uart open failed!\n");
    return -1;
  }
  return fd;
}

int uart_config(int fd, int speed, char flow, int data_bits, char parity, int stop_bits) {
  termios attributes{};
  if (tcgetattr(fd, &attributes) != 0) {
    fprintf(stderr, "tcgetattr failed!\n");
    return -1;
  }
  // From here on only the copy changes; the port is first touched by tcsetattr below.
  attributes.c_cflag |= CLOCAL | CREAD;

  const Rate *rate = std::find_if(std::begin(rates), std::end(rates),
                                  [speed](const Rate &entry) { return entry.rate == speed; });
  if (rate == std::end(rates)) {
    fprintf(stderr, "Unknown baudrate: %d.\n", speed);
    return -1;
  }
  cfsetispeed(&attributes, rate->constant);
  cfsetospeed(&attributes, rate->constant);

  switch (flow) {
    case 'N':
    case 'n':
      attributes.c_cflag &= ~CRTSCTS;
      break;
    case 'H':
    case 'h':
      attributes.c_cflag |= CRTSCTS;
      break;
    default:
      fprintf(stderr, "Unknown c_cflag!\n");
      return -1;
  }

  switch (data_bits) {
    case 5:
      attributes.c_cflag = (attributes.c_cflag & ~CSIZE) | CS5;
      break;
    case 6:
      attributes.c_cflag = (attributes.c_cflag & ~CSIZE) | CS6;
      break;
    case 7:
      attributes.c_cflag = (attributes.c_cflag & ~CSIZE) | CS7;
      break;
    case 8:
      attributes.c_cflag = (attributes.c_cflag & ~CSIZE) | CS8;
      break;
    default:
      fprintf(stderr, "Unknown bits!\n");
      return -1;
  }

  switch (parity) {
    case 'N':
    case 'n':
      attributes.c_cflag &= ~PARENB;
      attributes.c_iflag &= ~INPCK;
      break;
    case 'O':
    case 'o':
      attributes.c_cflag |= PARENB | PARODD;
      attributes.c_iflag |= INPCK | ISTRIP;
      break;
    case 'E':
    case 'e':
      attributes.c_cflag &= ~PARODD;
      attributes.c_cflag |= PARENB;
      attributes.c_iflag |= INPCK | ISTRIP;
      break;
    case 'S':
    case 's':  // no parity bit; the input flags stay as they were
      attributes.c_cflag &= ~(PARENB | CSTOPB);
      break;
    default:
      fprintf(stderr, "Unknown parity!\n");
      return -1;
  }

  switch (stop_bits) {
    case 1:
      attributes.c_cflag &= ~CSTOPB;
      break;
    case 2:
      attributes.c_cflag |= CSTOPB;
      break;
    default:
      fprintf(stderr, "Unknown stop!\n");
      return -1;
  }

  // Raw mode. ISTRIP from the parity step goes again; INPCK stays.
  attributes.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON);
  attributes.c_lflag &= ~(ICANON | ECHO | ECHOE | ISIG);
  attributes.c_oflag &= ~OPOST;

  if (tcsetattr(fd, TCSANOW, &attributes) != 0) {
    fprintf(stderr, "tcsetattr fail.\n");
    return -1;
  }

  // A read returns what has arrived, or nothing after this much silence.
  attributes.c_cc[VTIME] = uart_silence_deciseconds;
  attributes.c_cc[VMIN] = 0;

  // Let the line settle at the new settings, then drop whatever came in under the old ones.
  std::this_thread::sleep_for(settle_before_flush);
  tcflush(fd, TCIOFLUSH);

  if (tcsetattr(fd, TCSANOW, &attributes) != 0) {
    fprintf(stderr, "tcsetattr fail.\n");
    return -1;
  }
  return 0;
}

int safe_read(int fd, void *buffer, size_t count) {
  auto *bytes = static_cast<unsigned char *>(buffer);
  size_t done = 0;
  if (count > INT_MAX) {  // the count could not be returned as an int
    errno = EINVAL;
    fprintf(stderr, "read fail, error:%s.\n", error_text(errno).c_str());
    fprintf(stderr, "have read %zu bytes data.\n", done);
    return -1;
  }
  while (done < count) {
    // A result of 0 is the driver's silence limit and sets no error number; clear it so the
    // message does not report an error left over from an earlier call.
    errno = 0;
    const ssize_t got = retry_interrupted([&] { return read(fd, bytes + done, count - done); });
    if (got <= 0) {
      const int error_number = errno;
      fprintf(stderr, "read fail, error:%s.\n", error_text(error_number).c_str());
      fprintf(stderr, "have read %zu bytes data.\n", done);
      return -1;
    }
    done += static_cast<size_t>(got);
  }
  return static_cast<int>(count);
}

int safe_write(int fd, const void *data, size_t count) {
  const auto *bytes = static_cast<const unsigned char *>(data);
  if (count > INT_MAX) {  // the count could not be returned as an int
    fprintf(stderr, "safe_write fail, errno:%s.\n", error_text(EINVAL).c_str());
    return -1;
  }
  size_t done = 0;
  while (done < count) {
    // Never wait for room: a full output queue fails the write now.
    if (wait_for(fd, Direction::writable, std::chrono::microseconds(0)) <= 0) {
      fprintf(stderr, "select fail.\n");
      return -1;
    }
    const ssize_t written =
        retry_interrupted([&] { return write(fd, bytes + done, count - done); });
    if (written < 0) {
      fprintf(stderr, "safe_write fail, errno:%s.\n", error_text(errno).c_str());
      return -1;
    }
    done += static_cast<size_t>(written);
  }
  if (retry_interrupted([&] { return tcdrain(fd); }) != 0) {
    fprintf(stderr, "tcdrain fail. errno:%s.\n", error_text(errno).c_str());
    return -1;
  }
  return static_cast<int>(count);
}

int write_before(int fd, const void *data, size_t count,
                 std::chrono::steady_clock::time_point deadline) {
  using Clock = std::chrono::steady_clock;
  const auto *bytes = static_cast<const unsigned char *>(data);
  size_t done = 0;
  auto remaining_ms = [&] {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<long long>(left.count(), 0));
  };
  while (done < count) {
    const ssize_t written = write(fd, bytes + done, count - done);
    if (written > 0) {
      done += static_cast<size_t>(written);
      continue;
    }
    if (written < 0 && errno != EAGAIN && errno != EINTR) {
      fprintf(stderr, "write fail, errno:%s: %zu of %zu bytes sent\n", error_text(errno).c_str(),
              done, count);
      return -1;
    }
    if (written < 0 && errno == EINTR) continue;
    pollfd room{fd, POLLOUT, 0};
    const int wait = remaining_ms();
    if (wait == 0 || poll(&room, 1, wait) == 0) {
      fprintf(stderr, "write timed out: %zu of %zu bytes sent\n", done, count);
      return -1;
    }
  }
  // tcdrain could wait for ever on a line that does not move: watch the queue instead. A
  // descriptor that has no output queue to ask about counts as drained.
  for (;;) {
    int queued = 0;
    if (ioctl(fd, TIOCOUTQ, &queued) != 0 || queued <= 0) return static_cast<int>(count);
    if (remaining_ms() == 0) {
      fprintf(stderr, "drain timed out: %d of %zu bytes still queued\n", queued, count);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

int uart_read(int fd, void *buffer, size_t count) {
  const int ready =
      wait_for(fd, Direction::readable, std::chrono::seconds(uart_first_byte_timeout_s));
  if (ready == -1) {
    fprintf(stderr, "select error!\n");
    return -1;
  }
  if (ready == 0) {
    fprintf(stderr, "time over!\n");
    return -1;
  }
  const int result = safe_read(fd, buffer, count);
  if (result == -1) {
    fprintf(stderr, "safe read failed!\n");
    return -1;
  }
  return result;
}

int uart_close(int fd) {
  assert(fd != 0);
  // No retry on EINTR: Linux has released the descriptor by then, and a second close could
  // hit one that another thread has just opened.
  return close(fd) == 0 ? 0 : -1;
}

int init_tty() {
  // root_path() answers "" for a path it refuses; opening "" fails like a missing device.
  const std::string path = root_path("/dev/ttyGS0");
  tty_fd = uart_open(path.c_str());
  if (tty_fd == -1) {
    fprintf(stderr, "open uart failed!\n");
    return -1;
  }
  if (uart_config(tty_fd, 115200, 'N', 8, 'N', 1) == -1) {
    fprintf(stderr, "configure failed!\n");
    return -1;  // the descriptor stays open, in tty_fd
  }
  puts("init_tty done!");
  return 0;
}

int init_mcu_tty() {
  const std::string path = root_path("/dev/ttyS5");
  const int fd = uart_open(path.c_str());
  tty_fd_mcu = fd;
  if (fd == -1) {
    fprintf(stderr, "open tty_fd_mcu failed!\n");
    return -1;
  }
  if (uart_config(fd, 460800, 'N', 8, 'N', 1) == -1) {
    fprintf(stderr, "configure failed!\n");
    return -1;  // the descriptor stays open, in tty_fd_mcu
  }
  puts("init_mcu_tty done!");
  return 0;
}
