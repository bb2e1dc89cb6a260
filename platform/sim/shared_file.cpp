// Shared files of the simulated display controller: created by the daemon as fresh sparse
// files renamed into place, mapped read-only by readers at whatever size they have.
#include "platform/sim/shared_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/owners.h"

namespace {

std::string errno_text(const std::string &what, const std::string &path) {
  return what + " " + path + ": " + strerror(errno);
}

}  // namespace

SharedFile::SharedFile(SharedFile &&other) noexcept
    : data_(other.data_), size_(other.size_), fd_(other.fd_) {
  other.data_ = nullptr;
  other.size_ = 0;
  other.fd_ = -1;
}

SharedFile &SharedFile::operator=(SharedFile &&other) noexcept {
  if (this != &other) {
    if (data_ != nullptr) munmap(data_, size_);
    if (fd_ >= 0) close(fd_);
    data_ = other.data_;
    size_ = other.size_;
    fd_ = other.fd_;
    other.data_ = nullptr;
    other.size_ = 0;
    other.fd_ = -1;
  }
  return *this;
}

SharedFile::~SharedFile() {
  if (data_ != nullptr) munmap(data_, size_);
  if (fd_ >= 0) close(fd_);
}

// Through the descriptor rather than madvise(MADV_REMOVE) on the mapping: an emulator may take
// the madvise as a mere hint and report success without freeing anything.
bool SharedFile::punch_hole(size_t offset, size_t size) {
  if (fd_ < 0 || offset > size_ || size > size_ - offset) return false;
  return fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, off_t(offset), off_t(size)) == 0;
}

SharedFile SharedFile::create(const std::string &path, size_t size, std::string &error) {
  SharedFile file;
  if (path.empty() || size == 0) {
    error = "no path or size for a shared file";
    return file;
  }
  if (!make_parent_dirs(path)) {
    error = errno_text("cannot create the directories of", path);
    return file;
  }
  // A private name first: readers never see the file before it has its full size.
  std::string fresh = path + ".new." + std::to_string(getpid());
  UniqueFd fd(open(fresh.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!fd) {
    error = errno_text("cannot create", fresh);
    return file;
  }
  if (ftruncate(fd.get(), off_t(size)) != 0) {
    error = errno_text("cannot size", fresh);
    unlink(fresh.c_str());
    return file;
  }
  void *map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
  if (map == MAP_FAILED) {
    error = errno_text("cannot map", fresh);
    unlink(fresh.c_str());
    return file;
  }
  file.data_ = static_cast<uint8_t *>(map);
  file.size_ = size;
  file.fd_ = fd.release();
  if (rename(fresh.c_str(), path.c_str()) != 0) {
    error = errno_text("cannot put in place", path);
    unlink(fresh.c_str());
    return SharedFile();
  }
  return file;
}

SharedFile SharedFile::open_read_only(const std::string &path, std::string &error) {
  SharedFile file;
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) {
    error = errno_text("cannot open", path);
    return file;
  }
  struct stat st {};
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) {
    error = path + ": not a non-empty regular file";
    return file;
  }
  size_t size = size_t(st.st_size);
  void *map = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd.get(), 0);
  if (map == MAP_FAILED) {
    error = errno_text("cannot map", path);
    return file;
  }
  file.data_ = static_cast<uint8_t *>(map);
  file.size_ = size;
  return file;
}

bool make_parent_dirs(const std::string &path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    std::string dir = path.substr(0, slash);
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  return true;
}
