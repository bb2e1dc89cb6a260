#include "platform/shm_root.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include "platform/root_path.h"

std::string shm_object_name(const char *name) {
  return sandbox_root().empty() ? std::string(name) : root_path(std::string("/dev/shm") + name);
}

int shm_open_under_root(const char *name, int flags, mode_t mode) {
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
  return open(path.c_str(), flags | O_CLOEXEC | O_NOFOLLOW, mode);  // as shm_open: no link
}
