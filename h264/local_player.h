// The local video files: the background video of each theme and the fallback chain that
// opens a local H.264 file. The player that plays them is the screen owner's worker
// (screen/player.h).
#pragma once

#include <cstdio>

constexpr int local_264_path_size = 128;  // a path must be shorter than this
constexpr int background_video_count = 13;

// The background video of each theme index (0..12).
extern const char *const h264_bg_filses[background_video_count];

// Opens the wanted video with the fallback chain, printing its messages: the first open of a
// run when `on_switch` is false, a switch otherwise. `last_switch_path` (the switch target
// before the current one, or null) is the last fallback before the first theme. Null (after
// "open err:1") when nothing could be opened. Device paths; they are resolved under the
// sandbox root. Any thread.
FILE *open_local_h264_file(const char *path, bool on_switch, const char *last_switch_path);
