// Who has the screen: the one owner of layer 0, the GUI state and the local player's orders.
//
// Every change of what the screen shows is one request below, carried out whole under one
// lock (screen_lock, held by nobody else). The entry points the rest of the system knows
// (screen/player.h: play_local_h264_async, stop_local_h264, switch_local_h264,
// set_switch_h264_path, lvgl_pause, lvgl_resume) are thin wrappers over these requests; so are
// the picture commands and the controller thread's decisions that depend on the GUI state.
// The workers (the local player, the decoder thread) take their orders at fixed points
// instead of polling flags of their own.
//
// Lock order: screen_lock before pc_mutex, layer_lock or cfg_lock. Nothing calls into the
// owner while it holds one of the latter.
//
// The shared globals below are the owner's state as others may read it: each is written
// only under screen_lock (tests set them while nothing else runs), read anywhere.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

// --- The GUI state: 0xFF until start-up has loaded the theme, then 1 (GUI shown) or 0
// (paused while the host drives the screen).
extern std::atomic<uint8_t> lvgl_state;
// --- The command the next publish carries: 0 none (a data record), 2 pause, 3 resume. One
// slot: a later request replaces one not yet published; only the publish that writes a
// command clears it.
extern std::atomic<uint8_t> data_update_type;
// --- 1 = the controller thread publishes with its next frame. Set by pause, resume, a new
// control mode and status frames while the GUI is shown; cleared by a stored picture package,
// unless a command is still waiting.
extern std::atomic<uint8_t> data_update_mark;

// --- The local player's marks. 1 while a player runs its read loop (set at the top of each
// run, cleared when the player has ended); host command 112 reports it.
extern std::atomic<int32_t> local_h264_playing;
// --- 1 while a player is to go on: a start sets it; stop_local_h264 and the end of a run
// clear it. local_h264_is_running reports it.
extern std::atomic<int32_t> local_h264_mark;
// --- 1 = a switch to local_h264_switch_path is pending: set by switch_local_h264 and the theme
// follow; cleared once the player has opened the new file, or by a start that replaces it; a
// switch that cannot be made, or that no player is left to make, is dropped with a message.
extern std::atomic<int32_t> local_h264_switch_mark;
// --- The switch target and the one before it (the last fallback before the first theme).
// They point at strings that outlive every player (the entries of h264_bg_filses).
extern std::atomic<const char *> local_h264_switch_path;
extern std::atomic<const char *> local_last_h264_switch_path;

// What layer 0 belongs to: the last request that took it. Whatever else shows there (a still
// of the host or the controller, the slideshow, a stopped video's last picture) is `nothing`:
// no worker feeds it, and a resume puts the background back over it.
enum class Layer0 : uint8_t {
  nothing,
  background,   // the player plays one of the theme backgrounds
  local_video,  // the player plays another local file
  host_stream,  // the host's 0x79 blocks: while any is queued, a resume waits
};

// ---------------------------------------------------------------- requests

// play_local_h264_async after layer 1 is cleared. Refused (0) while a player is in its read
// loop and still to go on. A player that is stopping, or still opening, takes the path over
// instead of a new thread being made. -1 for a path missing or of 128 characters or more.
int screen_start_player(const char *path);
// stop_local_h264.
void screen_stop_player();
// switch_local_h264 / set_switch_h264_path.
void screen_request_switch();
void screen_set_switch_path(const char *path);
// lvgl_pause: from GUI shown to paused, the background stopped, a pause command left.
void screen_pause();
// lvgl_resume, for every caller (the host gone, a wake frame, host 0xF9): the screen goes
// back to the GUI and the background of `theme` (kept within the table), whatever is on it,
// unless a host stream still has blocks queued. A paused GUI is shown again (frame rate 24, a
// resume command left). A slideshow that runs, or is still opening its folder, is left
// running (the USB monitor stops it before, unless keep_on), and the background of `theme`
// already playing is not restarted. `theme` is read under the lock, as start-up sets it.
void screen_resume(const std::atomic<uint8_t> &theme);
// The controller thread's theme follow: once the GUI is shown and `theme` differs from
// `last_followed`, switch the background to it (starting it when no player goes on). Both are
// read under the lock, so a follow never judges a theme start-up has replaced meanwhile.
void screen_follow_theme(const std::atomic<uint8_t> &theme, std::atomic<uint8_t> &last_followed);
// Start-up, once it has loaded the saved `theme` (within the table): current_theme_index and
// last_theme_index take it, the GUI is shown (lvgl_state 1), the frame rate is 24 and the
// background of `theme` starts, in one request: the theme follow and the resume see all of it
// or none of it.
void screen_gui_loaded(uint8_t theme);
// Host 0x65: a playing local video stops, then the frame is shown.
void screen_show_host_jpeg(const uint8_t *data, int length);
// Host 0x66: the GUI pauses, then the PNG frame is drawn on layer 1.
void screen_show_host_png(const uint8_t *data, int length);
// Host 0x71: a JPEG file on layer 0; a video that plays goes on over it.
void screen_show_host_jpeg_file(const char *path);
// Host 0x79, before its block is read: a playing local video stops and the GUI pauses.
void screen_host_stream_block();
// Stops the slideshow (host 0x72, the USB monitor's detach).
void screen_stop_slideshow();

// ---------------------------------------------------------------- the controller thread

// A new control mode: the next frame publishes.
void screen_request_publish();
// A status frame: true (and a publish requested) while the GUI is shown, when the frame's
// temperature and pump speed are taken and published.
bool screen_status_frame();
// A picture frame: true while the GUI is shown, when its package is stored.
bool screen_picture_frame();
// A stored picture package ends the publishing, but never before a waiting command is out.
void screen_picture_package_stored();
// The controller's end frame: while the GUI is shown, the local video stops and the saved
// picture is shown (true); otherwise nothing is drawn (false, with a message). A picture that
// could not be saved is given as `data`/`length` and shown from there instead of `path`.
bool screen_show_controller_picture(const char *path, const uint8_t *data = nullptr,
                                    int length = 0);

// ---------------------------------------------------------------- the publish

// The record step: the command to write now (0 none, 2 pause, 3 resume); once it is in the
// block, screen_gui_command_published clears it, unless a newer request has replaced it.
// Controller thread.
uint8_t screen_gui_command();
void screen_gui_command_published(uint8_t command);

// ---------------------------------------------------------------- the local player

// What the player thread is to do at the top of a run (or after it has opened nothing).
struct PlayerOrder {
  enum Kind { open, run, switch_file, quit } kind;
  char path[128];  // open: the file to start; switch_file: the switch target
  uint32_t epoch;  // run: the stream its blocks go into
  const char *last_switch_path;  // switch_file: the fallback before the first theme
};
// The player's question at the top of each run. `quit` means it is no longer the player. A
// `switch_file` order has already ended the player's own stream (and no other).
PlayerOrder screen_player_next();
// The player could not open the wanted file: it stops ("stop_local_h264 ").
void screen_player_open_failed();
// After a switch open: the new file's stream (true, epoch set), or false when the switch
// could not be made (dropped with a message; the player stops).
bool screen_player_switched(bool opened, uint32_t &epoch);
// Whether the player may push its next block.
bool screen_player_may_push();
// The host ended the stream the player pushes into: the new stream to join, false when the
// player is to go to the top of its run instead.
bool screen_player_rejoin(uint32_t &epoch);
// Waits while `pending` blocks or more are queued, at most `timeout_ms` per look.
void screen_player_wait_room(int pending, int timeout_ms);
// A run ended on its own (a file that gives no data): the player stops quietly unless a new
// start has already been handed to it.
void screen_player_run_ended();

// ---------------------------------------------------------------- a view for checks

struct ScreenView {
  Layer0 layer0;
  uint8_t gui;          // lvgl_state
  uint8_t command;      // data_update_type
  bool player_wanted;   // local_h264_mark
  bool player_fresh;    // a start the player has not taken yet
  int player_threads;   // 0 or 1
  bool switch_pending;  // local_h264_switch_mark
  std::string player_path;
};
ScreenView screen_view();
const char *layer0_name(Layer0 owner);
// The player thread: 0 or 1.
int local_h264_players();
