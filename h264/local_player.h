// The local video player and the background themes.
//
// Who calls what:
// - start-up (main thread), host commands 110/111/101/121 (host loop), the controller link on a
//   theme change, the GUI coordination and the USB monitor: play_local_h264_async,
//   stop_local_h264, set_switch_h264_path + switch_local_h264, local_h264_is_running. All of
//   them return at once; none waits for the player.
// - the player thread (play_local_h264_thread, started by play_local_h264_async): reads the file
//   in blocks of one ring slot and pushes them (h264/h264.h), keeping at most 3 pending,
//   rewinding at the end, switching files when asked.
// - the decoder thread reads local_h264_switch_mark after each picture.
//
// The player is a worker of the screen owner (screen/screen.h), which keeps one player thread at
// most: a start while the player stops or opens hands it the new path. A stopped player can
// no longer queue a block: its pushes are tied to the stream it joined, which every stop ends.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>

constexpr int local_264_path_size = 128;  // a path must be shorter than this
constexpr int background_video_count = 13;

// The background video of each theme index (0..12).
extern const char *const h264_bg_filses[background_video_count];

// --- The path of the last start taken: written by the screen owner under local_264_path_mutex
// (cfg.local_path with it, under cfg_lock).
extern std::mutex local_264_path_mutex;
extern char local_264_path[local_264_path_size];

// The marks and switch globals are the screen owner's state: written only under its lock.
// --- 1 while a player runs its read loop (set at the top of each run, cleared when the player
// has ended). Host command 112 reports it.
extern std::atomic<int32_t> local_h264_playing;
// --- 1 while a player is to go on: a start sets it; stop_local_h264 and the end of a run
// clear it. local_h264_is_running reports it.
extern std::atomic<int32_t> local_h264_mark;
// --- 1 = rewind at the end of the file: set by the first looping player, never cleared.
extern std::atomic<int32_t> h264_loop_mark;
// --- 1 = a switch to local_h264_switch_path is pending: switch_local_h264 (controller link)
// sets it; the player clears it once the new file is open; a switch that cannot be made, or
// that no player is left to make, is dropped with a message.
extern std::atomic<int32_t> local_h264_switch_mark;
// --- The switch target and the one before it (the last fallback before the first theme):
// written by set_switch_h264_path (controller link), read by the player. They point at
// strings that outlive every player (the entries of h264_bg_filses).
extern std::atomic<const char *> local_h264_switch_path;
extern std::atomic<const char *> local_last_h264_switch_path;

// Clears layer 1, then starts `path` unless a player is in its read loop and to go on (0, the
// path not taken). A player that is stopping or still opening plays `path` next. -1 with a
// message when the path is missing or 128 characters or longer, or no thread can be made.
int play_local_h264_async(const char *path);

// The player thread: plays local_264_path, looping, until stopped or replaced.
void *play_local_h264_thread(void *);

// Plays `path` on the calling thread, once or (loop nonzero) rewinding at the end, until
// stopped or switched to a file that cannot be opened. A running player is stopped first and
// given 2 s to end; if it does not, nothing is played. Returns -1 whenever it returns.
int play_local_h264(const char *path, int loop);

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

// Player threads that exist, counting direct play_local_h264 callers waiting to take over.
int local_h264_player_threads();
// The player thread: 0 or 1.
int local_h264_players();

// Opens the wanted video with the fallback chain, printing its messages: the first open of a
// run when `on_switch` is false, a switch otherwise. Null (after "open err:1") when nothing
// could be opened. Device paths; they are resolved under the sandbox root.
FILE *open_local_h264_file(const char *path, bool on_switch);
