// The storage tests' sandbox root. The code reads DISPLAYHEAD_ROOT once, at first use, so it is
// set here while the program starts, before any test; stdout is made unbuffered as the daemon
// makes it, so captured messages are complete. The root is removed at exit, which also covers
// the runs that only list the tests (ctest's discovery) and never set up an environment.
#include "tests/storage/sandbox.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/root_path.h"

namespace {

char root_to_remove[PATH_MAX];

void remove_root() {
  std::error_code error;
  std::filesystem::remove_all(root_to_remove, error);
}

const std::string root_dir = [] {
  setvbuf(stdout, nullptr, _IONBF, 0);
  char pattern[] = "/tmp/displayhead-storage-XXXXXX";
  const char *dir = mkdtemp(pattern);
  if (dir == nullptr) {
    perror("mkdtemp");
    abort();  // without a root the code would reach the machine's own files
  }
  setenv("DISPLAYHEAD_ROOT", dir, 1);
  snprintf(root_to_remove, sizeof root_to_remove, "%s", dir);
  atexit(remove_root);
  return std::string(dir);
}();

// The code must see the same root, or nothing here is sandboxed.
struct CheckRoot : testing::Environment {
  void SetUp() override {
    ASSERT_EQ(sandbox_root(), std::filesystem::canonical(root_dir).string());
  }
};
const auto *check_root = testing::AddGlobalTestEnvironment(new CheckRoot);

}  // namespace

const std::string &test_root() { return sandbox_root(); }

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
