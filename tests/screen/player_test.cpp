// The local player under a sandbox root: the fallback chain, blocks and rewinding, stopping,
// switching, refused starts and the handover between players. The decoder thread is not
// started: the tests take the blocks out of the ring themselves.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "disp/disp.h"
#include "disp/image.h"
#include "h264/h264.h"
#include "h264/local_player.h"
#include "screen/player.h"
#include "screen/screen.h"
#include "screen/screen.h"
#include "storage/util.h"
#include "tests/h264/video_sandbox.h"

using namespace std::chrono_literals;

namespace {

// A file whose 32-bit words say which file they belong to (top byte) and where they sit.
Bytes tagged_file(uint8_t id, size_t size) {
  Bytes bytes(size);
  for (size_t i = 0; i < size; i += 4) {
    const uint32_t word = uint32_t(id) << 24 | uint32_t(i / 4);
    memcpy(&bytes[i], &word, std::min<size_t>(4, size - i));
  }
  return bytes;
}
uint8_t file_of(const Bytes &block) { return block.at(3); }
size_t offset_of(const Bytes &block) {
  uint32_t word = 0;
  memcpy(&word, block.data(), 4);
  return size_t(word & 0xFFFFFF) * 4;
}

const std::string wave = h264_bg_filses[0];
const std::string theme5 = h264_bg_filses[5];
const std::string theme5_old = "/media/bg_h264/5_RollingBlocks.h264";
const std::string theme5_user = "/usr/data/5_RollingBlocksN.h264";

struct Opened {
  int id = -1;  // the file's tag, -1 when nothing opened
  std::string out;
  std::string err;
};

Opened open_with_fallbacks(const std::string &path, bool on_switch) {
  Opened result;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  FILE *file = open_local_h264_file(path.c_str(), on_switch, local_last_h264_switch_path);
  result.out = testing::internal::GetCapturedStdout();
  result.err = testing::internal::GetCapturedStderr();
  if (file != nullptr) {
    uint8_t word[4] = {};
    if (fread(word, 1, 4, file) == 4) result.id = word[3];
    fclose(file);
  }
  return result;
}

const std::string no_file = "No such file or directory";
const std::string old_error = "open old file video err 1: " + no_file + "\n";
const std::string user_error = "open usr data video err 1: " + no_file + "\n";

class H264Player : public testing::Test {
 protected:
  void SetUp() override {
    reset_video_state();
    write_device_file(wave, tagged_file(0, 4096));
  }
  void TearDown() override { reset_video_state(); }
};

// Takes blocks for `duration`, keeping the ring drained so that players keep pushing.
std::vector<Bytes> drain_for(std::chrono::milliseconds duration) {
  std::vector<Bytes> blocks;
  const auto end = std::chrono::steady_clock::now() + duration;
  while (std::chrono::steady_clock::now() < end) {
    if (auto taken = take_block(20ms)) blocks.push_back(std::move(taken->bytes));
  }
  return blocks;
}

// Whether the files the blocks come from never go back to one they have left, and each file's
// blocks follow one another through the file.
void expect_one_feeder_at_a_time(const std::vector<Bytes> &blocks, size_t file_size) {
  std::vector<uint8_t> left;
  for (size_t i = 0; i < blocks.size(); ++i) {
    const uint8_t id = file_of(blocks[i]);
    if (i > 0 && file_of(blocks[i - 1]) != id) {
      left.push_back(file_of(blocks[i - 1]));
      EXPECT_EQ(offset_of(blocks[i]), 0u) << "block " << i << ": a new file starts at its start";
    }
    EXPECT_EQ(std::count(left.begin(), left.end(), id), 0) << "block " << i << " of a replaced file";
    if (i > 0 && file_of(blocks[i - 1]) == id) {
      size_t next = offset_of(blocks[i - 1]) + blocks[i - 1].size();
      if (next >= file_size) next = 0;  // rewound
      EXPECT_EQ(offset_of(blocks[i]), next) << "block " << i << ": no block lost or doubled";
    }
  }
}

// Opens `path` as a first open and as a switch, checking which file opened and the messages.
void expect_opens(const std::string &path, int id, const std::string &first_out,
                  const std::string &switch_out, const std::string &err) {
  for (bool on_switch : {false, true}) {
    SCOPED_TRACE(on_switch ? "switch" : "first open");
    const Opened opened = open_with_fallbacks(path, on_switch);
    EXPECT_EQ(opened.id, id);
    EXPECT_EQ(opened.out, on_switch ? switch_out : first_out);
    EXPECT_EQ(opened.err, err);
  }
}

TEST_F(H264Player, Theme5FallsBackThroughTheOldNamesThePreviousTargetAndTheFirstTheme) {
  write_device_file(theme5, tagged_file(5, 4096));
  write_device_file(theme5_old, tagged_file(50, 4096));
  write_device_file(theme5_user, tagged_file(51, 4096));
  write_device_file(h264_bg_filses[7], tagged_file(7, 4096));
  set_switch_h264_path(h264_bg_filses[7]);
  set_switch_h264_path(h264_bg_filses[5]);
  const std::string both_tried = "use replace old file name 1\nuse replace usr data file name 1\n";

  expect_opens(theme5, 5, "found 264 file 1\n", "found 264 file\n", "");
  remove_device_file(theme5);
  expect_opens(theme5, 50, "use replace old file name 1\n", "success replace old file name\n", "");
  remove_device_file(theme5_old);
  expect_opens(theme5, 51, both_tried, "success replace usr data file name\n", old_error);
  remove_device_file(theme5_user);
  expect_opens(theme5, 7, both_tried, "", old_error + user_error);
  local_last_h264_switch_path = nullptr;
  expect_opens(theme5, 0, both_tried, "", old_error + user_error);
  remove_device_file(wave);
  expect_opens(theme5, -1, both_tried, "",
               old_error + user_error + "open err:1 " + no_file + "\n");
}

TEST_F(H264Player, OtherThemesGoStraightToThePreviousTargetOrTheFirstTheme) {
  write_device_file(theme5_old, tagged_file(50, 4096));  // for theme 5 only
  expect_opens(h264_bg_filses[3], 0, "", "", old_error + user_error);
  write_device_file(h264_bg_filses[9], tagged_file(9, 4096));
  set_switch_h264_path(h264_bg_filses[9]);
  set_switch_h264_path(h264_bg_filses[3]);
  expect_opens(h264_bg_filses[3], 9, "", "", old_error + user_error);
}

TEST_F(H264Player, FileIsPushedInSlotSizedBlocksAndRewound) {
  const Bytes file = tagged_file(9, 500000);
  write_device_file("/media/test/500k.h264", file);
  testing::internal::CaptureStdout();
  ASSERT_EQ(play_local_h264_async("/media/test/500k.h264"), 0);
  const size_t expected[] = {202752, 202752, 94496, 202752, 202752, 94496};
  size_t offset = 0;
  for (size_t length : expected) {
    auto taken = take_block(20000ms);
    ASSERT_TRUE(taken);
    ASSERT_EQ(taken->bytes.size(), length);
    EXPECT_TRUE(std::equal(taken->bytes.begin(), taken->bytes.end(), file.begin() + long(offset)));
    offset = (offset + length) % file.size();
  }
  EXPECT_EQ(local_h264_playing, 1);
  EXPECT_EQ(local_h264_is_running(), 1);
  stop_local_h264();
  ASSERT_TRUE(wait_until([] { return local_h264_players() == 0; }, 20000ms));
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("play_local_h264 name: /media/test/500k.h264 \n"), std::string::npos) << out;
  EXPECT_NE(out.find("found 264 file 1\n"), std::string::npos);
  EXPECT_NE(out.find("totalframe:0 \n"), std::string::npos);
  EXPECT_STREQ(cfg.local_path, "/media/test/500k.h264");
}

TEST_F(H264Player, StopIsSeenAtOnceAndNothingIsPushedAfterIt) {
  write_device_file("/media/test/big.h264", tagged_file(1, 1500000));
  ASSERT_EQ(play_local_h264_async("/media/test/big.h264"), 0);
  ASSERT_TRUE(wait_until([] { return h264_block_cnt == 3; }, 20000ms));  // the player pauses
  stop_local_h264();
  EXPECT_EQ(local_h264_is_running(), 0);
  EXPECT_EQ(h264_start_mark, 0);
  EXPECT_EQ(h264_block_cnt, 0);
  EXPECT_TRUE(wait_until([] { return local_h264_playing == 0; }, 20000ms));
  EXPECT_FALSE(take_block(300ms));
  EXPECT_EQ(local_h264_players(), 0);
}

TEST_F(H264Player, StopRightAfterAStartCancelsIt) {
  write_device_file("/media/test/big.h264", tagged_file(1, 1500000));
  ASSERT_EQ(play_local_h264_async("/media/test/big.h264"), 0);
  stop_local_h264();
  EXPECT_TRUE(wait_until([] { return local_h264_players() == 0; }, 20000ms));
  EXPECT_FALSE(take_block(300ms));
  EXPECT_EQ(local_h264_playing, 0);
  EXPECT_EQ(local_h264_is_running(), 0);
}

TEST_F(H264Player, SwitchTargetsAreRemembered) {
  set_switch_h264_path(h264_bg_filses[1]);
  set_switch_h264_path(h264_bg_filses[2]);
  EXPECT_EQ(local_h264_switch_path, h264_bg_filses[2]);
  EXPECT_EQ(local_last_h264_switch_path, h264_bg_filses[1]);
  switch_local_h264();
  EXPECT_EQ(local_h264_switch_mark, 1);
}

TEST_F(H264Player, PathsOf128CharactersOrMoreAreRefused) {
  const std::string longest = "/media/" + std::string(120, 'x');  // 127 characters
  ASSERT_EQ(longest.size(), 127u);
  ASSERT_EQ(play_local_h264_async(longest.c_str()), 0);
  EXPECT_EQ(screen_view().player_path, longest);
  reset_video_state();

  const std::string too_long = longest + "y";
  testing::internal::CaptureStderr();
  EXPECT_EQ(play_local_h264_async(too_long.c_str()), -1);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("128"), std::string::npos);
  EXPECT_EQ(std::string(cfg.local_path), longest);
  EXPECT_EQ(local_h264_players(), 0);

  // The USB monitor starts cfg's own path: the copy onto itself keeps it whole.
  write_device_file("/media/test/own.h264", tagged_file(3, 4096));
  strcpy(cfg.local_path, "/media/test/own.h264");
  ASSERT_EQ(play_local_h264_async(cfg.local_path), 0);
  EXPECT_STREQ(cfg.local_path, "/media/test/own.h264");
  auto taken = take_block(20000ms);
  ASSERT_TRUE(taken);
  EXPECT_EQ(file_of(taken->bytes), 3);
}

TEST_F(H264Player, RunsThatCannotPlayEndWithBothMarksClear) {
  remove_device_file(wave);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  ASSERT_EQ(play_local_h264_async("/media/test/missing.h264"), 0);
  ASSERT_TRUE(wait_until([] { return local_h264_players() == 0; }, 20000ms));
  // An empty file would otherwise be rewound for ever.
  write_device_file("/media/test/empty.h264", Bytes{});
  ASSERT_EQ(play_local_h264_async("/media/test/empty.h264"), 0);
  ASSERT_TRUE(wait_until([] { return local_h264_players() == 0; }, 20000ms));
  const std::string out = testing::internal::GetCapturedStdout();
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("open err:1 " + no_file), std::string::npos) << err;
  EXPECT_NE(out.find("stop_local_h264 "), std::string::npos) << out;
  EXPECT_NE(err.find("no data"), std::string::npos) << err;
  EXPECT_EQ(local_h264_mark, 0);
  EXPECT_EQ(local_h264_playing, 0);
}

TEST_F(H264Player, SwitchStartsTheNewFileInSlotZeroWithNothingOldAfterIt) {
  const size_t size = 1000000;
  write_device_file("/media/test/a.h264", tagged_file(1, size));
  write_device_file(h264_bg_filses[2], tagged_file(2, size));
  testing::internal::CaptureStdout();
  ASSERT_EQ(play_local_h264_async("/media/test/a.h264"), 0);
  std::vector<TakenBlock> blocks;
  for (int i = 0; i < 2; ++i) blocks.push_back(*take_block(20000ms));
  set_switch_h264_path(h264_bg_filses[2]);
  switch_local_h264();
  const auto end = std::chrono::steady_clock::now() + 1500ms;
  while (std::chrono::steady_clock::now() < end) {
    if (auto taken = take_block(20ms)) blocks.push_back(std::move(*taken));
  }
  const std::string out = testing::internal::GetCapturedStdout();

  auto first_new = std::find_if(blocks.begin(), blocks.end(),
                                [](const TakenBlock &b) { return file_of(b.bytes) == 2; });
  ASSERT_NE(first_new, blocks.end());
  EXPECT_EQ(first_new->slot, 0);
  EXPECT_EQ(offset_of(first_new->bytes), 0u);
  std::vector<Bytes> bytes;
  for (const TakenBlock &b : blocks) bytes.push_back(b.bytes);
  expect_one_feeder_at_a_time(bytes, size);
  EXPECT_EQ(local_h264_switch_mark, 0);
  EXPECT_EQ(local_h264_playing, 1);
  EXPECT_NE(out.find("switch h264 file \n"), std::string::npos) << out;
  EXPECT_NE(out.find("h264 stop \n"), std::string::npos);
  EXPECT_NE(out.find("found 264 file\n"), std::string::npos);
}

// Samples how many players exist while `action` runs; the most seen.
template <class Action>
int most_players_during(Action action) {
  std::atomic<bool> done{false};
  std::atomic<int> most{0};
  std::thread sampler([&] {
    while (!done) {
      most = std::max(most.load(), local_h264_players());
      std::this_thread::sleep_for(200us);
    }
  });
  action();
  done = true;
  sampler.join();
  return most;
}

// A resume replaces a local clip by the background: a stop, then a start that the stopping
// player takes over. One thread feeds the ring at a time, and the new file follows the old.
TEST_F(H264Player, StartAfterAStopReplacesARunningPlayer) {
  const size_t size = 600000;
  write_device_file("/media/test/a.h264", tagged_file(1, size));
  write_device_file("/media/test/b.h264", tagged_file(2, size));
  std::vector<Bytes> blocks;
  const int most = most_players_during([&] {
    ASSERT_EQ(play_local_h264_async("/media/test/a.h264"), 0);
    ASSERT_TRUE(wait_until([] { return local_h264_playing == 1; }, 20000ms));
    for (Bytes &b : drain_for(200ms)) blocks.push_back(std::move(b));
    stop_local_h264();
    ASSERT_EQ(play_local_h264_async("/media/test/b.h264"), 0);
    for (Bytes &b : drain_for(1000ms)) blocks.push_back(std::move(b));
  });
  EXPECT_EQ(most, 1);
  ASSERT_FALSE(blocks.empty());
  EXPECT_EQ(file_of(blocks.front()), 1);
  EXPECT_EQ(file_of(blocks.back()), 2);
  expect_one_feeder_at_a_time(blocks, size);
  reset_video_state();
}

TEST_F(H264Player, QuickStartsNeverRunTwoPlayers) {
  const size_t size = 600000;
  for (uint8_t id = 1; id <= 3; ++id) {
    write_device_file("/media/test/" + std::to_string(id) + ".h264", tagged_file(id, size));
  }
  for (int round = 0; round < 5; ++round) {
    std::vector<Bytes> blocks;
    const int most = most_players_during([&] {
      // Back to back, so that the later ones usually pass the playing test before the first
      // player has opened its file.
      for (int id = 1; id <= 3; ++id) {
        play_local_h264_async(("/media/test/" + std::to_string(id) + ".h264").c_str());
      }
      blocks = drain_for(600ms);
    });
    EXPECT_EQ(most, 1) << "round " << round;
    ASSERT_FALSE(blocks.empty());
    expect_one_feeder_at_a_time(blocks, size);
    EXPECT_EQ(local_h264_players(), 1);
    reset_video_state();
  }
}

}  // namespace

namespace {

size_t count_of(const std::string &text, const std::string &word) {
  size_t count = 0;
  for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) ++count;
  return count;
}

TEST_F(H264Player, SwitchThatCannotBeMadeIsDroppedWithAMessage) {
  write_device_file("/media/test/a.h264", tagged_file(1, 600000));
  remove_device_file(wave);  // no theme file and no fallback
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  ASSERT_EQ(play_local_h264_async("/media/test/a.h264"), 0);
  ASSERT_TRUE(take_block(20000ms));
  set_switch_h264_path(h264_bg_filses[4]);
  switch_local_h264();
  const bool ended = wait_until([] { return local_h264_players() == 0; }, 20000ms);
  const std::string out = testing::internal::GetCapturedStdout();
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(ended);
  EXPECT_EQ(local_h264_switch_mark, 0);  // else the decoder would break off every stream
  EXPECT_NE(out.find("background switch to " + std::string(h264_bg_filses[4]) + " dropped"),
            std::string::npos) << out;
  EXPECT_NE(err.find("open err:1"), std::string::npos) << err;
  EXPECT_EQ(local_h264_playing, 0);
}

TEST_F(H264Player, StartRightAfterAStopPlays) {
  write_device_file("/media/test/1.h264", tagged_file(1, 1500000));
  write_device_file("/media/test/2.h264", tagged_file(2, 1500000));
  ASSERT_EQ(play_local_h264_async("/media/test/1.h264"), 0);
  ASSERT_TRUE(wait_until([] { return h264_block_cnt == 3; }, 20000ms));  // the player pauses
  stop_local_h264();
  ASSERT_EQ(play_local_h264_async("/media/test/2.h264"), 0);  // the stopped one winds down
  EXPECT_EQ(local_h264_is_running(), 1);
  auto taken = take_block(20000ms);
  ASSERT_TRUE(taken);
  EXPECT_EQ(file_of(taken->bytes), 2);
  EXPECT_EQ(offset_of(taken->bytes), 0u);
  EXPECT_EQ(local_h264_players(), 1);
}

TEST_F(H264Player, FileThatShowsNoPictureIsRewoundOnceASecond) {
  write_device_file("/media/test/garbage.h264", tagged_file(7, 3000));
  testing::internal::CaptureStdout();
  ASSERT_EQ(play_local_h264_async("/media/test/garbage.h264"), 0);
  drain_for(1500ms);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_GE(count_of(out, "totalframe:0"), 1u);
  EXPECT_LE(count_of(out, "totalframe:0"), 3u) << out.size();
  EXPECT_EQ(local_h264_playing, 1);  // it still plays, only slower
}

// The decoder breaks off for the switch (as it does after a picture) while the player still
// holds blocks of the old file: none of them reaches the ring afterwards. The player wakes for
// the switch too, and on a busy machine it may end its stream before the picture comes; such a
// round proves nothing about the break, so the case is tried again.
TEST_F(H264Player, BreakingOffForASwitchEndsTheOldFilesStream) {
  write_device_file("/media/test/a.h264", tagged_file(1, 1500000));
  write_device_file(h264_bg_filses[2], tagged_file(2, 600000));
  bool broken = false;
  for (int round = 0; round < 20 && !broken; ++round) {
    reset_video_state();
    testing::internal::CaptureStdout();
    ASSERT_EQ(play_local_h264_async("/media/test/a.h264"), 0);
    ASSERT_TRUE(wait_until([] { return h264_block_cnt == 3; }, 20000ms));  // the player pauses
    set_switch_h264_path(h264_bg_filses[2]);
    switch_local_h264();
    broken = h264_picture_shown(h264_stream_epoch);
    std::vector<TakenBlock> blocks;
    for (int i = 0; i < 4; ++i) {
      if (auto taken = take_block(20000ms)) blocks.push_back(std::move(*taken));
    }
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_FALSE(blocks.empty());
    EXPECT_EQ(blocks.front().slot, 0);
    for (const TakenBlock &block : blocks) EXPECT_EQ(file_of(block.bytes), 2);
    EXPECT_EQ(offset_of(blocks.front().bytes), 0u);
    EXPECT_EQ(local_h264_switch_mark, 0);
    if (broken) {
      EXPECT_NE(out.find("break h264\n"), std::string::npos) << out;
    }
  }
  EXPECT_TRUE(broken) << "the player ended its stream before the picture in every round";
}

// The host's first block (0x79) comes in while the player makes a background switch: the
// switch ends the player's own stream only, so the host's block stays queued for the decoder.
TEST_F(H264Player, AHostBlockDuringASwitchIsKept) {
  write_device_file("/media/test/a.h264", tagged_file(1, 1500000));
  write_device_file(h264_bg_filses[2], tagged_file(2, 600000));
  const Bytes host_block = tagged_file(9, 4096);
  std::string failure;
  testing::internal::CaptureStdout();
  for (int round = 0; round < 40 && failure.empty(); ++round) {
    lvgl_state = 1;
    play_local_h264_async("/media/test/a.h264");
    if (!wait_until([] { return h264_block_cnt == 3; }, 20000ms)) {  // the player pauses
      failure = "the player queued no 3 blocks";
      break;
    }
    set_switch_h264_path(h264_bg_filses[2]);
    switch_local_h264();
    // The player wakes for the switch; the host's block comes at a later point of it each
    // round (the delay only moves the host along the switch; nothing waits on it).
    std::this_thread::sleep_for(std::chrono::microseconds(round * 500));
    screen_host_stream_block();
    push_h264_block(host_block.data(), int(host_block.size()));
    if (!wait_until([] { return local_h264_players() == 0; }, 20000ms)) {
      failure = "the player did not end";
    } else if (auto taken = take_block(20000ms); !taken) {
      failure = "round " + std::to_string(round) + ": the host's block was dropped";
    } else if (file_of(taken->bytes) != 9) {
      failure = "round " + std::to_string(round) + ": a block of the player's files queued";
    }
    reset_video_state();
  }
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(failure, "");
}

}  // namespace

namespace {

// Takes blocks until one of file `id` comes; whether it came.
bool blocks_reach_file(uint8_t id) {
  return wait_until([id] {
    auto taken = take_block(20ms);
    return taken && file_of(taken->bytes) == id;
  }, 20000ms);
}

// While the host had the screen it played another theme's background file as a local clip
// (0x6E). When the host goes, the GUI comes back over the background of the GUI's own theme,
// not over the one the host left playing; the same when the GUI was never paused.
TEST_F(H264Player, ResumeReplacesAnotherThemesBackground) {
  write_device_file(h264_bg_filses[3], tagged_file(3, 600000));
  for (bool host_paused : {true, false}) {
    SCOPED_TRACE(host_paused ? "GUI paused by the host" : "GUI shown");
    lvgl_state = 1;
    if (host_paused) screen_host_stream_block();
    ASSERT_EQ(play_local_h264_async(h264_bg_filses[3]), 0);
    ASSERT_TRUE(blocks_reach_file(3));
    screen_resume(0);
    EXPECT_EQ(lvgl_state, 1);
    EXPECT_TRUE(blocks_reach_file(0)) << "the background of theme 0 never came";
    EXPECT_EQ(screen_view().player_path, wave);
    reset_video_state();
  }
  lvgl_state = 0xFF;
}

}  // namespace

namespace {

// A background switch is pending when the host stops the player and starts its own clip (0x6F,
// 0x6E): the later start wins, and the clip is not replaced by the background once it opens.
TEST_F(H264Player, StartAfterAPendingSwitchPlaysTheStartedFile) {
  write_device_file("/media/test/a.h264", tagged_file(1, 1500000));
  write_device_file("/media/test/b.h264", tagged_file(2, 1500000));
  write_device_file(h264_bg_filses[2], tagged_file(3, 600000));
  ASSERT_EQ(play_local_h264_async("/media/test/a.h264"), 0);
  ASSERT_TRUE(wait_until([] { return h264_block_cnt == 3; }, 20000ms));  // the player pauses
  set_switch_h264_path(h264_bg_filses[2]);
  switch_local_h264();
  stop_local_h264();
  ASSERT_EQ(play_local_h264_async("/media/test/b.h264"), 0);
  std::vector<uint8_t> files;  // the file of each block queued after the start
  const bool seen = wait_until([&] {
    if (auto taken = take_block(20ms)) files.push_back(file_of(taken->bytes));
    return files.size() >= 12;
  }, 20000ms);
  ASSERT_TRUE(seen) << files.size() << " blocks";
  EXPECT_EQ(std::count(files.begin(), files.end(), 2), 12) << "the background replaced the clip";
  EXPECT_EQ(screen_view().player_path, "/media/test/b.h264");
  EXPECT_EQ(local_h264_switch_mark, 0);
}

}  // namespace

namespace {

// The slideshow started at attach found no picture on the card and ended, leaving ImgPlaying
// set. When the host goes (keep_on 1: nobody clears it) the GUI comes back over its
// background: no slideshow runs that the background would end.
TEST_F(H264Player, ResumeStartsTheBackgroundAfterASlideshowThatShowedNothing) {
  write_device_file("/tmp/sdcard/mmcblk0p1/img/folder/.keep", "");  // no picture, one folder
  lvgl_state = 1;
  screen_host_stream_block();  // the host has the screen
  play_local_jpg_thread(nullptr);
  ASSERT_EQ(ImgPlaying, 1);
  ASSERT_EQ(slideshow_thread_count(), 0);
  screen_resume(0);
  EXPECT_EQ(lvgl_state, 1);
  EXPECT_TRUE(blocks_reach_file(0)) << "the background never came";
  ImgPlaying = 0;
  lvgl_state = 0xFF;
}

}  // namespace

namespace {

// Whether thread `tid` of this process sleeps: waits for a lock, here.
bool asleep(pid_t tid) {
  std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string line;
  std::getline(stat, line);
  const size_t name_end = line.rfind(')');  // the state follows the name
  return name_end != std::string::npos && name_end + 2 < line.size() && line[name_end + 2] == 'S';
}

// Runs `request` on a thread of its own (returned) and returns once it waits for the screen
// owner: a stop keeps the owner busy while it waits for the ring's lock, which this thread
// holds until `ring` is released.
std::thread while_the_owner_is_busy(std::unique_lock<std::mutex> &ring, std::thread &stopper,
                                    std::function<void()> request) {
  std::atomic<pid_t> stopping{0}, waiting{0};
  ring.lock();
  stopper = std::thread([&] {
    stopping = gettid();
    stop_local_h264();
  });
  EXPECT_TRUE(wait_until([&] { return stopping != 0 && asleep(stopping); }, 20000ms));
  std::thread requester([&waiting, request] {
    waiting = gettid();
    request();
  });
  EXPECT_TRUE(wait_until([&] { return waiting != 0 && asleep(waiting); }, 20000ms));
  return requester;
}

// Start-up loads the saved theme (5) while the controller thread's theme follow, or a resume
// (a wake frame), waits for the screen owner. Each must judge the theme and GUI state it finds
// once it has the owner, not a theme read before: the follow would switch the background to
// theme 0 and, at the next frame, back; the resume would start theme 0's background.
TEST_F(H264Player, ARequestWaitingForTheOwnerJudgesTheThemeStartUpLoaded) {
  write_device_file(h264_bg_filses[5], tagged_file(5, 4096));
  for (bool follow : {true, false}) {
    SCOPED_TRACE(follow ? "theme follow" : "resume");
    current_theme_index = 0;
    last_theme_index = 0;
    lvgl_state = 0xFF;
    testing::internal::CaptureStdout();
    std::unique_lock<std::mutex> ring(pc_mutex, std::defer_lock);
    std::thread stopper;
    std::thread requester = while_the_owner_is_busy(ring, stopper, [follow] {
      if (follow) {
        screen_follow_theme(current_theme_index, last_theme_index);
      } else {
        lvgl_resume();
      }
    });
    // The theme and the GUI state as start-up's load leaves them, changed while it waits.
    current_theme_index = 5;
    last_theme_index = 5;
    lvgl_state = 1;
    ring.unlock();
    stopper.join();
    requester.join();
    testing::internal::GetCapturedStdout();

    const ScreenView view = screen_view();
    EXPECT_EQ(int(last_theme_index), 5);
    EXPECT_FALSE(view.switch_pending);
    if (follow) {
      EXPECT_FALSE(view.player_wanted) << view.player_path;
    } else {
      EXPECT_EQ(view.player_path, h264_bg_filses[5]);
    }
    reset_video_state();
  }
  lvgl_state = 0xFF;
  current_theme_index = 0;
  last_theme_index = 0;
}

}  // namespace
