// The panel as a reader sees it: composes the simulated controller's scan-out state the way
// the board's controller does at each refresh. The screen is layer 0's size, black; layer 0
// shows its own buffer, or in user configuration the picture of its last pan (32-bit ARGB or
// NV12 converted with BT.601 limited-range coefficients), placed and clipped; layer 1, once
// panned, is blended over it by its per-pixel alpha. Layer 0 is the bottom layer and opaque.
//
// Everything read comes from other processes' files and is checked before use: the state's
// geometry is bounded, and every plane must lie wholly inside the mapped physical memory, else
// that layer's picture stays black. Nothing here can read outside a mapping.
#include "platform/panel_view.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <png.h>

#include "platform/sim/panel_state.h"
#include "platform/sim/phys_mem.h"

namespace {

constexpr const char *backlight_path = "/sys/class/backlight/backlight_pwm0/brightness";

uint32_t argb_at(const uint8_t *p) {  // memory B, G, R, A
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint32_t rgb565_at(const uint8_t *p) {
  uint32_t v = uint32_t(p[0]) | uint32_t(p[1]) << 8;
  uint32_t r = (v >> 11) & 31, g = (v >> 5) & 63, b = v & 31;
  return 0xFF000000 | (r * 255 / 31) << 16 | (g * 255 / 63) << 8 | (b * 255 / 31);
}

uint8_t clamp_channel(int value) { return uint8_t(std::clamp(value, 0, 255)); }

uint32_t yuv_to_argb(int y, int u, int v) {
  int c = 298 * (y - 16), d = u - 128, e = v - 128;
  int r = (c + 409 * e + 128) >> 8;
  int g = (c - 100 * d - 208 * e + 128) >> 8;
  int b = (c + 516 * d + 128) >> 8;
  return 0xFF000000 | uint32_t(clamp_channel(r)) << 16 | uint32_t(clamp_channel(g)) << 8 |
         clamp_channel(b);
}

uint32_t blend(uint32_t over, uint32_t under) {
  uint32_t alpha = over >> 24;
  uint32_t out = 0xFF000000;
  for (int shift = 0; shift < 24; shift += 8) {
    uint32_t top = (over >> shift) & 255, bottom = (under >> shift) & 255;
    out |= ((top * alpha + bottom * (255 - alpha) + 127) / 255) << shift;
  }
  return out;
}

// The screen rectangle a width x height picture at (x, y) covers: columns [x0, x1), rows
// [y0, y1). Empty when it lies off the screen.
struct Clip {
  int64_t x0, x1, y0, y1;
};
Clip clip_to(const PanelPicture &screen, int64_t x, int64_t y, int64_t width, int64_t height) {
  return {std::max<int64_t>(x, 0), std::min<int64_t>(x + width, screen.width),
          std::max<int64_t>(y, 0), std::min<int64_t>(y + height, screen.height)};
}

// A layer's own buffer at (0, 0); 32 and 16 bits per pixel, anything else stays as it is.
void draw_own_buffer(PanelPicture &screen, const PhysMemView &memory, const PanelLayerState &layer,
                     bool blended) {
  uint64_t bytes_per_pixel = layer.bits_per_pixel / 8;
  if ((bytes_per_pixel != 4 && bytes_per_pixel != 2) || layer.width > scan_max_side ||
      layer.yres > scan_max_side || layer.yres == 0 ||
      layer.line_length < layer.width * bytes_per_pixel) {
    return;
  }
  const uint8_t *base = phys_view_range(memory, layer.paddr, uint64_t(layer.line_length) * layer.yres);
  if (base == nullptr) return;
  Clip clip = clip_to(screen, 0, 0, layer.width, layer.yres);
  for (int64_t y = clip.y0; y < clip.y1; ++y) {
    const uint8_t *row = base + uint64_t(y) * layer.line_length;
    uint32_t *out = &screen.pixels[size_t(y) * size_t(screen.width)];
    for (int64_t x = clip.x0; x < clip.x1; ++x) {
      uint32_t pixel = bytes_per_pixel == 4 ? argb_at(row + x * 4) : rgb565_at(row + x * 2);
      out[x] = blended ? blend(pixel, out[x]) : (pixel | 0xFF000000);
    }
  }
}

// Layer 0's user configuration: the picture of its last pan at (x, y).
void draw_user_cfg(PanelPicture &screen, const PhysMemView &memory, const LayerUserConfig &cfg) {
  ScanPlane planes[2];
  int count = user_cfg_planes(cfg, planes);
  if (count == 0) return;
  const uint8_t *data[2] = {};
  for (int i = 0; i < count; ++i) {
    data[i] = phys_view_range(memory, planes[i].paddr, planes[i].length);
    if (data[i] == nullptr) return;
  }
  Clip clip = clip_to(screen, cfg.x, cfg.y, cfg.width, cfg.yres);
  for (int64_t y = clip.y0; y < clip.y1; ++y) {
    uint64_t row = uint64_t(y - cfg.y);
    uint32_t *out = &screen.pixels[size_t(y) * size_t(screen.width)];
    for (int64_t x = clip.x0; x < clip.x1; ++x) {
      uint64_t column = uint64_t(x - cfg.x);
      if (cfg.format == layer_format_argb8888) {
        out[x] = argb_at(data[0] + row * cfg.rgb_stride + column * 4) | 0xFF000000;
      } else {
        const uint8_t *uv = data[1] + row / 2 * cfg.uv_stride + column / 2 * 2;
        out[x] = yuv_to_argb(data[0][row * cfg.y_stride + column], uv[0], uv[1]);
      }
    }
  }
}

// The level in the backlight attribute, or -1.
int read_backlight(const std::string &root) {
  FILE *file = fopen((root + backlight_path).c_str(), "re");
  if (file == nullptr) return -1;
  int level = -1;
  if (fscanf(file, "%d", &level) != 1 || level < 0) level = -1;
  fclose(file);
  return level;
}

}  // namespace

bool compose_panel(const std::string &root_dir, PanelPicture &picture, std::string &error) {
  std::string root = root_dir;
  while (!root.empty() && root.back() == '/') root.pop_back();

  PanelState state;
  if (!panel_state_read(root, state, error)) {
    error = "no panel: " + error;
    return false;
  }
  const PanelLayerState &base = state.layers[0];
  if (!base.open) {
    error = "no panel: layer 0 is not open";
    return false;
  }
  if (base.width == 0 || base.yres == 0 || base.width > scan_max_side ||
      base.yres > scan_max_side) {
    error = "layer 0 has no usable size (" + std::to_string(base.width) + "x" +
            std::to_string(base.yres) + ")";
    return false;
  }
  std::string memory_error;  // without memory every layer stays black
  PhysMemView memory = phys_map_read_only(root, memory_error);

  picture.width = int(base.width);
  picture.height = int(base.yres);
  picture.pixels.assign(size_t(picture.width) * size_t(picture.height), 0xFF000000);
  if (!base.user_cfg_enabled) {
    draw_own_buffer(picture, memory, base, false);
  } else if (base.panned && base.shown_valid) {
    draw_user_cfg(picture, memory, base.shown);
  }
  const PanelLayerState &overlay = state.layers[1];
  if (overlay.open && overlay.panned && overlay.bits_per_pixel == 32) {
    draw_own_buffer(picture, memory, overlay, true);
  }
  picture.backlight = read_backlight(root);
  return true;
}

bool write_panel_png(const PanelPicture &picture, const std::string &path, std::string &error) {
  if (picture.width <= 0 || picture.height <= 0 ||
      picture.pixels.size() != size_t(picture.width) * size_t(picture.height)) {
    error = "no picture to write";
    return false;
  }
  std::vector<uint8_t> rgb(picture.pixels.size() * 3);
  for (size_t i = 0; i < picture.pixels.size(); ++i) {
    uint32_t pixel = picture.pixels[i];
    rgb[i * 3] = uint8_t(pixel >> 16);
    rgb[i * 3 + 1] = uint8_t(pixel >> 8);
    rgb[i * 3 + 2] = uint8_t(pixel);
  }
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = png_uint_32(picture.width);
  image.height = png_uint_32(picture.height);
  image.format = PNG_FORMAT_RGB;
  if (!png_image_write_to_file(&image, path.c_str(), 0, rgb.data(), picture.width * 3, nullptr)) {
    error = path + ": " + image.message;
    png_image_free(&image);
    return false;
  }
  return true;
}
