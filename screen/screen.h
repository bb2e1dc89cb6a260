// Who has the screen: the one owner of layer 0, the GUI state and the local player's orders.
//
// Every change of the screen state is one request below, carried out whole under one lock
// (screen_lock, held by nobody else). The entry points the rest of the system knows
// (play_local_h264_async, stop_local_h264, switch_local_h264, set_switch_h264_path,
// lvgl_pause, lvgl_resume, the picture commands) are thin wrappers over these requests. The
// workers (the local player, the decoder thread) ask the owner what to do at their fixed
// points instead of polling flags of their own.
//
// Lock order: screen_lock before pc_mutex, layer_lock, cfg_lock or
// local_264_path_mutex. Nothing calls into the owner while it holds one of the latter.
//
// The shared globals below are the owner's state as others may read it: each is written
// only under screen_lock (tests set them directly while nothing else runs), read anywhere.
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
// --- 1 = the controller thread publishes with its next frame. Set by pause, resume and the
// controller thread; cleared by a stored picture package, unless a command is still waiting.
extern std::atomic<uint8_t> data_update_mark;

// What layer 0 belongs to: the last request that took it.
enum class Layer0 : uint8_t {
  nothing,           // start-up, or a stopped video whose last picture stays
  background,        // the player plays one of the theme backgrounds
  local_video,       // the player plays another local file
  host_stream,       // the host's 0x79 blocks
  host_still,        // a host JPEG (0x65)
  controller_still,  // the controller's picture
  slideshow,         // the SD card's JPEG files
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
// lvgl_pause / lvgl_resume (the theme is current_theme_index, kept within the table).
void screen_pause();
void screen_resume(uint8_t theme);
// The controller thread's theme follow: once the GUI is shown and `theme` differs from
// `last_followed`, switch the background to it (starting it when no player goes on).
void screen_follow_theme(uint8_t theme, std::atomic<uint8_t> &last_followed);
// Host 0x65: a playing local video stops, then the frame is shown.
void screen_show_host_jpeg(const uint8_t *data, int length);
// The controller's end frame: the local video stops, then the saved picture is shown.
void screen_show_controller_picture(const char *path);
// Host 0x79, before its block is read: a playing local video stops and the GUI pauses.
void screen_host_stream_block();
// The slideshow: started by play_local_jpg_async (true when it takes layer 0), stopped by
// host 0x72 and the USB monitor's detach.
void screen_slideshow_started();
void screen_stop_slideshow();

// ---------------------------------------------------------------- the publish

// The record step: the command to write now (0 none, 2 pause, 3 resume); once it is in the
// block, screen_gui_command_published clears it, unless a newer request has replaced it.
// Controller thread.
uint8_t screen_gui_command();
void screen_gui_command_published(uint8_t command);
// A stored picture package ends the publishing, but never before a waiting command is out.
void screen_picture_package_stored();

// ---------------------------------------------------------------- the local player

// What the player thread is to do at the top of a run (or after it has opened nothing).
struct PlayerOrder {
  enum Kind { open, run, switch_file, quit } kind;
  char path[128];       // open: the file to start; switch_file: the switch target
  uint32_t epoch;       // run: the stream its blocks go into
};
// Registers the calling thread as the one player; false (after the wait) when another
// player would not give way. Used by play_local_h264 when called directly.
bool screen_player_take_over(const char *path);
// The player's question at the top of each run. `quit` means it is no longer the player.
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
// Pictures of the player's stream shown so far; and a wait of up to `timeout_ms` for one more
// than `since`, ended early by any new order.
uint32_t screen_player_pictures();
void screen_player_wait_picture(uint32_t since, int timeout_ms);
// A run ended on its own (a file played once, a file that gives no data): the player stops
// quietly unless a new start has already been handed to it.
void screen_player_run_ended();

// ---------------------------------------------------------------- the decoder thread

// A picture of stream `epoch` has been shown. True when the thread is to break off for a
// background switch: the owner has then ended that stream (the ring is empty, no block of the
// old file reaches the next decoder) and printed "break h264".
bool screen_picture_shown(uint32_t epoch);

// ---------------------------------------------------------------- a view for checks

struct ScreenView {
  Layer0 layer0;
  uint8_t gui;            // lvgl_state
  uint8_t command;        // data_update_type
  bool player_wanted;     // local_h264_mark
  bool player_fresh;      // a start the player has not taken yet
  int player_threads;     // 0 or 1
  bool switch_pending;
  std::string player_path;
};
ScreenView screen_view();
const char *layer0_name(Layer0 owner);
