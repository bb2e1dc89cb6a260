// The sandbox root. With DISPLAYHEAD_ROOT=DIR in the environment the daemon sees DIR as "/":
// every path it opens, fixed or sent by the host, resolves under DIR through root_path(), and
// the device's shell commands run as DIR/sbin/NAME. Unset (the device), paths are unchanged.
#pragma once

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

// Runs one of the device image's commands ("reboot", "halt", the decoder test tool) with its
// arguments and, unless `background`, waits for it. Under a sandbox root it runs DIR/sbin/NAME
// directly (no shell), and not at all, with a message, when that file is missing; on the
// device it goes through the shell as "NAME ARGS...". Returns the exit status, or -1.
int run_device_command(const std::string &name, const std::vector<std::string> &args,
                       bool background);
