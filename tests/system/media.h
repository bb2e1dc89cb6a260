// Pictures made on the spot for the tests: solid-colour JPEG and PNG files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A baseline JPEG of one colour (0xRRGGBB), at high quality.
std::vector<uint8_t> solid_jpeg(int width, int height, uint32_t rgb);

// An RGBA PNG (colour type 6) of one colour 0xAARRGGBB; with `rgb_only`, colour type 2.
std::vector<uint8_t> solid_png(int width, int height, uint32_t argb, bool rgb_only = false);

void write_bytes(const std::string &path, const std::vector<uint8_t> &bytes);

// True when the colours differ by at most `tolerance` in each of R, G and B.
bool near_colour(uint32_t a, uint32_t b, int tolerance = 6);
