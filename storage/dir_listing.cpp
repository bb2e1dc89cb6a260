// The directory listing sent to the host.
//
// Subdirectories and other entries go into two lists, each in a 5120-character buffer, in the
// order the directory yields them. Each list keeps a running count of name length plus one for
// every entry that falls into it, listed or not, and an entry is listed only while that count
// stays below 512: once one entry has been refused every later one of its list is refused too,
// and a list never exceeds 4 + 511 characters. The whole listing is appended with a bound of
// dir_result_len, although it cannot come near it. The listing never descends, and never shows
// the temporary files of stores in progress.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/owners.h"
#include "platform/root_path.h"
#include "storage/storage.h"

namespace {

constexpr size_t list_buffer_len = 5120;
constexpr size_t list_limit = 512;

class NameList {
 public:
  explicit NameList(const char *head) { append(head, strlen(head)); }

  // Lists `name` unless the list's count has reached its limit; true when listed.
  bool add(const char *name) {
    const size_t name_len = strlen(name);
    count_ += name_len + 1;
    if (count_ >= list_limit) return false;
    if (length_ + name_len + 2 > sizeof text_) return false;  // unreachable under the limit
    append(name, name_len);
    append("/", 1);
    return true;
  }

  const char *text() const { return text_; }
  size_t length() const { return length_; }

 private:
  void append(const char *part, size_t part_len) {
    memcpy(text_ + length_, part, part_len);
    length_ += part_len;
    text_[length_] = '\0';
  }

  char text_[list_buffer_len] = {};
  size_t length_ = 0;
  size_t count_ = 0;
};

// Appends to the caller's listing buffer, never past its end.
class Listing {
 public:
  explicit Listing(char *result) : result_(result) { result_[0] = '\0'; }

  void append(const char *part, size_t part_len) {
    part_len = std::min(part_len, static_cast<size_t>(dir_result_len) - 1 - length_);
    memcpy(result_ + length_, part, part_len);
    length_ += part_len;
    result_[length_] = '\0';
  }
  void append(const char *part) { append(part, strlen(part)); }

 private:
  char *result_;
  size_t length_ = 0;
};

}  // namespace

void GetDir(const char *path, char *result) {
  if (result == nullptr) return;
  Listing listing(result);
  listing.append("result:");

  const std::string real = path != nullptr ? root_path(path) : std::string();
  UniqueDir dir(opendir(real.c_str()));
  if (!dir) {
    perror("Open dir error...");
    listing.append("nodir");
    // Only the last component is ever created.
    listing.append(mkdir(real.c_str(), 0755) != 0 ? "-createfailed" : "-createdone");
    return;
  }

  NameList dirs("dir:");
  NameList files("file:");
  while (const dirent *entry = readdir(dir.get())) {
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    if (is_upload_temp_name(entry->d_name)) continue;  // a store in progress, or its leftover
    if (entry->d_type == DT_DIR) {
      if (dirs.add(entry->d_name)) printf("dir:%s\n", entry->d_name);
    } else if (files.add(entry->d_name)) {
      printf("file:%s\n", entry->d_name);
    }
  }
  listing.append(dirs.text(), dirs.length());
  listing.append(files.text(), files.length());
  dir.reset();
  puts(result);
}
