// The simulated display controller's scan-out state: what each layer's registers hold, kept
// in a small shared file (/run/displayhead/panel under the sandbox root) so that a reader
// process can compose what the panel shows. The daemon's framebuffer stand-in writes it at
// open, close and every pan; nothing composes inside the daemon (the board's controller
// composes in hardware, and composing on every pan would cost more than decoding a frame).
//
// The file is the record PanelState, little-endian 32-bit words, 2328 bytes:
//   0 magic "DHPS", 4 version 2, 8 sequence (even: stable, odd: being written), 12 writer pid,
//   16 layer 0 (128 bytes), 144 layer 1, each laid out as PanelLayerState below,
//   272 the number of layer 0 pans timed, 280 the ring of their times (256 words of 64 bits,
//   low word first, CLOCK_MONOTONIC in microseconds; pan n lands in slot n % 256).
// A reader copies the record word by word and retries while the sequence is odd or changes
// under it, so it never takes a half-written layer. Every publish (open, close, pan, the
// switch to user configuration) moves the sequence on by 2, so it doubles as the count of
// changes; a rotation closes and reopens both layers. The backlight is not in it: a reader
// takes the brightness attribute that the daemon writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/fb.h"

constexpr uint32_t panel_state_magic = 0x53504844;  // "DHPS" in file byte order
constexpr uint32_t panel_state_version = 2;
constexpr int panel_layer_count = 2;
constexpr uint32_t panel_pan_ring_size = 256;  // layer 0 pans whose times are kept

struct PanelLayerState {
  uint32_t open;              // 1 while the layer is open
  uint32_t width;             // geometry of the layer's own buffer
  uint32_t yres;
  uint32_t line_length;
  uint32_t bits_per_pixel;
  uint32_t paddr;             // the layer's own buffer
  uint32_t frame_size;
  uint32_t panned;            // 1 once panned since it was opened
  uint32_t user_cfg_enabled;  // layer 0: pans scan out `shown` instead of the own buffer
  uint32_t pan_count;         // pans since the daemon started
  uint32_t shown_valid;       // 1 when `shown` passed the pan's checks (format, memory)
  uint32_t rotator_angle;     // degrees the rotator stood at when the layer was opened
  uint32_t reserved[3];
  LayerUserConfig shown;      // the user configuration of the last pan
};
static_assert(sizeof(PanelLayerState) == 128);
static_assert(offsetof(PanelLayerState, shown) == 60);

struct PanelState {
  uint32_t magic;
  uint32_t version;
  uint32_t sequence;
  uint32_t writer_pid;
  PanelLayerState layers[panel_layer_count];
  uint32_t pan_times_count;   // layer 0 pans timed since the daemon started
  uint32_t reserved;
  uint64_t pan_times_us[panel_pan_ring_size];
};
static_assert(sizeof(PanelState) == 2328);
static_assert(offsetof(PanelState, layers) == 16);
static_assert(offsetof(PanelState, layers[1]) == 144);
static_assert(offsetof(PanelState, pan_times_count) == 272);
static_assert(offsetof(PanelState, pan_times_us) == 280);

// The memory a user configuration makes the controller fetch: one plane for 32-bit pictures,
// the Y and the UV plane for NV12.
struct ScanPlane {
  uint32_t paddr;
  uint64_t length;  // from the plane's first byte to the last byte of its last row
};
constexpr uint32_t scan_max_side = 8192;  // the widest and tallest picture the controller takes

// The planes of `cfg`, or 0 when it cannot be scanned out (unknown format, a side of 0 or
// above scan_max_side, a stride shorter than a row).
int user_cfg_planes(const LayerUserConfig &cfg, ScanPlane planes[2]);

// --- Daemon side. Callers serialize (the framebuffer stand-in holds its lock).

// Creates the state file anew at the first call (all layers closed), then writes layer
// `index`'s record into it; a nonzero `pan_time_us` on layer 0 also enters the ring of pan
// times. False (with a message on standard error) when the file cannot be created or `index`
// is not a layer.
bool panel_state_publish(int index, const PanelLayerState &layer, uint64_t pan_time_us = 0);

// --- Reader side.

// Copies the state under `root` ("" = the device's own "/"). False (with `error`) when there
// is no state file, it is not this version's record, or it stays mid-write.
bool panel_state_read(const std::string &root, PanelState &state, std::string &error);

// Only the sequence word, rounded up to even while a write is under way (the state it leads
// to differs from the one before). False (with `error`) when there is no state file.
bool panel_state_sequence(const std::string &root, uint32_t &sequence, std::string &error);
