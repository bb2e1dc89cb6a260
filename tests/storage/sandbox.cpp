// The storage tests' sandbox root (tests/support/test_root.h) and their file helpers.
#include "tests/storage/sandbox.h"

#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/root_path.h"

namespace {

// The code must see the same root, or nothing here is sandboxed.
struct CheckRoot : testing::Environment {
  void SetUp() override {
    ASSERT_EQ(sandbox_root(), std::filesystem::canonical(test_root()).string());
  }
};
const auto *check_root = testing::AddGlobalTestEnvironment(new CheckRoot);

}  // namespace

std::string under_root(const std::string &device_path) { return root_path(device_path); }

void write_file(const std::string &device_path, const std::string &bytes) {
  const std::filesystem::path path = under_root(device_path);
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string read_file(const std::string &device_path) {
  std::ifstream in(under_root(device_path), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

bool exists(const std::string &device_path) {
  std::error_code error;
  return std::filesystem::exists(std::filesystem::symlink_status(under_root(device_path), error));
}

std::string test_dir() {
  const testing::TestInfo *test = testing::UnitTest::GetInstance()->current_test_info();
  const std::string dir = std::string("/t/") + test->test_suite_name() + "." + test->name();
  std::filesystem::remove_all(under_root(dir));
  std::filesystem::create_directories(under_root(dir));
  return dir;
}

size_t count_of(const std::string &text, const std::string &needle) {
  size_t count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
    ++count;
  return count;
}
