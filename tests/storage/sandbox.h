// The sandbox root the storage tests run under: a fresh temporary directory per test process,
// set as DISPLAYHEAD_ROOT before any test runs and removed at the end. Device paths in the
// tests ("/usr/data/app.cfg") are the paths the code is given; these helpers reach the same
// files from outside.
#pragma once

#include "tests/support/waiting.h"

#include <csignal>
#include <string>
#include <sys/resource.h>

#include <gtest/gtest.h>

#include "tests/support/test_root.h"

// The real path of a device path.
std::string under_root(const std::string &device_path);

// Writes `bytes` as the whole of a device file, creating its directories.
void write_file(const std::string &device_path, const std::string &bytes);

// The whole of a device file ("" when missing).
std::string read_file(const std::string &device_path);

bool exists(const std::string &device_path);

// A new empty device directory for the running test, "/t/<Suite>.<Test>", emptied if a previous
// run left it; returned without a trailing slash.
std::string test_dir();

// How often `needle` occurs in `text`.
size_t count_of(const std::string &text, const std::string &needle);

// Runs `action` while no file may grow past `bytes`: writes beyond fail with EFBIG, as on a
// full disk (SIGXFSZ is ignored meanwhile).
template <class Action>
void with_file_size_limit(rlim_t bytes, Action &&action) {
  rlimit old_limit = {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  rlimit small = old_limit;
  small.rlim_cur = bytes;
  auto old_handler = signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  action();
  setrlimit(RLIMIT_FSIZE, &old_limit);
  signal(SIGXFSZ, old_handler);
}

