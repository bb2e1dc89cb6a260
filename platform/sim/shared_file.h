// Files the simulated display controller shares between the daemon and its readers (dhshot,
// the tests): the physical memory and the scan-out state, each mapped MAP_SHARED.
//
// The daemon always creates its file anew and renames it over the previous one, and never
// shrinks a file it has mapped, so a reader's mapping stays backed by a file of its own size:
// reading it can never fault, whatever the daemon does meanwhile.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// A mapping of a whole file; unmapped when the owner goes.
class SharedFile {
 public:
  SharedFile() = default;
  SharedFile(SharedFile &&other) noexcept;
  SharedFile &operator=(SharedFile &&other) noexcept;
  SharedFile(const SharedFile &) = delete;
  SharedFile &operator=(const SharedFile &) = delete;
  ~SharedFile();

  uint8_t *data() const { return data_; }
  size_t size() const { return size_; }
  explicit operator bool() const { return data_ != nullptr; }

  // Gives the bytes [offset, offset + size) of a file made by create back to the file system,
  // through its descriptor: they read as zero afterwards, in every mapping. False when the
  // file system cannot (the bytes are unchanged then).
  bool punch_hole(size_t offset, size_t size);

  // Creates `path` anew, `size` zero bytes (sparse), mapped read-write; missing directories
  // are created. The new file replaces any old one by rename. Empty (with `error`) on failure.
  static SharedFile create(const std::string &path, size_t size, std::string &error);
  // Maps an existing file read-only at its present size. Empty (with `error`) when it is
  // missing, empty or cannot be mapped.
  static SharedFile open_read_only(const std::string &path, std::string &error);

 private:
  uint8_t *data_ = nullptr;
  size_t size_ = 0;
  int fd_ = -1;  // kept by create, for punch_hole
};

// Where the simulated controller keeps its files, as device paths: the daemon opens them
// through root_path(), a reader puts the root it is given in front.
constexpr const char *physmem_device_path = "/run/displayhead/physmem";
constexpr const char *panel_state_device_path = "/run/displayhead/panel";

// Creates the directories above `path`. False when one cannot be made.
bool make_parent_dirs(const std::string &path);
