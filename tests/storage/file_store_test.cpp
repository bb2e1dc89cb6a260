// Uploads, small files, the page cache, joined paths, deletion and sizes, on files under the
// sandbox root.
#include "storage/storage.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "tests/storage/sandbox.h"

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

const auto *bytes(const char *text) { return reinterpret_cast<const uint8_t *>(text); }

// A test directory of its own, and no page-cache file unless the case makes one.
class FileStore : public testing::Test {
 protected:
  void SetUp() override {
    fs::remove_all(under_root("/proc"));
    dir = test_dir();
  }
  std::string dir;
};
using FileStoreDelete = FileStore;

TEST_F(FileStore, StreamedUploadIsWrittenChunkByChunkAndClosedOnce) {
  FILE *stream = fopen(under_root(dir + "/up.h264").c_str(), "w+");
  ASSERT_NE(stream, nullptr);
  const int fd = fileno(stream);

  CaptureStdout();
  CaptureStderr();
  save_file(stream, bytes("abc"), 3, 0);
  const std::string after_first = read_file(dir + "/up.h264");
  save_file(stream, bytes("defXX"), 3, 0);  // only `length` bytes count
  save_file(stream, bytes("gh"), 2, 1);
  const bool closed = fcntl(fd, F_GETFD) == -1;
  const std::string err = GetCapturedStderr();
  const std::string out = GetCapturedStdout();

  EXPECT_EQ(after_first, "abc");  // on disk before the next chunk comes
  EXPECT_TRUE(closed);
  EXPECT_EQ(out, "close file");
  // The page cache is dropped once; this sandbox has no drop_caches file to write to.
  EXPECT_EQ(count_of(err, "Failed to open file"), 1u) << err;
  EXPECT_EQ(read_file(dir + "/up.h264"), "abcdefgh");
}

TEST_F(FileStore, LastChunkDropsThePageCache) {
  write_file("/proc/sys/vm/drop_caches", "");
  FILE *stream = fopen(under_root(dir + "/one.bin").c_str(), "w+");
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(stderr_of([&] { save_file(stream, bytes("x"), 1, 1); }), "");
  EXPECT_EQ(read_file("/proc/sys/vm/drop_caches"), "1\n");
}

TEST_F(FileStore, ChunkWithoutAnOpenUploadIsIgnored) {
  EXPECT_EQ(stdout_of([] { save_file(nullptr, bytes("abc"), 3, 1); }), "");
}

TEST_F(FileStore, DropPagesCacheReportsEachOutcome) {
  int result = -1;
  std::string err = stderr_of([&] { result = drop_pages_cache(); });
  EXPECT_EQ(result, 1);
  EXPECT_EQ(err, "Failed to open file: No such file or directory\n");

  write_file("/proc/sys/vm/drop_caches", "");
  EXPECT_EQ(stderr_of([&] { result = drop_pages_cache(); }), "");
  EXPECT_EQ(result, 0);
  EXPECT_EQ(read_file("/proc/sys/vm/drop_caches"), "1\n");
}

TEST_F(FileStore, SmallFileReplacesWhatWasThere) {
  const std::string path = dir + "/small.bin";
  write_file(path, std::string(100, 'o'));
  EXPECT_EQ(save_small_file(path.c_str(), bytes("0123456789abc"), 10), 0);
  EXPECT_EQ(read_file(path), "0123456789");

  EXPECT_EQ(save_small_file(path.c_str(), nullptr, 0), 0);
  EXPECT_TRUE(exists(path));
  EXPECT_EQ(read_file(path), "");
}

TEST_F(FileStore, SmallFileThatCannotBeOpenedOrWrittenFails) {
  int result = 0;
  const std::string missing_dir = dir + "/missing/small.bin";
  EXPECT_EQ(stdout_of([&] { result = save_small_file(missing_dir.c_str(), bytes("x"), 1); }),
            "errno:2  No such file or directory\n");
  EXPECT_EQ(result, -1);
  EXPECT_EQ(stdout_of([&] { result = save_small_file(dir.c_str(), bytes("x"), 1); }),
            "errno:21  Is a directory\n");
  EXPECT_EQ(result, -1);

  // A write the file system refuses is not a success, and leaves the file as it was.
  const std::string big(5000, 'b');
  const std::string path = dir + "/big.bin";
  write_file(path, "old");
  std::string out;
  with_file_size_limit(1000, [&] {
    out = stdout_of([&] { result = save_small_file(path.c_str(), bytes(big.c_str()), big.size()); });
  });
  EXPECT_EQ(out, "errno:27  File too large\n");
  EXPECT_EQ(result, -1);
  EXPECT_EQ(read_file(path), "old");
  EXPECT_FALSE(exists(dir + "/" + upload_temp_name("big.bin")));
}

// (Permission bits, links to existing files and a user's "NAME.part" go through the real
// daemon in the system tests.)
TEST_F(FileStore, ADanglingLinkGetsItsTargetAndTemporaryNamesAreRefused) {
  write_file(dir + "/real/keep", "");
  fs::create_symlink("real/new.bin", under_root(dir + "/dangling"));
  EXPECT_EQ(save_small_file((dir + "/dangling").c_str(), bytes("made"), 4), 0);
  EXPECT_TRUE(fs::is_symlink(under_root(dir + "/dangling")));
  EXPECT_EQ(read_file(dir + "/real/new.bin"), "made");

  int result = 0;
  const std::string reserved = dir + "/" + upload_temp_name("x");
  EXPECT_EQ(stdout_of([&] { result = save_small_file(reserved.c_str(), bytes("x"), 1); }),
            "errno:22  Invalid argument\n");
  EXPECT_EQ(result, -1);
  EXPECT_EQ(open_upload(reserved.c_str()), nullptr);
  EXPECT_FALSE(exists(reserved));
}

TEST_F(FileStore, DevicesAndPipesAreWrittenThroughNeverReplaced) {
  const std::string fifo = dir + "/pipe";
  ASSERT_EQ(mkfifo(under_root(fifo).c_str(), 0600), 0);
  // Nobody reads: the store fails at once instead of waiting, and the FIFO stays.
  int result = 0;
  EXPECT_EQ(stdout_of([&] { result = save_small_file(fifo.c_str(), bytes("x"), 1); }),
            "errno:6  No such device or address\n");
  EXPECT_EQ(result, -1);

  // A reader that takes nothing: the write gives up after its 2 s.
  const int reader = open(under_root(fifo).c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  const std::string flood(1 << 20, 'f');
  EXPECT_EQ(stdout_of([&] { result = save_small_file(fifo.c_str(), bytes(flood.c_str()), flood.size()); }),
            "errno:" + std::to_string(ETIMEDOUT) + "  " + strerror(ETIMEDOUT) + "\n");  // 145 on the board
  std::string got;
  char piece[65536];
  for (ssize_t n; (n = read(reader, piece, sizeof piece)) > 0;) got.append(piece, size_t(n));

  // One that reads gets the bytes; an upload goes through the same way.
  EXPECT_EQ(save_small_file(fifo.c_str(), bytes("small"), 5), 0);
  FILE *stream = open_upload(fifo.c_str());
  ASSERT_NE(stream, nullptr);
  CaptureStdout();
  EXPECT_EQ(save_file(stream, bytes("chunk"), 5, 0, fifo.c_str()), 0);
  EXPECT_EQ(save_file(stream, bytes("last"), 4, 1, fifo.c_str()), 0);
  GetCapturedStdout();
  got.clear();
  for (ssize_t n; (n = read(reader, piece, sizeof piece)) > 0;) got.append(piece, size_t(n));
  close(reader);
  EXPECT_EQ(got, "smallchunklast");
  struct stat st = {};
  ASSERT_EQ(lstat(under_root(fifo).c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

TEST_F(FileStore, LeftoversOfCutStoresAreRemovedAndNeverListed) {
  const std::string aio_temp = "/usr/data/" + upload_temp_name("aio.jpg");
  const std::string clip_temp = "/tmp/sdcard/mmcblk0p1/a/b/" + upload_temp_name("clip.bin");
  write_file(aio_temp, "cut by a power cut");
  write_file(clip_temp, "cut");
  write_file("/tmp/sdcard/mmcblk0p1/a/b/clip.bin", "whole");
  // A user's files that only resemble temporary names: other check digits, another length,
  // the form of earlier versions.
  std::string resembling = upload_temp_name("clip.bin");
  resembling.back() = resembling.back() == '0' ? '1' : '0';
  const std::vector<std::string> users = {resembling, upload_temp_name("clip.bin") + "x",
                                          ".dh-upload-", ".clip.bin.dh-upload", ".dh-upload"};
  for (const std::string &name : users) write_file("/tmp/sdcard/mmcblk0p1/a/b/" + name, "a user's file");
  char listing[dir_result_len] = {};
  stdout_of([&] { GetDir("/tmp/sdcard/mmcblk0p1/a/b", listing); });
  EXPECT_EQ(std::string(listing).find(upload_temp_name("clip.bin") + "/"), std::string::npos) << listing;
  const std::string listed = std::string(listing).substr(strlen("result:dir:file:") - 1);  // from ":"
  for (const std::string &name : users) {
    EXPECT_TRUE(listed.find(":" + name + "/") != std::string::npos ||
                listed.find("/" + name + "/") != std::string::npos)
        << name << " in " << listing;
  }

  const std::string out = stdout_of([] { remove_upload_leftovers(); });
  EXPECT_EQ(count_of(out, "removed the leftover of an unfinished upload"), 2u) << out;
  EXPECT_FALSE(exists(aio_temp));
  EXPECT_FALSE(exists(clip_temp));
  EXPECT_EQ(read_file("/tmp/sdcard/mmcblk0p1/a/b/clip.bin"), "whole");
  for (const std::string &name : users) {
    EXPECT_EQ(read_file("/tmp/sdcard/mmcblk0p1/a/b/" + name), "a user's file") << name;
  }

  // The next store of a name removes its leftover too.
  const std::string f_temp = dir + "/" + upload_temp_name("f");
  write_file(f_temp, "left over");
  EXPECT_EQ(save_small_file((dir + "/f").c_str(), bytes("f"), 1), 0);
  EXPECT_FALSE(exists(f_temp));
}

TEST_F(FileStore, TemporaryNamesHaveOneLengthWhateverTheName) {
  const std::string longest(255, 'n');
  for (const std::string &name : {std::string("a"), std::string("clip.bin"), longest}) {
    const std::string temp = upload_temp_name(name.c_str());
    EXPECT_EQ(temp.size(), 36u) << temp;
    EXPECT_EQ(temp[0], '.');
    EXPECT_TRUE(is_upload_temp_name(temp.c_str())) << temp;
  }
  EXPECT_NE(upload_temp_name("a"), upload_temp_name("b"));
  EXPECT_FALSE(is_upload_temp_name(".dh-upload-0123456789abcdef-01234567"));
  EXPECT_FALSE(is_upload_temp_name(nullptr));
}

TEST_F(FileStore, GetfilepathJoinsWithOneSlashAndRefusesWhatDoesNotFit) {
  char out[300];
  EXPECT_EQ(stdout_of([&] { Getfilepath("/media", "x", out); }), "path is = /media/x\n");
  EXPECT_STREQ(out, "/media/x");
  Getfilepath("/media/", "x", out);
  EXPECT_STREQ(out, "/media/x");

  // 250 + "/" + 4 = 255 characters fit the 256-character buffer; one more does not.
  std::string dir250(250, 'd');  // not "/" + a string: GCC 12 wrongly warns of an overlap there
  dir250[0] = '/';
  memset(out, 'Z', sizeof out);
  stdout_of([&] { Getfilepath(dir250.c_str(), "abcd", out); });
  EXPECT_EQ(std::string(out), dir250 + "/abcd");

  memset(out, 'Z', sizeof out);
  const std::string text = stdout_of([&] { Getfilepath(dir250.c_str(), "abcde", out); });
  EXPECT_EQ(out[0], '\0');
  EXPECT_EQ(std::string(out + 1, sizeof out - 1), std::string(sizeof out - 1, 'Z'));
  EXPECT_NE(text.find("too long"), std::string::npos) << text;
  EXPECT_EQ(text.find("path is = "), std::string::npos);
}

TEST_F(FileStoreDelete, EmptiesATreeAndKeepsItsDirectories) {
  write_file(dir + "/a/b/c.jpg", "c");
  write_file(dir + "/a/d.jpg", "d");
  const std::string out = stdout_of([&] { DeleteFile((dir + "/a").c_str()); });
  EXPECT_TRUE(fs::is_directory(under_root(dir + "/a")));
  EXPECT_TRUE(fs::is_directory(under_root(dir + "/a/b")));
  EXPECT_FALSE(fs::is_empty(under_root(dir + "/a")));  // b is still there
  EXPECT_TRUE(fs::is_empty(under_root(dir + "/a/b")));
  EXPECT_FALSE(exists(dir + "/a/d.jpg"));
  for (const char *entry : {"/a/.", "/a/..", "/a/b", "/a/d.jpg", "/a/b/.", "/a/b/c.jpg"})
    EXPECT_EQ(count_of(out, "path is = " + dir + entry + "\n"), 1u) << entry << "\n" << out;

  // A regular file is removed; a missing one is nothing to do. A trailing slash is one slash.
  write_file(dir + "/f.jpg", "f");
  write_file(dir + "/e/g.jpg", "g");
  stdout_of([&] {
    DeleteFile((dir + "/f.jpg").c_str());
    DeleteFile((dir + "/nothing").c_str());
    DeleteFile((dir + "/e/").c_str());
  });
  EXPECT_FALSE(exists(dir + "/f.jpg"));
  EXPECT_FALSE(exists(dir + "/e/g.jpg"));
}

TEST_F(FileStoreDelete, LeavesSymbolicLinksAndWhatTheyNameAlone) {
  write_file(dir + "/outside/keep.jpg", "k");
  write_file(dir + "/target.jpg", "t");
  fs::create_directories(under_root(dir + "/tree"));
  fs::create_symlink("../target.jpg", under_root(dir + "/tree/file_link"));
  fs::create_directory_symlink("../outside", under_root(dir + "/tree/dir_link"));
  fs::create_directory_symlink("outside", under_root(dir + "/top_link"));

  stdout_of([&] {
    DeleteFile((dir + "/tree/file_link").c_str());
    DeleteFile((dir + "/top_link").c_str());
    DeleteFile((dir + "/top_link/").c_str());
    DeleteFile((dir + "/tree/file_link/").c_str());
    DeleteFile((dir + "/tree").c_str());
  });
  EXPECT_TRUE(fs::is_symlink(under_root(dir + "/tree/file_link")));
  EXPECT_TRUE(fs::is_symlink(under_root(dir + "/tree/dir_link")));
  EXPECT_TRUE(fs::is_symlink(under_root(dir + "/top_link")));
  EXPECT_EQ(read_file(dir + "/target.jpg"), "t");
  EXPECT_EQ(read_file(dir + "/outside/keep.jpg"), "k");
}

TEST_F(FileStoreDelete, PathsThatDoNotFitAreRefused) {
  const std::string parent = dir + "/" + std::string(180, 'x');
  const std::string child = parent + "/" + std::string(100, 'y');
  ASSERT_LT((parent + "/short.jpg").size(), 256u);
  write_file(child, "kept");
  write_file(parent + "/short.jpg", "gone");

  std::string out = stdout_of([&] { DeleteFile(child.c_str()); });
  EXPECT_EQ(read_file(child), "kept");
  EXPECT_NE(out.find("too long"), std::string::npos) << out;

  // Inside a directory that fits, the entry that does not is left; the others go.
  out = stdout_of([&] { DeleteFile(parent.c_str()); });
  EXPECT_EQ(read_file(child), "kept");
  EXPECT_FALSE(exists(parent + "/short.jpg"));
  EXPECT_NE(out.find("too long"), std::string::npos) << out;
}

TEST_F(FileStore, FileSizeIsTheLow32BitsAndZeroWhenMissing) {
  const std::string path = dir + "/sized.bin";
  write_file(path, std::string(1234, 's'));
  EXPECT_EQ(GetFileSize(path.c_str()), 1234);

  fs::create_symlink("sized.bin", under_root(dir + "/link"));
  EXPECT_EQ(GetFileSize((dir + "/link").c_str()), 1234);

  write_file(dir + "/empty.bin", "");
  EXPECT_EQ(stdout_of([&] { EXPECT_EQ(GetFileSize((dir + "/empty.bin").c_str()), 0); }), "");
  EXPECT_EQ(stdout_of([&] { EXPECT_EQ(GetFileSize((dir + "/none").c_str()), 0); }),
            "get file size failed");

  // Sparse files past 2 GiB and 4 GiB.
  fs::resize_file(under_root(path), (uint64_t{3} << 30));
  EXPECT_EQ(GetFileSize(path.c_str()), static_cast<int32_t>(0xC0000000u));
  fs::resize_file(under_root(path), (uint64_t{1} << 32) + 5);
  EXPECT_EQ(GetFileSize(path.c_str()), 5);
}

}  // namespace
