// The controller link: frames from the cooling controller, the messages relayed to it, and the
// theme logic.
//
// Threads:
// - the controller thread (mcu_uart_thread) reads the port, processes every frame
//   (process_controller_frame) and publishes to the GUI process (publish_gui_data);
// - the host command loop calls the relay functions below (mcu_relay.cpp) and is the only
//   writer of the port;
// - the USB monitor writes usb_connect_state.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "screen/player.h"  // current_theme_index, last_theme_index

// --- The controller's frame: 224 bytes, no length, no checksum.
constexpr int controller_frame_len = 224;
struct ControllerFrame {
  uint8_t bytes[controller_frame_len];
};
static_assert(sizeof(ControllerFrame) == 224);

// Byte offsets within a frame.
namespace frame_at {
constexpr int header0 = 0;        // 0xAA
constexpr int header1 = 1;        // 0x55
constexpr int type = 2;
constexpr int mode = 3;           // status frame: control mode
constexpr int water_temp = 4;     // status frame
constexpr int pump_high = 11;     // status frame: pump speed, big-endian
constexpr int pump_low = 12;
constexpr int host_data = 3;      // host-data frame: 17 bytes for the host
constexpr int host_data_len = 17;
constexpr int package = 3;        // picture frame: number, or 255 for the end
constexpr int picture_data = 4;   // picture frame: 220 bytes; end frame: size, big-endian
constexpr int record = 3;         // display record, bytes 3..66
constexpr int record_len = 64;
constexpr int brightness = 32;
constexpr int theme = 34;
constexpr int status_rec = 35;    // bytes 35..66 go to mcu_usb_data_rec on every frame
constexpr int rotation = 55;
constexpr int knob_step = 56;
}  // namespace frame_at

enum ControllerFrameType : uint8_t {
  frame_status = 0x46,
  frame_host_data = 0x44,
  frame_wake = 0x43,
  frame_picture = 0x99,
};
// Bytes 0 and 1 of every frame.
constexpr uint8_t frame_header_byte0 = 0xAA;
constexpr uint8_t frame_header_byte1 = 0x55;

// The control mode of a status frame (frame_at::mode).
enum ControlMode : uint8_t {
  control_offline = 0,
  control_wireless = 1,  // the controller relays a wireless peer's display record
  control_online = 2,    // the host's theme record is shown
};

// The messages relayed to the controller: the prefix { code, 0x00 }, then the payload.
enum ControllerMessage : uint8_t {
  message_light = 0xA3,     // lighting data (host 0xFC)
  message_pump_fan = 0xA4,  // 14 bytes of pump/fan settings (host 0xFB)
  message_erase = 0xA6,     // firmware erase, no payload (host 0xF7)
  message_firmware = 0xA7,  // firmware data (host 0xF8), see mcu_update_data
};
// The pump/fan message's payload: the 14 settings bytes of host command 0xFB.
constexpr int pump_fan_len = 14;

// Picture assembly: packages of 220 bytes placed by number; 0..185 fit whole, and of 186
// the first 40 bytes fit, so a picture of up to 40,960 bytes is kept whole.
constexpr int picture_buffer_len = 40960;
constexpr int picture_package_len = 220;
constexpr int picture_last_package = (picture_buffer_len - 1) / picture_package_len;  // 186
constexpr int picture_end_package = 255;
constexpr const char *picture_path = "/usr/data/aio.jpg";
static_assert(picture_last_package == 186);

// Frames after which the theme is saved: the save check runs on every 21st valid frame.
constexpr int save_check_frames = 20;

// --- Controller thread writes; host command loop reads (the control-mode gate, 0xFA).
extern std::atomic<uint8_t> control_mode;
// --- Status frames write them while the GUI is shown; the publish reads them.
extern std::atomic<uint8_t> water_temp;
extern std::atomic<uint16_t> pump_speed;
// --- Host command loop sets it (0xF9) and never clears it; the controller thread reads.
extern std::atomic<uint8_t> pc_send_theme_mark;
// --- Controller thread only: the picture being assembled.
extern uint16_t pkg_num;
extern uint8_t gImage_jpegA[picture_buffer_len];

// --- Byte areas, each copied in and out under mcu_data_lock: the controller thread fills
// mcu_usb_data_rec, the host loop copies it out (0xFA); the host loop fills
// pc_send_theme_buffer (0xF9, bytes 5..68), the controller thread copies it out (publish).
constexpr int mcu_usb_data_rec_len = 32;
constexpr int pc_send_theme_buffer_len = 128;
constexpr int host_theme_record_at = 5;
constexpr int host_theme_record_len = 64;
constexpr int host_theme_index_at = 27;  // within the host theme record
extern std::mutex mcu_data_lock;
extern uint8_t mcu_usb_data_rec[mcu_usb_data_rec_len];
extern uint8_t pc_send_theme_buffer[pc_send_theme_buffer_len];

// --- Host command loop only: the firmware-erase flag and the message prefix buffer (byte 0
// the message code, byte 1 always 0x00; only the first two bytes are sent).
extern uint8_t use_erase;
extern uint8_t before_data[7];
// --- Reported by 0xC9; nothing changes them.
extern int32_t group;
extern int32_t position;

// --- The port's descriptor (tty_fd_mcu) is replaced only under this lock: the controller
// thread holds it while it closes and reopens the port, the relay while it writes a message.
// So a message never goes to a descriptor that is closed, or reused by another open.
extern std::mutex mcu_port_lock;

// ---------------------------------------------------------------- controller thread

// Thread entry, started once by main. `arg` is the receive buffer (at least 224 bytes, main
// passes uart_r_buf); null lets the thread use one of its own. Returns only when the port
// cannot be opened or set up, at the start or after a header error; a port that hangs up is
// opened again, after a growing pause, until it is back. A failed close ends the process
// (status 1).
void *mcu_uart_thread(void *arg);

// Everything the thread does with a frame whose header is valid: control mode, the status
// record, the action by type (with the publish), the theme follow and the save check. No
// sleep. Controller thread (and tests); `frame` holds 224 bytes.
void process_controller_frame(const uint8_t *frame);

// Publishes `frame` to the GUI process: the control-mode step, then the record step. The
// steps always take effect (theme, brightness, rotation); only the write into the block is
// skipped when the GUI process holds its mutex or no block is mapped.
void publish_gui_data(const uint8_t *frame);

// The save check counts from 0 again. The thread calls it once at its start.
void reset_save_counter();

// ---------------------------------------------------------------- host command loop

// The control-mode gate: true in wireless mode, when 0xF7, 0xF8, 0xF9, 0xFB and 0xFC are
// dropped before any of their steps.
bool mcu_gate_closed();
// The relays: each sends its message within 2 s (pauses not counted) and returns 0 when all
// of it went out, -1 (after a message on standard error) when the port is not open or the
// controller did not take the message whole.
// 0xF7: sends A6 00; use_erase = 1 once it has gone out.
int mcu_erase();
// 0xF8: the payload (already read from the host) goes out, announced by A7 00 and a 50 ms
// pause when it is the first after an erase (use_erase stays 1 until A7 00 has gone out).
int mcu_update_data(const uint8_t *data, uint32_t length);
// 0xFB: A4 00, 100 ms, the 14 settings bytes (HostCommand bytes 8..21).
int mcu_set_pump_fan(const uint8_t bytes[14]);
// 0xFC: A3 00, 100 ms, the lighting data (already read from the host).
int mcu_light_data(const uint8_t *data, uint32_t length);
// 0xF9: resumes the GUI and keeps the host theme record (HostCommand bytes 8..71) for the
// publishes in online mode. Nothing goes to the controller.
void mcu_set_theme(const uint8_t record[64]);
// 0xFA: reply bytes 8..39 = mcu_usb_data_rec, 40..71 = 0. `reply` holds at least 72 bytes.
void mcu_get_data(uint8_t *reply);
// 0xC9: reply byte 8 = low byte of group, byte 9 = low byte of position.
void mcu_get_group_position(uint8_t *reply);

// Prints `text` followed by each byte as "%x " and a line end, in one piece, so that lines
// of the controller thread and the host loop never interleave.
void print_bytes(const char *text, const uint8_t *bytes, size_t count);
