// A PNG file as the screenshot tests read it back: its size, 8-bit RGB pixels and text chunks.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct PngFile {
  int width = 0, height = 0;
  std::vector<uint8_t> rgb;
  std::map<std::string, std::string> text;
  // The pixel at x, y as 0xRRGGBB.
  uint32_t at(int x, int y) const {
    const uint8_t *p = &rgb[size_t(y * width + x) * 3];
    return uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
  }
};

// Reads `path`; false when it cannot be read or is not 8-bit RGB.
bool read_png(const std::string &path, PngFile &png);
