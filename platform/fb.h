// The board's framebuffer layer library: "/dev/fb0" (layer 0) and "/dev/fb1" (layer 1) of the
// display controller. A layer is opened with its information record, enabled, and panned to
// make what is in memory visible. Layer 0 can run in user-configuration mode, in which each
// pan scans out the picture that the last LayerUserConfig describes (its own format, size,
// position and physical buffer) instead of the layer's own buffer.
//
// Callers pass device paths; the library resolves them (under the sandbox root on a PC).
#pragma once

#include <cstdint>

// The library exports plain C functions.
extern "C" {

// The layer information record, filled in by fb_open.
struct LayerInfo {
  int32_t width;           // pixels
  int32_t yres;            // pixels
  int32_t line_length;     // bytes per row
  int32_t pixel_format;    // the library's code: bits per pixel of the layer
  int32_t frame_size;      // bytes of one frame
  uint8_t *vaddr;          // the layer buffer as mapped into this process
  uint32_t paddr;          // the same buffer's physical address
};

// Pixel format codes of LayerUserConfig::format.
constexpr uint32_t layer_format_argb8888 = 3;  // 32-bit 0xAARRGGBB words
constexpr uint32_t layer_format_nv12 = 4;      // Y plane, then interleaved U/V plane

// What layer 0 scans out at its next pan in user-configuration mode. Seventeen 32-bit words.
struct LayerUserConfig {
  uint32_t format;         // layer_format_*
  uint32_t width;          // picture width in pixels
  uint32_t yres;           // picture height in pixels
  uint32_t x;              // position on the screen
  uint32_t y;
  uint32_t field6;         // always 2
  uint32_t field7;         // always 1
  uint32_t rgb_addr;       // physical address of a 32-bit picture
  uint32_t rgb_stride;     // its line length in bytes
  uint32_t y_addr;         // physical address of the Y plane
  uint32_t y_stride;       // its line length in bytes
  uint32_t uv_addr;        // physical address of the UV plane
  uint32_t uv_stride;      // its line length in bytes
  uint32_t field14;        // 0 for 32-bit pictures, 0x0000FF00 for video frames
  uint32_t field15;        // 0
  uint32_t layer_width;    // the layer's own buffer size (32-bit pictures), else 0
  uint32_t layer_height;
};
static_assert(sizeof(LayerUserConfig) == 17 * 4);

// A handle (>= 0), or negative when the layer cannot be opened. Fills `info`.
int fb_open(const char *device_path, LayerInfo *info);
// Negative on failure.
int fb_enable(int fd);
// Releases the layer so that it can be opened again (after the rotator has changed).
int fb_close(int fd, LayerInfo *info);
// Switches layer 0 to user configuration.
int fb_pan_display_enable_user_cfg(int fd);
// Stores the configuration for the next pan.
int fb_pan_display_set_user_cfg(int fd, LayerUserConfig *cfg);
// Makes the frame visible: layer 0 as configured, layer 1 its own buffer.
int fb_pan_display(int fd, LayerInfo *info, int index);

}  // extern "C"
