// The display: layers 0 and 1, the picture area, rotation, backlight and picture timing.
//
// Both layers are opened once at start-up and stay open, except inside set_rotation, which
// closes them, rewrites the rotator attribute and opens them again with the rotated geometry.
// The handles, the information records and the picture area are replaced there only, under
// layer_lock; every presenter (fb_display, draw_rect, clean_fb1, the still pictures, the video
// thread) holds the same lock, so no thread pans or writes a layer whose handle or mapping is
// being replaced. After a close the records are zeroed: a layer that does not come back has no
// mapping left to write into, and the writers check for that rather than touch stale memory.
//
// The backlight and the rotator are sysfs attributes written as bare decimal text. Their
// failures are ignored by design: the state in memory is what the callers persist.
#include "disp/disp.h"

#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/root_path.h"

std::recursive_mutex layer_lock;
int fb_fd = -1;
int fb1_fd = 0;
LayerInfo fb_info{};
LayerInfo fb1_info{};
int32_t dev_width = 0;
int32_t dev_height = 0;
int32_t dev_x = 0;
int32_t dev_y = 0;
int32_t dev_type = 0;
std::atomic<int32_t> rotation{0};
std::atomic<int32_t> bright{0};
std::atomic<int32_t> current_bright{0};
std::atomic<uint32_t> lastframe_time{0};
std::atomic<int32_t> frameTime{0};
LayerUserConfig layer_cfg{};

std::atomic<int32_t> ImgPlaying{0};

namespace {

constexpr const char *rotator_path = "/sys/bus/platform/drivers/ingenic-fb/ingenic-fb.0/rotator_angle";
constexpr const char *backlight_path = "/sys/class/backlight/backlight_pwm0/brightness";

// Whether each layer is held open, so set_rotation closes only what open_fb opened (fb1_fd
// starts at 0, which is no layer handle).
bool layer0_open = false;
bool layer1_open = false;

// Held by every backlight change from its reading of the level to the update of bright and
// current_bright, so the attribute and the remembered level change together: a restore
// (active_brightness) never writes back a level that another thread replaced meanwhile.
std::mutex backlight_lock;

// Writes `text` (its characters only) to a sysfs attribute. Failures are ignored.
void write_attribute(const char *device_path, const char *text) {
  std::string path = root_path(device_path);
  if (path.empty()) return;
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return;
  ssize_t written = write(fd, text, strlen(text));
  (void)written;
  close(fd);
}

void close_layers() {
  if (layer0_open) fb_close(fb_fd, &fb_info);
  if (layer1_open) fb_close(fb1_fd, &fb1_info);
  layer0_open = false;
  layer1_open = false;
  fb_fd = -1;
  fb1_fd = -1;
  fb_info = LayerInfo{};
  fb1_info = LayerInfo{};
}

}  // namespace

uint32_t now_us() {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  return static_cast<uint32_t>(static_cast<uint64_t>(tv.tv_sec) * 1000000u +
                               static_cast<uint64_t>(tv.tv_usec));
}

int open_fb() {
  std::lock_guard<std::recursive_mutex> hold(layer_lock);
  close_layers();  // opening again releases what an earlier open holds
  fb_fd = fb_open("/dev/fb0", &fb_info);
  if (fb_fd < 0) {
    fb_info = LayerInfo{};
    fprintf(stderr, "can`t open /dev/fb0.\n");
    return -1;
  }
  layer0_open = true;
  if (fb_enable(fb_fd) < 0) {
    fprintf(stderr, "can`t enable fb.\n");
    return -1;
  }
  fb1_fd = fb_open("/dev/fb1", &fb1_info);
  if (fb1_fd >= 0) {
    layer1_open = true;
    fb_enable(fb1_fd);
  } else {
    fb1_info = LayerInfo{};
  }

  const int32_t width = fb_info.width;
  const int32_t height = fb_info.yres;
  if (width == 720 && height == 1600) {
    dev_width = 720;
    dev_height = 1472;
    dev_y = 64;
    dev_type = 1;
  } else if (width == 1600 && height == 720) {
    dev_width = 1600;
    dev_height = 720;
    dev_x = 0;
    dev_y = 0;
    dev_type = 1;
  } else if (width == 424 && height == 960) {
    // The panel shows a 368-pixel window; the glass sits on the other side when upside down.
    dev_width = 368;
    dev_height = 960;
    dev_x = rotation == 2 ? 0 : 56;
    dev_y = 0;
    dev_type = 2;
  } else {
    dev_width = width;
    dev_height = height;
  }

  fb_pan_display_enable_user_cfg(fb_fd);
  printf("open_fb %d %d \n", dev_width, dev_height);
  return 0;
}

int init_disp() {
  if (open_fb() == -1) return -1;
  bright = 60;
  set_framerate(30);
  lastframe_time = now_us();
  return 0;
}

void set_framerate(int fps) {
  // No rate means no pacing: the period is as long as it can be, set here rather than left
  // to a conversion of an infinite or negative quotient.
  int32_t period = INT32_MAX;
  if (fps > 0) period = static_cast<int32_t>(1000000.0 / fps);
  frameTime = period;
  printf("set  frameTime: %ld ms \n", static_cast<long>(period / 1000));
}

void set_rotation(int code) {
  std::lock_guard<std::recursive_mutex> hold(layer_lock);
  // A code outside 1..3 turns the panel to 0 degrees, and the picture area follows the panel.
  rotation = code >= 1 && code <= 3 ? code : 0;
  const char *angle = "0";
  switch (code) {
    case 1: angle = "90"; break;
    case 2: angle = "180"; break;
    case 3: angle = "270"; break;
    default: break;
  }
  close_layers();
  write_attribute(rotator_path, angle);
  open_fb();
  // Let the controller settle on the new geometry before anything presents on it.
  usleep(50000);
}

void draw_rect(uint8_t *buffer, int x, int y, int w, int h, uint32_t colour) {
  std::lock_guard<std::recursive_mutex> hold(layer_lock);
  const int width = fb_info.width;
  const int height = fb_info.yres;
  const int line_length = fb_info.line_length;
  if (width <= 0 || height <= 0) return;  // layer 0 is not open: no geometry to draw with

  // Edges from the x and y passed in; 64-bit so that no sum can overflow.
  const int64_t right_end = int64_t(x) + w;
  const int64_t bottom_end = int64_t(y) + h;
  const int right = (w >= 0 && right_end < width) ? int(right_end) : width;
  const int bottom = (h >= 0 && bottom_end < height) ? int(bottom_end) : height;
  x = std::max(x, 0);
  y = std::max(y, 0);

  if (static_cast<unsigned>(line_length) / static_cast<unsigned>(width) < 4) {
    fprintf(stderr, "not support pix fmt: %d %d %d\n", fb_info.pixel_format, line_length, width);
    exit(-1);
  }
  if (buffer == nullptr) return;

  for (int row = y; row < bottom; ++row) {
    uint32_t *pixels = reinterpret_cast<uint32_t *>(buffer + size_t(row) * size_t(line_length));
    for (int column = x; column < right; ++column) pixels[column] = colour;
  }
}

int fb_display(int fd, int width, int height, LayerInfo *info, uint32_t paddr) {
  std::lock_guard<std::recursive_mutex> hold(layer_lock);
  layer_cfg = LayerUserConfig{};
  layer_cfg.format = layer_format_argb8888;
  layer_cfg.width = uint32_t(width);
  layer_cfg.yres = uint32_t(height);
  layer_cfg.x = uint32_t(dev_x);
  layer_cfg.y = uint32_t(dev_y);
  layer_cfg.field6 = 2;
  layer_cfg.field7 = 1;
  layer_cfg.rgb_addr = paddr;
  layer_cfg.rgb_stride = uint32_t(width) * 4;
  layer_cfg.layer_width = uint32_t(info->width);
  layer_cfg.layer_height = uint32_t(info->yres);
  fb_pan_display_set_user_cfg(fd, &layer_cfg);
  return fb_pan_display(fd, info, 0);
}

void clean_fb1() {
  std::lock_guard<std::recursive_mutex> hold(layer_lock);
  if (!layer1_open || fb1_info.vaddr == nullptr) return;
  // Layer 1 shares layer 0's geometry on every panel; should it ever be smaller, it is
  // cleared by its own rows instead, never past its end.
  const bool fits_layer0 = layer0_open && fb1_info.line_length >= fb_info.line_length &&
                           fb1_info.yres >= fb_info.yres;
  if (fits_layer0) {
    draw_rect(fb1_info.vaddr, 0, 0, -1, -1, 0x00000000);
  } else if (fb1_info.line_length > 0 && fb1_info.yres > 0) {
    memset(fb1_info.vaddr, 0, size_t(fb1_info.line_length) * size_t(fb1_info.yres));
  }
  fb_pan_display(fb1_fd, &fb1_info, 0);
}

namespace {
// set_brightness with backlight_lock held.
void set_brightness_locked(int level, int keep) {
  // Callers pass 0..255; anything below 0 is taken as off.
  level = std::clamp(level, 0, 100);
  printf("set_brightness %d\n", level);
  char text[16];
  int length = snprintf(text, sizeof text, "%d", level);
  printf("%s %d\n", text, length);
  write_attribute(backlight_path, text);
  if (keep == 0) bright = level;
  current_bright = bright.load();
}
}  // namespace

void set_brightness(int level, int keep) {
  std::lock_guard<std::mutex> hold(backlight_lock);
  set_brightness_locked(level, keep);
}

// The level is read under the lock: one set meanwhile is either restored here or comes after.
void active_brightness() {
  std::lock_guard<std::mutex> hold(backlight_lock);
  set_brightness_locked(bright, 0);
}

void inactive_brightness() { set_brightness(0, 1); }
