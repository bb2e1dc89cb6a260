// The sandbox root the GUI block and USB monitor tests run under: a fresh temporary
// DISPLAYHEAD_ROOT per test process, set before any test runs and removed at exit, so the
// block lives in DIR/dev/shm and the gadget state in DIR/sys, never in the machine's own.
// Standard output is unbuffered so that captured messages arrive whole, also from children.
#pragma once

#include "tests/support/waiting.h"

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

// Waits until every local video player and slideshow thread that a test started has ended
// (the sandbox has no media, so each ends on its own) and the video ring is empty.
void wait_for_players();
