// The sandbox root the simulated-platform tests run under: a fresh temporary directory per
// test process, set as DISPLAYHEAD_ROOT before any test runs and removed at exit. The layers'
// sysfs attributes, device nodes, physical memory and scan-out state all live under it.
#pragma once

#include <string>

#include "platform/fb.h"
#include "tests/support/test_root.h"

// Writes a device file (its directories made), or removes it when `text` is null.
void set_device_file(const std::string &device_path, const char *text);

// Removes every sysfs attribute a previous case left.
void clear_sysfs();

// An open layer, closed when the case ends.
struct OpenLayer {
  int handle = -1;
  LayerInfo info{};
  explicit OpenLayer(const char *device_path) { handle = fb_open(device_path, &info); }
  OpenLayer(const OpenLayer &) = delete;
  OpenLayer &operator=(const OpenLayer &) = delete;
  ~OpenLayer() {
    if (handle >= 0) fb_close(handle, &info);
  }
  uint32_t &pixel(int x, int y) {
    return reinterpret_cast<uint32_t *>(info.vaddr + size_t(y) * size_t(info.line_length))[x];
  }
};
