// The sandbox root the GUI block and USB monitor tests run under: a fresh temporary
// DISPLAYHEAD_ROOT per test process, set before any test runs and removed at exit, so the
// block lives in DIR/dev/shm and the gadget state in DIR/sys, never in the machine's own.
// Standard output is unbuffered so that captured messages arrive whole, also from children.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "tests/support/test_root.h"

std::string under_root(const std::string &device_path);
// Writes a device file, its directories made.
void write_device_file(const std::string &device_path, const std::string &bytes);
// The file's bytes, or "<missing>".
std::string read_device_file(const std::string &device_path);
void remove_device_file(const std::string &device_path);

// Waits until `condition` holds, up to `timeout`; whether it did.
template <class Condition>
bool wait_until(Condition condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

template <class Action>
std::string stdout_of(Action &&action) {
  testing::internal::CaptureStdout();
  action();
  return testing::internal::GetCapturedStdout();
}

// Waits until every local video player and slideshow thread that a test started has ended
// (the sandbox has no media, so each ends on its own) and the video ring is empty.
void wait_for_players();
