// Base64 with the RFC 4648 alphabet, "=" padding and no line breaks.
//
// Design: `base64_encode` / `base64_decode` work on caller buffers whose sizes follow from the
// input length alone; `base64_en` / `base64_de` wrap them in the calling style of the packet
// cipher and hand out blocks sized to the result. The decoder is strict: the text must come in
// whole groups of four, every character before the first "=" must be in the alphabet (a byte of
// 128 or more is refused before it can index the 128-entry table), and a text starting with "="
// decodes to nothing. It writes whole groups only as they complete, so whatever the input it
// never writes more than length / 4 * 3 bytes plus the terminating NUL.
#include "crypto/base64.h"

#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/owners.h"

namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr uint8_t invalid = 0xFF;

// Character code (0..127) to its 6-bit value, or `invalid`; "=" is invalid here too.
constexpr std::array<uint8_t, 128> decoding_table = [] {
  std::array<uint8_t, 128> table{};
  table.fill(invalid);
  for (uint8_t value = 0; value < 64; ++value) table[static_cast<uint8_t>(alphabet[value])] = value;
  return table;
}();

// The 1-byte block holding a NUL that the wrappers hand out when they produce nothing.
template <typename T>
int hand_out_nothing(T **out_block, size_t *size) {
  *size = 0;
  *out_block = static_cast<T *>(std::calloc(1, 1));
  return 1;
}

}  // namespace

size_t base64_encode(const uint8_t *data, size_t length, char *text) {
  size_t out = 0;
  size_t i = 0;
  for (; i + 2 < length; i += 3) {
    const uint32_t group = (uint32_t{data[i]} << 16) | (uint32_t{data[i + 1]} << 8) | data[i + 2];
    text[out++] = alphabet[(group >> 18) & 0x3F];
    text[out++] = alphabet[(group >> 12) & 0x3F];
    text[out++] = alphabet[(group >> 6) & 0x3F];
    text[out++] = alphabet[group & 0x3F];
  }
  const size_t rest = length - i;   // 0, 1 or 2
  if (rest > 0) {
    uint32_t group = uint32_t{data[i]} << 16;
    if (rest == 2) group |= uint32_t{data[i + 1]} << 8;
    text[out++] = alphabet[(group >> 18) & 0x3F];
    text[out++] = alphabet[(group >> 12) & 0x3F];
    text[out++] = rest == 2 ? alphabet[(group >> 6) & 0x3F] : '=';
    text[out++] = '=';
  }
  text[out] = '\0';
  return out;
}

size_t base64_decode(const char *text, size_t length, uint8_t *bytes) {
  if (length % 4 != 0) return 0;
  if (length == 0 || text[0] == '=') {
    bytes[0] = '\0';
    return 0;
  }

  size_t out = 0;
  uint32_t group = 0;   // the 6-bit values of the current group, most significant first
  size_t held = 0;      // how many characters `group` holds (0..3)
  for (size_t i = 0; i < length; ++i) {
    const auto code = static_cast<unsigned char>(text[i]);
    if (code == '=') break;
    if (code >= decoding_table.size() || decoding_table[code] == invalid) return 0;
    group = (group << 6) | decoding_table[code];
    if (++held == 4) {
      bytes[out++] = static_cast<uint8_t>(group >> 16);
      bytes[out++] = static_cast<uint8_t>(group >> 8);
      bytes[out++] = static_cast<uint8_t>(group);
      group = 0;
      held = 0;
    }
  }
  // A group cut short by "=": two characters carry one byte, three carry two, one carries none.
  if (held == 2) {
    bytes[out++] = static_cast<uint8_t>(group >> 4);
  } else if (held == 3) {
    bytes[out++] = static_cast<uint8_t>(group >> 10);
    bytes[out++] = static_cast<uint8_t>(group >> 2);
  }
  bytes[out] = '\0';
  return out;
}

int base64_en(const uint8_t *data, char **out_block, size_t *size) {
  const size_t capacity = (*size + 2) / 3 * 4 + 1;
  std::unique_ptr<char, FreeDeleter> scratch(static_cast<char *>(std::malloc(capacity)));
  if (!scratch) return hand_out_nothing(out_block, size);

  const size_t text_length = base64_encode(data, *size, scratch.get());
  if (text_length == 0) return hand_out_nothing(out_block, size);

  auto *block = static_cast<char *>(std::calloc(text_length + 1, 1));
  if (!block) return hand_out_nothing(out_block, size);
  std::memcpy(block, scratch.get(), text_length);
  *out_block = block;
  *size = text_length;
  return 0;
}

int base64_de(const char *text, uint8_t **out_block, size_t *size) {
  const size_t capacity = *size / 4 * 3 + 1;
  std::unique_ptr<uint8_t, FreeDeleter> scratch(static_cast<uint8_t *>(std::malloc(capacity)));
  if (!scratch) return hand_out_nothing(out_block, size);

  const size_t byte_count = base64_decode(text, *size, scratch.get());
  if (byte_count == 0) return hand_out_nothing(out_block, size);

  auto *block = static_cast<uint8_t *>(std::malloc(byte_count));
  if (!block) return hand_out_nothing(out_block, size);
  std::memcpy(block, scratch.get(), byte_count);
  *out_block = block;
  *size = byte_count;
  return 0;
}
