// The block ring: filling, a full ring, refused blocks, stopping a stream; the decoder thread's
// pacing and pause rules. The decoder thread is not started here: the tests take the blocks.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <ctime>
#include <thread>

#include "disp/disp.h"
#include "h264/h264.h"
#include "tests/h264/video_sandbox.h"
#include "tests/support/waiting.h"

using namespace std::chrono_literals;

namespace {

// A block whose bytes all say which one it is.
Bytes block_of(uint8_t mark, size_t length = 1000) { return Bytes(length, mark); }

int push(const Bytes &block) { return push_h264_block(block.data(), int(block.size())); }

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

class H264Ring : public testing::Test {
 protected:
  void SetUp() override { reset_video_state(); }
  void TearDown() override { reset_video_state(); }

  void fill_ring() {
    for (uint8_t i = 1; i <= 5; ++i) ASSERT_EQ(push(block_of(i, 100u * i)), i);
  }
};

TEST_F(H264Ring, FivePushesFillTheRingInOrder) {
  ImgPlaying = 1;
  fill_ring();
  EXPECT_EQ(h264_block_cnt, 5);
  EXPECT_EQ(h264_cur_wr_index, 0);
  EXPECT_EQ(h264_start_mark, 1);
  EXPECT_EQ(ImgPlaying, 0);  // the slideshow gives way to video
  for (int i = 1; i <= 5; ++i) {
    auto taken = take_block(0ms);
    ASSERT_TRUE(taken);
    EXPECT_EQ(taken->slot, i - 1);
    EXPECT_EQ(taken->bytes, block_of(uint8_t(i), 100u * i));
  }
}

TEST_F(H264Ring, FullRingDropsTheBlockAfterTwoSeconds) {
  fill_ring();
  const auto start = std::chrono::steady_clock::now();
  testing::internal::CaptureStderr();
  EXPECT_EQ(push(block_of(6)), 5);
  const std::string message = testing::internal::GetCapturedStderr();
  EXPECT_GE(seconds_since(start), 1.9);  // how much later is the machine's load
  EXPECT_NE(message.find("dropped"), std::string::npos) << message;
  // Nothing pending was overwritten.
  for (int i = 1; i <= 5; ++i) EXPECT_EQ(take_block(0ms)->bytes, block_of(uint8_t(i), 100u * i));
  EXPECT_FALSE(take_block(0ms));
}

TEST_F(H264Ring, FullRingPushWaitsForTheConsumer) {
  fill_ring();
  std::optional<TakenBlock> first;
  const auto start = std::chrono::steady_clock::now();
  // The consumer comes later than the push, well inside the ring's 2 s wait: a pause of the
  // test's own. Whether the push waited for it (rather than dropping its block after the
  // 2 s) shows in the blocks taken below, not in a time.
  std::thread consumer([&] {
    std::this_thread::sleep_for(300ms);
    first = take_block(0ms);
  });
  EXPECT_EQ(push(block_of(6)), 5);
  const double waited = seconds_since(start);
  consumer.join();
  EXPECT_GE(waited, 0.3);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->bytes, block_of(1, 100));
  // The sixth block went into the freed slot and comes after the other four.
  for (int i = 2; i <= 6; ++i) {
    auto taken = take_block(0ms);
    ASSERT_TRUE(taken);
    EXPECT_EQ(taken->bytes, i == 6 ? block_of(6) : block_of(uint8_t(i), 100u * i));
  }
}

TEST_F(H264Ring, BlocksOutsideTheSlotSizeAreRefused) {
  push(block_of(1));
  h264_start_mark = 0;
  ImgPlaying = 1;
  Bytes too_long(h264_block_max_length + 1, 7);
  testing::internal::CaptureStderr();
  EXPECT_EQ(push_h264_block(too_long.data(), int(too_long.size())), 1);
  EXPECT_EQ(push_h264_block(too_long.data(), -1), 1);
  EXPECT_EQ(push_h264_block(nullptr, 10), 1);
  const std::string messages = testing::internal::GetCapturedStderr();
  EXPECT_NE(messages.find("202753"), std::string::npos) << messages;
  EXPECT_NE(messages.find("-1"), std::string::npos) << messages;
  EXPECT_EQ(h264_block_cnt, 1);
  EXPECT_EQ(h264_cur_wr_index, 1);
  EXPECT_EQ(h264_start_mark, 0);
  EXPECT_EQ(ImgPlaying, 1);

  too_long.pop_back();  // exactly one slot
  EXPECT_EQ(push(too_long), 2);
  take_block(0ms);
  EXPECT_EQ(take_block(0ms)->bytes, too_long);
}

TEST_F(H264Ring, StopEmptiesTheRingAndTheNextStreamStartsInSlotZero) {
  push(block_of(1));
  push(block_of(2));
  take_block(0ms);
  push(block_of(3));
  testing::internal::CaptureStdout();
  stop_h264();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "h264 stop \n");
  EXPECT_EQ(h264_start_mark, 0);
  EXPECT_EQ(h264_block_cnt, 0);
  EXPECT_EQ(h264_cur_wr_index, 0);
  EXPECT_EQ(h264_cur_rd_index, 0);

  EXPECT_EQ(push(block_of(9)), 1);
  EXPECT_EQ(h264_start_mark, 1);
  auto taken = take_block(0ms);
  ASSERT_TRUE(taken);
  EXPECT_EQ(taken->slot, 0);
  EXPECT_EQ(taken->bytes, block_of(9));
}

TEST_F(H264Ring, StreamPushesEndWithTheirStream) {
  uint32_t epoch = h264_stream_epoch;
  const Bytes block = block_of(1);
  EXPECT_EQ(push_h264_block_in_stream(block.data(), int(block.size()), epoch), 1);
  stop_h264();
  EXPECT_EQ(push_h264_block_in_stream(block.data(), int(block.size()), epoch), -1);
  EXPECT_EQ(h264_block_cnt, 0);

  // One waiting on a full ring is let go by the stop at once, without queuing its block: not
  // at the end of the ring's own 2 s wait, which the push measures from its own start. A busy
  // machine may stall one round past that; a push the stop does not wake takes 2 s every round.
  double fastest = 1e9;
  for (int round = 0; round < 3 && fastest >= 1.9; ++round) {
    epoch = h264_stream_epoch;
    fill_ring();
    // The push clears ImgPlaying under the ring's lock just before its wait, which releases
    // that lock: a stop (which takes it) seen after the clear comes while the push waits.
    ImgPlaying = 1;
    int result = 0;
    double pushed_for = 0;
    std::thread producer([&] {
      const auto start = std::chrono::steady_clock::now();
      result = push_h264_block_in_stream(block.data(), 1000, epoch);
      pushed_for = seconds_since(start);
    });
    EXPECT_TRUE(wait_until([] { return ImgPlaying == 0; }, 30000ms));
    stop_h264();
    producer.join();
    EXPECT_EQ(result, -1);
    EXPECT_EQ(h264_block_cnt, 0);
    fastest = std::min(fastest, pushed_for);
  }
  EXPECT_LT(fastest, 1.9);
  // A host push after the stop is a new stream and is always taken.
  EXPECT_EQ(push(block), 1);
}

TEST(H264Pacing, SevenFramesASecond) {
  const int32_t frame = 142857;
  const uint32_t last = 5000000;
  // Ready 120 ms before its time: more than 99,999 us early, shown at once.
  EXPECT_EQ(pacing_delay_us(last, frame, last + frame - 120000), 0u);
  // Ready 50 ms early: waits for the rest.
  EXPECT_EQ(pacing_delay_us(last, frame, last + frame - 50000), 50000u);
  EXPECT_EQ(pacing_delay_us(last, frame, last + frame - 99999), 99999u);
  EXPECT_EQ(pacing_delay_us(last, frame, last + frame - 100000), 0u);
  EXPECT_EQ(pacing_delay_us(last, frame, last + frame - 1), 1u);
  // On time or late: no sleep.
  EXPECT_EQ(pacing_delay_us(last, frame, last + frame), 0u);
  EXPECT_EQ(pacing_delay_us(last, frame, last + frame + 30000), 0u);
}

TEST(H264Pacing, ClockWrapsIn32BitsAndNoFrameRateMeansNoPacing) {
  const uint32_t last = 0xFFFFFF00u;
  EXPECT_EQ(pacing_delay_us(last, 142857, last + 100000u), 42857u);  // now has wrapped past 0
  // Last picture just after the wrap, now just before it: 143,129 us early, shown at once.
  EXPECT_EQ(pacing_delay_us(0x100u, 142857, 0xFFFFFFF0u), 0u);
  EXPECT_EQ(pacing_delay_us(last, 1000000, last + 950000u), 50000u);
  EXPECT_EQ(pacing_delay_us(1000, INT32_MAX, 1000), 0u);
  EXPECT_EQ(pacing_delay_us(0xFFFFFFFFu, INT32_MAX, 0), 0u);
}

TEST(H264Pacing, OnlyAPauseOfMoreThanTenSecondsDropsWhatWasBuffered) {
  EXPECT_TRUE(stream_gap_exceeded(1000, 1011));
  EXPECT_FALSE(stream_gap_exceeded(1000, 1010));
  EXPECT_FALSE(stream_gap_exceeded(1000, 1000));
  EXPECT_FALSE(stream_gap_exceeded(1000, 990));  // the clock set back
  const int64_t now = get_now_s();
  EXPECT_LE(std::abs(now - int64_t(time(nullptr))), 1);
}

}  // namespace
