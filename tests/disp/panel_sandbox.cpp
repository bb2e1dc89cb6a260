// The display tests' sandbox root (tests/support/test_root.h), simulated panel and pictures.
#include "tests/disp/panel_sandbox.h"

#include <png.h>
#include <turbojpeg.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "disp/disp.h"
#include "tests/support/test_root.h"

std::string under_root(const std::string &device_path) { return test_root() + device_path; }

void make_dir(const std::string &device_path) {
  std::filesystem::create_directories(under_root(device_path));
}

void write_file(const std::string &device_path, const std::string &bytes) {
  std::filesystem::path path = under_root(device_path);
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string read_file(const std::string &device_path) {
  std::ifstream in(under_root(device_path), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void set_panel(int width, int height, int bits_per_pixel) {
  for (std::string layer : {"fb0", "fb1"}) {
    write_file("/sys/class/graphics/" + layer + "/virtual_size",
               std::to_string(width) + "," + std::to_string(height));
    write_file("/sys/class/graphics/" + layer + "/bits_per_pixel", std::to_string(bits_per_pixel));
  }
}

PanelPicture screen() {
  PanelPicture picture;
  std::string error;
  EXPECT_TRUE(compose_panel(test_root(), picture, error)) << error;
  return picture;
}

uint32_t layer_pixel(int layer, int x, int y) {
  const LayerInfo &info = layer == 0 ? fb_info : fb1_info;
  uint32_t pixel;
  memcpy(&pixel, info.vaddr + size_t(y) * size_t(info.line_length) + size_t(x) * 4, 4);
  return pixel;
}

bool near_colour(uint32_t pixel, uint32_t rgb, int tolerance) {
  for (int shift : {0, 8, 16})
    if (abs(int((pixel >> shift) & 0xFF) - int((rgb >> shift) & 0xFF)) > tolerance) return false;
  return true;
}

std::vector<uint8_t> make_jpeg(int width, int height, uint32_t rgb) {
  std::vector<uint8_t> pixels(size_t(width) * size_t(height) * 3);
  for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = uint8_t(rgb >> (16 - 8 * (i % 3)));
  tjhandle compressor = tjInitCompress();
  unsigned char *jpeg = nullptr;
  unsigned long size = 0;
  std::vector<uint8_t> out;
  if (tjCompress2(compressor, pixels.data(), width, 0, height, TJPF_RGB, &jpeg, &size, TJSAMP_444,
                  95, 0) == 0)
    out.assign(jpeg, jpeg + size);
  tjFree(jpeg);
  tjDestroy(compressor);
  EXPECT_FALSE(out.empty());
  return out;
}

std::vector<uint8_t> make_png(const PngLayout &layout, uint8_t (*byte)(int x, int y, int i)) {
  const int channels[] = {1, 0, 3, 1, 2, 0, 4};
  const int bytes = channels[layout.colour_type] * layout.bit_depth / 8;
  std::vector<std::vector<uint8_t>> rows(size_t(layout.height));
  std::vector<png_bytep> row_pointers;
  for (int y = 0; y < layout.height; ++y) {
    for (int x = 0; x < layout.width * bytes; ++x)
      rows[size_t(y)].push_back(layout.colour_type == 3 ? 0 : byte(x / bytes, y, x % bytes));
    row_pointers.push_back(rows[size_t(y)].data());
  }
  std::vector<uint8_t> out;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_set_write_fn(png, &out, [](png_structp p, png_bytep data, size_t length) {
    auto *sink = static_cast<std::vector<uint8_t> *>(png_get_io_ptr(p));
    sink->insert(sink->end(), data, data + length);
  }, nullptr);
  png_set_IHDR(png, info, png_uint_32(layout.width), png_uint_32(layout.height), layout.bit_depth,
               layout.colour_type, layout.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_color palette[1] = {{0x10, 0x20, 0x30}};
  if (layout.colour_type == 3) png_set_PLTE(png, info, palette, 1);
  png_set_rows(png, info, row_pointers.data());
  png_write_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);  // the layouts used are all valid
  png_destroy_write_struct(&png, &info);
  return out;
}
