// Fuzz target: the Base64 decoder, MD5 and the packet cipher on arbitrary bytes.
//
// Input: one byte that cuts the rest in two (at its value times the length over 256), then the
// bytes. Every output buffer is exactly as large as its contract says, so a write past it is a
// sanitizer finding. Findings besides: a decode longer than its bound, an encoding that does
// not decode back, an MD5 that differs when the data come in two pieces, a hex form that is
// not the digest, a cipher round trip that does not give the plain text back.
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <vector>

#include "crypto/base64.h"
#include "crypto/crypto.h"
#include "crypto/md5.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

void check_base64(const uint8_t *data, size_t size) {
  // Arbitrary text: at most length / 4 * 3 bytes and the NUL, into a buffer of exactly that.
  // (A rejected text leaves what it produced before the bad character, unterminated.)
  std::vector<uint8_t> bytes(size / 4 * 3 + 1);
  const size_t produced = base64_decode(reinterpret_cast<const char *>(data), size, bytes.data());
  if (produced > size / 4 * 3 || (produced > 0 && bytes[produced] != 0)) {
    finding("base64_decode overran its bound");
  }

  uint8_t *block = nullptr;
  size_t length = size;
  base64_de(reinterpret_cast<const char *>(data), &block, &length);
  if (block == nullptr || length != produced || memcmp(block, bytes.data(), length) != 0) {
    finding("base64_de differs from base64_decode");
  }
  free(block);

  // The data as bytes: encoded and decoded back.
  if (size == 0) return;
  std::vector<char> text((size + 2) / 3 * 4 + 1);
  const size_t text_length = base64_encode(data, size, text.data());
  std::vector<uint8_t> back(text_length / 4 * 3 + 1);
  if (base64_decode(text.data(), text_length, back.data()) != size ||
      memcmp(back.data(), data, size) != 0) {
    finding("base64 does not decode its own encoding");
  }
}

void check_md5(const uint8_t *data, size_t size, size_t cut) {
  // The same bytes in two pieces.
  MD5_CTX context;
  MD5Init(&context);
  MD5Update(&context, data, cut);
  MD5Update(&context, data + cut, size - cut);
  uint8_t pieces[16];
  MD5Final(pieces, &context);
  char hex_digits[33];
  for (int i = 0; i < 16; ++i) snprintf(hex_digits + 2 * i, 3, "%02X", pieces[i]);

  uint8_t *digest = nullptr;
  size_t length = size;
  if (md5(0, data, &digest, &length) != 0 || length != 16 || memcmp(digest, pieces, 16) != 0) {
    finding("md5 differs when the data come in two pieces");
  }
  free(digest);
  uint8_t *hex = nullptr;
  length = size;
  if (md5(1, data, &hex, &length) != 0 || length != 32 || memcmp(hex, hex_digits, 33) != 0) {
    finding("md5's hex form is not the digest of the data");
  }
  free(hex);
}

void check_cipher(const uint8_t *data, size_t size, uint8_t choice) {
  const unsigned mode = choice & 3;
  uint8_t key[24] = {};
  uint8_t iv[8] = {};
  memcpy(key, data, std::min(size, sizeof key));
  const uint8_t key_length = uint8_t((choice & 4) ? 16 : 24);

  // Arbitrary cipher text: deciphered, the padding checked, whatever it says.
  uint8_t *plain = nullptr;
  size_t length = size / 8 * 8;
  if (des_decode(mode, key, key_length, iv, data, &plain, &length) == 0 && length > size) {
    finding("des_decode gave more than it was given");
  }
  free(plain);

  uint8_t *cipher = nullptr;
  length = size;
  des_encode(mode, key, key_length, iv, data, &cipher, &length);
  plain = nullptr;
  size_t plain_length = length;
  const int result = des_decode(mode, key, key_length, iv, cipher, &plain, &plain_length);
  if (size > 0 && (result != 0 || plain_length != size || memcmp(plain, data, size) != 0)) {
    finding("the cipher does not give its plain text back");
  }
  free(plain);
  free(cipher);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  InputReader in{data, size};
  const uint8_t choice = in.byte();
  const size_t cut = in.left() * choice / 256;
  check_base64(in.data, in.left());
  check_md5(in.data, in.left(), cut);
  check_cipher(in.data, in.left(), choice);
  return 0;
}
