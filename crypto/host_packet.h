// The host link's wire records: the 512-byte packet the host sends, the command record it
// carries once deciphered, and the plain 512-byte reply. Shared by the daemon and the host-side
// tools, so both sides agree on every offset.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int32_t cmd_len = 512;               // packet and reply size
constexpr int32_t des_len = 504;               // enciphered part of a packet
constexpr int32_t max_packet_len = 1048576;    // size of r_buf: the longest follow-on block

constexpr uint8_t packet_trailer_0 = 0xA1;     // packet byte 510
constexpr uint8_t packet_trailer_1 = 0x1A;     // packet byte 511
constexpr uint8_t command_check = 0x1A;        // command byte 2
constexpr uint8_t command_magic = 0x6D;        // command byte 3 ('m')
constexpr uint8_t reply_status_ok = 0xC8;      // reply byte 1, whatever happened

// The packet key serves as DES key and as CBC IV.
constexpr char packet_key[] = "qkw7rnvb";
constexpr size_t packet_key_len = 8;

struct HostPacket {
  uint8_t cipher[504];   // DES-CBC cipher text of the command record
  uint8_t unused[6];     // any value; never read
  uint8_t trailer[2];    // A1 1A
};
static_assert(sizeof(HostPacket) == 512);

// A deciphered command record is 496..504 bytes (504 less 0..8 padding bytes). Handlers read
// no further than byte 495, which every record has.
struct HostCommand {
  uint8_t code;
  uint8_t unused;
  uint8_t check;         // 0x1A
  uint8_t magic;         // 0x6D
  uint8_t tag[4];        // echoed in the reply
  uint8_t payload[488];  // command bytes 8..495
};
static_assert(sizeof(HostCommand) == 496);

// The record the host enciphers: 496 bytes, padded by the cipher to 504.
constexpr size_t command_record_len = sizeof(HostCommand);

struct HostReply {
  uint8_t code;
  uint8_t status;        // always 0xC8
  uint8_t tag[4];
  uint8_t reserved[2];
  uint8_t result[504];   // reply bytes 8..511
};
static_assert(sizeof(HostReply) == 512);

// Offsets inside a command record (whole-record byte numbers).
constexpr size_t command_first_value = 8;      // L: 32-bit big-endian
constexpr size_t command_second_value = 12;    // M: 32-bit big-endian
constexpr size_t command_name = 16;            // name or path, L bytes, no terminator
constexpr size_t command_name_max = 480;       // the longest name that fits every record

// Offsets inside a reply.
constexpr size_t reply_result = 8;

inline uint32_t read_be32(const uint8_t *p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}
inline void write_be32(uint8_t *p, uint32_t v) {
  p[0] = uint8_t(v >> 24); p[1] = uint8_t(v >> 16); p[2] = uint8_t(v >> 8); p[3] = uint8_t(v);
}
inline uint32_t read_le32(const uint8_t *p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline void write_le32(uint8_t *p, uint32_t v) {
  p[0] = uint8_t(v); p[1] = uint8_t(v >> 8); p[2] = uint8_t(v >> 16); p[3] = uint8_t(v >> 24);
}

// Command codes, by the system's names for them.
enum HostCommandCode : uint8_t {
  CMD_GET_VERSION = 0x0A,
  CMD_REBOOT = 0x0B,
  CMD_HALT = 0x0C,
  CMD_SET_ROTATION = 0x0D,
  CMD_SET_BRIGHTNESS = 0x0E,
  CMD_SET_FRAMERATE = 0x0F,
  CMD_CREATE_FILE = 0x26,
  CMD_SAVE_FILE_BUFFER = 0x27,
  CMD_SAVE_SMALL_FILE = 0x28,
  CMD_DELETE_FILE = 0x2A,
  CMD_GET_FILE_SIZE = 0x62,
  CMD_QUERY_DIR = 0x63,
  CMD_QUERY_STORAGE = 0x64,
  CMD_SHOW_JPG = 0x65,
  CMD_SHOW_PNG = 0x66,
  CMD_PLAY_LOCAL_H264 = 0x6E,
  CMD_STOP_LOCAL_H264 = 0x6F,
  CMD_GET_LOCAL_H264_STATE = 0x70,
  CMD_PLAY_LOCAL_JPG = 0x71,
  CMD_STOP_LOCAL_JPG = 0x72,
  CMD_PUSH_H264_BLOCK = 0x79,
  CMD_GET_H264_BLOCK_COUNT = 0x7A,
  CMD_STOP_H264 = 0x7B,
  CMD_SET_CONFIG = 0x7D,
  CMD_MARK_USB_DISPLAY = 0x96,
  CMD_GET_GROUP_POSITION = 0xC9,
  CMD_MCU_ERASE = 0xF7,
  CMD_MCU_UPDATE_DATA = 0xF8,
  CMD_SET_THEME = 0xF9,
  CMD_GET_MCU_DATA = 0xFA,
  CMD_MCU_SET_PUMP_FAN = 0xFB,
  CMD_MCU_LIGHT_DATA = 0xFC,
  CMD_TEST_H264_DECODE = 0xFD,
};
