// The listing text: directories that are missing, creatable or not, the two lists and their
// 512-character limits, on directories under the sandbox root.
#include "storage/storage.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "tests/storage/sandbox.h"

namespace {

namespace fs = std::filesystem;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

// What the host loop does: clear dir_result, list into it.
std::string list(const std::string &path) {
  memset(dir_result, 0, sizeof dir_result);
  GetDir(path.c_str(), dir_result);
  return dir_result;
}

struct Lists {
  std::multiset<std::string> dirs, files;
};

// "result:dir:A/B/file:x/y/" into its two lists.
Lists parse(const std::string &text) {
  Lists lists;
  const size_t file_at = text.find("file:");
  EXPECT_EQ(text.rfind("result:dir:", 0), 0u) << text;
  EXPECT_NE(file_at, std::string::npos) << text;
  if (file_at == std::string::npos) return lists;
  auto split = [](std::string part, std::multiset<std::string> &into) {
    for (size_t slash; (slash = part.find('/')) != std::string::npos; part.erase(0, slash + 1))
      into.insert(part.substr(0, slash));
    EXPECT_EQ(part, "");  // every name ends in "/"
  };
  split(text.substr(11, file_at - 11), lists.dirs);
  split(text.substr(file_at + 5), lists.files);
  return lists;
}

class FileStoreListing : public testing::Test {
 protected:
  void SetUp() override { dir = test_dir(); }
  std::string dir;
};

TEST_F(FileStoreListing, MissingDirectoryIsCreatedThenListedEmpty) {
  const std::string path = dir + "/new";
  CaptureStdout();
  CaptureStderr();
  const std::string first = list(path);
  const std::string err = GetCapturedStderr();
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_EQ(first, "result:nodir-createdone");
  EXPECT_EQ(err.rfind("Open dir error...: ", 0), 0u) << err;
  EXPECT_TRUE(fs::is_directory(under_root(path)));
  EXPECT_EQ(fs::status(under_root(path)).permissions() & fs::perms::owner_all,
            fs::perms::owner_all);

  std::string second;
  EXPECT_EQ(stdout_of([&] { second = list(path); }), "result:dir:file:\n");
  EXPECT_EQ(second, "result:dir:file:");
}

TEST_F(FileStoreListing, PathThatCannotBeADirectoryFailsToCreate) {
  write_file(dir + "/plain.jpg", "x");
  stderr_of([&] {
    EXPECT_EQ(list(dir + "/plain.jpg"), "result:nodir-createfailed");
    EXPECT_EQ(list(dir + "/no/parent"), "result:nodir-createfailed");
  });
  EXPECT_FALSE(exists(dir + "/no"));  // only the last component is ever created
}

TEST_F(FileStoreListing, SubdirectoriesAndOtherEntriesGoToTheirLists) {
  fs::create_directories(under_root(dir + "/DCIM"));
  fs::create_directories(under_root(dir + "/bg_h264"));
  write_file(dir + "/a.jpg", "a");
  write_file(dir + "/b.h264", "b");
  fs::create_directory_symlink("DCIM", under_root(dir + "/dir_link"));  // not a directory entry
  ASSERT_EQ(mkfifo(under_root(dir + "/pipe").c_str(), 0600), 0);

  std::string text;
  const std::string out = stdout_of([&] { text = list(dir); });
  const Lists lists = parse(text);
  EXPECT_EQ(lists.dirs, (std::multiset<std::string>{"DCIM", "bg_h264"}));
  EXPECT_EQ(lists.files, (std::multiset<std::string>{"a.jpg", "b.h264", "dir_link", "pipe"}));
  for (const char *line : {"dir:DCIM\n", "dir:bg_h264\n", "file:a.jpg\n", "file:pipe\n"})
    EXPECT_EQ(count_of(out, line), 1u) << line;
  EXPECT_NE(out.find("\n" + text + "\n"), std::string::npos) << out;

  // A single entry of each kind fixes the whole text; nothing below is listed.
  const std::string single = dir + "/single";
  write_file(single + "/DCIM/deep.jpg", "d");
  write_file(single + "/a.jpg", "a");
  stdout_of([&] { text = list(single); });
  EXPECT_EQ(text, "result:dir:DCIM/file:a.jpg/");
}

TEST_F(FileStoreListing, SixtyTenCharacterNamesListFortySix) {
  for (int i = 0; i < 60; ++i) {
    char name[16];
    snprintf(name, sizeof name, "/clip%06d", i);
    write_file(dir + name, "");
  }
  std::string text;
  std::string out = stdout_of([&] { text = list(dir); });
  const Lists lists = parse(text);
  EXPECT_TRUE(lists.dirs.empty());
  EXPECT_EQ(lists.files.size(), 46u);  // 46 x 11 = 506 < 512; the 47th would make 517
  EXPECT_EQ(text.size(), 16u + 46 * 11);
  EXPECT_EQ(count_of(out, "file:clip"), 46u + 1);  // each printed, then the listing once
}

TEST_F(FileStoreListing, LongNamesNeverOverrunTheLists) {
  for (int i = 0; i < 40; ++i) {
    const std::string number = std::to_string(100 + i);
    fs::create_directories(under_root(dir + "/" + std::string(197, 'D') + number));
    write_file(dir + "/" + std::string(197, 'F') + number, "");
  }
  std::string text;
  stdout_of([&] { text = list(dir); });
  const Lists lists = parse(text);
  // 201 + 201 = 402 < 512; a third would make 603, and every later one stays out.
  EXPECT_EQ(lists.dirs.size(), 2u);
  EXPECT_EQ(lists.files.size(), 2u);
  EXPECT_EQ(text.size(), 7u + 4 + 402 + 5 + 402);
}

}  // namespace
