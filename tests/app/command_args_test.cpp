// The argument helpers every handler relies on to stay inside the record and r_buf, and to
// keep the packet framing intact when it refuses a block.
#include <gtest/gtest.h>

#include <cstring>
#include <pty.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "app/command_args.h"
#include "app/globals.h"
#include "crypto/host_packet.h"
#include "crypto/crypto.h"
#include "tools/host_client.h"
#include "tty/tty.h"

namespace {

HostCommand command_with_name_length(uint32_t length) {
  HostCommand cmd{};
  write_be32(&cmd.code + command_first_value, length);
  for (size_t i = command_name; i < sizeof cmd; ++i) (&cmd.code)[i] = uint8_t('a' + i % 26);
  return cmd;
}

// r_buf and tty_fd as the daemon has them, with the host's end of a pty to write into.
class FollowOnBlock : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(openpty(&host_, &device_, nullptr, nullptr, nullptr), 0);
    ASSERT_EQ(uart_config(device_, 115200, 'N', 8, 'N', 1), 0);
    buffer_.assign(max_packet_len, 0);
    r_buf = buffer_.data();
    tty_fd = device_;
  }
  void TearDown() override {
    close(host_);
    close(device_);
    r_buf = nullptr;
  }
  void send_in_background(std::vector<uint8_t> bytes) {
    writer_ = std::thread([this, bytes = std::move(bytes)] { host_write_all(host_, bytes); });
  }
  void join() {
    if (writer_.joinable()) writer_.join();
  }

  int host_ = -1, device_ = -1;
  std::vector<uint8_t> buffer_;
  std::thread writer_;
};

}  // namespace

TEST(NameArgument, TakesUpTo480BytesAndRefusesLonger) {
  HostCommand cmd = command_with_name_length(0);
  EXPECT_EQ(take_name_argument(cmd), std::string());

  cmd = command_with_name_length(5);
  EXPECT_EQ(take_name_argument(cmd), std::string("qrstu"));

  cmd = command_with_name_length(480);
  auto longest = take_name_argument(cmd);
  ASSERT_TRUE(longest.has_value());
  EXPECT_EQ(longest->size(), 480u);
  EXPECT_EQ(longest->back(), char('a' + 495 % 26));  // the record's last byte

  for (uint32_t length : {481u, 0x10000u, 0xFFFFFFFFu}) {
    cmd = command_with_name_length(length);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(take_name_argument(cmd).has_value()) << length;
    EXPECT_NE(testing::internal::GetCapturedStderr().find("name too long"), std::string::npos);
  }
}

TEST_F(FollowOnBlock, ABlockThatFitsLandsInRBuf) {
  std::vector<uint8_t> block(70000);
  for (size_t i = 0; i < block.size(); ++i) block[i] = uint8_t(i * 7);
  send_in_background(block);
  EXPECT_EQ(read_follow_on_block(uint32_t(block.size())), BlockRead::ok);
  join();
  EXPECT_EQ(0, memcmp(r_buf, block.data(), block.size()));
}

TEST_F(FollowOnBlock, ALongerBlockIsDrainedAndTheNextPacketStaysAligned) {
  const uint32_t length = uint32_t(max_packet_len) + 1000;
  const char marker[] = "next packet";
  std::vector<uint8_t> bytes(length + sizeof marker, 0xEE);
  memcpy(bytes.data() + length, marker, sizeof marker);
  send_in_background(bytes);
  testing::internal::CaptureStderr();
  EXPECT_EQ(read_follow_on_block(length), BlockRead::too_long);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("block too long"), std::string::npos);
  char next[sizeof marker] = {};
  ASSERT_EQ(uart_read(tty_fd, next, sizeof next), int(sizeof next));
  join();
  EXPECT_STREQ(next, marker);
}

TEST_F(FollowOnBlock, ABlockThatStopsComingFails) {
  send_in_background(std::vector<uint8_t>(300, 1));
  testing::internal::CaptureStderr();
  EXPECT_EQ(read_follow_on_block(4096), BlockRead::failed);  // after 2 s of silence
  join();
  EXPECT_NE(testing::internal::GetCapturedStderr().find("have read 300 bytes data."), std::string::npos);
}

TEST(HostPacketBuilder, DecipheredPacketGivesBackTheRecord) {
  const std::array<uint8_t, 4> tag = {9, 8, 7, 6};
  std::string payload = name_payload("/usr/data/a.jpg");
  PacketBytes packet = build_packet(0x62, tag, std::span(reinterpret_cast<const uint8_t *>(payload.data()), payload.size()));
  EXPECT_EQ(packet[510], 0xA1);
  EXPECT_EQ(packet[511], 0x1A);

  const auto *key = reinterpret_cast<const uint8_t *>(packet_key);
  uint8_t *plain = nullptr;
  size_t size = des_len;
  ASSERT_EQ(des_decode(DES_CBC, key, 8, key, packet.data(), &plain, &size), 0);
  ASSERT_EQ(size, command_record_len);
  auto *cmd = reinterpret_cast<HostCommand *>(plain);
  EXPECT_EQ(cmd->code, 0x62);
  EXPECT_EQ(cmd->check, 0x1A);
  EXPECT_EQ(cmd->magic, 0x6D);
  EXPECT_EQ(0, memcmp(cmd->tag, tag.data(), 4));
  EXPECT_EQ(take_name_argument(*cmd), std::string("/usr/data/a.jpg"));
  free(plain);
}
