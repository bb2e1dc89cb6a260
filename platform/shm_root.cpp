#include "platform/shm_root.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/root_path.h"

std::string shm_object_name(const char *name) {
  return sandbox_root().empty() ? std::string(name) : root_path(std::string("/dev/shm") + name);
}

namespace {

int open_object(const char *name, int flags, mode_t mode) {
  if (sandbox_root().empty()) return shm_open(name, flags, mode);
  const std::string path = shm_object_name(name);
  if (path.empty()) {
    errno = ENAMETOOLONG;
    return -1;
  }
  if (flags & O_CREAT) {
    const std::string &root = sandbox_root();
    mkdir((root + "/dev").c_str(), 0755);
    mkdir((root + "/dev/shm").c_str(), 01777);
  }
  // As shm_open: no link followed; and a FIFO in the file's place is not waited for.
  return open(path.c_str(), flags | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, mode);
}

}  // namespace

int shm_open_under_root(const char *name, int flags, mode_t mode) {
  // Anyone who may write in the object's directory may leave a FIFO, a directory or a device
  // there, which opens all the same: only a regular file is a shared-memory object.
  const int fd = open_object(name, flags, mode);
  struct stat st {};
  if (fd < 0 || (fstat(fd, &st) == 0 && S_ISREG(st.st_mode))) return fd;
  close(fd);
  errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
  return -1;
}
