// The controller thread.
//
// The controller streams fixed 224-byte frames with neither length nor checksum; the only
// framing check is the AA 55 header. A frame that fails it means the stream has slipped: the
// port is closed and opened again, which flushes whatever it held, and reading starts afresh.
// Every frame with a valid header is processed whole (process_controller_frame): the control
// mode and the status record first, then the action of its type, which may publish the state
// to the GUI process, then the theme follow and the save check. The thread then sleeps 50 ms.
//
// Everything a frame carries is bounded before use: theme indices must name one of the 13
// background videos, picture packages must fit the assembly buffer and an end frame must not
// announce more than the buffer holds. A frame outside those bounds is logged and its picture
// or theme dropped; it never reaches past a table or a buffer.
//
// A picture is shown only when every package its size needs has come since the last end frame:
// a missing one would leave bytes of the picture before in its place, and the panel would show
// a mix of two pictures. Such a picture is refused with a message; the one before stays.
// Packages may come in any order, so the end frame is the only thing that delimits pictures:
// a package 0 does not start a new one (it may come after others of its own picture).
//
// A port that hangs up (its far end closed: a simulated controller that ended; a UART does not)
// fails every read at once. It is given up with one message and opened again after a pause
// that doubles from 1 s up to the read's own 15 s, until it is back, so a port that is gone
// neither spins nor fills the log. A port that opens but cannot be set up is closed at once:
// nothing is written through a port that is not at the link's speed and in raw mode.
//
// Locks: the control-mode and record steps of a publish fill the daemon's own copy of the
// record, taking mcu_data_lock while they copy the host theme record; only the hand-over to
// the block takes the block's mutex, briefly. mcu_port_lock is held only while the port is
// closed or opened.
#include "mcu/mcu.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <bitset>
#include <chrono>
#include <cstdio>
#include <new>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "disp/disp.h"
#include "disp/image.h"
#include "h264/local_player.h"
#include "mcu/gui_shm.h"
#include "screen/player.h"
#include "screen/screen.h"
#include "storage/storage.h"
#include "storage/util.h"
#include "tty/tty.h"
#include "usb_state/usb_state.h"

namespace {

constexpr auto frame_pause = std::chrono::microseconds(50000);
// A read that fails sooner than this did not wait for data (the port reports an error at
// once without having hung up); the loop then pauses this long instead of spinning.
constexpr auto quick_failure = std::chrono::milliseconds(100);
// A hung-up port is opened again after this pause, doubled after each failed open up to the
// longest.
constexpr auto first_reopen_pause = std::chrono::seconds(1);
constexpr auto longest_reopen_pause = std::chrono::seconds(uart_first_byte_timeout_s);

// The picture packages stored since the last end frame. Controller thread only.
std::bitset<picture_last_package + 1> packages_stored;

// Frames counted towards the next save check. The controller thread counts; the thread's
// start (and tests) reset it.
std::atomic<int> save_counter{0};

bool valid_theme(int index) { return index >= 0 && index < background_video_count; }

// The number of themes the knob cycles through: lvgl_cfg's count, kept within the table.
int knob_theme_count() {
  const int count = lvgl_theme_count();
  return count > 0 && count <= background_video_count ? count : background_video_count;
}


// --- The control-mode step of a publish, on the daemon's copy of the record.

void offline_step(const uint8_t *frame) {
  puts("offline data");
  if (frame[frame_at::knob_step] != 1) return;
  puts("receive encoder data, update theme index\r");
  // One step on whatever the index holds: start-up may store the saved theme meanwhile.
  const int count = knob_theme_count();
  uint8_t theme = current_theme_index;
  while (!current_theme_index.compare_exchange_weak(
      theme, static_cast<uint8_t>(static_cast<uint8_t>(theme + 1) % count))) {
  }
}

void wireless_step(const uint8_t *frame, GuiRecord *shared) {
  puts("wireless data");
  static_assert(gui_record::display_record_first == frame_at::record &&
                gui_record::display_record_end == frame_at::record + frame_at::record_len);
  gui_record_put(shared, gui_record::display_record_first, frame + frame_at::record,
                 frame_at::record_len);
  const uint8_t theme = frame[frame_at::theme];
  if (valid_theme(theme)) {
    current_theme_index = theme;
  } else {
    fprintf(stderr, "wireless theme index %d out of range, theme %d kept\n", theme,
            current_theme_index.load());
  }
  // The GUI process reads a theme index here: never one without a background video.
  gui_record_put(shared, gui_record::theme_index, current_theme_index);

  if (usb_connect_state == 1) return;  // the host owns brightness and rotation
  const uint8_t level = frame[frame_at::brightness];
  if (level != current_bright) {
    if (level != 0) {
      set_brightness(level, 0);
    } else {
      set_brightness(0, 1);
    }
  }
  // The rotation is compared, kept and applied in one step under cfg_lock, as the host's
  // rotation command does: one that comes meanwhile is applied wholly before or after, so the
  // rotation kept is always the one on the screen.
  const uint8_t rotation_code = frame[frame_at::rotation];
  std::lock_guard<std::recursive_mutex> hold(cfg_lock);
  if (rotation_code == cfg.local_rotation) return;
  cfg.local_rotation = rotation_code;
  set_rotation(rotation_code);
}

void online_step(GuiRecord *shared) {
  puts("online data");
  if (pc_send_theme_mark != 1) return;
  {
    std::lock_guard<std::mutex> hold(mcu_data_lock);
    const uint8_t *record = pc_send_theme_buffer + host_theme_record_at;
    const uint8_t theme = record[host_theme_index_at];
    // An index out of range was reported when the record came in; the theme stays.
    if (valid_theme(theme)) current_theme_index = theme;
    // The display record's bytes 5..34 without the pump speed at 11..12.
    gui_record_put(shared, gui_record::theme_data_first, record, 6);       // record 0..5
    gui_record_put(shared, gui_record::theme_data_second, record + 6, 22);  // record 6..27
  }
  gui_record_put(shared, gui_record::theme_index, current_theme_index);
}

void publish_if_requested(const uint8_t *frame) {
  if (data_update_mark == 1) publish_gui_data(frame);
}

// A picture frame while the GUI is shown. Packages land by number; the end frame saves and
// shows the first `size` bytes.
void store_picture_package(const uint8_t *frame) {
  pkg_num = frame[frame_at::package];
  printf("pic package %d\r\n", pkg_num);
  if (pkg_num == picture_end_package) {
    const int size = frame[frame_at::picture_data] * 256 + frame[frame_at::picture_data + 1];
    const std::bitset<picture_last_package + 1> stored_packages = packages_stored;
    packages_stored.reset();  // the next picture starts afresh, whether this one is shown or not
    const int needed = (size + picture_package_len - 1) / picture_package_len;
    int missing = 0, first_missing = -1;
    for (int package = 0; size <= picture_buffer_len && package < needed; ++package) {
      if (stored_packages[size_t(package)]) continue;
      if (first_missing < 0) first_missing = package;
      ++missing;
    }
    if (size > picture_buffer_len) {
      printf("receive img size = %d\n", size);
      fprintf(stderr, "picture of %d bytes is larger than the %d-byte buffer, not shown\n", size,
              picture_buffer_len);
    } else if (missing > 0) {
      printf("receive img size = %d\n", size);
      fprintf(stderr, "picture of %d bytes not shown: package %d missing (%d of %d missing)\n",
              size, first_missing, missing, needed);
    } else {
      // The screen owner stops the local video and draws the picture, unless a pause has
      // come in meanwhile. One that could not be stored is drawn from the buffer: the file
      // still holds the picture before it, which the controller did not send this time.
      const bool stored =
          save_small_file(picture_path, gImage_jpegA, static_cast<size_t>(size)) == 0;
      printf("receive img size = %d\n", size);
      if (stored) {
        screen_show_controller_picture(picture_path);
      } else {
        fprintf(stderr, "%s not stored: the picture is shown from memory\n", picture_path);
        screen_show_controller_picture(picture_path, gImage_jpegA, size);
      }
    }
  } else if (pkg_num > picture_last_package) {
    fprintf(stderr, "picture package %d lies beyond the %d-byte buffer, dropped\n", pkg_num,
            picture_buffer_len);
  } else {
    const int at = pkg_num * picture_package_len;
    memcpy(gImage_jpegA + at, frame + frame_at::picture_data,
           std::min(picture_package_len, picture_buffer_len - at));
    packages_stored.set(pkg_num);
  }
  // Publishing ends here, but a pause or resume still waiting goes out with the next frame.
  screen_picture_package_stored();
}

// Switches the background video to the current theme once the GUI is shown: one request to
// the screen owner, which tests the GUI state under the lock that a pause takes.
void follow_theme() { screen_follow_theme(current_theme_index, last_theme_index); }

// Every 21st frame brings the stored theme up to date. Before start-up has loaded the
// settings (lvgl_state 0xFF) the main thread is still reading them: nothing is saved then,
// and the count starts again.
void check_save() {
  if (save_counter < save_check_frames) {
    ++save_counter;
    return;
  }
  save_counter = 0;
  if (lvgl_state == 0xFF) return;
  const uint8_t theme = current_theme_index;
  puts("save -------------------------");
  // The record changes under cfg_lock (start-up reads the theme under it); the file is
  // written after, from a snapshot.
  bool changed = false;
  uint8_t stored = 0;
  {
    std::lock_guard<std::recursive_mutex> hold(cfg_lock);
    printf("theme %d %d\n", lvgl_cfg.theme_index, theme);
    stored = lvgl_cfg.theme_index;
    changed = stored != theme;
    if (changed) lvgl_cfg.theme_index = theme;
  }
  if (changed) {
    puts("save theme index to config");
    if (SaveLVGLConfig() != 0) {
      // Not stored: the record says again what the file holds, so the next check tries again.
      std::lock_guard<std::recursive_mutex> hold(cfg_lock);
      if (lvgl_cfg.theme_index == theme) lvgl_cfg.theme_index = stored;
    }
  }
}

// --- The port.

// Opens and sets up the port. A port that opens but cannot be set up is closed again, so that
// the relays find it not open rather than write through it.
int open_port() {
  std::lock_guard<std::mutex> hold(mcu_port_lock);
  if (init_mcu_tty() == 0) return 0;
  const int fd = tty_fd_mcu;
  if (fd > 0) {
    uart_close(fd);
    fputs("controller port cannot be set up: closed, nothing is sent to the controller\n", stderr);
  }
  tty_fd_mcu = -1;
  return -1;
}

// Whether the port has hung up: its far end has gone, and every read fails at once.
bool port_hung_up(int fd) {
  pollfd port{fd, POLLIN, 0};
  return poll(&port, 1, 0) == 1 && (port.revents & POLLHUP) != 0;
}

void report_header_error(const uint8_t *frame) {
  puts("uart receive header error");
  print_bytes("", frame, controller_frame_len);
  puts("uart receive header end");
  puts("------------------------reopen");
}

// Closes the port for a reopen; a failed close ends the process.
void close_port() {
  std::lock_guard<std::mutex> hold(mcu_port_lock);
  if (uart_close(tty_fd_mcu) == -1) {
    fputs("close mcu uart failed!\n", stderr);
    exit(1);
  }
  tty_fd_mcu = -1;  // until the reopen: the relay must not write to a closed descriptor
}

// After a hang-up: the port is closed and opened again, after a pause that grows while it is
// not back. Returns once it is open.
void reopen_hung_up_port() {
  close_port();
  fputs("controller port hung up: closed, opened again when it is back\n", stderr);
  std::chrono::seconds pause = first_reopen_pause;
  for (;;) {
    std::this_thread::sleep_for(pause);
    if (open_port() == 0) break;
    pause = std::min(pause * 2, longest_reopen_pause);
  }
  puts("controller port is open again");
}

enum class PortEnd { header_error, hung_up };

// Reads and processes frames until the stream slips (a header error, reported) or the port
// hangs up.
PortEnd read_frames(uint8_t *frame) {
  for (;;) {
    puts("uart thread ");
    const auto started = std::chrono::steady_clock::now();
    if (uart_read(tty_fd_mcu, frame, controller_frame_len) <= 0) {
      puts("mcu uart read error");
      if (port_hung_up(tty_fd_mcu)) return PortEnd::hung_up;
      if (std::chrono::steady_clock::now() - started < quick_failure) {
        std::this_thread::sleep_for(quick_failure);
      }
      continue;
    }
    if (frame[frame_at::header0] != frame_header_byte0 ||
        frame[frame_at::header1] != frame_header_byte1) {
      report_header_error(frame);
      return PortEnd::header_error;
    }
    // A frame that cannot have the memory its work needs is dropped; the link goes on.
    try {
      process_controller_frame(frame);
    } catch (const std::bad_alloc &) {
      fprintf(stderr, "controller frame dropped: out of memory\n");
    }
    std::this_thread::sleep_for(frame_pause);
  }
}

}  // namespace

void reset_save_counter() { save_counter = 0; }

void publish_gui_data(const uint8_t *frame) {
  GuiRecord *shared = gui_publish_begin();
  switch (control_mode.load()) {
    case 0:
      offline_step(frame);
      break;
    case 1:
      wireless_step(frame, shared);
      break;
    case 2:
      online_step(shared);
      break;
    default:
      break;
  }
  gui_record_step(shared);
}

void process_controller_frame(const uint8_t *frame) {
  const uint8_t type = frame[frame_at::type];
  if (type == frame_status && frame[frame_at::mode] != control_mode) {
    control_mode = frame[frame_at::mode];
    screen_request_publish();
    printf("control mode = %d\n", control_mode.load());
  }
  {
    std::lock_guard<std::mutex> hold(mcu_data_lock);
    memcpy(mcu_usb_data_rec, frame + frame_at::status_rec, mcu_usb_data_rec_len);
    if (type == frame_host_data) {
      memcpy(mcu_usb_data_rec, frame + frame_at::host_data, frame_at::host_data_len);
    }
  }

  switch (type) {
    case frame_wake:
      // In wireless mode the screen goes back to the GUI, as when the host has gone.
      if (control_mode == 1) lvgl_resume();
      publish_if_requested(frame);
      break;
    case frame_status:
      if (screen_status_frame()) {
        water_temp = frame[frame_at::water_temp];
        pump_speed = static_cast<uint16_t>(frame[frame_at::pump_high] * 256 +
                                           frame[frame_at::pump_low]);
        publish_gui_data(frame);
      } else {
        publish_if_requested(frame);
      }
      break;
    case frame_picture:
      if (screen_picture_frame()) {
        store_picture_package(frame);
      } else {
        publish_if_requested(frame);
      }
      break;
    default:
      publish_if_requested(frame);
      break;
  }

  follow_theme();
  check_save();
}

void *mcu_uart_thread(void *arg) {
  static uint8_t own_buffer[controller_frame_len];
  uint8_t *frame = arg != nullptr ? static_cast<uint8_t *>(arg) : own_buffer;

  gui_shm_create();
  reset_save_counter();
  if (open_port() < 0) {
    puts("---------------------init mcu tty error");
    return nullptr;
  }
  for (;;) {
    if (read_frames(frame) == PortEnd::hung_up) {
      reopen_hung_up_port();
      continue;
    }
    // A header error: the port is closed and opened again, which flushes what it held.
    close_port();
    if (open_port() < 0) {
      puts("---------------------init mcu tty error");
      return nullptr;
    }
  }
}
