// The framebuffer layer library on a PC. A layer is "/dev/fb0" or "/dev/fb1" under the
// sandbox root; opening it reads the geometry the driver would report from fb0's sysfs
// attributes, which the tests can write (virtual_size "W,H", bits_per_pixel; 480,480 and 32
// when absent; layer 1 has layer 0's geometry, as on the device), swaps width and height when the rotator stands at 90 or 270 as the rotating driver
// does (the layer's state keeps the angle it stood at), and allocates the layer buffer from
// the simulated physical memory. Pans publish the layer's registers to the scan-out state
// file, from which a reader composes the panel; each pan of layer 0 also enters its monotonic
// time into the state's ring of pan times.
//
// Handles are small integers (from 3 on, as descriptors would be) naming slots of one table,
// handed out round-robin so that a closed handle stays invalid for a long while; a layer is
// open at most once at a time. One mutex guards the table and the state writes; each call
// holds it throughout, so a pan never meets a half-closed layer.
//
// pixel_format in LayerInfo is the layer's bits per pixel.
#include "platform/fb.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <time.h>
#include <unistd.h>

#include "platform/root_path.h"
#include "platform/sim/panel_state.h"
#include "platform/sim/phys_mem.h"
#include "platform/sim/shared_file.h"

namespace {

constexpr int first_handle = 3;
constexpr int slot_count = 64;
constexpr int default_side = 480;
constexpr int default_bits_per_pixel = 32;
constexpr const char *rotator_path = "/sys/bus/platform/drivers/ingenic-fb/ingenic-fb.0/rotator_angle";

struct Layer {
  bool used = false;
  int index = 0;  // 0 for fb0, 1 for fb1
  PhysBlock buffer;
  LayerUserConfig pending{};  // set by fb_pan_display_set_user_cfg, shown by the next pan
  PanelLayerState state{};
};

struct Table {
  std::mutex lock;
  // --- The following fields are protected by lock.
  Layer slots[slot_count];
  int next_slot = 0;
  uint32_t pan_counts[panel_layer_count] = {};
};

Table &table() {
  static Table instance;
  return instance;
}

// The open layer behind `handle`, or null. Called with the lock held.
Layer *layer_of(Table &t, int handle) {
  int slot = handle - first_handle;
  if (slot < 0 || slot >= slot_count || !t.slots[slot].used) return nullptr;
  return &t.slots[slot];
}

// An attribute's text: "" with `present` false when the file is missing.
bool read_attribute(const std::string &device_path, std::string &text, bool &present) {
  text.clear();
  present = false;
  std::string path = root_path(device_path);
  if (path.empty()) return false;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT;
  present = true;
  char buffer[64];
  ssize_t got = read(fd, buffer, sizeof buffer);
  close(fd);
  if (got < 0) return false;
  text.assign(buffer, size_t(got));
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\0')) {
    text.pop_back();
  }
  return true;
}

// A decimal number in 1..limit spanning [pos, end of digits); false otherwise.
bool parse_number(const std::string &text, size_t &pos, int limit, int &value) {
  size_t start = pos;
  long number = 0;
  while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && pos - start < 6) {
    number = number * 10 + (text[pos] - '0');
    ++pos;
  }
  if (pos == start || number < 1 || number > limit) return false;
  value = int(number);
  return true;
}

// The geometry the driver reports for the layers, before rotation: fb0's attributes. Layer 1
// always has layer 0's width, height and line length (clearing it and the overlay's copy rely
// on it), so fb1's own attributes, if any, are not read.
bool read_geometry(int &width, int &height, int &bits_per_pixel) {
  std::string dir = "/sys/class/graphics/fb0/";
  std::string text;
  bool present = false;
  width = height = default_side;
  bits_per_pixel = default_bits_per_pixel;

  if (!read_attribute(dir + "virtual_size", text, present)) return false;
  if (present) {
    size_t pos = 0;
    if (!parse_number(text, pos, int(scan_max_side), width) || pos >= text.size() ||
        text[pos++] != ',' || !parse_number(text, pos, int(scan_max_side), height) ||
        pos != text.size()) {
      fprintf(stderr, "fb0: unusable virtual_size \"%s\"\n", text.c_str());
      return false;
    }
  }
  if (!read_attribute(dir + "bits_per_pixel", text, present)) return false;
  if (present) {
    size_t pos = 0;
    if (!parse_number(text, pos, 32, bits_per_pixel) || pos != text.size() ||
        bits_per_pixel % 8 != 0) {
      fprintf(stderr, "fb0: unusable bits_per_pixel \"%s\"\n", text.c_str());
      return false;
    }
  }
  return true;
}

// The rotator's angle in degrees: 0 unless it holds "90", "180" or "270".
int rotator_angle() {
  std::string text;
  bool present = false;
  if (!read_attribute(rotator_path, text, present)) return 0;
  if (text == "90") return 90;
  if (text == "180") return 180;
  if (text == "270") return 270;
  return 0;
}

uint64_t monotonic_us() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return uint64_t(now.tv_sec) * 1000000 + uint64_t(now.tv_nsec) / 1000;
}

// The layer a device path names: 0, 1, or -1.
int layer_index(const std::string &resolved) {
  for (int index = 0; index < panel_layer_count; ++index) {
    if (resolved == root_path("/dev/fb" + std::to_string(index))) return index;
  }
  return -1;
}

// The device node must be there: under a sandbox root a missing one is made, as the driver
// makes its node; on the device's own paths it is only opened.
bool node_present(const std::string &path) {
  bool sandboxed = !sandbox_root().empty();
  if (sandboxed && !make_parent_dirs(path)) return false;
  int fd = open(path.c_str(), O_RDWR | O_CLOEXEC | (sandboxed ? O_CREAT : 0), 0660);
  if (fd < 0) return false;
  close(fd);
  return true;
}

}  // namespace

int fb_open(const char *device_path, LayerInfo *info) {
  if (device_path == nullptr || info == nullptr) return -1;
  std::string path = root_path(device_path);
  int index = path.empty() ? -1 : layer_index(path);
  if (index < 0) {
    fprintf(stderr, "fb_open: %s is no display layer\n", device_path);
    return -1;
  }
  if (!node_present(path)) {
    fprintf(stderr, "fb_open: %s: %s\n", path.c_str(), strerror(errno));
    return -1;
  }
  int width = 0, height = 0, bits_per_pixel = 0;
  if (!read_geometry(width, height, bits_per_pixel)) return -1;
  int angle = rotator_angle();
  if (angle == 90 || angle == 270) std::swap(width, height);
  int line_length = width * bits_per_pixel / 8;
  size_t frame_size = size_t(line_length) * size_t(height);

  Table &t = table();
  std::lock_guard guard(t.lock);
  int slot = -1;
  for (int i = 0; i < slot_count; ++i) {
    const Layer &layer = t.slots[i];
    if (layer.used && layer.index == index) {
      fprintf(stderr, "fb_open: %s is already open\n", device_path);
      return -1;
    }
    int candidate = (t.next_slot + i) % slot_count;
    if (slot < 0 && !t.slots[candidate].used) slot = candidate;
  }
  if (slot < 0) return -1;

  PhysBlock buffer = phys_alloc(frame_size);
  if (buffer.vaddr == nullptr) return -1;
  Layer &layer = t.slots[slot];
  layer = Layer{};
  layer.index = index;
  layer.buffer = buffer;
  layer.state.open = 1;
  layer.state.width = uint32_t(width);
  layer.state.yres = uint32_t(height);
  layer.state.line_length = uint32_t(line_length);
  layer.state.bits_per_pixel = uint32_t(bits_per_pixel);
  layer.state.paddr = buffer.paddr;
  layer.state.frame_size = uint32_t(frame_size);
  layer.state.rotator_angle = uint32_t(angle);
  layer.state.pan_count = t.pan_counts[index];
  if (!panel_state_publish(index, layer.state)) {
    phys_free(buffer.paddr);
    return -1;
  }
  layer.used = true;
  t.next_slot = (slot + 1) % slot_count;

  *info = LayerInfo{};
  info->width = width;
  info->yres = height;
  info->line_length = line_length;
  info->pixel_format = bits_per_pixel;
  info->frame_size = int32_t(frame_size);
  info->vaddr = buffer.vaddr;
  info->paddr = buffer.paddr;
  return slot + first_handle;
}

int fb_enable(int fd) {
  Table &t = table();
  std::lock_guard guard(t.lock);
  return layer_of(t, fd) != nullptr ? 0 : -1;
}

// The record is left as it is: its mapping stays readable memory of the simulated controller,
// so a caller still holding it cannot fault, but the block may be handed out again.
int fb_close(int fd, LayerInfo *) {
  Table &t = table();
  std::lock_guard guard(t.lock);
  Layer *layer = layer_of(t, fd);
  if (layer == nullptr) return -1;
  phys_free(layer->buffer.paddr);
  PanelLayerState closed{};
  closed.pan_count = layer->state.pan_count;
  panel_state_publish(layer->index, closed);
  *layer = Layer{};
  return 0;
}

int fb_pan_display_enable_user_cfg(int fd) {
  Table &t = table();
  std::lock_guard guard(t.lock);
  Layer *layer = layer_of(t, fd);
  if (layer == nullptr || layer->index != 0) return -1;  // only layer 0 takes user configurations
  layer->state.user_cfg_enabled = 1;
  return panel_state_publish(layer->index, layer->state) ? 0 : -1;
}

int fb_pan_display_set_user_cfg(int fd, LayerUserConfig *cfg) {
  if (cfg == nullptr) return -1;
  Table &t = table();
  std::lock_guard guard(t.lock);
  Layer *layer = layer_of(t, fd);
  if (layer == nullptr) return -1;
  if (cfg->format != layer_format_argb8888 && cfg->format != layer_format_nv12) {
    fprintf(stderr, "fb_pan_display_set_user_cfg: unknown format %u\n", cfg->format);
    return -1;
  }
  layer->pending = *cfg;
  return 0;
}

// In user configuration the pan shows the stored configuration; one that cannot be scanned
// out (bad size or stride, memory outside any allocated block) shows black and fails.
int fb_pan_display(int fd, LayerInfo *, int index) {
  Table &t = table();
  std::lock_guard guard(t.lock);
  Layer *layer = layer_of(t, fd);
  if (layer == nullptr || index != 0) return -1;  // one buffer per layer: frame 0 only
  bool valid = true;
  if (layer->state.user_cfg_enabled) {
    ScanPlane planes[2];
    int count = user_cfg_planes(layer->pending, planes);
    valid = count > 0;
    for (int i = 0; i < count; ++i) {
      if (phys_to_virt(planes[i].paddr, size_t(planes[i].length)) == nullptr) valid = false;
    }
    if (!valid) {
      fprintf(stderr, "fb_pan_display: layer %d configuration cannot be scanned out\n",
              layer->index);
    }
    layer->state.shown = layer->pending;
    layer->state.shown_valid = valid ? 1 : 0;
  }
  layer->state.panned = 1;
  layer->state.pan_count = ++t.pan_counts[layer->index];
  if (!panel_state_publish(layer->index, layer->state, monotonic_us())) return -1;
  return valid ? 0 : -1;
}
