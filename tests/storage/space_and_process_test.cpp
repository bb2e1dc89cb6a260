// The card's space figures, the size formatter and the process lookup.
#include "storage/storage.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "tests/storage/sandbox.h"

extern char **environ;

namespace {

namespace fs = std::filesystem;

TEST(StorageSpace, KibFiguresFromFragmentsAndBlocks) {
  StorageInfo info = {};
  set_storage_kib(info, 4096, 1'000'000, 250'000);
  EXPECT_EQ(info.total_kib, 4'000'000u);
  EXPECT_EQ(info.used_kib, 3'000'000u);
  EXPECT_EQ(info.avail_kib, 1'000'000u);

  // A 64 GiB card: the byte counts need 64 bits, the KiB figures do not.
  set_storage_kib(info, 4096, 16'777'216, 4'194'304);
  EXPECT_EQ(info.total_kib, 67'108'864u);
  EXPECT_EQ(info.avail_kib, 16'777'216u);
  EXPECT_EQ(info.used_kib, 50'331'648u);
  EXPECT_EQ(info.extra0 | info.extra1 | info.extra2, 0u);
}

TEST(StorageSpace, QueryReadsTheMountPointOrKeepsTheLastFigures) {
  fs::remove_all(under_root("/tmp/sdcard"));
  storage = StorageInfo{1, 2, 3, 0, 0, 0};
  EXPECT_EQ(stderr_of(QuerryStorage), "statvfs failed: No such file or directory\n");
  EXPECT_EQ(storage.total_kib, 1u);
  EXPECT_EQ(storage.used_kib, 2u);
  EXPECT_EQ(storage.avail_kib, 3u);

  fs::create_directories(under_root("/tmp/sdcard/mmcblk0p1"));
  QuerryStorage();
  EXPECT_GT(storage.total_kib, 0u);
  EXPECT_LE(storage.avail_kib, storage.total_kib);
  EXPECT_EQ(storage.used_kib, storage.total_kib - storage.avail_kib);
  EXPECT_EQ(storage.extra0 | storage.extra1 | storage.extra2, 0u);
}

TEST(StorageSpace, PrintSizeChoosesTheUnit) {
  struct Case {
    uint64_t bytes;
    const char *text;
  };
  for (const Case &c : {Case{5, "5.00 B\n"}, Case{1023, "1023.00 B\n"}, Case{1024, "1.00 KB\n"},
                        Case{1536, "1.50 KB\n"}, Case{1 << 20, "1.00 MB\n"},
                        Case{uint64_t{1} << 30, "1.00 GB\n"},
                        Case{uint64_t{1} << 50, "1048576.00 GB\n"}}) {
    int printed = 0;
    EXPECT_EQ(stdout_of([&] { printed = print_size(c.bytes); }), c.text);
    EXPECT_EQ(printed, static_cast<int>(strlen(c.text)));
  }
}

bool pgrep_installed() {
  const char *path = getenv("PATH");
  std::istringstream dirs(path != nullptr ? path : "");
  for (std::string dir; std::getline(dirs, dir, ':');)
    if (!dir.empty() && access((dir + "/pgrep").c_str(), X_OK) == 0) return true;
  return false;
}

TEST(StorageProcess, RefusesNamesThatAreNotPlainProcessNames) {
  std::string out = stdout_of([] {
    for (const char *name : {"a;b", "$(x)", "", "a b", "x/y", "`id`", "a|b", "a\nb", "*"})
      EXPECT_EQ(detectProcessByName(name), -1) << name;
    EXPECT_EQ(detectProcessByName(nullptr), -1);
    // "pgrep NAME" in 127 characters at most.
    EXPECT_EQ(detectProcessByName(std::string(122, 'a').c_str()), -1);
  });
  EXPECT_EQ(out, "");
  if (pgrep_installed()) {
    stderr_of([] { EXPECT_NE(detectProcessByName(std::string(121, 'a').c_str()), -1); });
  }
}

TEST(StorageProcess, FindsAProcessItStarted) {
  if (!pgrep_installed()) GTEST_SKIP() << "pgrep is not installed";
  char program[] = "sleep";
  char seconds[] = "5";
  char *argv[] = {program, seconds, nullptr};
  pid_t pid = 0;
  ASSERT_EQ(posix_spawnp(&pid, "sleep", nullptr, nullptr, argv, environ), 0);

  int result = 0;
  const std::string out = stdout_of([&] { result = detectProcessByName("sleep"); });
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(out.rfind("find process: sleep PID: ", 0), 0u) << out;
  EXPECT_EQ(out.substr(out.size() - 2), "\n\n");  // pgrep's line keeps its end
}

TEST(StorageProcess, NothingRunningAndNoPgrepAreTold) {
  if (pgrep_installed()) {
    std::string out = stdout_of([] { EXPECT_EQ(detectProcessByName("nosuchproc-x7"), -3); });
    EXPECT_EQ(out, "");
    // An option-like name is looked for, not obeyed.
    EXPECT_EQ(detectProcessByName("--version"), -3);
  }
  const std::string saved_path = getenv("PATH") != nullptr ? getenv("PATH") : "";
  setenv("PATH", "/nonexistent-displayhead", 1);
  const int result = detectProcessByName("sleep");
  setenv("PATH", saved_path.c_str(), 1);
  EXPECT_EQ(result, -2);
}

}  // namespace
