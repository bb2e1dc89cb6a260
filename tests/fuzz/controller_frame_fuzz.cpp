// Fuzz target: controller frames through frame processing and the publish to the GUI block,
// as the controller thread handles every frame it reads.
//
// Input: one environment byte, then 224-byte frames (a short last one is zero-filled). A frame
// without the AA 55 header is skipped, as the thread drops it when it reopens the port.
// The environment byte: bits 0-1 the control mode before the first frame, bit 2 the GUI
// paused, bit 3 the host attached, bit 4 a host theme record (0xF9) comes first: the 64 bytes
// after the environment byte.
//
// The GUI block is the real one under the sandbox root. Findings: anything the sanitizers
// catch, and a theme index outside the 13 background videos, in the daemon's globals or in
// the record the GUI process reads.
#include <cstring>
#include <filesystem>
#include <mutex>

#include "disp/disp.h"
#include "h264/local_player.h"
#include "screen/player.h"
#include "screen/screen.h"
#include "mcu/gui_shm.h"
#include "mcu/mcu.h"
#include "storage/util.h"
#include "tests/fuzz/fuzz_support.h"
#include "usb_state/usb_state.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

GuiSharedBlock *gui_view = nullptr;  // the GUI process's view of the block
AppConfig started_cfg;

void reset_daemon(uint8_t environment) {
  local_h264_switch_mark = 0;
  local_h264_switch_path = nullptr;
  local_last_h264_switch_path = nullptr;
  clear_root_except({"dev", "run"});
  std::filesystem::create_directories(fuzz_path("/usr/data"));
  {
    std::lock_guard<std::recursive_mutex> hold(cfg_lock);
    cfg = started_cfg;
  }
  if (rotation != 0) set_rotation(0);

  control_mode = environment & 0x03;
  lvgl_state = (environment & 0x04) ? 0 : 1;
  usb_connect_state = (environment & 0x08) ? 1 : 0;
  water_temp = 0;
  pump_speed = 0;
  current_theme_index = 0;
  last_theme_index = 0;
  pc_send_theme_mark = 0;
  data_update_mark = 0;
  data_update_type = 0;
  lvgl_cfg = GuiConfig{0, 13, 16};
  pkg_num = 0;
  memset(gImage_jpegA, 0, sizeof gImage_jpegA);
  memset(pc_send_theme_buffer, 0, sizeof pc_send_theme_buffer);
  reset_save_counter();
}

void check_themes() {
  if (current_theme_index >= background_video_count || last_theme_index >= background_video_count) {
    finding("the theme index names no background video");
  }
  if (gui_view->record[gui_record::theme_index] >= background_video_count) {
    finding("the GUI block carries a theme index without a background video");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz_root();
  std::filesystem::create_directories(fuzz_path("/usr/data"));
  if (init_disp() < 0) finding("the simulated display does not open");
  ReadConfig();
  started_cfg = cfg;
  gui_helper_start();  // forks: before any thread starts
  gui_shm_create();
  const int fd = open_gui_block(O_RDWR, 0);
  void *map = fd >= 0 ? mmap(nullptr, gui_block_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0)
                      : MAP_FAILED;
  if (fd >= 0) close(fd);
  gui_view = map == MAP_FAILED ? nullptr : static_cast<GuiSharedBlock *>(map);
  if (gui_view == nullptr) finding("the GUI block does not map");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  InputReader in{data, size};
  const uint8_t environment = in.byte();
  reset_daemon(environment);
  memset(gui_view->record, 0, sizeof gui_view->record);

  if (environment & 0x10) {
    uint8_t record[host_theme_record_len] = {};
    size_t length = sizeof record;
    memcpy(record, in.take(length), length);
    mcu_set_theme(record);
  }
  while (in.left() > 0) {
    uint8_t frame[controller_frame_len] = {};
    size_t length = sizeof frame;
    memcpy(frame, in.take(length), length);
    if (frame[0] != 0xAA || frame[1] != 0x55) continue;
    process_controller_frame(frame);
    check_themes();
  }
  // No player outlives its input: libFuzzer looks for leaks between inputs.
  stop_players();
  return 0;
}
