#include "tests/support/png_file.h"

#include <png.h>

#include <cstdio>

bool read_png(const std::string &path, PngFile &png) {
  FILE *file = fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  png_structp reader = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(reader);
  if (setjmp(png_jmpbuf(reader))) {
    png_destroy_read_struct(&reader, &info, nullptr);
    fclose(file);
    return false;
  }
  png_init_io(reader, file);
  png_read_png(reader, info, PNG_TRANSFORM_IDENTITY, nullptr);
  bool rgb = png_get_color_type(reader, info) == PNG_COLOR_TYPE_RGB &&
             png_get_bit_depth(reader, info) == 8;
  png.width = int(png_get_image_width(reader, info));
  png.height = int(png_get_image_height(reader, info));
  png_bytepp rows = png_get_rows(reader, info);
  png.rgb.clear();
  for (int y = 0; rgb && y < png.height; ++y) {
    png.rgb.insert(png.rgb.end(), rows[y], rows[y] + png.width * 3);
  }
  png_textp text = nullptr;
  int count = png_get_text(reader, info, &text, nullptr);
  for (int i = 0; i < count; ++i) png.text[text[i].key] = std::string(text[i].text, text[i].text_length);
  png_destroy_read_struct(&reader, &info, nullptr);
  fclose(file);
  return rgb;
}
