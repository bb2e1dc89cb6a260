// The simulated platform's test root. The code reads DISPLAYHEAD_ROOT once, at first use, so
// it is set while the program starts; only the process that made the root removes it.
#include "tests/platform/sim_root.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace {

char root_to_remove[PATH_MAX];
pid_t root_owner = 0;

void remove_root() {
  if (getpid() != root_owner) return;
  std::error_code error;
  std::filesystem::remove_all(root_to_remove, error);
}

const std::string root_dir = [] {
  char pattern[] = "/tmp/displayhead-sim-XXXXXX";
  const char *dir = mkdtemp(pattern);
  if (dir == nullptr) {
    perror("mkdtemp");
    abort();  // without a root the code would reach the machine's own devices
  }
  setenv("DISPLAYHEAD_ROOT", dir, 1);
  snprintf(root_to_remove, sizeof root_to_remove, "%s", dir);
  root_owner = getpid();
  atexit(remove_root);
  return std::string(dir);
}();

}  // namespace

const std::string &test_root() { return root_dir; }

void set_device_file(const std::string &device_path, const char *text) {
  std::filesystem::path path = root_dir + device_path;
  if (text == nullptr) {
    std::filesystem::remove(path);
    return;
  }
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

void clear_sysfs() { std::filesystem::remove_all(root_dir + "/sys"); }
