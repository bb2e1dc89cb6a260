// Uploads, deletion and sizes.
//
// Streamed uploads are flushed and then synced chunk by chunk, so what the device has
// acknowledged is on the card; the last chunk closes the stream and drops the page cache, which
// the card's large files would otherwise fill. A small file is flushed and synced before it is
// put in place, and a write that fails is reported like an open that fails.
//
// Both kinds are written to a temporary file beside the file (a hidden name of fixed length,
// see upload_temp_name, so that a name at the file system's limit has one too) and renamed
// over it only once they are whole, so a link that is cut, a
// full card or a power cut in the middle leaves the file as it was. Only a regular file or a
// missing name is ever replaced; the new file keeps the permission bits of the one it replaces.
// A name that is a symbolic link is written through it: the temporary file goes beside the
// link's final target, which gets the new content, and the link stays. A name that holds a
// device, a FIFO or a socket (a serial port, say) is written straight into, as opening it for
// writing would, each write waiting at most 2 s for room; it is never replaced. A name that
// holds a directory, and a name of the temporary files' own form, are refused at the start.
// A temporary file a power cut left is removed by the next store of its name, or at start-up
// by remove_upload_leftovers.
//
// Deletion works on the device path as the host sent it and resolves each level at the system
// call. It looks at every entry with lstat and opens directories with O_NOFOLLOW, so a symbolic
// link is never removed, never followed and never descended into, even when it replaces a
// directory between the look and the open. Child paths are built in a 256-character buffer per
// level: a path that does not fit is refused with a message and nothing under it is touched.
// A whole tree costs a single sync() at the end.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/owners.h"
#include "platform/root_path.h"
#include "storage/storage.h"

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

// Where a store of `real` (a resolved path) goes: its final target, with symbolic links of
// the last component followed as open() would follow them.
struct StoreTarget {
  std::string path;     // the final target
  bool exists = false;  // false: a missing name, created by the store
  bool regular = false;  // a regular file (or missing): replaced through a temporary file
  mode_t mode = 0;       // the permission bits of an existing target
};

constexpr int max_link_hops = 40;  // as the kernel allows
constexpr auto write_through_limit = std::chrono::seconds(2);

// False with errno set (ELOOP, EISDIR, EINVAL for a temporary file's name, or lstat's error).
bool resolve_target(const std::string &real, StoreTarget &target) {
  std::string path = real;
  for (int hop = 0; hop <= max_link_hops; ++hop) {
    const size_t slash = path.rfind('/');
    if (is_upload_temp_name(slash == std::string::npos ? path.c_str() : path.c_str() + slash + 1)) {
      errno = EINVAL;  // the store's own temporary files are never a target
      return false;
    }
    struct stat st = {};
    if (lstat(path.c_str(), &st) != 0) {
      if (errno != ENOENT) return false;
      target = StoreTarget{path, false, true, 0};
      return true;
    }
    if (S_ISDIR(st.st_mode)) {
      errno = EISDIR;
      return false;
    }
    if (!S_ISLNK(st.st_mode)) {
      target = StoreTarget{path, true, S_ISREG(st.st_mode) != 0, st.st_mode & 07777};
      return true;
    }
    char link[PATH_MAX];
    const ssize_t length = readlink(path.c_str(), link, sizeof link - 1);
    if (length < 0) return false;
    link[length] = '\0';
    if (link[0] == '/' || slash == std::string::npos) {
      path = link;
    } else {
      path = path.substr(0, slash + 1) + link;
    }
  }
  errno = ELOOP;
  return false;
}

// upload_temp_name(NAME) beside NAME.
std::string temp_path_of(const std::string &path) {
  const size_t slash = path.rfind('/');
  const size_t base = slash == std::string::npos ? 0 : slash + 1;
  return path.substr(0, base) + upload_temp_name(path.c_str() + base);
}

// 64-bit FNV-1a, continued from `hash`.
uint64_t fnv1a(const char *text, size_t length, uint64_t hash = 0xcbf29ce484222325ull) {
  for (size_t i = 0; i < length; ++i) {
    hash ^= uint8_t(text[i]);
    hash *= 0x100000001b3ull;
  }
  return hash;
}

constexpr size_t temp_key_digits = 16;   // the final name's hash
constexpr size_t temp_check_digits = 8;  // the check of those digits
constexpr size_t temp_name_length =
    sizeof upload_temp_prefix - 1 + temp_key_digits + 1 + temp_check_digits;

// The check digits that follow `key` (temp_key_digits hex digits) in a temporary name.
uint32_t temp_check_of(const char *key) {
  const uint64_t hash = fnv1a(key, temp_key_digits, fnv1a(upload_temp_prefix, sizeof upload_temp_prefix - 1));
  return uint32_t(hash ^ (hash >> 32));
}

bool lower_hex(const char *text, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    if (!((text[i] >= '0' && text[i] <= '9') || (text[i] >= 'a' && text[i] <= 'f'))) return false;
  }
  return true;
}

// The stream a store of `target` writes to: a new temporary file beside it (a leftover of an
// earlier store is removed first), or the target itself, opened without waiting, when it is a
// device, a FIFO or a socket. Null with errno set.
FILE *open_store(const StoreTarget &target) {
  if (!target.regular) {
    const int fd = open(target.path.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    FILE *stream = fdopen(fd, "w");
    if (stream == nullptr) close(fd);
    return stream;
  }
  const std::string temp = temp_path_of(target.path);
  unlink(temp.c_str());
  UniqueFd fd(open(temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
  if (!fd) return nullptr;
  if (target.exists && fchmod(fd.get(), target.mode) != 0) {
    const int error = errno;
    unlink(temp.c_str());
    errno = error;
    return nullptr;
  }
  FILE *stream = fdopen(fd.get(), "w+");
  if (stream == nullptr) {
    const int error = errno;
    unlink(temp.c_str());
    errno = error;
    return nullptr;
  }
  fd.release();  // the stream owns it now
  return stream;
}

bool writes_through(FILE *stream) {
  struct stat st = {};
  return fstat(fileno(stream), &st) == 0 && !S_ISREG(st.st_mode);
}

// Writes to a device, FIFO or socket opened without waiting: all of `data` within 2 s, or the
// error number (ETIMEDOUT when the reader takes nothing for that long).
int write_through(int fd, const uint8_t *data, size_t length) {
  const auto deadline = std::chrono::steady_clock::now() + write_through_limit;
  size_t done = 0;
  while (done < length) {
    const ssize_t written = write(fd, data + done, length - done);
    if (written > 0) {
      done += size_t(written);
      continue;
    }
    if (written < 0 && errno == EINTR) continue;
    if (written < 0 && errno != EAGAIN) return errno;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd room{fd, POLLOUT, 0};
    if (left.count() <= 0 || poll(&room, 1, int(left.count())) == 0) return ETIMEDOUT;
  }
  return 0;
}

// Writes `length` bytes to a store's stream; 0 or the error number.
int write_store(FILE *stream, const uint8_t *data, size_t length) {
  if (length == 0) return 0;
  if (writes_through(stream)) return write_through(fileno(stream), data, length);
  if (fwrite(data, 1, length, stream) != length) return errno != 0 ? errno : EIO;
  return 0;
}

// Flushes and syncs a store's stream (a device is not synced); 0 or the error number.
int settle_store(FILE *stream) {
  if (fflush(stream) != 0) return errno;
  if (!writes_through(stream) && fsync(fileno(stream)) != 0) return errno;
  return 0;
}

// The last step of a store of `real` through a temporary file: the file replaces the target,
// if that still is a regular file or missing. 0 or the error number; the temporary file is
// removed when it is not put in place.
int put_in_place(const std::string &real) {
  StoreTarget target;
  if (!resolve_target(real, target)) return errno;
  const std::string temp = temp_path_of(target.path);
  int error = 0;
  if (!target.regular) {
    error = EEXIST;  // the name was taken by a device or the like meanwhile
  } else if (rename(temp.c_str(), target.path.c_str()) != 0) {
    error = errno;
  }
  if (error != 0) unlink(temp.c_str());
  return error;
}

// Removes the temporary file of a store of `real` (a resolved path) that will not be finished.
void remove_temp_of(const std::string &real) {
  StoreTarget target;
  if (resolve_target(real, target) && target.regular) unlink(temp_path_of(target.path).c_str());
}

// Stores of small files come from the host loop and the controller thread (aio.jpg): one at a
// time, so that two stores of one name never share its temporary file.
std::mutex small_file_lock;

// remove_upload_leftovers, below `dir` (a resolved directory), at most `depth` levels down.
// Links are never followed.
void remove_leftovers_in(const std::string &dir, int depth) {
  UniqueFd fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) return;
  UniqueDir stream(fdopendir(fd.get()));
  if (!stream) return;
  fd.release();
  while (const dirent *entry = readdir(stream.get())) {
    if (is_dot_or_dot_dot(entry->d_name)) continue;
    const std::string path = dir + "/" + entry->d_name;
    struct stat st = {};
    if (lstat(path.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode) && depth > 0) {
      remove_leftovers_in(path, depth - 1);
    } else if (S_ISREG(st.st_mode) && is_upload_temp_name(entry->d_name) &&
               unlink(path.c_str()) == 0) {
      printf("removed the leftover of an unfinished upload: %s\n", path.c_str());
    }
  }
}

}  // namespace

std::string upload_temp_name(const char *name) {
  if (name == nullptr) name = "";
  char key[temp_key_digits + 1];
  snprintf(key, sizeof key, "%016llx", static_cast<unsigned long long>(fnv1a(name, strlen(name))));
  char check[temp_check_digits + 1];
  snprintf(check, sizeof check, "%08x", unsigned(temp_check_of(key)));
  return std::string(upload_temp_prefix) + key + "-" + check;
}

bool is_upload_temp_name(const char *name) {
  const size_t prefix = sizeof upload_temp_prefix - 1;
  if (name == nullptr || strnlen(name, temp_name_length + 1) != temp_name_length ||
      strncmp(name, upload_temp_prefix, prefix) != 0) {
    return false;
  }
  const char *key = name + prefix;
  const char *check = key + temp_key_digits + 1;
  if (!lower_hex(key, temp_key_digits) || key[temp_key_digits] != '-' ||
      !lower_hex(check, temp_check_digits)) {
    return false;
  }
  char expected[temp_check_digits + 1];
  snprintf(expected, sizeof expected, "%08x", unsigned(temp_check_of(key)));
  return memcmp(check, expected, temp_check_digits) == 0;
}

FILE *open_upload(const char *path) {
  if (path == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  const std::string real = root_path(path);
  if (real.empty()) {  // refused by root_path, with its message
    errno = ENAMETOOLONG;
    return nullptr;
  }
  StoreTarget target;
  if (!resolve_target(real, target)) return nullptr;
  return open_store(target);
}

int save_file(FILE *stream, const uint8_t *data, size_t length, int last, const char *path) {
  if (stream == nullptr) return -1;  // no upload open: nothing to write to or close
  // The stream's error flag stays set once a chunk could not be written: the upload has a hole
  // and nothing more of it is written.
  bool failed = ferror(stream) != 0;
  if (!failed && data != nullptr && length > 0) {
    if (const int error = write_store(stream, data, length); error != 0) {
      fprintf(stderr, "upload chunk of %zu bytes not written: %s\n", length, strerror(error));
      failed = true;
    }
  }
  if (const int error = settle_store(stream); error != 0 && !failed) {
    fprintf(stderr, "upload chunk not synced: %s\n", strerror(error));
    failed = true;
  }
  if (last != 1) return failed ? -1 : 0;
  printf("close file");
  const bool through = writes_through(stream);
  if (fclose(stream) != 0) failed = true;
  if (path != nullptr && !through) {
    const std::string real = root_path(path);
    int error = 0;
    if (failed) {
      remove_temp_of(real);
    } else if ((error = put_in_place(real)) != 0) {
      failed = true;
    }
    if (failed) {
      fprintf(stderr, "\nupload of %s failed: %s; the file keeps what it held\n", path,
              error != 0 ? strerror(error) : "a chunk was not written");
    }
  } else if (failed && path != nullptr) {
    fprintf(stderr, "\nupload of %s failed: not everything was written\n", path);
  }
  sync();
  drop_pages_cache();
  return failed ? -1 : 0;
}

void discard_upload(FILE *stream, const char *path) {
  const bool through = stream != nullptr && writes_through(stream);
  if (stream != nullptr) fclose(stream);
  const std::string real = path != nullptr ? root_path(path) : "";
  if (!real.empty() && !through) remove_temp_of(real);
}

int save_small_file(const char *path, const uint8_t *data, size_t length) {
  auto fail = [](int error) {
    printf("errno:%d  %s\n", error, strerror(error));
    return -1;
  };
  if (path == nullptr || (data == nullptr && length > 0)) return fail(EINVAL);
  const std::string real = root_path(path);
  if (real.empty()) return fail(ENAMETOOLONG);
  std::lock_guard<std::mutex> one_at_a_time(small_file_lock);
  StoreTarget target;
  if (!resolve_target(real, target)) return fail(errno);
  UniqueFile stream(open_store(target));
  if (!stream) return fail(errno);

  int error = write_store(stream.get(), data, length);
  if (const int settled = settle_store(stream.get()); settled != 0 && error == 0) error = settled;
  if (fclose(stream.release()) != 0 && error == 0) error = errno;
  if (target.regular) {
    if (error == 0) {
      error = put_in_place(real);
    } else {
      unlink(temp_path_of(target.path).c_str());
    }
  }
  if (error != 0) return fail(error);
  sync();
  return 0;
}

void remove_upload_leftovers() {
  for (const char *dir : {"/usr/data", "/media", "/tmp/sdcard/mmcblk0p1"}) {
    const std::string real = root_path(dir);
    if (!real.empty()) remove_leftovers_in(real, leftover_search_depth);
  }
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
  // An empty name names nothing, as open() takes it; under a sandbox root it would resolve to
  // the root itself and empty the whole device.
  if (path == nullptr || path[0] == '\0') return;
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
