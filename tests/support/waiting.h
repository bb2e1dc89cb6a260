// Small helpers the unit tests share: what an action printed, and waiting for a condition
// that another thread makes true.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

// Runs `action` and returns what it printed on standard output / standard error.
template <class Action>
std::string stdout_of(Action &&action) {
  testing::internal::CaptureStdout();
  action();
  return testing::internal::GetCapturedStdout();
}
template <class Action>
std::string stderr_of(Action &&action) {
  testing::internal::CaptureStderr();
  action();
  return testing::internal::GetCapturedStderr();
}

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
