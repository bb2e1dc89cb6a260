// MD5 (RFC 1321).
//
// Design: the classic streaming shape — a context holding the running bit count, the four state
// words and up to 63 bytes not yet transformed; MD5Update feeds whole 64-byte blocks straight from
// the caller's buffer and keeps the tail; MD5Final pads with 0x80, zeros and the 64-bit
// little-endian bit count. Words are packed little-endian byte by byte (MD5Encode / MD5Decode),
// so the result does not depend on the host's byte order. `md5` wraps the three steps in the
// calling style of the packet cipher and formats the digest as bytes or hex text.
#include "crypto/md5.h"

#include <cstdlib>
#include <cstring>

namespace {

const uint8_t padding[64] = {0x80};

constexpr uint32_t rotate_left(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

constexpr uint32_t F(uint32_t x, uint32_t y, uint32_t z) { return (x & y) | (~x & z); }
constexpr uint32_t G(uint32_t x, uint32_t y, uint32_t z) { return (x & z) | (y & ~z); }
constexpr uint32_t H(uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; }
constexpr uint32_t I(uint32_t x, uint32_t y, uint32_t z) { return y ^ (x | ~z); }

template <uint32_t (*Fn)(uint32_t, uint32_t, uint32_t)>
inline void step(uint32_t &a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, int s, uint32_t t) {
  a += Fn(b, c, d) + x + t;
  a = rotate_left(a, s) + b;
}

}  // namespace

void MD5Init(MD5_CTX *context) {
  context->count[0] = context->count[1] = 0;
  context->state[0] = 0x67452301;
  context->state[1] = 0xefcdab89;
  context->state[2] = 0x98badcfe;
  context->state[3] = 0x10325476;
  std::memset(context->buffer, 0, sizeof context->buffer);
}

void MD5Update(MD5_CTX *context, const uint8_t *input, size_t length) {
  if (length == 0) return;
  size_t index = (context->count[0] >> 3) & 0x3F;   // bytes already buffered

  // The bit count runs modulo 2^64.
  uint64_t bits = (uint64_t{context->count[1]} << 32) | context->count[0];
  bits += static_cast<uint64_t>(length) << 3;
  context->count[0] = static_cast<uint32_t>(bits);
  context->count[1] = static_cast<uint32_t>(bits >> 32);

  const size_t part = 64 - index;
  size_t i = 0;
  if (length >= part) {
    std::memcpy(&context->buffer[index], input, part);
    MD5Transform(context->state, context->buffer);
    for (i = part; i + 63 < length; i += 64) MD5Transform(context->state, &input[i]);
    index = 0;
  }
  std::memcpy(&context->buffer[index], &input[i], length - i);
}

void MD5Final(uint8_t digest[16], MD5_CTX *context) {
  uint8_t bits[8];
  MD5Encode(bits, context->count, 8);

  const size_t index = (context->count[0] >> 3) & 0x3F;
  const size_t pad_length = index < 56 ? 56 - index : 120 - index;
  MD5Update(context, padding, pad_length);
  MD5Update(context, bits, 8);

  MD5Encode(digest, context->state, 16);
  std::memset(context, 0, sizeof *context);   // nothing of the input lingers
}

void MD5Transform(uint32_t state[4], const uint8_t block[64]) {
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  uint32_t x[16];
  MD5Decode(x, block, 64);

  // Round 1
  step<F>(a, b, c, d, x[0], 7, 0xd76aa478);
  step<F>(d, a, b, c, x[1], 12, 0xe8c7b756);
  step<F>(c, d, a, b, x[2], 17, 0x242070db);
  step<F>(b, c, d, a, x[3], 22, 0xc1bdceee);
  step<F>(a, b, c, d, x[4], 7, 0xf57c0faf);
  step<F>(d, a, b, c, x[5], 12, 0x4787c62a);
  step<F>(c, d, a, b, x[6], 17, 0xa8304613);
  step<F>(b, c, d, a, x[7], 22, 0xfd469501);
  step<F>(a, b, c, d, x[8], 7, 0x698098d8);
  step<F>(d, a, b, c, x[9], 12, 0x8b44f7af);
  step<F>(c, d, a, b, x[10], 17, 0xffff5bb1);
  step<F>(b, c, d, a, x[11], 22, 0x895cd7be);
  step<F>(a, b, c, d, x[12], 7, 0x6b901122);
  step<F>(d, a, b, c, x[13], 12, 0xfd987193);
  step<F>(c, d, a, b, x[14], 17, 0xa679438e);
  step<F>(b, c, d, a, x[15], 22, 0x49b40821);

  // Round 2
  step<G>(a, b, c, d, x[1], 5, 0xf61e2562);
  step<G>(d, a, b, c, x[6], 9, 0xc040b340);
  step<G>(c, d, a, b, x[11], 14, 0x265e5a51);
  step<G>(b, c, d, a, x[0], 20, 0xe9b6c7aa);
  step<G>(a, b, c, d, x[5], 5, 0xd62f105d);
  step<G>(d, a, b, c, x[10], 9, 0x02441453);
  step<G>(c, d, a, b, x[15], 14, 0xd8a1e681);
  step<G>(b, c, d, a, x[4], 20, 0xe7d3fbc8);
  step<G>(a, b, c, d, x[9], 5, 0x21e1cde6);
  step<G>(d, a, b, c, x[14], 9, 0xc33707d6);
  step<G>(c, d, a, b, x[3], 14, 0xf4d50d87);
  step<G>(b, c, d, a, x[8], 20, 0x455a14ed);
  step<G>(a, b, c, d, x[13], 5, 0xa9e3e905);
  step<G>(d, a, b, c, x[2], 9, 0xfcefa3f8);
  step<G>(c, d, a, b, x[7], 14, 0x676f02d9);
  step<G>(b, c, d, a, x[12], 20, 0x8d2a4c8a);

  // Round 3
  step<H>(a, b, c, d, x[5], 4, 0xfffa3942);
  step<H>(d, a, b, c, x[8], 11, 0x8771f681);
  step<H>(c, d, a, b, x[11], 16, 0x6d9d6122);
  step<H>(b, c, d, a, x[14], 23, 0xfde5380c);
  step<H>(a, b, c, d, x[1], 4, 0xa4beea44);
  step<H>(d, a, b, c, x[4], 11, 0x4bdecfa9);
  step<H>(c, d, a, b, x[7], 16, 0xf6bb4b60);
  step<H>(b, c, d, a, x[10], 23, 0xbebfbc70);
  step<H>(a, b, c, d, x[13], 4, 0x289b7ec6);
  step<H>(d, a, b, c, x[0], 11, 0xeaa127fa);
  step<H>(c, d, a, b, x[3], 16, 0xd4ef3085);
  step<H>(b, c, d, a, x[6], 23, 0x04881d05);
  step<H>(a, b, c, d, x[9], 4, 0xd9d4d039);
  step<H>(d, a, b, c, x[12], 11, 0xe6db99e5);
  step<H>(c, d, a, b, x[15], 16, 0x1fa27cf8);
  step<H>(b, c, d, a, x[2], 23, 0xc4ac5665);

  // Round 4
  step<I>(a, b, c, d, x[0], 6, 0xf4292244);
  step<I>(d, a, b, c, x[7], 10, 0x432aff97);
  step<I>(c, d, a, b, x[14], 15, 0xab9423a7);
  step<I>(b, c, d, a, x[5], 21, 0xfc93a039);
  step<I>(a, b, c, d, x[12], 6, 0x655b59c3);
  step<I>(d, a, b, c, x[3], 10, 0x8f0ccc92);
  step<I>(c, d, a, b, x[10], 15, 0xffeff47d);
  step<I>(b, c, d, a, x[1], 21, 0x85845dd1);
  step<I>(a, b, c, d, x[8], 6, 0x6fa87e4f);
  step<I>(d, a, b, c, x[15], 10, 0xfe2ce6e0);
  step<I>(c, d, a, b, x[6], 15, 0xa3014314);
  step<I>(b, c, d, a, x[13], 21, 0x4e0811a1);
  step<I>(a, b, c, d, x[4], 6, 0xf7537e82);
  step<I>(d, a, b, c, x[11], 10, 0xbd3af235);
  step<I>(c, d, a, b, x[2], 15, 0x2ad7d2bb);
  step<I>(b, c, d, a, x[9], 21, 0xeb86d391);

  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

void MD5Encode(uint8_t *output, const uint32_t *input, size_t length) {
  for (size_t i = 0, j = 0; j + 3 < length; ++i, j += 4) {
    output[j] = static_cast<uint8_t>(input[i]);
    output[j + 1] = static_cast<uint8_t>(input[i] >> 8);
    output[j + 2] = static_cast<uint8_t>(input[i] >> 16);
    output[j + 3] = static_cast<uint8_t>(input[i] >> 24);
  }
}

void MD5Decode(uint32_t *output, const uint8_t *input, size_t length) {
  for (size_t i = 0, j = 0; j + 3 < length; ++i, j += 4) {
    output[i] = uint32_t{input[j]} | (uint32_t{input[j + 1]} << 8) |
                (uint32_t{input[j + 2]} << 16) | (uint32_t{input[j + 3]} << 24);
  }
}

int md5(int form, const uint8_t *data, uint8_t **out_block, size_t *size) {
  uint8_t digest[16];
  MD5_CTX context;
  MD5Init(&context);
  MD5Update(&context, data, *size);
  MD5Final(digest, &context);

  if (form == 0) {
    auto *block = static_cast<uint8_t *>(std::malloc(sizeof digest));
    if (!block) {
      *out_block = nullptr;
      return 1;
    }
    std::memcpy(block, digest, sizeof digest);
    *out_block = block;
    *size = sizeof digest;
    return 0;
  }

  const char *digits = form == 1 ? "0123456789ABCDEF" : "0123456789abcdef";
  auto *text = static_cast<uint8_t *>(std::malloc(2 * sizeof digest + 1));
  if (!text) {
    *out_block = nullptr;
    return 1;
  }
  for (size_t i = 0; i < sizeof digest; ++i) {
    text[2 * i] = static_cast<uint8_t>(digits[digest[i] >> 4]);
    text[2 * i + 1] = static_cast<uint8_t>(digits[digest[i] & 0x0F]);
  }
  text[2 * sizeof digest] = '\0';
  *out_block = text;
  *size = 2 * sizeof digest;
  return 0;
}
