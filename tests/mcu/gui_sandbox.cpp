#include "tests/mcu/gui_sandbox.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include "disp/image.h"
#include "h264/h264.h"
#include "h264/local_player.h"
#include "mcu/gui_shm.h"
#include "screen/player.h"
#include "screen/screen.h"

namespace {
// The helper process is forked before main, while the test process has one thread, and after
// the sandbox root is set: the helper opens the block under it.
const bool helper_started = (test_root(), gui_helper_start(), true);
}  // namespace

std::string under_root(const std::string &device_path) { return test_root() + device_path; }

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
      [] { return local_h264_players() == 0 && slideshow_thread_count() == 0; },
      std::chrono::seconds(10)));
  stop_h264();
}
