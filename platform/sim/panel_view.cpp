// The panel as a reader sees it: composes the simulated controller's scan-out state the way
// the board's controller does at each refresh. The frame is layer 0's size, black; layer 0
// shows its own buffer, or in user configuration the picture of its last pan (32-bit ARGB or
// NV12 converted with BT.601 limited-range coefficients), placed and clipped; layer 1, once
// panned, is blended over it by its per-pixel alpha. Layer 0 is the bottom layer and opaque.
// The rotator then turns the frame clockwise by the angle layer 0 was opened at, onto the
// panel's own size, and the backlight scales what leaves the glass.
//
// Everything read comes from other processes' files and is checked before use: the state's
// geometry is bounded, and every plane must lie wholly inside the mapped physical memory, else
// that layer's picture stays black. Nothing here can read outside a mapping.
#include "platform/panel_view.h"

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <memory>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <png.h>
#include <time.h>

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
// The attribute is a plain file here, which the daemon truncates and then writes: a read in
// between finds it empty, where the board's attribute always holds a level. An empty read is
// that moment, and is made again (for up to 20 ms) rather than taken for no backlight.
int read_backlight(const std::string &root) {
  for (int attempt = 0; attempt < 20; ++attempt) {
    FILE *file = fopen((root + backlight_path).c_str(), "re");
    if (file == nullptr) return -1;
    int level = -1;
    const int read = fscanf(file, "%d", &level);
    fclose(file);
    if (read != EOF) return read == 1 && level >= 0 ? level : -1;
    const timespec pause{0, 1000000};
    nanosleep(&pause, nullptr);
  }
  return -1;
}

uint64_t clock_us(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return uint64_t(now.tv_sec) * 1000000 + uint64_t(now.tv_nsec) / 1000;
}

std::string without_trailing_slash(const std::string &root) {
  std::string trimmed = root;
  while (!trimmed.empty() && trimmed.back() == '/') trimmed.pop_back();
  return trimmed;
}

// The frame turned clockwise by `angle` degrees (0, 90, 180, 270).
void turn_clockwise(PanelPicture &picture, int angle) {
  if (angle != 90 && angle != 180 && angle != 270) return;
  int width = picture.width, height = picture.height;  // of the frame
  int out_width = angle == 180 ? width : height;
  int out_height = angle == 180 ? height : width;
  std::vector<uint32_t> turned(picture.pixels.size());
  for (int y = 0; y < out_height; ++y) {
    uint32_t *out = &turned[size_t(y) * size_t(out_width)];
    for (int x = 0; x < out_width; ++x) {
      // The frame's pixel that lands at (x, y): its top row becomes the right column at 90.
      int from_x = angle == 90 ? y : angle == 180 ? width - 1 - x : width - 1 - y;
      int from_y = angle == 90 ? height - 1 - x : angle == 180 ? height - 1 - y : x;
      out[x] = picture.pixels[size_t(from_y) * size_t(width) + size_t(from_x)];
    }
  }
  picture.pixels.swap(turned);
  picture.width = out_width;
  picture.height = out_height;
}

void dim_by_backlight(PanelPicture &picture) {
  if (picture.backlight < 0) return;
  uint32_t level = uint32_t(std::min(picture.backlight, 100));
  for (uint32_t &pixel : picture.pixels) {
    uint32_t out = pixel & 0xFF000000;
    for (int shift = 0; shift < 24; shift += 8) {
      out |= (((pixel >> shift) & 255) * level + 50) / 100 << shift;
    }
    pixel = out;
  }
  picture.dimmed = true;
}

// The PNG text of the composition time: ISO 8601 in UTC, to the microsecond.
std::string utc_text(int64_t unix_us) {
  time_t seconds = time_t(unix_us / 1000000);
  tm parts{};
  gmtime_r(&seconds, &parts);
  char text[64];
  size_t length = strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
  snprintf(text + length, sizeof text - length, ".%06lldZ", (long long)(unix_us % 1000000));
  return text;
}

// libpng's part of write_panel_png; nothing with a destructor lives across its error jump.
bool write_png_rows(FILE *file, const PanelPicture &picture, png_bytep *rows, png_text *text,
                    int text_count, std::string &error) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (png == nullptr) {
    error = "no memory for the PNG writer";
    return false;
  }
  png_infop info = png_create_info_struct(png);
  if (info == nullptr || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    error = "the PNG file cannot be written";
    return false;
  }
  png_init_io(png, file);
  png_set_IHDR(png, info, png_uint_32(picture.width), png_uint_32(picture.height), 8,
               PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_set_text(png, info, text, text_count);
  png_write_info(png, info);
  png_write_image(png, rows);
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return true;
}

// One composition from the state as read now; `sequence` is that state's.
bool compose_once(const std::string &root, PanelPicture &picture, std::string &error,
                  uint32_t &sequence) {
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

  picture = PanelPicture{};
  picture.composed_unix_us = int64_t(clock_us(CLOCK_REALTIME));
  picture.composed_monotonic_us = clock_us(CLOCK_MONOTONIC);
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
  uint32_t angle = base.rotator_angle;
  picture.rotation = angle == 90 || angle == 180 || angle == 270 ? int(angle) : 0;
  picture.backlight = read_backlight(root);
  sequence = state.sequence;
  return true;
}

}  // namespace

// The state and the memory are read one after the other while the daemon goes on: a pan in
// between (a stream's last picture moved into the layer's own buffer, and the decoder's buffer
// given back, which then reads zero) would mix the two. A composition the state moved on
// during is made again, as a screen would show either picture whole.
bool compose_panel(const std::string &root_dir, PanelPicture &picture, std::string &error) {
  const std::string root = without_trailing_slash(root_dir);
  for (int attempt = 0;; ++attempt) {
    uint32_t composed_from = 0, now = 0;
    if (!compose_once(root, picture, error, composed_from)) return false;
    std::string ignored;
    if (attempt == 20 || !panel_state_sequence(root, now, ignored) || now == composed_from) {
      return true;
    }
  }
}

bool compose_panel_seen(const std::string &root, PanelPicture &picture, std::string &error,
                        bool dimmed) {
  if (!compose_panel(root, picture, error)) return false;
  turn_clockwise(picture, picture.rotation);
  picture.turned = true;
  if (dimmed) dim_by_backlight(picture);
  return true;
}

bool panel_change_count(const std::string &root_dir, uint64_t &count, std::string &error) {
  std::string root = without_trailing_slash(root_dir);
  uint32_t sequence = 0;
  if (!panel_state_sequence(root, sequence, error)) {
    error = "no panel: " + error;
    return false;
  }
  count = uint64_t(sequence) << 32 | uint32_t(read_backlight(root) + 1);
  return true;
}

bool panel_pan_times_us(const std::string &root, std::vector<uint64_t> &times,
                        std::string &error) {
  PanelState state;
  if (!panel_state_read(without_trailing_slash(root), state, error)) {
    error = "no panel: " + error;
    return false;
  }
  uint32_t count = state.pan_times_count;
  uint32_t kept = std::min(count, panel_pan_ring_size);
  times.clear();
  times.reserve(kept);
  for (uint32_t n = count - kept; n != count; ++n) {
    times.push_back(state.pan_times_us[n % panel_pan_ring_size]);
  }
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
  std::vector<png_bytep> rows(size_t(picture.height));
  for (size_t y = 0; y < rows.size(); ++y) rows[y] = &rgb[y * size_t(picture.width) * 3];

  std::string backlight = picture.backlight < 0 ? "unknown" : std::to_string(picture.backlight);
  std::string rotation = std::to_string(picture.rotation);
  std::string view = !picture.turned ? "layers, unturned"
                     : picture.dimmed ? "panel, dimmed by the backlight"
                                      : "panel";
  std::string created = utc_text(picture.composed_unix_us);
  std::string monotonic = std::to_string(picture.composed_monotonic_us);
  struct Entry {
    const char *key;
    const std::string &value;
  } entries[] = {{"backlight", backlight},  {"rotation", rotation},
                 {"view", view},            {"Creation Time", created},
                 {"monotonic_us", monotonic}};
  png_text text[std::size(entries)] = {};
  for (size_t i = 0; i < std::size(entries); ++i) {
    text[i].compression = PNG_TEXT_COMPRESSION_NONE;
    text[i].key = const_cast<char *>(entries[i].key);
    text[i].text = const_cast<char *>(entries[i].value.c_str());
    text[i].text_length = entries[i].value.size();
  }

  std::unique_ptr<FILE, int (*)(FILE *)> file(fopen(path.c_str(), "wbe"), fclose);
  if (!file) {
    error = path + ": " + strerror(errno);
    return false;
  }
  if (!write_png_rows(file.get(), picture, rows.data(), text, int(std::size(text)), error)) {
    error = path + ": " + error;
    return false;
  }
  if (fclose(file.release()) != 0) {
    error = path + ": " + strerror(errno);
    return false;
  }
  return true;
}
