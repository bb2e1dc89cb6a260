// The host packet cipher.
//
// Design: mbedtls does the block cipher; this file only picks single or triple DES, ECB or CBC,
// lays out the key, pads and unpads, and decides who owns which block. Both directions share one
// routine (`run_cipher`) so a mode behaves the same way enciphering and deciphering. Every call
// builds its key schedule in a local context that is wiped on the way out (mbedtls_des_free /
// mbedtls_des3_free zeroise it), together with the local copy of the key; the IV is always
// copied first, so the caller's IV never moves with the chaining.
//
// The padding convention is the host's: 1..8 bytes, each holding the count, always added when
// enciphering; on the way back the last plain byte says how many bytes to strip, and any value
// 0..8 is accepted without looking at the other pad bytes. A wrong key or a damaged packet shows
// only as a last byte of 9 or more.
#include "crypto/crypto.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <mbedtls/des.h>
#include <mbedtls/platform_util.h>

#include "crypto/host_packet.h"
#include "platform/owners.h"

namespace {

constexpr size_t block_size = 8;
constexpr size_t des_key_size = 8;
constexpr size_t des3_key_size = 24;

using Block = std::unique_ptr<uint8_t, FreeDeleter>;

// Owners that wipe the key schedules, whatever path the function leaves by.
struct DesContext {
  mbedtls_des_context ctx;
  DesContext() { mbedtls_des_init(&ctx); }
  ~DesContext() { mbedtls_des_free(&ctx); }
  DesContext(const DesContext &) = delete;
  DesContext &operator=(const DesContext &) = delete;
};

struct Des3Context {
  mbedtls_des3_context ctx;
  Des3Context() { mbedtls_des3_init(&ctx); }
  ~Des3Context() { mbedtls_des3_free(&ctx); }
  Des3Context(const Des3Context &) = delete;
  Des3Context &operator=(const Des3Context &) = delete;
};

// A local key copy, zero-filled first and wiped on return.
template <size_t N>
struct KeyBuffer {
  uint8_t bytes[N] = {};
  ~KeyBuffer() { mbedtls_platform_zeroize(bytes, sizeof bytes); }
};

enum class Direction { encipher, decipher };

bool key_length_fits(unsigned mode, uint8_t key_length) {
  if (mode == DES_ECB || mode == DES_CBC) {
    // Single DES takes the first 8 bytes; anything longer is ignored, anything shorter would
    // make us read past the caller's key.
    return key_length >= des_key_size;
  }
  return key_length == 8 || key_length == 16 || key_length == 24;
}

// Enciphers or deciphers `size` bytes (a multiple of 8) from `input` into `output`.
// The mode and key length have been checked by the caller. Returns 0, or 1 if mbedtls refuses.
int run_cipher(Direction direction, unsigned mode, const uint8_t *key, uint8_t key_length,
               const uint8_t *iv, const uint8_t *input, uint8_t *output, size_t size) {
  const bool encipher = direction == Direction::encipher;
  uint8_t iv_copy[block_size];
  if (mode == DES_CBC || mode == DES3_CBC) std::memcpy(iv_copy, iv, block_size);

  if (mode == DES_ECB || mode == DES_CBC) {
    KeyBuffer<des_key_size> key_copy;
    std::memcpy(key_copy.bytes, key, des_key_size);
    DesContext des;
    int rc = encipher ? mbedtls_des_setkey_enc(&des.ctx, key_copy.bytes)
                      : mbedtls_des_setkey_dec(&des.ctx, key_copy.bytes);
    if (rc != 0) return 1;
    if (mode == DES_CBC) {
      rc = mbedtls_des_crypt_cbc(&des.ctx, encipher ? MBEDTLS_DES_ENCRYPT : MBEDTLS_DES_DECRYPT,
                                 size, iv_copy, input, output);
      return rc == 0 ? 0 : 1;
    }
    for (size_t offset = 0; offset < size; offset += block_size) {
      if (mbedtls_des_crypt_ecb(&des.ctx, input + offset, output + offset) != 0) return 1;
    }
    return 0;
  }

  KeyBuffer<des3_key_size> key_copy;   // K1 K2 K3; missing keys stay zero
  std::memcpy(key_copy.bytes, key, key_length);
  Des3Context des3;
  int rc = encipher ? mbedtls_des3_set3key_enc(&des3.ctx, key_copy.bytes)
                    : mbedtls_des3_set3key_dec(&des3.ctx, key_copy.bytes);
  if (rc != 0) return 1;
  if (mode == DES3_CBC) {
    rc = mbedtls_des3_crypt_cbc(&des3.ctx, encipher ? MBEDTLS_DES_ENCRYPT : MBEDTLS_DES_DECRYPT,
                                size, iv_copy, input, output);
    return rc == 0 ? 0 : 1;
  }
  for (size_t offset = 0; offset < size; offset += block_size) {
    if (mbedtls_des3_crypt_ecb(&des3.ctx, input + offset, output + offset) != 0) return 1;
  }
  return 0;
}

}  // namespace

int des_decode(unsigned mode, const uint8_t *key, uint8_t key_length, const uint8_t *iv,
               const uint8_t *input, uint8_t **out_block, size_t *size) {
  const size_t cipher_size = *size;
  // An empty input has no last byte to read the padding from; it is refused like a ragged one.
  if (cipher_size == 0 || cipher_size % block_size != 0) return 1;
  if (mode > DES3_CBC || !key_length_fits(mode, key_length)) return 1;

  Block plain(static_cast<uint8_t *>(std::malloc(cipher_size)));
  if (!plain) return 1;
  if (run_cipher(Direction::decipher, mode, key, key_length, iv, input, plain.get(),
                 cipher_size) != 0) {
    return 1;
  }

  const uint8_t pad = plain.get()[cipher_size - 1];
  if (pad > block_size) {
    *size = 0;
    *out_block = nullptr;
    return 1;
  }
  const size_t plain_size = cipher_size - pad;   // pad <= 8 <= cipher_size
  // At least one byte, so an empty result is still a real block the caller can free.
  auto *result = static_cast<uint8_t *>(std::calloc(plain_size > 0 ? plain_size : 1, 1));
  if (!result) {
    *size = 0;
    *out_block = nullptr;
    return 1;
  }
  std::memcpy(result, plain.get(), plain_size);
  *size = plain_size;
  *out_block = result;
  return plain_size == 0 ? 1 : 0;
}

int des_encode(unsigned mode, const uint8_t *key, uint8_t key_length, const uint8_t *iv,
               const uint8_t *input, uint8_t **out_block, size_t *size) {
  const size_t plain_size = *size;
  const size_t pad = block_size - plain_size % block_size;   // 1..8
  const size_t padded_size = plain_size + pad;

  Block padded(static_cast<uint8_t *>(std::malloc(padded_size)));
  // Zeroed, so the block handed out on a refused mode or key holds nothing uninitialised.
  auto *output = static_cast<uint8_t *>(std::calloc(padded_size, 1));
  if (!padded || !output) {
    std::free(output);
    *out_block = nullptr;
    return 1;
  }
  if (plain_size > 0) std::memcpy(padded.get(), input, plain_size);
  std::memset(padded.get() + plain_size, static_cast<int>(pad), pad);

  *size = padded_size;
  *out_block = output;
  if (mode > DES3_CBC || !key_length_fits(mode, key_length)) return 1;
  return run_cipher(Direction::encipher, mode, key, key_length, iv, padded.get(), output,
                    padded_size);
}

HostCommand *des_decrypt(const uint8_t *packet, size_t length) {
  const auto *key = reinterpret_cast<const uint8_t *>(packet_key);
  uint8_t *plain = nullptr;
  size_t size = length;
  const int rc = des_decode(DES_CBC, key, packet_key_len, key, packet, &plain, &size);
  // The handlers read the record at fixed offsets up to its last byte, so a record shorter
  // than a whole HostCommand is refused too.
  if (rc != 0 || size < sizeof(HostCommand)) {
    std::puts("=====================DES CBC DECODE ERROR==================");
    std::free(plain);
    return nullptr;
  }
  return reinterpret_cast<HostCommand *>(plain);
}
