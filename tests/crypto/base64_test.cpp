// Base64 against RFC 4648's vectors and mbedtls's codec, and the strict decoder's refusals.
#include "crypto/base64.h"

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <mbedtls/base64.h>

namespace {

struct Encoded {
  int rc;
  std::string text;
};
struct Decoded {
  int rc;
  std::string bytes;
};

Encoded en(const std::string &data) {
  char *out = nullptr;
  size_t size = data.size();
  const int rc = base64_en(reinterpret_cast<const uint8_t *>(data.data()), &out, &size);
  EXPECT_NE(out, nullptr);
  EXPECT_EQ(out[size], '\0');
  Encoded r{rc, std::string(out, size)};
  std::free(out);
  return r;
}

Decoded de(const std::string &text) {
  uint8_t *out = nullptr;
  size_t size = text.size();
  const int rc = base64_de(text.data(), &out, &size);
  EXPECT_NE(out, nullptr);
  Decoded r{rc, std::string(reinterpret_cast<char *>(out), size)};
  if (size == 0) {
    EXPECT_EQ(out[0], '\0');
  }
  std::free(out);
  return r;
}

TEST(Base64, Rfc4648Vectors) {
  const std::pair<std::string, std::string> vectors[] = {
      {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {"abc", "YWJj"}, {"\xFF", "/w=="},
  };
  for (const auto &[plain, text] : vectors) {
    const Encoded e = en(plain);
    EXPECT_EQ(e.rc, 0);
    EXPECT_EQ(e.text, text);
    const Decoded d = de(text);
    EXPECT_EQ(d.rc, 0);
    EXPECT_EQ(d.bytes, plain);
  }
  EXPECT_EQ(en("").rc, 1);
  EXPECT_EQ(en("").text, "");
}

TEST(Base64, StrictDecoderRefusals) {
  const std::vector<std::string> refused = {
      "", "YWJ", "YWJjY", "YW!j", "YWJjYW\nj", std::string("YW\0j", 4), "YWJ\x80", "YW\xFFj",
      "=YWJ", "===="};
  for (const std::string &text : refused) {
    const Decoded d = de(text);
    EXPECT_EQ(d.rc, 1) << text;
    EXPECT_EQ(d.bytes, "") << text;
  }
  // Decoding stops at the first "=", whatever follows it.
  EXPECT_EQ(de("YQ=A").bytes, "a");
  EXPECT_EQ(de("YWJjYQ==YWJj").bytes, "abca");
}

// Random texts of alphabet, "=" and stray bytes into a buffer of exactly length / 4 * 3 + 1:
// the address sanitizer or the guard bytes catch any write past it.
TEST(Base64, DecoderStaysInsideItsBuffer) {
  std::mt19937 rng(4648);
  const std::string chars =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/====\x80!";
  for (int round = 0; round < 2000; ++round) {
    std::string text(4 * (rng() % 8), ' ');
    for (char &c : text) c = chars[rng() % chars.size()];
    const size_t room = text.size() / 4 * 3 + 1;
    std::vector<uint8_t> buffer(room + 8, 0xEE);
    const size_t produced = base64_decode(text.data(), text.size(), buffer.data());
    ASSERT_LT(produced, room) << text;
    for (size_t i = room; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], 0xEE) << text;
  }
}

TEST(Base64, MatchesMbedtlsOnRandomInputs) {
  std::mt19937 rng(64);
  for (size_t length = 1; length <= 200; ++length) {
    std::string data(length, '\0');
    for (char &c : data) c = static_cast<char>(rng());
    std::vector<unsigned char> reference(length * 2 + 8);
    size_t reference_length = 0;
    const auto *raw = reinterpret_cast<const unsigned char *>(data.data());
    ASSERT_EQ(mbedtls_base64_encode(reference.data(), reference.size(), &reference_length, raw,
                                    length),
              0);
    const std::string text(reinterpret_cast<char *>(reference.data()), reference_length);
    EXPECT_EQ(en(data).text, text);

    std::vector<unsigned char> back(length + 8);
    size_t back_length = 0;
    ASSERT_EQ(mbedtls_base64_decode(back.data(), back.size(), &back_length, reference.data(),
                                    reference_length),
              0);
    const Decoded d = de(text);
    EXPECT_EQ(d.rc, 0);
    EXPECT_EQ(d.bytes, std::string(reinterpret_cast<char *>(back.data()), back_length));
  }
}

}  // namespace
