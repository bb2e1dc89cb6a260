// The display tests' sandbox root (a fresh temporary DISPLAYHEAD_ROOT per test process, removed
// at exit), the simulated panel's geometry files, and the pictures the tests show.
#pragma once

#include "tests/support/waiting.h"

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/panel_view.h"

std::string under_root(const std::string &device_path);
void write_file(const std::string &device_path, const std::string &bytes);
std::string read_file(const std::string &device_path);
void make_dir(const std::string &device_path);

// Both layers' size and depth for the next open.
void set_panel(int width, int height, int bits_per_pixel = 32);
// What the panel shows now.
PanelPicture screen();
// A pixel of layer 0's or layer 1's mapped buffer.
uint32_t layer_pixel(int layer, int x, int y);
// Each of R, G, B of `pixel` within `tolerance` of `rgb`.
bool near_colour(uint32_t pixel, uint32_t rgb, int tolerance = 8);

std::vector<uint8_t> make_jpeg(int width, int height, uint32_t rgb);
// Every sample byte is `byte(x, y, index of the byte within the pixel)`; colour type 3 gets a
// one-colour palette.
struct PngLayout {
  int width, height, colour_type, bit_depth = 8;
  bool interlaced = false;
};
std::vector<uint8_t> make_png(const PngLayout &layout, uint8_t (*byte)(int x, int y, int i));

