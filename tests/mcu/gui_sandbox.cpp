#include "tests/mcu/gui_sandbox.h"

#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "disp/image.h"
#include "h264/h264.h"
#include "h264/local_player.h"

namespace {

char root_to_remove[PATH_MAX];
pid_t root_owner = 0;

void remove_root() {
  if (getpid() != root_owner) return;  // a forked child leaves it to the test process
  std::error_code error;
  std::filesystem::remove_all(root_to_remove, error);
}

// Set while the program starts: the code reads the root once, at first use.
const std::string root_dir = [] {
  setvbuf(stdout, nullptr, _IONBF, 0);
  char pattern[] = "/tmp/displayhead-gui-XXXXXX";
  const char *dir = mkdtemp(pattern);
  if (dir == nullptr) {
    perror("mkdtemp");
    abort();  // without a root the tests would reach the machine's own /dev/shm and /sys
  }
  setenv("DISPLAYHEAD_ROOT", dir, 1);
  snprintf(root_to_remove, sizeof root_to_remove, "%s", dir);
  root_owner = getpid();
  atexit(remove_root);
  return std::string(dir);
}();

}  // namespace

const std::string &test_root() { return root_dir; }

std::string under_root(const std::string &device_path) { return root_dir + device_path; }

void write_device_file(const std::string &device_path, const std::string &bytes) {
  std::filesystem::path path = under_root(device_path);
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

std::string read_device_file(const std::string &device_path) {
  std::ifstream in(under_root(device_path), std::ios::binary);
  if (!in) return "<missing>";
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void remove_device_file(const std::string &device_path) {
  std::error_code error;
  std::filesystem::remove_all(under_root(device_path), error);
}

void wait_for_players() {
  EXPECT_TRUE(wait_until(
      [] { return local_h264_player_threads() == 0 && slideshow_thread_count() == 0; },
      std::chrono::seconds(10)));
  stop_h264();
}
