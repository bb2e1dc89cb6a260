// The file store behind the host's file commands: uploads, deletion, sizes, listings and the
// SD card's space.
//
// Every path taken here is a device path (as the host sends it); it becomes the path to open
// only at the system call, and messages show it as the host sent it.
//
// --- Written and read by the host command loop only: storage, dir_result.
// The functions run on the thread that calls them: the host command loop, and for
// save_small_file also the controller link thread. None keeps state between calls apart from
// `storage` and the caller's upload stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

struct StorageInfo {
  uint32_t total_kib;
  uint32_t used_kib;
  uint32_t avail_kib;
  uint32_t extra0;
  uint32_t extra1;
  uint32_t extra2;
};
static_assert(sizeof(StorageInfo) == 24);

constexpr int dir_result_len = 10240;

// The buffer a joined path is built in (Getfilepath, DeleteFile): 255 characters and the NUL.
constexpr int file_path_len = 256;

extern StorageInfo storage;
extern char dir_result[dir_result_len];

// --- Uploads (files.cpp)
//
// A streamed upload and a small file are written to a temporary file beside their file
// (upload_temp_name(NAME)) and only the end of the store puts the whole file in place.
// A store that is cut, abandoned or cannot be written never leaves a partial file where a
// whole one was: the file keeps what it held before, and the temporary file is removed. Only
// a regular file or a missing name is replaced (keeping the replaced file's permission bits);
// a symbolic link is written through to its target; a device, FIFO or socket is written
// straight into, each write waiting at most 2 s for room. A directory, and a name of the
// temporary files' own form, are refused.

inline constexpr char upload_temp_prefix[] = ".dh-upload-";
// How deep remove_upload_leftovers looks below each of its folders.
constexpr int leftover_search_depth = 8;

// The name of the temporary file of a store of `name` (a file name, no folder): 36 bytes
// whatever the name's length, so that every name the file system takes has one. It is
// upload_temp_prefix, 16 hex digits of a hash of `name`, "-" and 8 hex digits that check the
// 16: ".dh-upload-0123456789abcdef-01234567". The next store of the same name reuses (and
// first removes) a temporary file that a power cut left.
std::string upload_temp_name(const char *name);

// Whether a directory entry's name is a temporary file's: exactly the form above, check digits
// included. Listings hide such names and start-up removes such files; a name that merely
// resembles it (another length, other digits) is a user's file like any other.
bool is_upload_temp_name(const char *name);

// Opens the stream of an upload of `path` (a device path): its temporary file, or the device
// itself. Null, with errno set, when it cannot be made or `path` is refused.
FILE *open_upload(const char *path);

// Appends one chunk of a streamed upload to `stream`, flushed and synced. A chunk that cannot
// be written is reported, and no later chunk of the upload is written. `last` == 1 ends the
// upload: prints "close file" and closes the stream (the caller must not pass it again); with
// `path`, the upload's device path, the temporary file then replaces `path` if every chunk was
// written, and is removed with a message otherwise; then sync() and the page cache is dropped.
// A null stream is ignored. -1 when the upload has failed, else 0.
int save_file(FILE *stream, const uint8_t *data, size_t length, int last, const char *path = nullptr);

// Ends an upload of `path` that will not be finished: closes the stream and removes the
// temporary file, leaving `path` as it was.
void discard_upload(FILE *stream, const char *path);

// Stores `length` bytes as the whole of `path` (created or replaced), then sync(). The bytes go
// to a temporary file first, which replaces `path` only once it is written whole. 0 on success,
// -1 after the "errno:%d  %s" line when the file cannot be opened or written; `path` then
// keeps what it held. Any thread: stores are taken one at a time.
int save_small_file(const char *path, const uint8_t *data, size_t length);

// Removes the temporary files that stores cut by a power cut left, in "/usr/data", "/media"
// and the SD card (leftover_search_depth levels down, links not followed), each with a line.
// Start-up, before the host port is opened.
void remove_upload_leftovers();

// Writes "1\n" to "/proc/sys/vm/drop_caches": 0 on success, 1 after a perror line otherwise.
int drop_pages_cache();

// --- Deletion and sizes (files.cpp)

// Removes a regular file, or empties a directory tree of its regular files (the directories
// stay). Symbolic links, devices and pipes are left alone and never followed. A path that does
// not fit file_path_len, at any depth, is refused with a message and nothing under it removed.
// An empty path names nothing.
void DeleteFile(const char *path);

// Joins `dir` and `name` with one "/" into `out` (file_path_len characters) and prints
// "path is = %s". When the result would not fit, prints a message and leaves `out` empty.
void Getfilepath(const char *dir, const char *name, char *out);

// The size of `path` (links followed), its low 32 bits as the host reads them; 0 after
// "get file size failed" when it cannot be examined.
int32_t GetFileSize(const char *path);

// --- Listing (dir_listing.cpp)

// Writes the listing of `path` into `result` (dir_result_len bytes; the caller passes
// dir_result): "result:dir:D1/D2/file:F1/F2/", each list cut at 511 characters, or
// "result:nodir-createdone" / "result:nodir-createfailed" when the directory could not be
// opened and was (or was not) then created.
void GetDir(const char *path, char *result);

// --- Space (storage.cpp)

// Refreshes `storage` from the file system at "/tmp/sdcard/mmcblk0p1"; on failure prints
// "statvfs failed" through perror and leaves it unchanged. Start-up and the host loop.
void QuerryStorage();

// The KiB figures of `info` for a file system of `total_blocks` and `avail_blocks` fragments
// of `fragment_size` bytes: 64-bit products, kept to 32 bits; used = total - available.
void set_storage_kib(StorageInfo &info, uint64_t fragment_size, uint64_t total_blocks,
                     uint64_t avail_blocks);

// Prints a byte count as "%.2f %s\n" in B, KB, MB or GB; returns the characters printed.
int print_size(uint64_t bytes);

// --- Processes (process.cpp)

// Looks for a running process by name with pgrep (no shell between): 0 when found (prints
// "find process: %s PID: %s"), -1 for a name that is empty, too long or holds a character
// other than letters, digits, '.', '_' and '-', -2 when pgrep cannot be started, -3 when it
// names no process.
int detectProcessByName(const char *name);
