// Uploads, deletion and sizes.
//
// Streamed uploads are flushed and then synced chunk by chunk, so what the device has
// acknowledged is on the card; the last chunk closes the stream and drops the page cache, which
// the card's large files would otherwise fill. A small file is flushed and synced before it is
// put in place, and a write that fails is reported like an open that fails.
//
// Both kinds are written under a private name beside the file (upload_part_suffix) and renamed
// over it only once they are whole, so a link that is cut, a full card or a power cut in the
// middle leaves the file as it was. The rename replaces whatever entry holds the name (a link
// is replaced, not followed); a name that holds a directory is refused at the start.
//
// Deletion works on the device path as the host sent it and resolves each level at the system
// call. It looks at every entry with lstat and opens directories with O_NOFOLLOW, so a symbolic
// link is never removed, never followed and never descended into, even when it replaces a
// directory between the look and the open. Child paths are built in a 256-character buffer per
// level: a path that does not fit is refused with a message and nothing under it is touched.
// A whole tree costs a single sync() at the end.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/root_path.h"
#include "storage/owners.h"
#include "storage/storage.h"

using storage_detail::UniqueDir;
using storage_detail::UniqueFd;
using storage_detail::UniqueFile;

namespace {

// Getfilepath's work; false (out empty, a message printed) when the joined path does not fit.
bool join_path(const char *dir, const char *name, char *out) {
  const size_t dir_len = strlen(dir);
  const size_t name_len = strlen(name);
  const bool add_slash = dir_len == 0 || dir[dir_len - 1] != '/';
  const size_t total = dir_len + (add_slash ? 1 : 0) + name_len;
  if (total >= static_cast<size_t>(file_path_len)) {
    out[0] = '\0';
    printf("path is too long: %s%s%s\n", dir, add_slash ? "/" : "", name);
    return false;
  }
  char *end = out;
  memcpy(end, dir, dir_len);
  end += dir_len;
  if (add_slash) *end++ = '/';
  memcpy(end, name, name_len);
  end[name_len] = '\0';
  printf("path is = %s\n", out);
  return true;
}

bool is_dot_or_dot_dot(const char *name) {
  return strcmp(name, ".") == 0 || strcmp(name, "..") == 0;
}

// DeleteFile without the sync. False when the call did nothing that needs syncing: the path was
// refused or the directory it names could not be opened.
bool delete_entry(const char *path) {
  if (strnlen(path, file_path_len) >= static_cast<size_t>(file_path_len)) {
    printf("path is too long: %s\n", path);
    return false;
  }
  // A trailing slash would make lstat and O_NOFOLLOW follow a link to a directory: it is taken
  // off, and then only a directory may stand there.
  std::string real = root_path(path);
  const bool names_directory = real.size() > 1 && real.back() == '/';
  while (real.size() > 1 && real.back() == '/') real.pop_back();
  struct stat st = {};
  if (real.empty()) return false;  // refused by root_path, with its message
  if (lstat(real.c_str(), &st) != 0) return true;
  if (names_directory && !S_ISDIR(st.st_mode)) return true;
  if (S_ISREG(st.st_mode)) {
    unlink(real.c_str());
    return true;
  }
  if (!S_ISDIR(st.st_mode)) return true;  // links, devices, pipes, sockets stay

  UniqueFd fd(open(real.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) return false;
  UniqueDir dir(fdopendir(fd.get()));
  if (!dir) return false;
  fd.release();  // the stream owns it now

  char child[file_path_len];
  while (const dirent *entry = readdir(dir.get())) {
    if (!join_path(path, entry->d_name, child)) continue;
    if (is_dot_or_dot_dot(entry->d_name)) continue;
    delete_entry(child);
  }
  return true;
}

std::string part_path(const std::string &real) { return real + upload_part_suffix; }

// The private file beside `real` (a resolved path), opened "w+"; null with errno set.
FILE *open_beside(const std::string &real) {
  if (real.empty()) {  // refused by root_path, with its message
    errno = ENAMETOOLONG;
    return nullptr;
  }
  struct stat st = {};
  if (stat(real.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    errno = EISDIR;
    return nullptr;
  }
  return fopen(part_path(real).c_str(), "w+e");
}

// The last step of an upload of `path`: its private file replaces it, or is removed when the
// upload failed or the rename does not go through.
void put_in_place(const char *path, bool failed) {
  const std::string real = root_path(path);
  if (real.empty()) return;
  const std::string part = part_path(real);
  if (!failed && rename(part.c_str(), real.c_str()) == 0) return;
  const int error = errno;
  unlink(part.c_str());
  fprintf(stderr, "\nupload of %s failed: %s; the file keeps what it held\n", path,
          failed ? "a chunk was not written" : strerror(error));
}

}  // namespace

FILE *open_upload(const char *path) {
  if (path == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  return open_beside(root_path(path));
}

int save_file(FILE *stream, const uint8_t *data, size_t length, int last, const char *path) {
  if (stream == nullptr) return -1;  // no upload open: nothing to write to or close
  // The stream's error flag stays set once a chunk could not be written: the upload has a hole
  // and nothing more of it is written.
  bool failed = ferror(stream) != 0;
  if (!failed && data != nullptr && length > 0 && fwrite(data, 1, length, stream) != length) {
    fprintf(stderr, "upload chunk of %zu bytes not written: %s\n", length, strerror(errno));
    failed = true;
  }
  if (fflush(stream) != 0) failed = true;
  if (fsync(fileno(stream)) != 0) {
    fprintf(stderr, "upload chunk not synced: %s\n", strerror(errno));
    failed = true;
  }
  if (last != 1) return failed ? -1 : 0;
  printf("close file");
  if (fclose(stream) != 0) failed = true;
  if (path != nullptr) put_in_place(path, failed);
  sync();
  drop_pages_cache();
  return failed ? -1 : 0;
}

void discard_upload(FILE *stream, const char *path) {
  if (stream != nullptr) fclose(stream);
  const std::string real = path != nullptr ? root_path(path) : "";
  if (!real.empty()) unlink(part_path(real).c_str());
}

int save_small_file(const char *path, const uint8_t *data, size_t length) {
  auto fail = [](int error) {
    printf("errno:%d  %s\n", error, strerror(error));
    return -1;
  };
  if (path == nullptr || (data == nullptr && length > 0)) return fail(EINVAL);
  const std::string real = root_path(path);
  if (real.empty()) return fail(ENAMETOOLONG);
  UniqueFile stream(open_beside(real));
  if (!stream) return fail(errno);

  int error = 0;
  if (length > 0 && fwrite(data, 1, length, stream.get()) != length) error = errno;
  if (fflush(stream.get()) != 0 && error == 0) error = errno;
  if (fsync(fileno(stream.get())) != 0 && error == 0) error = errno;
  if (fclose(stream.release()) != 0 && error == 0) error = errno;
  if (error == 0 && rename(part_path(real).c_str(), real.c_str()) != 0) error = errno;
  if (error != 0) {
    unlink(part_path(real).c_str());
    return fail(error);
  }
  sync();
  return 0;
}

int drop_pages_cache() {
  const std::string real = root_path("/proc/sys/vm/drop_caches");
  UniqueFd fd(open(real.c_str(), O_WRONLY | O_CLOEXEC));
  if (!fd) {
    perror("Failed to open file");
    return 1;
  }
  if (write(fd.get(), "1\n", 2) != 2) {
    perror("Failed to write to file");
    return 1;  // the owner closes it
  }
  if (fd.close_now() != 0) {
    perror("Failed to close file");
    return 1;
  }
  return 0;
}

void Getfilepath(const char *dir, const char *name, char *out) {
  if (out == nullptr) return;
  join_path(dir != nullptr ? dir : "", name != nullptr ? name : "", out);
}

void DeleteFile(const char *path) {
  if (path == nullptr) return;
  if (delete_entry(path)) sync();
}

int32_t GetFileSize(const char *path) {
  struct stat st = {};
  if (path == nullptr || stat(root_path(path).c_str(), &st) != 0) {
    printf("get file size failed");
    return 0;
  }
  // The host reads 32 bits: a larger file reports the low 32 bits of its size.
  return static_cast<int32_t>(static_cast<uint32_t>(st.st_size));
}
