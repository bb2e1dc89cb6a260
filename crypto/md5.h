// MD5 (RFC 1321), the project's own implementation, with the calling style of the packet
// cipher: input, pointer to a new output block, in/out length, result.
#pragma once

#include <cstddef>
#include <cstdint>

struct MD5_CTX {
  uint32_t count[2];     // number of bits, modulo 2^64, low word first
  uint32_t state[4];     // A, B, C, D
  uint8_t buffer[64];    // input not yet transformed
};

void MD5Init(MD5_CTX *context);
void MD5Update(MD5_CTX *context, const uint8_t *input, size_t length);
void MD5Final(uint8_t digest[16], MD5_CTX *context);
void MD5Transform(uint32_t state[4], const uint8_t block[64]);
void MD5Encode(uint8_t *output, const uint32_t *input, size_t length);   // words to bytes, LE
void MD5Decode(uint32_t *output, const uint8_t *input, size_t length);   // bytes to words, LE

// form 0: a new 16-byte block with the digest, *size 16.
// form 1: a new 33-byte block with 32 upper-case hex digits and a NUL, *size 32.
// other:  the same with lower-case digits.
// Returns 0, or 1 if no block could be allocated (null stored).
int md5(int form, const uint8_t *data, uint8_t **out_block, size_t *size);
