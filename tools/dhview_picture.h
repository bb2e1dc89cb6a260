// dhview's live picture: the panel of the simulated device as a person sees it, composed only
// when the panel changed and encoded once for every viewer.
//
// One watcher thread (picture_watch_start) looks at the panel's change count every 10 ms while
// at least one viewer waits (picture_viewer_enter/leave), composes the picture as seen when
// the count has moved (a pan, an open or close, a rotation, a backlight level), encodes it as JPEG and publishes it as the newest frame. The stream
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

// The panel under `device_root` as a person sees it: the composed screen turned by the
// rotator to the panel's own orientation and dimmed by the backlight (what dhshot --as-seen
// writes). False with `error` when there is no panel.
bool compose_as_seen(const std::string &device_root, PanelPicture &picture, std::string &error);

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
