// Prints the packets tools/host_client builds for every host command, one line each:
// "LABEL HEX", with the tag 11 22 33 44 and the payloads laid out as dhhost lays them out.
// The Python package's tests build the same commands through its HostLink and compare.
#include <cstdio>
#include <string>
#include <vector>

#include "crypto/host_packet.h"
#include "tools/host_client.h"

namespace {

const std::array<uint8_t, 4> tag = {0x11, 0x22, 0x33, 0x44};

void print(const char *label, uint8_t code, const std::vector<uint8_t> &payload = {}) {
  const PacketBytes packet = build_packet(code, tag, payload);
  printf("%s ", label);
  for (uint8_t byte : packet) printf("%02x", byte);
  printf("\n");
}

std::vector<uint8_t> name(const std::string &path, uint32_t second = 0) {
  std::string text = name_payload(path);
  std::vector<uint8_t> payload(text.begin(), text.end());
  write_be32(payload.data() + 4, second);
  return payload;
}

std::vector<uint8_t> length_first(uint32_t length) {
  std::vector<uint8_t> payload(4);
  write_be32(payload.data(), length);
  return payload;
}

std::vector<uint8_t> length_second(uint32_t length) {
  std::vector<uint8_t> payload(8, 0);
  write_be32(payload.data() + 4, length);
  return payload;
}

std::vector<uint8_t> chunk(uint32_t length, bool last) {
  std::vector<uint8_t> payload(9, 0);
  write_be32(payload.data(), length);
  write_be32(payload.data() + 4, length);
  payload[8] = last ? 1 : 0;
  return payload;
}

std::vector<uint8_t> counting(size_t length, uint8_t first) {
  std::vector<uint8_t> bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = uint8_t(first + i);
  return bytes;
}

}  // namespace

int main() {
  const std::string card = "/tmp/sdcard/mmcblk0p1";
  print("version", CMD_GET_VERSION);
  print("reboot", CMD_REBOOT);
  print("halt", CMD_HALT);
  print("set_rotation", CMD_SET_ROTATION, {1});
  print("set_brightness", CMD_SET_BRIGHTNESS, {80});
  print("set_framerate", CMD_SET_FRAMERATE, {24});
  print("create_file", CMD_CREATE_FILE, name(card + "/up.bin"));
  print("save_chunk", CMD_SAVE_FILE_BUFFER, chunk(4096, false));
  print("save_last_chunk", CMD_SAVE_FILE_BUFFER, chunk(100, true));
  print("save_small_file", CMD_SAVE_SMALL_FILE, name(card + "/small.bin", 70));
  print("delete", CMD_DELETE_FILE, name(card + "/up.bin"));
  print("file_size", CMD_GET_FILE_SIZE, name(card + "/up.bin"));
  print("ls", CMD_QUERY_DIR, name(card + "/img"));
  print("ls_longest_name", CMD_QUERY_DIR, name("/" + std::string(479, 'n')));
  print("df", CMD_QUERY_STORAGE);
  print("show_jpg", CMD_SHOW_JPG, length_first(1234));
  print("show_png", CMD_SHOW_PNG, length_first(999));
  print("play_local_h264", CMD_PLAY_LOCAL_H264, name("/media/bg_h264/bg1.h264"));
  print("stop_local_h264", CMD_STOP_LOCAL_H264);
  print("local_h264_playing", CMD_GET_LOCAL_H264_STATE);
  print("play_local_jpg", CMD_PLAY_LOCAL_JPG, name(card + "/img/slide-1.jpg"));
  print("stop_local_jpg", CMD_STOP_LOCAL_JPG);
  print("push_h264_block", CMD_PUSH_H264_BLOCK, length_first(202752));
  print("push_end_of_stream", CMD_PUSH_H264_BLOCK, length_first(5));
  print("h264_block_count", CMD_GET_H264_BLOCK_COUNT);
  print("stop_h264", CMD_STOP_H264);
  print("set_config", CMD_SET_CONFIG, {0x64, 0x02, 0x00, 0x01, 0x00, 0x01});
  print("mark_usb_display", CMD_MARK_USB_DISPLAY);
  print("group_position", CMD_GET_GROUP_POSITION);
  print("mcu_erase", CMD_MCU_ERASE);
  print("mcu_update_data", CMD_MCU_UPDATE_DATA, length_second(4096));
  print("set_theme", CMD_SET_THEME, counting(64, 0x40));
  print("mcu_data", CMD_GET_MCU_DATA);
  print("relay_pump_fan", CMD_MCU_SET_PUMP_FAN, counting(14, 1));
  print("relay_light", CMD_MCU_LIGHT_DATA, length_second(300));
  print("test_h264_decode", CMD_TEST_H264_DECODE);
  return 0;
}
