#include "tests/h264/video_sandbox.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "h264/h264.h"
#include "h264/local_player.h"
#include "screen/player.h"
#include "screen/screen.h"

void write_device_file(const std::string &device_path, const Bytes &bytes) {
  std::filesystem::path path = test_root() + device_path;
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
}

void write_device_file(const std::string &device_path, const std::string &text) {
  write_device_file(device_path, Bytes(text.begin(), text.end()));
}

void remove_device_file(const std::string &device_path) {
  std::error_code error;
  std::filesystem::remove(test_root() + device_path, error);
}

std::optional<TakenBlock> take_block(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(pc_mutex);
  if (!pc_condc.wait_for(lock, timeout, [] { return h264_block_cnt > 0; })) return std::nullopt;
  const H264Block &slot = h264_block_array[h264_cur_rd_index];
  TakenBlock taken{Bytes(slot.data, slot.data + slot.length), h264_cur_rd_index};
  h264_cur_rd_index = (h264_cur_rd_index + 1) % h264_block_slots;
  --h264_block_cnt;
  lock.unlock();
  pc_condp.notify_all();
  return taken;
}

void reset_video_state() {
  stop_local_h264();
  EXPECT_TRUE(wait_until([] { return local_h264_players() == 0 && local_h264_playing == 0; },
                         std::chrono::seconds(5)));
  stop_h264();
  local_h264_switch_mark = 0;
  local_h264_switch_path = nullptr;
  local_last_h264_switch_path = nullptr;
}
