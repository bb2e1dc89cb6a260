// The packet cipher: round trips, the host's padding convention, key layout and refusals.
// The caller's IV is checked after every call.
// Reference cipher texts come straight from mbedtls, bypassing the padding layer.
#include "crypto/crypto.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <mbedtls/des.h>

#include "crypto/host_packet.h"

namespace {

using Bytes = std::vector<uint8_t>;

const uint8_t key24[24] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12,
                           13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24};
const uint8_t iv8[8] = {0xA0, 0xB1, 0xC2, 0xD3, 0xE4, 0xF5, 0x06, 0x17};
const uint8_t *packet_key_bytes = reinterpret_cast<const uint8_t *>(packet_key);

struct Result {
  int rc;
  bool handed_out;
  Bytes bytes;
};

// Runs des_encode / des_decode and takes ownership of whatever they hand out. Every call also
// checks that the chaining left the caller's IV as it was.
template <typename Fn>
Result run(Fn fn, unsigned mode, const uint8_t *key, uint8_t key_length, const Bytes &in) {
  uint8_t iv[8];
  std::memcpy(iv, iv8, 8);
  uint8_t untouched = 0;
  uint8_t *out = &untouched;
  size_t size = in.size();
  Result r{fn(mode, key, key_length, iv, in.data(), &out, &size), false, {}};
  EXPECT_EQ(0, std::memcmp(iv, iv8, 8));
  if (out != &untouched && out != nullptr) {
    r.handed_out = true;
    r.bytes.assign(out, out + size);
    std::free(out);
  }
  return r;
}
Result encode(unsigned mode, const Bytes &in, const uint8_t *key = key24,
              uint8_t key_length = 24) {
  return run(des_encode, mode, key, key_length, in);
}
Result decode(unsigned mode, const Bytes &in, const uint8_t *key = key24,
              uint8_t key_length = 24) {
  return run(des_decode, mode, key, key_length, in);
}

// DES-CBC under the packet key without any padding, as the host produces its packets.
Bytes raw_packet_cbc(const Bytes &plain) {
  mbedtls_des_context ctx;
  mbedtls_des_init(&ctx);
  EXPECT_EQ(mbedtls_des_setkey_enc(&ctx, packet_key_bytes), 0);
  uint8_t iv[8];
  std::memcpy(iv, packet_key_bytes, 8);
  Bytes out(plain.size());
  EXPECT_EQ(mbedtls_des_crypt_cbc(&ctx, MBEDTLS_DES_ENCRYPT, plain.size(), iv, plain.data(),
                                  out.data()),
            0);
  mbedtls_des_free(&ctx);
  return out;
}

Bytes counting(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 7 + 3);
  return b;
}

TEST(Cipher, RoundTripsInEveryModeAndLength) {
  for (unsigned mode = DES_ECB; mode <= DES3_CBC; ++mode) {
    for (size_t n : {1, 5, 7, 8, 9, 16, 100, 496, 504}) {
      SCOPED_TRACE("mode " + std::to_string(mode) + " length " + std::to_string(n));
      const Bytes plain = counting(n);
      const Result enc = encode(mode, plain);
      ASSERT_EQ(enc.rc, 0);
      EXPECT_EQ(enc.bytes.size(), (n / 8 + 1) * 8);
      const Result dec = decode(mode, enc.bytes);
      EXPECT_EQ(dec.rc, 0);
      EXPECT_EQ(dec.bytes, plain);
    }
  }
}

TEST(Cipher, EncodePadsWithTheCountOfAddedBytes) {
  mbedtls_des_context ctx;
  mbedtls_des_init(&ctx);
  ASSERT_EQ(mbedtls_des_setkey_dec(&ctx, key24), 0);
  for (size_t n : {0, 5, 8}) {
    const Result enc = encode(DES_ECB, counting(n));
    ASSERT_EQ(enc.rc, 0);
    Bytes plain(enc.bytes.size());
    for (size_t i = 0; i < plain.size(); i += 8) {
      ASSERT_EQ(mbedtls_des_crypt_ecb(&ctx, &enc.bytes[i], &plain[i]), 0);
    }
    const size_t pad = 8 - n % 8;
    Bytes expected = counting(n);
    expected.insert(expected.end(), pad, static_cast<uint8_t>(pad));
    EXPECT_EQ(plain, expected) << "length " << n;
  }
  mbedtls_des_free(&ctx);
}

TEST(Cipher, TripleDesZeroExtendsShortKeys) {
  const Bytes plain = counting(40);
  uint8_t zero_k3[24] = {};
  std::memcpy(zero_k3, key24, 16);
  const Result two_keys = encode(DES3_ECB, plain, key24, 16);
  EXPECT_EQ(two_keys.bytes, encode(DES3_ECB, plain, zero_k3, 24).bytes);

  // Not the usual two-key triple DES where K3 = K1.
  mbedtls_des3_context ctx;
  mbedtls_des3_init(&ctx);
  ASSERT_EQ(mbedtls_des3_set2key_enc(&ctx, key24), 0);
  uint8_t first[8];
  ASSERT_EQ(mbedtls_des3_crypt_ecb(&ctx, plain.data(), first), 0);
  mbedtls_des3_free(&ctx);
  EXPECT_NE(Bytes(two_keys.bytes.begin(), two_keys.bytes.begin() + 8), Bytes(first, first + 8));
}

// What each call hands out when it refuses: decode nothing, encode its (zeroed) block.
TEST(Cipher, Refusals) {
  const Bytes plain = counting(20);
  const auto refused = [](const Result &enc, const Result &dec) {
    EXPECT_EQ(enc.rc, 1);
    EXPECT_TRUE(enc.handed_out);
    EXPECT_EQ(dec.rc, 1);
    EXPECT_FALSE(dec.handed_out);
  };
  refused(encode(4, plain), decode(4, encode(DES_ECB, plain).bytes));
  for (unsigned mode : {DES3_ECB, DES3_CBC}) {
    refused(encode(mode, plain, key24, 12), decode(mode, encode(mode, plain).bytes, key24, 12));
  }
  for (unsigned mode : {DES_ECB, DES_CBC}) {
    const Result enc = encode(mode, plain, key24, 12);   // only the first 8 bytes count
    EXPECT_EQ(enc.rc, 0);
    EXPECT_EQ(enc.bytes, encode(mode, plain, key24, 8).bytes);
    refused(encode(mode, plain, key24, 4), decode(mode, enc.bytes, key24, 4));   // too short
  }

  // Ragged and empty cipher texts.
  for (size_t n : {0, 7, 12}) {
    const Result r = decode(DES_ECB, Bytes(n, 0x11));
    EXPECT_EQ(r.rc, 1);
    EXPECT_FALSE(r.handed_out);
  }
  // Everything stripped: the empty block is still handed out.
  const Result empty = decode(DES_ECB, encode(DES_ECB, {}).bytes);
  EXPECT_EQ(empty.rc, 1);
  EXPECT_TRUE(empty.handed_out);
  EXPECT_TRUE(empty.bytes.empty());
}

// des_decrypt on host packets: the padding byte decides the record length or the refusal.
TEST(Cipher, DecryptHostPackets) {
  const char error_line[] = "=====================DES CBC DECODE ERROR==================\n";
  for (uint8_t pad : {0, 8, 9}) {
    Bytes plain = counting(des_len);
    plain.back() = pad;
    const Bytes packet = raw_packet_cbc(plain);
    uint8_t *block = nullptr;
    size_t size = des_len;
    EXPECT_EQ(des_decode(DES_CBC, packet_key_bytes, 8, packet_key_bytes, packet.data(), &block,
                         &size),
              pad == 9 ? 1 : 0);
    EXPECT_EQ(size, pad == 9 ? 0u : des_len - pad);   // 504 - pad, or 0 when refused
    EXPECT_EQ(block == nullptr, pad == 9);
    std::free(block);

    testing::internal::CaptureStdout();
    HostCommand *record = des_decrypt(packet.data(), des_len);
    const std::string printed = testing::internal::GetCapturedStdout();
    if (pad == 9) {
      EXPECT_EQ(record, nullptr);
      EXPECT_EQ(printed, error_line);
    } else {
      ASSERT_NE(record, nullptr);
      EXPECT_EQ(printed, "");
      EXPECT_EQ(0, std::memcmp(record, plain.data(), sizeof(HostCommand)));
    }
    std::free(record);
  }

  // A record the host enciphered with the padding layer comes back whole.
  const Bytes command = counting(command_record_len);
  uint8_t *out = nullptr;
  size_t size = command.size();
  ASSERT_EQ(des_encode(DES_CBC, packet_key_bytes, 8, packet_key_bytes, command.data(), &out,
                       &size),
            0);
  ASSERT_EQ(size, static_cast<size_t>(des_len));
  HostCommand *record = des_decrypt(out, size);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(0, std::memcmp(record, command.data(), command.size()));
  std::free(record);
  std::free(out);

  // Short or empty records are refused: the handlers would read past them.
  for (const Bytes &plain : {Bytes(8, 8), Bytes(256, 0)}) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(des_decrypt(raw_packet_cbc(plain).data(), plain.size()), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), error_line);
  }
}

}  // namespace

// A version command (tag 11 22 33 44) as the host enciphers it, the cipher text taken from an
// independent DES implementation: every build, the board's included, must produce these bytes.
TEST(Cipher, AKnownHostPacket) {
  Bytes record(command_record_len, 0);
  const uint8_t header[8] = {0x0A, 0x00, 0x1A, 0x6D, 0x11, 0x22, 0x33, 0x44};
  std::memcpy(record.data(), header, sizeof header);
  const uint8_t first[16] = {0x63, 0x5d, 0x87, 0xad, 0x65, 0x42, 0xbc, 0x60,
                             0xbc, 0x48, 0x62, 0x18, 0xc6, 0x67, 0x25, 0xb6};
  const uint8_t last[8] = {0x34, 0xcf, 0x01, 0xc8, 0xc8, 0x50, 0xf2, 0xe6};

  uint8_t *packet = nullptr;
  size_t size = record.size();
  ASSERT_EQ(des_encode(DES_CBC, packet_key_bytes, 8, packet_key_bytes, record.data(), &packet,
                       &size),
            0);
  ASSERT_EQ(size, static_cast<size_t>(des_len));
  EXPECT_EQ(0, std::memcmp(packet, first, sizeof first));
  EXPECT_EQ(0, std::memcmp(packet + des_len - 8, last, sizeof last));

  HostCommand *command = des_decrypt(packet, des_len);
  ASSERT_NE(command, nullptr);
  EXPECT_EQ(0, std::memcmp(command, record.data(), sizeof(HostCommand)));
  std::free(command);
  std::free(packet);
}
