// Still pictures: JPEG onto layer 0, PNG into layer 1, the slideshow.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "disp/disp.h"
#include "disp/image.h"
#include "screen/player.h"  // playPresetMode
#include "storage/util.h"
#include "tests/disp/panel_sandbox.h"

namespace {

using namespace std::chrono_literals;

const std::string folder = "/tmp/sdcard/mmcblk0p1/img/";

std::string text(const std::vector<uint8_t> &bytes) { return {bytes.begin(), bytes.end()}; }
void show_png(const std::vector<uint8_t> &png) { decode_png(png.data(), int(png.size())); }

// Test image: red = x, green = y, blue 0x40, alpha 0x80 + (x & 1).
uint8_t sample(int x, int y, int i) {
  const uint8_t rgba[] = {uint8_t(x), uint8_t(y), 0x40, uint8_t(0x80 + (x & 1))};
  return rgba[i & 3];
}
uint32_t word(int x, int y, bool opaque = false) {
  return uint32_t(opaque ? 0xFF : 0x80 + (x & 1)) << 24 | uint32_t(x & 0xFF) << 16 |
         uint32_t(y & 0xFF) << 8 | 0x40;
}

template <class Done>
bool eventually(Done done, std::chrono::milliseconds limit) {
  for (auto end = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < end;)
    if (done()) return true;
    else std::this_thread::sleep_for(20ms);
  return done();
}

void stop_slideshow() {
  ImgPlaying = 0;
  EXPECT_TRUE(eventually([] { return slideshow_thread_count() == 0; }, 20000ms));
}

// Standard output (unbuffered in the tests) goes into a pipe while one of these lives, so a
// test can wait for what another thread prints. The pipe starts full: a thread that prints
// waits there until the test reads, which holds it at a known point.
class StdoutPipe {
 public:
  StdoutPipe() {
    int ends[2];
    if (pipe(ends) != 0) return;
    read_end_ = ends[0];
    const int flags = fcntl(ends[1], F_GETFL);
    fcntl(ends[1], F_SETFL, flags | O_NONBLOCK);
    const std::string filler(4096, '.');
    while (write(ends[1], filler.data(), filler.size()) > 0) {
    }
    fcntl(ends[1], F_SETFL, flags);
    saved_ = dup(1);
    dup2(ends[1], 1);
    close(ends[1]);
  }
  ~StdoutPipe() {
    if (saved_ >= 0) dup2(saved_, 1);
    if (saved_ >= 0) close(saved_);
    if (read_end_ >= 0) close(read_end_);
  }
  bool printed(const std::string &text) {
    const bool came = read_until(read_end_, seen, text, 20000ms);
    seen.erase(0, seen.find_first_not_of('.'));
    return came;
  }
  std::string seen;

 private:
  int read_end_ = -1;
  int saved_ = -1;
};

}  // namespace

TEST(Png, RgbaAndRgbBecomeLayerWordsAtTheWindow) {
  set_panel(424, 960);
  make_dir("/sys/bus/platform/drivers/ingenic-fb/ingenic-fb.0");
  ASSERT_EQ(init_disp(), 0);
  draw_rect(fb1_info.vaddr, 0, 0, -1, -1, 0x12345678);
  EXPECT_EQ(stdout_of([] { show_png(make_png({5, 3, 6}, sample)); }),
            "width:5,height:3\ncolor type:6\n");
  EXPECT_EQ(layer_pixel(1, 55, 0), 0x12345678u);  // rotation 0: the row starts at pixel 56
  EXPECT_EQ(layer_pixel(1, 56, 0), word(0, 0));
  EXPECT_EQ(layer_pixel(1, 60, 2), word(4, 2));
  EXPECT_EQ(layer_pixel(1, 61, 2), 0x12345678u);  // the image's width, not the layer's
  EXPECT_EQ(layer_pixel(1, 56, 3), 0x12345678u);

  set_rotation(2);
  show_png(make_png({4, 2, 2}, sample));
  EXPECT_EQ(layer_pixel(1, 0, 0), word(0, 0, true));
  EXPECT_EQ(layer_pixel(1, 3, 1), word(3, 1, true));
  EXPECT_EQ(screen().at(3, 1), word(3, 1, true));

  // A code the host may send outside 0..3 turns the panel to 0 degrees: the window is the
  // one of rotation 0.
  set_rotation(7);
  draw_rect(fb1_info.vaddr, 0, 0, -1, -1, 0x12345678);
  show_png(make_png({4, 2, 6}, sample));
  EXPECT_EQ(layer_pixel(1, 55, 0), 0x12345678u);
  EXPECT_EQ(layer_pixel(1, 56, 0), word(0, 0));
}

TEST(Png, ImagesBeyondTheLayerAreClipped) {
  set_panel(720, 1600);  // rows land 64 down: an image as tall as the layer runs past it
  ASSERT_EQ(init_disp(), 0);
  show_png(make_png({800, 1600, 6}, sample));
  EXPECT_EQ(layer_pixel(1, 0, 64), word(0, 0));
  EXPECT_EQ(layer_pixel(1, 719, 1599), word(719, 1535));

  set_panel(424, 960);  // 368 columns after the 56-pixel offset
  ASSERT_EQ(open_fb(), 0);
  show_png(make_png({424, 1000, 2}, sample));
  EXPECT_EQ(layer_pixel(1, 423, 959), word(367, 959, true));
}

TEST(Png, UnhandledOrBadDataLeavesTheLayerAlone) {
  set_panel(64, 48);
  ASSERT_EQ(init_disp(), 0);
  draw_rect(fb1_info.vaddr, 0, 0, -1, -1, 0xFF00FF00);
  const PngLayout unhandled[] = {{8, 8, 3}, {8, 8, 0}, {8, 8, 6, 16}, {8, 8, 2, 16}, {8, 8, 6, 8, true}};
  for (const PngLayout &layout : unhandled) {
    EXPECT_EQ(stderr_of([&] { show_png(make_png(layout, sample)); }), "");
    EXPECT_EQ(layer_pixel(1, 7, 7), 0xFF00FF00u) << layout.colour_type << "/" << layout.bit_depth;
  }
  EXPECT_EQ(screen().at(3, 3), 0xFF00FF00u);  // panned with its old content

  const std::string garbage = "definitely not a picture";
  const auto *bytes = reinterpret_cast<const uint8_t *>(garbage.data());
  EXPECT_EQ(stderr_of([&] { decode_png(bytes, int(garbage.size())); }), "The file is not PNG\n");
  EXPECT_EQ(stderr_of([&] { decode_png(bytes, 3); }), "The file is not PNG\n");
  EXPECT_EQ(stderr_of([&] { decode_png(bytes, -1); }), "fmemopen open fail!!!\n");
  auto cut = make_png({64, 48, 6}, sample);
  cut.resize(cut.size() / 2);
  EXPECT_NE(stderr_of([&] { show_png(cut); }).find("libpng error"), std::string::npos);
  auto broken = make_png({4, 4, 6}, sample);
  broken[16] = 0xFF;  // a width PNG does not allow
  EXPECT_NE(stderr_of([&] { show_png(broken); }).find("libpng error"), std::string::npos);
  EXPECT_EQ(layer_pixel(1, 0, 0), 0xFF00FF00u);
}

TEST(Jpeg, PictureFillsThePictureArea) {
  set_panel(424, 960);
  ASSERT_EQ(init_disp(), 0);
  auto jpeg = make_jpeg(368, 960, 0xE01010);
  EXPECT_NE(stdout_of([&] { EXPECT_EQ(show_jpg_buffer(jpeg.data(), int(jpeg.size())), 0); })
                .find("width=368 height=960\n"), std::string::npos);
  PanelPicture shown = screen();
  EXPECT_TRUE(near_colour(shown.at(56, 0), 0xE01010));
  EXPECT_TRUE(near_colour(shown.at(423, 959), 0xE01010));
  EXPECT_FALSE(near_colour(shown.at(55, 0), 0xE01010));
  EXPECT_EQ(decoder_jpeg, nullptr);
}

TEST(Jpeg, RejectedPicturesKeepTheScreen) {
  set_panel(64, 48);
  ASSERT_EQ(init_disp(), 0);
  write_file("/media/logo.jpg", text(make_jpeg(64, 48, 0x00C000)));
  playBootAnnimation();
  EXPECT_TRUE(near_colour(screen().at(32, 24), 0x00C000));

  const std::string garbage(2000, 'x');
  EXPECT_NE(stderr_of([&] {
              EXPECT_EQ(show_jpg_buffer(reinterpret_cast<const uint8_t *>(garbage.data()), 2000), -1);
            }).find("jpeg decoder"), std::string::npos);
  EXPECT_EQ(show_jpg_buffer(nullptr, -5), -1);
  write_file("/tmp/empty.jpg", "");
  write_file("/tmp/bad.jpg", garbage);
  EXPECT_EQ(show_jpg_local("/tmp/empty.jpg"), 0);
  EXPECT_EQ(show_jpg_local("/tmp/bad.jpg"), 0);
  EXPECT_EQ(show_jpg_local("/tmp"), -1);  // a folder is no regular file: cannot be opened
  EXPECT_NE(stderr_of([] { EXPECT_EQ(show_jpg_local("/tmp/missing.jpg"), -1); })
                .find("Failed to open src file: No such file"), std::string::npos);
  write_file("/tmp/huge.jpg", "");  // sparse, far beyond any picture: refused unread
  ASSERT_EQ(truncate(under_root("/tmp/huge.jpg").c_str(), 65 << 20), 0);
  EXPECT_NE(stderr_of([] { EXPECT_EQ(show_jpg_local("/tmp/huge.jpg"), 0); }).find("too large"),
            std::string::npos);
  EXPECT_TRUE(near_colour(screen().at(32, 24), 0x00C000));
}

TEST(Rotation, PicturesOnAnotherThreadStayInsideTheLayers) {
  set_panel(720, 1600);
  make_dir("/sys/bus/platform/drivers/ingenic-fb/ingenic-fb.0");
  ASSERT_EQ(init_disp(), 0);
  auto jpeg = make_jpeg(720, 1472, 0x2040C0);
  auto png = make_png({720, 1600, 6}, sample);
  std::atomic<bool> done{false};
  std::atomic<int> rounds{0};
  std::thread presenter([&] {
    while (!done) {
      show_jpg_buffer(jpeg.data(), int(jpeg.size()));
      show_png(png);
      clean_fb1();
      ++rounds;
      std::this_thread::sleep_for(1ms);  // let set_rotation in
    }
  });
  // Each turn comes once the presenter has shown its pictures at the turn before.
  for (int i = 1; i <= 6; ++i) {
    set_rotation(i % 2);
    const int seen = rounds;
    if (!eventually([&] { return rounds > seen; }, 20000ms)) {
      ADD_FAILURE() << "the presenter showed nothing after turn " << i;
      break;
    }
  }
  done = true;
  presenter.join();
  EXPECT_EQ(show_jpg_buffer(jpeg.data(), int(jpeg.size())), 0);
  EXPECT_TRUE(near_colour(screen().at(360, 800), 0x2040C0));
}

TEST(Slideshow, CyclesUntilStoppedAndStartsOnlyOnce) {
  set_panel(64, 48);
  ASSERT_EQ(init_disp(), 0);
  write_file(folder + "a.jpg", text(make_jpeg(64, 48, 0xF00000)));
  write_file(folder + "b.jpg", text(make_jpeg(64, 48, 0x0000F0)));
  draw_rect(fb1_info.vaddr, 0, 0, -1, -1, 0xFF00FF00);
  ASSERT_EQ(play_local_jpg_async(), 0);
  EXPECT_EQ(layer_pixel(1, 0, 0), 0u);  // the overlay is cleared first
  bool red = false, blue = false;
  EXPECT_TRUE(eventually([&] {
    red = red || near_colour(screen().at(32, 24), 0xF00000);
    blue = blue || near_colour(screen().at(32, 24), 0x0000F0);
    return red && blue;
  }, 20000ms));

  draw_rect(fb1_info.vaddr, 0, 0, -1, -1, 0xFF00FF00);
  EXPECT_EQ(play_local_jpg_async(), 0);  // running: only the overlay is cleared
  EXPECT_EQ(layer_pixel(1, 10, 10), 0u);
  EXPECT_EQ(slideshow_thread_count(), 1);

  ImgPlaying = 0;  // stopped and started again at once: the old thread retires
  ASSERT_EQ(play_local_jpg_async(), 0);
  EXPECT_TRUE(eventually([] { return ImgPlaying == 1 && slideshow_thread_count() == 1; }, 20000ms));
  stop_slideshow();
  uint32_t last = screen().at(32, 24);
  // Not synchronisation: a slideshow still running would turn within this time; a busy
  // machine can only hide that, never fail the test.
  std::this_thread::sleep_for(1300ms);
  EXPECT_EQ(screen().at(32, 24), last);
}

// A stop (0x72, a host stream's block, a detach) that comes right behind a start, before its
// thread has opened the folder, ends that start: the thread shows nothing. The thread is held
// at its first message (the full pipe) until the stop has been made.
TEST(Slideshow, StopWhileItStartsIsNotLost) {
  set_panel(64, 48);
  ASSERT_EQ(init_disp(), 0);
  write_file(folder + "a.jpg", text(make_jpeg(64, 48, 0xF00000)));
  for (int round = 0; round < 3; ++round) {
    int started = -1;
    bool ended = false;
    std::string seen;
    {
      StdoutPipe out;  // the checks come after it: a failure's message goes to the real output
      started = play_local_jpg_async();
      ImgPlaying = 0;
      ended = out.printed("jpg thread stopped before its first picture");
      seen = out.seen;
    }
    ASSERT_EQ(started, 0);
    ASSERT_TRUE(ended) << "round " << round << ", ImgPlaying " << ImgPlaying << ":\n" << seen;
    EXPECT_EQ(seen.find("width="), std::string::npos) << seen;  // no picture decoded
    EXPECT_TRUE(eventually([] { return slideshow_thread_count() == 0; }, 20000ms));
    EXPECT_EQ(ImgPlaying, 0);
  }
}

TEST(Slideshow, FolderWithoutPicturesEnds) {
  void *result = nullptr;
  EXPECT_EQ(stdout_of([&] { result = play_local_jpg_thread(nullptr); }),
            "jpg thread start \nOpen dir error... \r\n");
  EXPECT_EQ(result, reinterpret_cast<void *>(intptr_t(-1)));
  EXPECT_EQ(ImgPlaying, 0);

  make_dir(folder + "sub");
  // Too long for the path buffer: skipped, never cut short into another name.
  write_file(folder + std::string(240, 'n') + ".jpg", "");
  std::string out = stdout_of([&] { result = play_local_jpg_thread(nullptr); });
  EXPECT_EQ(result, reinterpret_cast<void *>(intptr_t(1)));
  EXPECT_NE(out.find("too long"), std::string::npos) << out;
  EXPECT_NE(out.find("StartImgPlayer no file exit \r\njpg thread end\n"), std::string::npos) << out;
  EXPECT_EQ(ImgPlaying, 1);  // left set: no new slideshow until someone clears it
  EXPECT_EQ(play_local_jpg_async(), 0);
  EXPECT_EQ(slideshow_thread_count(), 0);
}

TEST(Slideshow, PresetModeOneStartsIt) {
  set_panel(64, 48);
  ASSERT_EQ(init_disp(), 0);
  write_file(folder + "a.jpg", text(make_jpeg(64, 48, 0xF00000)));
  for (uint8_t mode : {0, 2, 3}) {
    cfg.mode = mode;
    playPresetMode();
  }
  std::this_thread::sleep_for(100ms);  // not synchronisation: a slideshow wrongly started shows meanwhile
  EXPECT_EQ(slideshow_thread_count(), 0);
  cfg.mode = 1;
  playPresetMode();
  EXPECT_TRUE(eventually([] { return ImgPlaying == 1; }, 20000ms));
  stop_slideshow();
}
