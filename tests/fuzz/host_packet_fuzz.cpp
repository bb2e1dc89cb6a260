// Fuzz target: host packets and their follow-on blocks through the packet loop, the cipher,
// the command checks and every handler, as the host link delivers them.
//
// Input: one environment byte, then entries of
//   u16 R, R bytes: the command record (code, byte 1, check, magic, tag, payload from byte 8),
//                   zero-filled to 504 bytes
//   u16 B, B bytes: sent right after the packet (the follow-on block, or whatever the
//                   daemon makes of them)
// Record byte 1 is never read by the daemon; the target takes it as how to send the packet:
//   0x01 check and magic bytes as given (else 1A 6D)    0x08 L (bytes 8..11) = B
//   0x02 spoil the trailer                               0x10 M (bytes 12..15) = B
//   0x04 the 504 bytes are the cipher text as they stand (else the record is enciphered with
//        the packet key, padded with eight 08 bytes, like the host does)
// The environment byte: bits 0-1 the controller's control mode (1: wireless, relays dropped),
// bit 2 the GUI paused.
//
// The stream goes into one end of a socket pair, closed after the last byte; the packet loop
// reads the other end as tty_fd until it meets the end. The controller port is a plain file
// (relays are written and forgotten), a thread stands in for the decoder and takes every
// queued video block, and every input starts from the same state: players stopped, no upload
// open, the listing at its first page, the root's files as after start-up. Findings: anything
// the sanitizers catch, a reply that is not whole 512-byte pages, a path outside the root.
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <pthread.h>
#include <string>
#include <vector>

#include "app/globals.h"
#include "app/handler_state.h"
#include "app/handlers.h"
#include "app/host_link.h"
#include "crypto/host_packet.h"
#include "disp/disp.h"
#include "h264/h264.h"
#include "h264/local_player.h"
#include "screen/player.h"
#include "screen/screen.h"
#include "mcu/gui_shm.h"
#include "mcu/mcu.h"
#include "platform/root_path.h"
#include "storage/storage.h"
#include "storage/util.h"
#include "storage/version.h"
#include "tests/fuzz/fuzz_support.h"
#include "tools/host_client.h"
#include "tty/tty.h"

namespace {

constexpr size_t most_packets = 64;
constexpr size_t longest_stream = 160 * 1024;  // fits the socket's buffer with the replies
constexpr int socket_buffer = 1 << 20;
constexpr const char *controller_port = "/run/controller-port";

enum SendFlags : uint8_t {
  as_given_check = 0x01,
  spoil_trailer = 0x02,
  raw_cipher = 0x04,
  first_value_is_block = 0x08,
  second_value_is_block = 0x10,
};

AppConfig started_cfg;
int32_t started_width = 0;
int32_t started_height = 0;

// The decoder thread's part in the ring, without decoding: takes every block pushed.
void *take_video_blocks(void *) {
  for (;;) {
    std::unique_lock<std::mutex> lock(pc_mutex);
    pc_condc.wait(lock, [] { return h264_block_cnt > 0; });
    h264_cur_rd_index = (h264_cur_rd_index + 1) % h264_block_slots;
    --h264_block_cnt;
    lock.unlock();
    pc_condp.notify_all();
  }
}

// The simulated hardware keeps its state in files under the root: the physical memory and
// the panel's registers in /run/displayhead, the layers' geometry in /sys/class/graphics. On
// the device they are memory and driver attributes that no upload can truncate or rewrite,
// so an upload or small file that would land there is left out of the stream.
bool lands_on_simulated_hardware(const uint8_t *record) {
  if (record[0] != CMD_CREATE_FILE && record[0] != CMD_SAVE_SMALL_FILE) return false;
  const uint32_t length = read_be32(record + command_first_value);
  if (length > command_name_max) return false;
  const std::string name(reinterpret_cast<const char *>(record + command_name), length);
  const std::string path = root_path(name.c_str());
  for (const char *dir : {"/run/displayhead", "/sys/class/graphics"}) {
    const std::string under = fuzz_root() + dir;
    if (path.compare(0, under.size(), under) == 0) return true;
  }
  return false;
}

// The bytes on the wire for the input's entries.
std::vector<uint8_t> host_stream(InputReader &in) {
  std::vector<uint8_t> stream;
  for (size_t packets = 0; packets < most_packets && in.left() > 0; ++packets) {
    uint8_t record[des_len] = {};
    size_t record_length = in.be16();
    const uint8_t *record_bytes = in.take(record_length);
    memcpy(record, record_bytes, std::min(record_length, sizeof record));
    size_t block_length = in.be16();
    const uint8_t *block = in.take(block_length);

    const uint8_t flags = record[1];
    if (!(flags & as_given_check)) {
      record[2] = command_check;
      record[3] = command_magic;
    }
    if (flags & first_value_is_block) write_be32(record + command_first_value, uint32_t(block_length));
    if (flags & second_value_is_block) write_be32(record + command_second_value, uint32_t(block_length));
    if (lands_on_simulated_hardware(record)) continue;

    PacketBytes packet{};
    if (flags & raw_cipher) {
      memcpy(packet.data(), record, des_len);
      packet[510] = packet_trailer_0;
      packet[511] = packet_trailer_1;
    } else {
      memset(record + command_record_len, 8, des_len - command_record_len);
      packet = build_packet_from_plain(std::span<const uint8_t, des_len>(record, des_len));
    }
    if (flags & spoil_trailer) packet[511] = 0;
    stream.insert(stream.end(), packet.begin(), packet.end());
    stream.insert(stream.end(), block, block + block_length);
    if (stream.size() >= longest_stream) break;
  }
  if (stream.size() > longest_stream) stream.resize(longest_stream);
  return stream;
}

// Every input starts from the state start-up leaves.
void reset_daemon(uint8_t environment) {
  dir_page_offset = 0;
  ImgPlaying = 0;
  local_h264_switch_mark = 0;

  clear_root_except({"dev", "run"});
  for (const char *dir : {"/usr/data", "/tmp/sdcard/mmcblk0p1/img", "/media"}) {
    std::filesystem::create_directories(fuzz_path(dir));
  }
  (void)!truncate(fuzz_path(controller_port).c_str(), 0);
  {
    std::lock_guard<std::recursive_mutex> hold(cfg_lock);
    cfg = started_cfg;
  }
  if (rotation != 0 || fb_info.width != started_width || fb_info.yres != started_height) {
    set_rotation(0);
  }

  control_mode = environment & 0x03;
  lvgl_state = (environment & 0x04) ? 0 : 1;
  data_update_mark = 0;
  data_update_type = 0;
  current_theme_index = 0;
  last_theme_index = 0;
  pc_send_theme_mark = 0;
}

// Sends `stream` to the packet loop and returns how many reply bytes came back.
size_t run_packet_loop(const std::vector<uint8_t> &stream) {
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) finding("no socket pair");
  for (int end : ends) {
    setsockopt(end, SOL_SOCKET, SO_SNDBUF, &socket_buffer, sizeof socket_buffer);
    setsockopt(end, SOL_SOCKET, SO_RCVBUF, &socket_buffer, sizeof socket_buffer);
  }
  const int host = ends[0];
  fcntl(host, F_SETFL, O_NONBLOCK);
  size_t sent = 0;
  while (sent < stream.size()) {
    const ssize_t n = write(host, stream.data() + sent, stream.size() - sent);
    if (n <= 0) break;  // the buffer is full: the rest of the stream is left out
    sent += size_t(n);
  }
  shutdown(host, SHUT_WR);

  // As start-up runs the loop, and what it does when the loop gives up the port.
  tty_fd = ends[1];
  host_command_loop(reply_buf);
  // An upload outlives the port on the device; here the next input starts without one.
  if (saveFp != nullptr) discard_upload(saveFp, upload_path.c_str());
  saveFp = nullptr;
  upload_path.clear();
  close(ends[1]);

  size_t replied = 0;
  uint8_t page[4096];
  for (ssize_t n; (n = read(host, page, sizeof page)) > 0;) replied += size_t(n);
  close(host);
  return replied;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz_root();
  signal(SIGXFSZ, SIG_IGN);
  for (const char *dir : {"/usr/data", "/tmp/sdcard/mmcblk0p1/img", "/media"}) {
    std::filesystem::create_directories(fuzz_path(dir));
  }
  reply_buf = static_cast<uint8_t *>(calloc(1, cmd_len));
  r_buf = static_cast<uint8_t *>(calloc(1, max_packet_len));
  version_info = check_dev_version();
  if (init_disp() < 0) finding("the simulated display does not open");
  setVersion();
  ReadConfig();
  set_rotation(cfg.local_rotation);
  QuerryStorage();
  ReadLVGLConfig();
  started_cfg = cfg;
  started_width = fb_info.width;
  started_height = fb_info.yres;

  write_fuzz_file(controller_port, "");
  tty_fd_mcu = open(fuzz_path(controller_port).c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  pthread_t decoder;
  if (pthread_create(&decoder, nullptr, take_video_blocks, nullptr) == 0) pthread_detach(decoder);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  InputReader in{data, size};
  reset_daemon(in.byte());
  const std::vector<uint8_t> stream = host_stream(in);
  const size_t replied = run_packet_loop(stream);
  // No player outlives its input: libFuzzer looks for leaks between inputs.
  stop_players();
  if (replied % cmd_len != 0) finding("a reply is not a whole 512-byte page");
  check_nothing_beside_root();
  return 0;
}
