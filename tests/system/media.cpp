#include "tests/system/media.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <png.h>
#include <stdexcept>
#include <turbojpeg.h>

std::vector<uint8_t> solid_jpeg(int width, int height, uint32_t rgb) {
  std::vector<uint8_t> pixels(size_t(width) * size_t(height) * 3);
  for (size_t i = 0; i < pixels.size(); i += 3) {
    pixels[i] = uint8_t(rgb >> 16);
    pixels[i + 1] = uint8_t(rgb >> 8);
    pixels[i + 2] = uint8_t(rgb);
  }
  tjhandle handle = tjInitCompress();
  unsigned char *jpeg = nullptr;
  unsigned long size = 0;
  int rc = tjCompress2(handle, pixels.data(), width, 0, height, TJPF_RGB, &jpeg, &size, TJSAMP_444, 95, 0);
  std::vector<uint8_t> out;
  if (rc == 0) out.assign(jpeg, jpeg + size);
  tjFree(jpeg);
  tjDestroy(handle);
  if (rc != 0) throw std::runtime_error("cannot make a JPEG");
  return out;
}

namespace {
void append_png_bytes(png_structp png, png_bytep data, png_size_t length) {
  auto *out = static_cast<std::vector<uint8_t> *>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + length);
}
}  // namespace

std::vector<uint8_t> solid_png(int width, int height, uint32_t argb, bool rgb_only) {
  std::vector<uint8_t> out;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    throw std::runtime_error("cannot make a PNG");
  }
  png_set_write_fn(png, &out, append_png_bytes, nullptr);
  png_set_IHDR(png, info, png_uint_32(width), png_uint_32(height), 8,
               rgb_only ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_RGBA, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  const int channels = rgb_only ? 3 : 4;
  std::vector<uint8_t> row(size_t(width) * size_t(channels));
  for (size_t i = 0; i < row.size(); i += size_t(channels)) {
    row[i] = uint8_t(argb >> 16);
    row[i + 1] = uint8_t(argb >> 8);
    row[i + 2] = uint8_t(argb);
    if (!rgb_only) row[i + 3] = uint8_t(argb >> 24);
  }
  for (int y = 0; y < height; ++y) png_write_row(png, row.data());
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return out;
}

void write_bytes(const std::string &path, const std::vector<uint8_t> &bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()),
                                              std::streamsize(bytes.size()));
}

bool near_colour(uint32_t a, uint32_t b, int tolerance) {
  for (int shift : {16, 8, 0}) {
    if (std::abs(int((a >> shift) & 0xFF) - int((b >> shift) & 0xFF)) > tolerance) return false;
  }
  return true;
}
