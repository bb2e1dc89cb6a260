// The MD5 digest against the RFC 1321 test suite and against mbedtls's MD5.
#include "crypto/md5.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <mbedtls/md5.h>

namespace {

std::string md5_text(int form, const std::string &input) {
  uint8_t *out = nullptr;
  size_t size = input.size();
  EXPECT_EQ(md5(form, reinterpret_cast<const uint8_t *>(input.data()), &out, &size), 0);
  std::string text(reinterpret_cast<char *>(out), size);
  if (form != 0) {
    EXPECT_EQ(out[size], '\0');
  }
  std::free(out);
  return text;
}

TEST(Md5, Rfc1321TestSuiteInEveryForm) {
  const struct {
    const char *input;
    const char *digest;
  } suite[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto &entry : suite) {
    const std::string lower = entry.digest;
    std::string upper = lower;
    for (char &c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    std::string binary;
    for (size_t i = 0; i < 32; i += 2) {
      binary += static_cast<char>(std::stoi(lower.substr(i, 2), nullptr, 16));
    }

    EXPECT_EQ(md5_text(2, entry.input), lower) << entry.input;
    EXPECT_EQ(md5_text(7, entry.input), lower) << entry.input;
    EXPECT_EQ(md5_text(1, entry.input), upper) << entry.input;
    EXPECT_EQ(md5_text(0, entry.input), binary) << entry.input;
  }
}

// Every length around the 56- and 64-byte padding boundaries, whole and fed in random chunks.
TEST(Md5, MatchesMbedtlsOnRandomInputs) {
  std::mt19937 rng(1321);
  for (size_t length = 0; length <= 300; ++length) {
    std::vector<uint8_t> data(length);
    for (auto &b : data) b = static_cast<uint8_t>(rng());
    uint8_t expected[16];
    ASSERT_EQ(mbedtls_md5_ret(data.data(), length, expected), 0);

    uint8_t *out = nullptr;
    size_t size = length;
    ASSERT_EQ(md5(0, data.data(), &out, &size), 0);
    ASSERT_EQ(size, 16u);
    EXPECT_EQ(0, std::memcmp(out, expected, 16)) << "length " << length;
    std::free(out);

    MD5_CTX context;
    MD5Init(&context);
    for (size_t offset = 0; offset < length;) {
      const size_t chunk = std::min<size_t>(rng() % 80, length - offset);
      MD5Update(&context, data.data() + offset, chunk);
      offset += chunk;
    }
    uint8_t digest[16];
    MD5Final(digest, &context);
    EXPECT_EQ(0, std::memcmp(digest, expected, 16)) << "chunked, length " << length;
  }
}

}  // namespace
