// Fuzz target: the directory listing the host's 0x63 pages carry, over entries whose names
// come from the input.
//
// Input: entries separated by NUL bytes; the first byte of each says directory (odd) or file,
// the rest is its name. Each is created in a fresh directory as far as the file system allows
// (one too long is refused, so is "." or ".."); a name holding "/" is no name and is left
// out. Findings besides what the sanitizers catch: a listing that is not NUL-terminated
// inside dir_result, or that differs from the listing rule: "result:dir:" and the directories,
// then "file:" and the rest, each name followed by "/", in the order the directory yields
// them, leaving out the temporary files of stores (upload_temp_name); every entry counts its
// name and one towards 512 in its list, and only the entries before that count reaches 512
// are listed.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "storage/storage.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

constexpr const char *listed_dir = "/tmp/sdcard/mmcblk0p1/listed";

// The listing of `path` by the rule above, from the directory as it stands.
std::string expected_listing(const std::string &path) {
  std::string dirs = "dir:", files = "file:";
  size_t dir_count = 0, file_count = 0;
  DIR *dir = opendir(path.c_str());
  if (dir == nullptr) finding("the listed directory is gone");
  while (const dirent *entry = readdir(dir)) {
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    const std::string name = entry->d_name;
    if (is_upload_temp_name(name.c_str())) continue;
    const bool is_dir = entry->d_type == DT_DIR;
    std::string &list = is_dir ? dirs : files;
    size_t &count = is_dir ? dir_count : file_count;
    count += strlen(entry->d_name) + 1;
    if (count < 512) list += std::string(entry->d_name) + "/";
  }
  closedir(dir);
  return "result:" + dirs + files;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz_root();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string path = fuzz_path(listed_dir);
  std::error_code error;
  std::filesystem::remove_all(path, error);
  std::filesystem::create_directories(path);
  const int dir = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);

  const char *text = reinterpret_cast<const char *>(data);
  for (size_t at = 0; at < size;) {
    const size_t length = strnlen(text + at, size - at);
    const std::string name = length > 1 ? std::string(text + at + 1, length - 1) : "";
    if (!name.empty() && name.find('/') == std::string::npos) {
      if (text[at] & 1) {
        mkdirat(dir, name.c_str(), 0755);
      } else {
        const int fd = openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0) close(fd);
      }
    }
    at += length + 1;
  }
  close(dir);

  memset(dir_result, 0x7F, sizeof dir_result);
  GetDir(listed_dir, dir_result);
  if (memchr(dir_result, 0, sizeof dir_result) == nullptr) finding("the listing is not terminated");
  if (dir_result != expected_listing(path)) finding("the listing breaks the listing rule");
  check_nothing_beside_root();
  return 0;
}
