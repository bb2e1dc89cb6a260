// The sandbox root. With DISPLAYHEAD_ROOT=DIR in the environment the daemon sees DIR as "/":
// every path it opens, fixed or sent by the host, resolves under DIR through root_path(), and
// the device's shell commands run as DIR/sbin/NAME. Unset (the device), paths are unchanged.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

// DIR without a trailing slash, or "" when no sandbox root is set. Read once, at first use.
const std::string &sandbox_root();

// The path to open for a device path. Under a sandbox root the path is taken from "/"
// (relative ones too), "." and ".." are resolved by name so it can never climb above DIR,
// and DIR is put in front. Returns "" after a message when the result would not fit a path
// buffer (PATH_MAX). Without a root the path is returned as it stands.
std::string root_path(std::string_view device_path);

// Opens the file at a device path that the daemon reads as a picture, a video or a settings
// record (or writes as a marker or settings file): only a regular file is taken. Anything
// else there (a FIFO, a device such as the daemon's own serial ports, a socket, a directory)
// is never read and never waited for: it is looked at before the open, opened without
// waiting (O_NONBLOCK, O_NOCTTY) and looked at again on the descriptor, and refused with
// errno EISDIR for a directory and EINVAL for the rest, as open() refuses a missing file.
// `flags` are open()'s (O_CREAT with `mode` creates a missing file); the descriptor is
// O_CLOEXEC and blocking. -1 with errno set on failure (ENAMETOOLONG when root_path refuses).
int open_regular_file(std::string_view device_path, int flags, mode_t mode = 0644);

// Runs one of the device image's commands ("reboot", "halt", the decoder test tool) with its
// arguments and, unless `background`, waits for it. Under a sandbox root it runs DIR/sbin/NAME
// directly (no shell), and not at all, with a message, when that file is missing; on the
// device it goes through the shell as "NAME ARGS...". Returns the exit status, or -1.
int run_device_command(const std::string &name, const std::vector<std::string> &args,
                       bool background);
