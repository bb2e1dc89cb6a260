// dhview's live picture: the panel of the simulated device as a person sees it, composed only
// when the panel changed and encoded once for every viewer.
//
// One watcher thread (picture_watch_start) looks at the panel's change mark every 10 ms while
// at least one viewer waits (picture_viewer_enter/leave), composes the picture as seen when
// the mark has moved, encodes it as JPEG and publishes it as the newest frame. The stream
// handlers (any thread) wait for a frame newer than the one they sent last. While the panel is
// still, nothing is composed and no frame is made; with no viewer, nothing is read at all.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/panel_view.h"

struct ViewFrame {
  uint64_t number = 0;  // 1 for the first frame, one more for each later one
  int width = 0;
  int height = 0;
  std::string jpeg;
};

// What changes the picture a person sees: the panel's own state (every open, close and pan),
// the backlight level and the rotator angle. Two equal marks mean the same picture.
struct PanelMark {
  uint64_t panel = 0;  // the panel state's change count; 0 while there is no panel
  std::string backlight;
  std::string rotator;
  bool operator==(const PanelMark &) const = default;
};

// The mark of the panel under `device_root` now. `with_attributes` false leaves the
// backlight and the rotator as `previous` has them (they are read ten times less often).
PanelMark panel_mark(const std::string &device_root, const PanelMark &previous,
                     bool with_attributes);

// The panel under `device_root` as a person sees it: the composed screen turned by the
// rotator to the panel's own orientation and dimmed by the backlight. False with `error`
// when there is no panel.
bool compose_as_seen(const std::string &device_root, PanelPicture &picture, std::string &error);

// `picture` turned clockwise by `degrees` (0, 90, 180 or 270; anything else leaves it) and
// scaled by `backlight` percent (-1, unknown, and 100 or more leave it).
void turn_picture(PanelPicture &picture, int degrees);
void dim_picture(PanelPicture &picture, int backlight);

// JPEG (quality 1..100) and PNG encodings of a picture; false with `error` on failure.
bool encode_jpeg(const PanelPicture &picture, int quality, std::string &out, std::string &error);
bool encode_png(const PanelPicture &picture, std::string &out, std::string &error);

// --- The watcher. Start once; stop ends the thread and wakes every waiter.
void picture_watch_start(const std::string &device_root, int quality);
void picture_watch_stop();

// A viewer waits for frames while between enter and leave (the watcher composes only then).
void picture_viewer_enter();
void picture_viewer_leave();

// The newest frame whose number is above `after`, waiting up to `timeout`; null when none
// came in time or the watcher stops.
std::shared_ptr<const ViewFrame> picture_wait_newer(uint64_t after,
                                                    std::chrono::milliseconds timeout);

// Pictures composed since the start (the benchmark reads it).
uint64_t pictures_composed();
