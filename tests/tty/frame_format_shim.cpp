// A pseudo-terminal has no frame format: the kernel forces CS8, refuses PARENB and keeps the
// rest of the control flags. A UART keeps what it is given. Linked with --wrap=tcsetattr and
// --wrap=tcgetattr, these wrappers let a pty keep its character size and parity bit like a
// UART: tcsetattr hands the pty what it accepts and remembers the two fields per device,
// tcgetattr puts them back. Everything else is the pty's own answer.
#include <sys/stat.h>
#include <termios.h>

#include <map>
#include <mutex>

extern "C" int __real_tcsetattr(int fd, int when, const termios *attributes);
extern "C" int __real_tcgetattr(int fd, termios *attributes);

namespace {

constexpr tcflag_t frame_bits = CSIZE | PARENB;

std::mutex frame_lock;
std::map<dev_t, tcflag_t> frame_of_device;  // guarded by frame_lock

bool device_of(int fd, dev_t *device) {
  struct stat status {};
  if (fstat(fd, &status) != 0 || !S_ISCHR(status.st_mode)) return false;
  *device = status.st_rdev;
  return true;
}

}  // namespace

extern "C" int __wrap_tcsetattr(int fd, int when, const termios *attributes) {
  termios accepted = *attributes;
  accepted.c_cflag = (accepted.c_cflag & ~frame_bits) | CS8;
  const int result = __real_tcsetattr(fd, when, &accepted);
  dev_t device{};
  if (result == 0 && device_of(fd, &device)) {
    std::lock_guard lock(frame_lock);
    frame_of_device[device] = attributes->c_cflag & frame_bits;
  }
  return result;
}

extern "C" int __wrap_tcgetattr(int fd, termios *attributes) {
  const int result = __real_tcgetattr(fd, attributes);
  dev_t device{};
  if (result == 0 && device_of(fd, &device)) {
    std::lock_guard lock(frame_lock);
    const auto found = frame_of_device.find(device);
    if (found != frame_of_device.end()) {
      attributes->c_cflag = (attributes->c_cflag & ~frame_bits) | found->second;
    }
  }
  return result;
}
