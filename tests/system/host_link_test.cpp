// The host command link, driven over a real pty against the real daemon.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <random>

#include "crypto/host_packet.h"
#include "tests/system/daemon_harness.h"

namespace {

const std::array<uint8_t, 4> tag_1234 = {0x11, 0x22, 0x33, 0x44};

// A 504-byte plain text as the host would encipher it: record, then eight pad bytes of 8.
std::array<uint8_t, 504> plain_record(uint8_t code, const std::array<uint8_t, 4> &tag) {
  std::array<uint8_t, 504> plain{};
  plain[0] = code;
  plain[2] = command_check;
  plain[3] = command_magic;
  memcpy(plain.data() + 4, tag.data(), 4);
  memset(plain.data() + 496, 8, 8);
  return plain;
}

void expect_standard_reply(const ReplyBytes &reply, uint8_t code, const std::array<uint8_t, 4> &tag) {
  EXPECT_EQ(reply[0], code);
  EXPECT_EQ(reply[1], 0xC8);
  EXPECT_EQ(0, memcmp(reply.data() + 2, tag.data(), 4));
  for (size_t i = 6; i < reply.size(); ++i) ASSERT_EQ(reply[i], 0) << "reply byte " << i;
}

}  // namespace

TEST(HostLink, VersionAnswersTheDeviceIdentity) {
  DaemonUnderTest daemon;
  ReplyBytes reply{};
  ASSERT_EQ(daemon.transact(CMD_GET_VERSION, {}, reply), ReplyCheck::ok);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(reply.data() + 8), 18), "morvadq7_0005_0020");
  for (size_t i = 26; i < reply.size(); ++i) ASSERT_EQ(reply[i], 0) << "reply byte " << i;
}

TEST(HostLink, CodesWithoutActionGetTheStandardReplyWithTheirTag) {
  DaemonUnderTest daemon;
  for (uint8_t code : {uint8_t(0x33), uint8_t(0x34), uint8_t(0xFE), uint8_t(0x55), uint8_t(0x01)}) {
    daemon.send(build_packet(code, tag_1234, {}));
    ReplyBytes reply{};
    ASSERT_TRUE(daemon.read_reply(reply, 3000)) << "code " << int(code);
    expect_standard_reply(reply, code, tag_1234);
  }
}

TEST(HostLink, FillerBytesAndCommandByteOneAreIgnored) {
  DaemonUnderTest daemon;
  auto plain = plain_record(0x33, tag_1234);
  plain[1] = 0xEE;
  PacketBytes packet = build_packet_from_plain(plain);
  for (int i = 504; i < 510; ++i) packet[i] = uint8_t(0x5A + i);
  daemon.send(packet);
  ReplyBytes reply{};
  ASSERT_TRUE(daemon.read_reply(reply, 3000));
  expect_standard_reply(reply, 0x33, tag_1234);
}

TEST(HostLink, RecordsOfEveryPaddingLengthAreServed) {
  DaemonUnderTest daemon;
  // Pad byte 0 leaves a 504-byte record; 8 a 496-byte one; anything between is fine too.
  for (uint8_t pad : {uint8_t(0), uint8_t(1), uint8_t(8)}) {
    auto plain = plain_record(0x34, tag_1234);
    memset(plain.data() + 496, 0, 8);
    plain[503] = pad;
    daemon.send(build_packet_from_plain(plain));
    ReplyBytes reply{};
    ASSERT_TRUE(daemon.read_reply(reply, 3000)) << "pad " << int(pad);
    expect_standard_reply(reply, 0x34, tag_1234);
  }
}

TEST(HostLink, BadPacketsGetNoReplyAndTheNextIsServed) {
  DaemonUnderTest daemon;
  const std::array<uint8_t, 4> good_tag = {1, 2, 3, 4};

  PacketBytes wrong_trailer = build_packet(0x33, tag_1234, {});
  wrong_trailer[510] = 0xA2;
  PacketBytes wrong_trailer_2 = build_packet(0x33, tag_1234, {});
  wrong_trailer_2[511] = 0x1B;
  auto wrong_check = plain_record(0x33, tag_1234);
  wrong_check[2] = 0x1B;
  auto wrong_magic = plain_record(0x33, tag_1234);
  wrong_magic[3] = 'M';
  auto pad_nine = plain_record(0x33, tag_1234);
  pad_nine[503] = 9;

  const PacketBytes bad[] = {wrong_trailer, wrong_trailer_2, build_packet_from_plain(wrong_check),
                             build_packet_from_plain(wrong_magic), build_packet_from_plain(pad_nine)};
  for (const PacketBytes &packet : bad) {
    daemon.send(packet);
    EXPECT_TRUE(daemon.silent_for(300));
    daemon.send(build_packet(0x0A, good_tag, {}));
    ReplyBytes reply{};
    ASSERT_TRUE(daemon.read_reply(reply, 3000));
    EXPECT_EQ(reply[0], 0x0A);
    EXPECT_EQ(0, memcmp(reply.data() + 2, good_tag.data(), 4));
  }
  EXPECT_TRUE(daemon.wait_for("=====================DES CBC DECODE ERROR=================="));
  EXPECT_EQ(daemon.count("=====================DES CBC DECODE ERROR=================="), 1);
}

TEST(HostLink, RepliesComeInOrderOfThePackets) {
  DaemonUnderTest daemon;
  std::vector<std::array<uint8_t, 4>> tags;
  for (uint8_t i = 0; i < 20; ++i) {
    tags.push_back({i, uint8_t(i * 3), 0x77, uint8_t(255 - i)});
    daemon.send(build_packet(i % 2 ? 0x0A : 0x33, tags.back(), {}));
  }
  for (uint8_t i = 0; i < 20; ++i) {
    ReplyBytes reply{};
    ASSERT_TRUE(daemon.read_reply(reply, 3000)) << "reply " << int(i);
    EXPECT_EQ(0, memcmp(reply.data() + 2, tags[i].data(), 4)) << "reply " << int(i);
  }
}

TEST(HostLink, PacketCutShortReopensThePortAndTheNextIsServed) {
  DaemonUnderTest daemon;
  PacketBytes packet = build_packet(0x33, tag_1234, {});
  daemon.send(std::span(packet).first(100));
  ASSERT_TRUE(daemon.wait_for("have read 100 bytes data.", 1, 5000)) << daemon.output();
  ASSERT_TRUE(daemon.wait_for("init_tty done!", 2, 5000)) << daemon.output();
  std::string out = daemon.output();
  EXPECT_NE(out.find("safe read failed!"), std::string::npos);
  EXPECT_NE(out.find("uart_read null "), std::string::npos);

  ReplyBytes reply{};
  ASSERT_EQ(daemon.transact(0x0A, {}, reply), ReplyCheck::ok);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(reply.data() + 8)), "morvadq7_0005_0020");
}

TEST(HostLink, GarbageOnTheLineNeverStopsTheDaemon) {
  DaemonUnderTest daemon;
  std::mt19937 random(7);
  std::vector<uint8_t> noise(512 * 16);
  for (auto &b : noise) b = uint8_t(random());
  // Some with a valid trailer, so they reach the cipher and the header check.
  for (size_t i = 0; i < noise.size(); i += 1024) {
    noise[i + 510] = 0xA1;
    noise[i + 511] = 0x1A;
  }
  daemon.send(noise);
  ReplyBytes reply{};
  ASSERT_EQ(daemon.transact(0x0A, {}, reply, {}, 5000), ReplyCheck::ok);
  EXPECT_TRUE(daemon.running());
}
