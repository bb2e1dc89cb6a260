// The simulated platform's test root (tests/support/test_root.h) and its device files.
#include "tests/platform/sim_root.h"

#include <filesystem>
#include <fstream>

void set_device_file(const std::string &device_path, const char *text) {
  std::filesystem::path path = test_root() + device_path;
  if (text == nullptr) {
    std::filesystem::remove(path);
    return;
  }
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

void clear_sysfs() { std::filesystem::remove_all(test_root() + "/sys"); }
