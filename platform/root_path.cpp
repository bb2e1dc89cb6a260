// The sandbox root.
//
// On the device every path is the device's own. On a PC the daemon, its tests and the
// simulator run under DISPLAYHEAD_ROOT=DIR: each path the daemon opens goes through
// root_path(), which joins it under DIR after resolving "." and ".." by name, so neither a
// fixed path nor one the host sends can reach outside DIR by climbing. The device image's
// shell commands become DIR/sbin/NAME, run without a shell, so a test can never reboot the
// machine it runs on.
#include "platform/root_path.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

const std::string &sandbox_root() {
  // Never destroyed: detached worker threads may still resolve paths while the process exits.
  static const std::string *const root = [] {
    const char *dir = getenv("DISPLAYHEAD_ROOT");
    if (dir == nullptr || dir[0] == '\0') return new std::string();
    std::string text = dir;
    if (char *real = realpath(dir, nullptr)) {  // a root that exists is used by its full name
      text = real;
      free(real);
    }
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    if (text == "/") text.clear();  // DIR "/" is the device's own root
    return new std::string(text);
  }();
  return *root;
}

std::string root_path(std::string_view device_path) {
  const std::string &root = sandbox_root();
  if (root.empty()) return std::string(device_path);

  // Resolve the components by name from "/": ".." at the top stays at the top.
  std::string resolved;
  size_t pos = 0;
  while (pos <= device_path.size()) {
    size_t end = device_path.find('/', pos);
    if (end == std::string_view::npos) end = device_path.size();
    std::string_view part = device_path.substr(pos, end - pos);
    if (part == "..") {
      size_t cut = resolved.rfind('/');
      resolved.erase(cut == std::string::npos ? 0 : cut);
    } else if (!part.empty() && part != ".") {
      resolved += '/';
      resolved += part;
    }
    pos = end + 1;
  }
  // Keep a trailing slash: a directory path stays one.
  if (!device_path.empty() && device_path.back() == '/') resolved += '/';
  // (push_back, not an assignment of "/": GCC 12 takes the assignment of a literal to a string
  // for a copy that may overlap itself, -Wrestrict, which it cannot be.)
  if (resolved.empty()) resolved.push_back('/');

  if (root.size() + resolved.size() >= PATH_MAX) {
    fprintf(stderr, "path too long for the sandbox root: %.*s\n", int(std::min<size_t>(device_path.size(), 200)),
            device_path.data());
    return std::string();
  }
  return root + resolved;
}

namespace {
// 0 for a regular file, else the error number a refusal of `st` gives.
int regular_or_error(const struct stat &st) {
  if (S_ISREG(st.st_mode)) return 0;
  return S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
}
}  // namespace

int open_regular_file(std::string_view device_path, int flags, mode_t mode) {
  const std::string path = root_path(device_path);
  if (path.empty()) {
    errno = ENAMETOOLONG;
    return -1;
  }
  // A name that already holds something else is refused without opening it at all: opening
  // a serial port or a FIFO may have effects of its own.
  struct stat st = {};
  if (stat(path.c_str(), &st) == 0) {
    if (const int error = regular_or_error(st); error != 0) {
      errno = error;
      return -1;
    }
  }
  // What the name holds may change between the look and the open: the open cannot wait, and
  // the descriptor is looked at again.
  const int fd = open(path.c_str(), flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, mode);
  if (fd < 0) return -1;
  int error = fstat(fd, &st) == 0 ? regular_or_error(st) : errno;
  if (error == 0) {
    const int status = fcntl(fd, F_GETFL);
    if (status == -1 || fcntl(fd, F_SETFL, status & ~O_NONBLOCK) == -1) error = errno;
  }
  if (error != 0) {
    close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

int run_device_command(const std::string &name, const std::vector<std::string> &args,
                       bool background) {
  const std::string &root = sandbox_root();
  if (root.empty()) {
    std::string line = name;
    for (const std::string &arg : args) line += ' ' + arg;
    if (background) line += " &";
    return system(line.c_str());
  }

  std::string program = root + "/sbin/" + name;
  if (name.empty() || name.find('/') != std::string::npos || access(program.c_str(), X_OK) != 0) {
    fprintf(stderr, "%s: not in the sandbox root's sbin, not run\n", name.c_str());
    return -1;
  }
  std::vector<char *> argv;
  argv.push_back(const_cast<char *>(program.c_str()));
  for (const std::string &arg : args) argv.push_back(const_cast<char *>(arg.c_str()));
  argv.push_back(nullptr);

  pid_t pid = 0;
  int err = posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ);
  if (err != 0) {
    fprintf(stderr, "%s: cannot start: %s\n", program.c_str(), strerror(err));
    return -1;
  }
  auto wait_for = [](pid_t child) {
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
      if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  if (background) {  // like "cmd &": return at once; a watcher reaps the child when it ends
    std::thread([pid, wait_for] { wait_for(pid); }).detach();
    return 0;
  }
  return wait_for(pid);
}
