// The screen owner under load: the host loop, the USB monitor and the controller thread issue
// random requests at once, against the real decoder thread, the simulated panel and the real
// GUI block, and the owner's rules are checked after every request.
#include <gtest/gtest.h>

#include <barrier>
#include <fstream>
#include <iterator>
#include <random>
#include <thread>

#include "disp/disp.h"
#include "disp/image.h"
#include "h264/h264.h"
#include "h264/local_player.h"
#include "screen/player.h"
#include "screen/screen.h"
#include "screen/screen.h"
#include "mcu/gui_shm.h"
#include "mcu/mcu.h"
#include "storage/util.h"
#include "tests/support/target.h"
#include "tests/mcu/controller_frames.h"
#include "tests/mcu/gui_block_view.h"
#include "tests/mcu/gui_sandbox.h"

using namespace std::chrono_literals;

namespace {

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_FALSE(bytes.empty()) << path;
  return bytes;
}

const std::string source = DH_SOURCE_DIR;

// The display, the decoder thread and the GUI block, once per process; every theme file there.
GuiSharedBlock *start_device() {
  static GuiSharedBlock *block = [] {
    const std::string video = read_file(source + "/tests/media/colours_64x64.h264");
    for (const char *theme : h264_bg_filses) write_device_file(theme, video);
    write_device_file("/tmp/sdcard/mmcblk0p1/img/slide-1.jpg",
                      read_file(source + "/media/slideshow/slide-1.jpg"));
    write_device_file("/usr/data/.keep", "");
    EXPECT_EQ(init_disp(), 0);
    std::thread(play_h264_thread, nullptr).detach();
    return fresh_block();
  }();
  return block;
}

// The rules that hold whenever no request is half done.
void expect_owner_rules(const char *after) {
  const ScreenView view = screen_view();
  SCOPED_TRACE(after);
  EXPECT_LE(view.player_threads, 1);
  EXPECT_LE(local_h264_players(), 1);
  EXPECT_EQ(h264_stale_blocks, 0u);
  // Nobody but a resume starts the background while the host has the screen.
  if (view.gui == 0) {
    EXPECT_FALSE(view.player_wanted) << layer0_name(view.layer0);
  }
  // The background is wanted whenever the GUI is shown and layer 0 is the background's.
  if (view.gui == 1 && view.layer0 == Layer0::background) {
    EXPECT_TRUE(view.player_wanted);
  }
  if (view.player_wanted && (view.layer0 == Layer0::background)) {
    bool known = false;
    for (const char *theme : h264_bg_filses) known = known || view.player_path == theme;
    EXPECT_TRUE(known) << view.player_path;
  }
}

class ScreenOwner : public testing::Test {
 protected:
  void SetUp() override {
    block = start_device();
    ASSERT_NE(block, nullptr);
    control_mode = 0;
    current_theme_index = 0;
    last_theme_index = 0;
    lvgl_cfg = GuiConfig{0, 13, 16};
    frameTime = 1000;  // pictures as fast as they decode
    stdout_of([] {
      lvgl_state = 1;
      play_local_h264_async(h264_bg_filses[0]);
    });
  }
  void TearDown() override {
    // A slideshow started just before may not have opened its folder yet, and would miss a
    // single stop: stop until every worker has ended.
    testing::internal::CaptureStdout();
    const bool ended = wait_until(
        [] {
          stop_local_h264();
          screen_stop_slideshow();
          return local_h264_players() == 0 && slideshow_thread_count() == 0;
        },
        20000ms);
    stop_h264();
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(ended);
    // The decoder thread outlives the test: leave it waiting with nothing open.
    EXPECT_TRUE(wait_until([] { return h264_decoder_open == 0; }, 5000ms));
  }

  GuiSharedBlock *block = nullptr;
};

// The command the GUI process saw last, read after each of the controller thread's publishes
// (the only thread that publishes): 0 none yet, 2 pause, 3 resume.
uint8_t command_seen(const GuiSharedBlock *block, uint8_t previous) {
  if (block->record[1] != 0x99) return previous;
  return block->record[2] == 0x12 ? 2 : block->record[2] == 0x65 ? 3 : previous;
}

TEST_F(ScreenOwner, ThreeThreadsOfRandomRequestsKeepTheRules) {
  const std::string stream = read_file(source + "/tests/media/colours_480x480.h264");
  const std::string jpeg = read_file(source + "/media/host.jpg");
  constexpr int rounds = 12;
  constexpr int per_round = 120;
  std::barrier round_end(3);
  std::atomic<uint8_t> last_command{0};

  auto host = [&](std::mt19937 &random) {
    switch (random() % 6) {
      case 0:  // 0x79: stop the local video, pause, queue a block
        screen_host_stream_block();
        push_h264_block(reinterpret_cast<const uint8_t *>(stream.data()),
                        int(random() % stream.size()) + 1);
        return "host stream block";
      case 1:
        screen_show_host_jpeg(reinterpret_cast<const uint8_t *>(jpeg.data()), int(jpeg.size()));
        return "host jpeg";
      case 2:
        stop_h264();
        return "host stream end";
      case 3:
        stop_local_h264();
        return "stop";
      case 4:
        lvgl_pause();  // 0x66
        return "pause";
      default:
        lvgl_resume();  // 0xF9
        frameTime = 1000;
        return "resume";
    }
  };
  auto monitor = [&](std::mt19937 &random) {
    switch (random() % 4) {
      case 0:
        lvgl_resume();  // the host went away
        frameTime = 1000;
        return "resume";
      case 1:
        play_local_jpg_async();
        return "slideshow start";
      case 2:
        screen_stop_slideshow();
        return "slideshow stop";
      default:
        std::this_thread::sleep_for(200us);
        return "idle";
    }
  };
  auto controller = [&](std::mt19937 &random) {
    const char *what = "knob step";
    switch (random() % 6) {
      case 0:
      case 1:
        process_controller_frame(make_frame(frame_status, {{frame_at::knob_step, 1}}).data());
        break;
      case 2:
        set_switch_h264_path(h264_bg_filses[random() % background_video_count]);
        switch_local_h264();
        what = "switch";
        break;
      case 3: {
        // A picture package, or the end frame: drawn only while the GUI is shown.
        const uint8_t package = random() % 2 == 0 ? 0 : picture_end_package;
        process_controller_frame(
            make_frame(frame_picture, {{frame_at::package, package}, {4, 0x00}, {5, 0x40}})
                .data());
        what = package == 0 ? "picture package" : "picture end";
        break;
      }
      default:
        process_controller_frame(make_frame(frame_host_data).data());
        what = "frame";
        break;
    }
    last_command = command_seen(block, last_command);
    return what;
  };

  auto run = [&](int seed, auto &&request) {
    std::mt19937 random{unsigned(seed)};
    for (int round = 0; round < rounds; ++round) {
      for (int i = 0; i < per_round; ++i) expect_owner_rules(request(random));
      round_end.arrive_and_wait();  // the checks of a quiet screen
      round_end.arrive_and_wait();
    }
  };

  std::thread host_loop([&] { run(1, host); });
  std::thread usb_monitor([&] { run(2, monitor); });
  std::mt19937 random(3);
  for (int round = 0; round < rounds; ++round) {
    for (int i = 0; i < per_round; ++i) expect_owner_rules(controller(random));
    round_end.arrive_and_wait();
    // Quiet: the GUI process's last command matches the GUI state once published, and a
    // shown GUI with layer 0 the background's has the background playing.
    data_update_mark = 1;
    process_controller_frame(make_frame(frame_host_data).data());
    last_command = command_seen(block, last_command);
    EXPECT_EQ(data_update_type, 0);
    if (lvgl_state == 0) {
      EXPECT_EQ(last_command, 2) << "round " << round;
    } else if (last_command != 0) {
      EXPECT_EQ(last_command, 3) << "round " << round;
    }
    const ScreenView view = screen_view();
    if (view.gui == 1 && view.layer0 == Layer0::background) {  // NOLINT
      EXPECT_TRUE(wait_until([] { return local_h264_playing == 1; }, 3000ms)) << "round " << round;
    }
    round_end.arrive_and_wait();
  }
  host_loop.join();
  usb_monitor.join();
  EXPECT_EQ(h264_stale_blocks, 0u);
}

// The host streams while the knob turns: the theme follow never starts a background in the
// middle of the host's stream.
TEST_F(ScreenOwner, KnobDuringAHostStreamStartsNoBackground) {
  const std::string stream = read_file(source + "/tests/media/colours_480x480.h264");
  std::atomic<bool> done{false};
  std::atomic<int> started_during_stream{0};
  testing::internal::CaptureStdout();
  std::thread knob([&] {
    while (!done) {
      process_controller_frame(make_frame(frame_status, {{frame_at::knob_step, 1}}).data());
    }
  });
  for (int i = 0; i < 300; ++i) {
    screen_host_stream_block();
    push_h264_block(reinterpret_cast<const uint8_t *>(stream.data()), 600);
    if (local_h264_is_running()) ++started_during_stream;
    if (i % 10 == 9) {  // the stream ends and the GUI is back for a moment
      stop_h264();
      lvgl_resume();
      frameTime = 1000;
    }
  }
  done = true;
  knob.join();
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(started_during_stream, 0);
}

}  // namespace

// ---------------------------------------------------------------- the host goes away

// What the host left on the screen, then the detach's resume: the GUI is shown, its resume
// command waits for the next publish, and the theme's background plays again.
class HostGone : public ScreenOwner {
 protected:
  void expect_screen_given_back(const char *path_before) {
    stdout_of([] { lvgl_resume(); });
    EXPECT_EQ(lvgl_state, 1);
    const ScreenView view = screen_view();
    EXPECT_TRUE(view.player_wanted) << "the background is not playing";
    EXPECT_EQ(view.player_path, h264_bg_filses[2]) << "was " << path_before;
    EXPECT_TRUE(wait_until([] { return local_h264_playing == 1; }, 10000ms));
  }
  const std::string clip = "/usr/data/clip.h264";
};

TEST_F(HostGone, AfterAPngFrameAndALocalClip) {
  SKIP_WITHOUT_H264_PICTURES();  // the clip's blocks stay queued only behind decoded pictures
  write_device_file(clip, read_file(source + "/tests/media/colours_480x480.h264"));
  current_theme_index = 2;
  frameTime = 99999;  // slow pictures: the clip's blocks stay queued
  stdout_of([&] {
    lvgl_pause();  // 0x66
    play_local_h264_async(clip.c_str());  // 0x6E
    EXPECT_TRUE(wait_until([] { return h264_block_cnt >= 2; }, 10000ms));
  });
  EXPECT_EQ(lvgl_state, 0);
  expect_screen_given_back(clip.c_str());
  EXPECT_EQ(data_update_type, 3);
}

TEST_F(HostGone, AfterAHostJpeg) {
  const std::string jpeg = read_file(source + "/media/host.jpg");
  current_theme_index = 2;
  stdout_of([&] {
    screen_show_host_jpeg(reinterpret_cast<const uint8_t *>(jpeg.data()), int(jpeg.size()));
  });
  EXPECT_FALSE(screen_view().player_wanted);
  expect_screen_given_back("a host jpeg");
}

TEST_F(HostGone, AfterThePresetClip) {
  write_device_file(clip, read_file(source + "/tests/media/colours_64x64.h264"));
  current_theme_index = 2;
  // Start-up: the preset clip (mode 2) took the player before the background's start came.
  stdout_of([&] {
    stop_local_h264();
    EXPECT_TRUE(wait_until([] { return local_h264_players() == 0; }, 10000ms));
    play_local_h264_async(clip.c_str());
    EXPECT_TRUE(wait_until([] { return local_h264_playing == 1; }, 10000ms));
    EXPECT_EQ(play_local_h264_async(h264_bg_filses[0]), 0);  // refused: the clip plays on
  });
  EXPECT_EQ(screen_view().player_path, clip);
  expect_screen_given_back(clip.c_str());
}

// A host stream's own blocks still hold a resume back; once they are gone (0x7B), it goes ahead.
TEST_F(HostGone, HeldBackOnlyWhileTheHostStreamHasBlocksQueued) {
  SKIP_WITHOUT_H264_PICTURES();  // the second block stays queued only behind decoded pictures
  const std::string one = read_file(source + "/tests/media/colours_480x480.h264");
  std::string stream;
  while (stream.size() + one.size() <= size_t(h264_block_max_length)) stream += one;
  current_theme_index = 2;
  frameTime = 99999;  // each block takes the decoder many seconds: the second stays queued
  stdout_of([&] {
    screen_host_stream_block();
    for (int i = 0; i < 2; ++i) {
      push_h264_block(reinterpret_cast<const uint8_t *>(stream.data()), int(stream.size()));
    }
    EXPECT_TRUE(wait_until([] { return h264_block_cnt == 1; }, 10000ms));
    lvgl_resume();
  });
  EXPECT_EQ(lvgl_state, 0);
  EXPECT_FALSE(screen_view().player_wanted);
  stdout_of([] { stop_h264(); });  // 0x7B: the host's stream ends
  expect_screen_given_back("a host stream");
}
