// What the panel shows, read from outside the daemon (dhshot, the tests, the live view, the
// benchmarks).
//
// On a PC the display controller is simulated: its scan-out state (the layer registers and
// the physical memory they point at) lives in files under the sandbox root, shared by the
// daemon and any reader. compose_panel() builds the frame the controller composes at its next
// refresh from that state: layer 0 (its own buffer, or the user configuration of its last
// pan: 32-bit ARGB or NV12 placed at x, y), layer 1 over it by its alpha. That frame has the
// layers' size, which the rotator has already turned (a 720x1600 panel at 90 degrees has
// 1600x720 layers). compose_panel_seen() then does what the controller's rotator does on its
// way to the glass: it turns the frame clockwise by the rotator's angle, into the panel's own
// size, and on request darkens it by the backlight as the eye sees it.
//
// Every function takes the sandbox root ("" = the device's own "/") and is safe to call from
// any process at any time; none of them changes anything.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct PanelPicture {
  int width = 0;
  int height = 0;
  std::vector<uint32_t> pixels;  // 0xAARRGGBB, row by row
  int backlight = -1;            // the backlight level last written (0..100), -1 when unknown
  int rotation = 0;              // degrees the rotator stands at: 0, 90, 180 or 270
  bool turned = false;           // the pixels are turned by `rotation` (the panel's own size)
  bool dimmed = false;           // the pixels are darkened by `backlight`
  int64_t composed_unix_us = 0;       // when it was composed: CLOCK_REALTIME, microseconds
  uint64_t composed_monotonic_us = 0; // the same moment on the clock of panel_pan_times_us
  uint32_t at(int x, int y) const { return pixels[size_t(y) * size_t(width) + size_t(x)]; }
};

// Composes the layers of the simulated device under `root`, unturned and undimmed. False
// (with `error` set) when the panel has not been opened there.
bool compose_panel(const std::string &root, PanelPicture &picture, std::string &error);

// What a person sees: compose_panel's frame turned clockwise by the rotator's angle, in the
// panel's own size (fb0's virtual_size at rotation 0); with `dimmed`, each colour scaled by
// the backlight level / 100 (black at 0; an unknown level leaves it as it is).
bool compose_panel_seen(const std::string &root, PanelPicture &picture, std::string &error,
                        bool dimmed = false);

// A number that changes whenever what compose_panel_seen shows may have changed: every pan,
// open or close of a layer (a rotation closes and reopens both) and every change of the
// backlight level. It is the scan-out state's sequence in the high 32 bits and the backlight
// level + 1 (0 when unknown) in the low 32; the backlight is a sysfs attribute the daemon
// writes, outside the state, so a level written and undone between two reads goes unseen
// (the picture is then the same). Compare it for equality only. Costs an open, a mapping and
// a small read of two files; false (with `error`) when there is no panel state.
bool panel_change_count(const std::string &root, uint64_t &count, std::string &error);

// The times of the last pans of layer 0 (at most 256), oldest first, on CLOCK_MONOTONIC in
// microseconds: when each picture or video frame was handed to the controller. False (with
// `error`) when there is no panel state.
bool panel_pan_times_us(const std::string &root, std::vector<uint64_t> &times, std::string &error);

// Writes the picture as an RGB PNG file with text chunks for the backlight, the rotation
// (and whether the pixels are turned and dimmed) and the time of composition. False (with
// `error` set) on failure.
bool write_panel_png(const PanelPicture &picture, const std::string &path, std::string &error);
