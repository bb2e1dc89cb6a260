#include "tests/support/test_root.h"

#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace {

// Constant-initialised, so set before any code runs.
char root_to_remove[PATH_MAX];
pid_t root_owner = 0;

void remove_root() {
  if (getpid() != root_owner) return;
  std::error_code error;
  std::filesystem::remove_all(root_to_remove, error);
}

}  // namespace

const std::string &test_root() {
  // Never destroyed: detached threads and the removal at exit may still use it.
  static const std::string *const root = [] {
    setvbuf(stdout, nullptr, _IONBF, 0);
    char pattern[] = "/tmp/displayhead-test-XXXXXX";
    const char *dir = mkdtemp(pattern);
    if (dir == nullptr) {
      perror("mkdtemp");
      abort();  // without a root the code would reach the machine's own devices and files
    }
    setenv("DISPLAYHEAD_ROOT", dir, 1);
    snprintf(root_to_remove, sizeof root_to_remove, "%s", dir);
    root_owner = getpid();
    atexit(remove_root);
    return new std::string(dir);
  }();
  return *root;
}

namespace {

// Made while the program starts, also when it only lists its tests.
const bool made = (test_root(), true);

}  // namespace
