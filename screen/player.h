// The entry points through which the rest of the system changes what the screen shows: the
// local video player, the GUI's pause and resume, and the preset content. Each is a request to
// the screen owner (screen/screen.h); none waits for a worker.
//
// Who calls what:
// - start-up (main thread): playPresetMode, then the saved theme's background through the
//   owner's screen_gui_loaded;
// - the host command loop: 110 play_local_h264_async, 111 stop_local_h264, 102 lvgl_pause,
//   0xF9 lvgl_resume (and, through the owner, 101 and 121);
// - the controller thread: set_switch_h264_path + switch_local_h264 (through the theme
//   follow), lvgl_resume on a wake frame;
// - the USB monitor: play_local_h264_async and play_local_jpg_async on attach, lvgl_resume on
//   detach.
// The player thread (play_local_h264_thread) reads the file in blocks of one ring slot and
// pushes them (h264/h264.h), keeping at most 3 pending, rewinding at the end, switching files
// when told. There is one player thread at most: a start while the player stops or opens
// hands it the new path. A stopped player can no longer queue a block: its pushes are tied to
// the stream it joined, which every stop ends.
#pragma once

#include <atomic>
#include <cstdint>

// --- The theme shown: start-up (screen_gui_loaded, under the owner's lock, which the theme
// follow and lvgl_resume read it under) and the controller thread write; the controller
// thread, lvgl_resume and the GUI block read. Always a valid index into h264_bg_filses
// (0..12). last_theme_index: the theme the background last followed.
extern std::atomic<uint8_t> current_theme_index;
extern std::atomic<uint8_t> last_theme_index;

// Clears layer 1, then starts `path` unless a player is in its read loop and to go on (0, the
// path not taken). A player that is stopping or still opening plays `path` next. -1 with a
// message when the path is missing or 128 characters or longer, or no thread can be made.
int play_local_h264_async(const char *path);

// The player thread: plays the started path, looping, until stopped or replaced.
void *play_local_h264_thread(void *);

// Asks the player to stop after the block it is pushing or the pause it is in, and ends the
// running stream (the ring is emptied). local_h264_is_running() is 0 at once;
// local_h264_playing goes to 0 when the player has ended its run. Prints "stop_local_h264 ".
void stop_local_h264();

// local_h264_switch_mark = 1. Call set_switch_h264_path first.
void switch_local_h264();

// The switch target becomes `path` (which must outlive the player); the previous one becomes
// the last target.
void set_switch_h264_path(const char *path);

// The low byte of local_h264_mark.
uint8_t local_h264_is_running();

// From GUI shown (1) to paused (0): stops the background video and leaves a pause command.
// Does nothing in any other state.
void lvgl_pause();
// Gives the screen back to the GUI and the background of current_theme_index, unless a host
// stream still has blocks queued (screen_resume).
void lvgl_resume();

// Starts the content cfg.mode asks for at start-up: 1 the slideshow, 2 the video at
// cfg.local_path.
void playPresetMode();
