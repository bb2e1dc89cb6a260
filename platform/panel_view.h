// What the panel shows, read from outside the daemon (dhshot, the tests).
//
// On a PC the display controller is simulated: its scan-out state (the layer registers and
// the physical memory they point at) lives in files under the sandbox root, shared by the
// daemon and any reader. compose_panel() builds the picture the panel shows at its next
// refresh from that state: layer 0 (its own buffer, or the user configuration of its last
// pan: 32-bit ARGB or NV12 placed at x, y), layer 1 over it by its alpha.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct PanelPicture {
  int width = 0;
  int height = 0;
  std::vector<uint32_t> pixels;  // 0xAARRGGBB, row by row
  int backlight = -1;            // the backlight level last written, -1 when unknown
  uint32_t at(int x, int y) const { return pixels[size_t(y) * size_t(width) + size_t(x)]; }
};

// Composes the screen of the simulated device under `root`. False (with `error` set) when
// the panel has not been opened there.
bool compose_panel(const std::string &root, PanelPicture &picture, std::string &error);

// Writes the picture as an RGB PNG file. False (with `error` set) on failure.
bool write_panel_png(const PanelPicture &picture, const std::string &path, std::string &error);
