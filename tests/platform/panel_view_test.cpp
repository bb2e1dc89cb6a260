// The panel as dhshot sees it: layer 0's own buffer or its user configuration (32-bit or NV12,
// placed, clipped, shown from its pan on), layer 1 blended over it, and pictures that could
// never be fetched shown black without reading outside any mapping.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <png.h>
#include <sstream>
#include <sys/wait.h>
#include <atomic>
#include <thread>

#include "platform/fb.h"
#include "platform/panel_view.h"
#include "platform/sim/panel_state.h"
#include "platform/sim/phys_mem.h"
#include "tests/platform/sim_root.h"
#include "tests/support/png_file.h"
#include "tests/support/target.h"

namespace {

class Panel : public testing::Test {
 protected:
  void SetUp() override { clear_sysfs(); }
  static void size_layers(const char *size) {
    set_device_file("/sys/class/graphics/fb0/virtual_size", size);
    set_device_file("/sys/class/graphics/fb1/virtual_size", size);
  }
};

PanelPicture screen(const std::string &root = test_root()) {
  PanelPicture picture;
  std::string error;
  EXPECT_TRUE(compose_panel(root, picture, error)) << error;
  return picture;
}

bool all_black(const PanelPicture &picture) {
  for (uint32_t pixel : picture.pixels) {
    if (pixel != 0xFF000000) return false;
  }
  return !picture.pixels.empty();
}

uint32_t pattern(int x, int y) { return 0xFF000000 | uint32_t(x) << 16 | uint32_t(y) << 8 | 0x55; }

// Colour channels of `pixel` each within `tolerance` of r, g, b.
testing::AssertionResult near(uint32_t pixel, int r, int g, int b, int tolerance) {
  int got[3] = {int(pixel >> 16 & 255), int(pixel >> 8 & 255), int(pixel & 255)};
  int want[3] = {r, g, b};
  for (int i = 0; i < 3; ++i) {
    if (std::abs(got[i] - want[i]) > tolerance) {
      return testing::AssertionFailure() << "pixel " << got[0] << "," << got[1] << "," << got[2]
                                         << ", want " << r << "," << g << "," << b;
    }
  }
  return testing::AssertionSuccess();
}

LayerUserConfig argb_cfg(const PhysBlock &picture, uint32_t width, uint32_t height, uint32_t stride,
                         uint32_t x, uint32_t y) {
  LayerUserConfig cfg{};
  cfg.format = layer_format_argb8888;
  cfg.width = width;
  cfg.yres = height;
  cfg.x = x;
  cfg.y = y;
  cfg.field6 = 2;
  cfg.field7 = 1;
  cfg.rgb_addr = picture.paddr;
  cfg.rgb_stride = stride;
  return cfg;
}

}  // namespace

TEST_F(Panel, NothingToComposeWithoutLayer0) {
  PanelPicture picture;
  std::string error;
  EXPECT_FALSE(compose_panel(test_root() + "/elsewhere", picture, error));
  EXPECT_NE(error.find("no panel"), std::string::npos) << error;

  OpenLayer overlay("/dev/fb1");
  ASSERT_GE(overlay.handle, 0);
  error.clear();
  EXPECT_FALSE(compose_panel(test_root(), picture, error));
  EXPECT_NE(error.find("layer 0"), std::string::npos) << error;
}

TEST_F(Panel, Layer0ShowsItsOwnBufferOpaque) {
  size_layers("64,32");
  OpenLayer layer0("/dev/fb0");
  ASSERT_GE(layer0.handle, 0);
  for (int y = 0; y < 32; ++y) {
    for (int x = 0; x < 64; ++x) layer0.pixel(x, y) = pattern(x, y) & 0x00FFFFFF;  // alpha 0
  }
  set_device_file("/sys/class/backlight/backlight_pwm0/brightness", "60");
  PanelPicture picture = screen();
  ASSERT_EQ(picture.width, 64);
  ASSERT_EQ(picture.height, 32);
  EXPECT_EQ(picture.backlight, 60);
  EXPECT_EQ(picture.at(0, 0), pattern(0, 0));
  EXPECT_EQ(picture.at(63, 31), pattern(63, 31));
  EXPECT_EQ(picture.at(17, 9), pattern(17, 9));
}

TEST_F(Panel, UserConfigurationShowsFromItsPanAtItsPlace) {
  size_layers("200,100");
  OpenLayer layer0("/dev/fb0");
  ASSERT_GE(layer0.handle, 0);
  ASSERT_EQ(fb_pan_display_enable_user_cfg(layer0.handle), 0);
  for (int y = 0; y < 100; ++y) {
    for (int x = 0; x < 200; ++x) layer0.pixel(x, y) = 0xFFFFFFFF;  // not shown in this mode
  }
  constexpr uint32_t width = 50, height = 20, stride = width * 4 + 32;
  PhysBlock block = phys_alloc(stride * height);
  ASSERT_NE(block.vaddr, nullptr);
  for (uint32_t y = 0; y < height; ++y) {
    auto *row = reinterpret_cast<uint32_t *>(block.vaddr + y * stride);
    for (uint32_t x = 0; x < width; ++x) row[x] = pattern(int(x), int(y));
  }
  LayerUserConfig cfg = argb_cfg(block, width, height, stride, 30, 40);
  ASSERT_EQ(fb_pan_display_set_user_cfg(layer0.handle, &cfg), 0);
  EXPECT_TRUE(all_black(screen()));  // set, not yet panned

  ASSERT_EQ(fb_pan_display(layer0.handle, &layer0.info, 0), 0);
  PanelPicture picture = screen();
  EXPECT_EQ(picture.at(30, 40), pattern(0, 0));
  EXPECT_EQ(picture.at(79, 59), pattern(49, 19));
  EXPECT_EQ(picture.at(45, 51), pattern(15, 11));
  EXPECT_EQ(picture.at(29, 40), 0xFF000000u);
  EXPECT_EQ(picture.at(80, 40), 0xFF000000u);
  EXPECT_EQ(picture.at(30, 60), 0xFF000000u);
  EXPECT_EQ(picture.at(30, 39), 0xFF000000u);

  LayerUserConfig moved = argb_cfg(block, width, height, stride, 0, 0);
  ASSERT_EQ(fb_pan_display_set_user_cfg(layer0.handle, &moved), 0);
  EXPECT_EQ(screen().at(30, 40), pattern(0, 0));  // still the last pan's picture

  LayerUserConfig clipped = argb_cfg(block, width, height, stride, 170, 90);
  ASSERT_EQ(fb_pan_display_set_user_cfg(layer0.handle, &clipped), 0);
  ASSERT_EQ(fb_pan_display(layer0.handle, &layer0.info, 0), 0);
  picture = screen();
  EXPECT_EQ(picture.at(170, 90), pattern(0, 0));
  EXPECT_EQ(picture.at(199, 99), pattern(29, 9));
  EXPECT_EQ(picture.at(30, 40), 0xFF000000u);

  LayerUserConfig off_screen = argb_cfg(block, width, height, stride, 0xFFFFFFF0, 5000);
  ASSERT_EQ(fb_pan_display_set_user_cfg(layer0.handle, &off_screen), 0);
  ASSERT_EQ(fb_pan_display(layer0.handle, &layer0.info, 0), 0);
  EXPECT_TRUE(all_black(screen()));
  phys_free(block.paddr);
}

TEST_F(Panel, Nv12IsConvertedAsBt601LimitedRange) {
  size_layers("64,64");
  OpenLayer layer0("/dev/fb0");
  ASSERT_GE(layer0.handle, 0);
  ASSERT_EQ(fb_pan_display_enable_user_cfg(layer0.handle), 0);

  // An odd-sized picture in four blocks, Y, U, V each: red, green / blue, white.
  constexpr uint32_t width = 33, height = 17, stride = 40;
  const int yuv[4][3] = {{81, 90, 240}, {145, 54, 34}, {41, 240, 110}, {235, 128, 128}};
  auto block_of = [](uint32_t x, uint32_t y) { return (x < 16 ? 0 : 1) + (y < 8 ? 0 : 2); };
  PhysBlock luma = phys_alloc(stride * height);
  PhysBlock chroma = phys_alloc(stride * ((height + 1) / 2));
  ASSERT_NE(luma.vaddr, nullptr);
  ASSERT_NE(chroma.vaddr, nullptr);
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      const int *value = yuv[block_of(x, y)];
      luma.vaddr[y * stride + x] = uint8_t(value[0]);
      chroma.vaddr[y / 2 * stride + x / 2 * 2] = uint8_t(value[1]);
      chroma.vaddr[y / 2 * stride + x / 2 * 2 + 1] = uint8_t(value[2]);
    }
  }
  LayerUserConfig cfg{};
  cfg.format = layer_format_nv12;
  cfg.width = width;
  cfg.yres = height;
  cfg.x = 5;
  cfg.y = 7;
  cfg.y_addr = luma.paddr;
  cfg.y_stride = stride;
  cfg.uv_addr = chroma.paddr;
  cfg.uv_stride = stride;
  cfg.field14 = 0x0000FF00;
  ASSERT_EQ(fb_pan_display_set_user_cfg(layer0.handle, &cfg), 0);
  ASSERT_EQ(fb_pan_display(layer0.handle, &layer0.info, 0), 0);

  PanelPicture picture = screen();
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      const int *value = yuv[block_of(x, y)];
      double luminance = 1.164 * (value[0] - 16), u = value[1] - 128, v = value[2] - 128;
      auto channel = [](double c) { return int(std::lround(std::clamp(c, 0.0, 255.0))); };
      ASSERT_TRUE(near(picture.at(int(x) + 5, int(y) + 7), channel(luminance + 1.596 * v),
                       channel(luminance - 0.813 * v - 0.391 * u), channel(luminance + 2.018 * u), 2))
          << "at " << x << "," << y;
    }
  }
  EXPECT_TRUE(near(picture.at(5, 7), 255, 0, 0, 2));  // the red block is red
  EXPECT_EQ(picture.at(4, 7), 0xFF000000u);
  EXPECT_EQ(picture.at(5 + 33, 7), 0xFF000000u);
  EXPECT_EQ(picture.at(5, 7 + 17), 0xFF000000u);
  phys_free(luma.paddr);
  phys_free(chroma.paddr);
}

TEST_F(Panel, Layer1IsBlendedOverLayer0ByItsAlpha) {
  size_layers("32,32");
  OpenLayer layer0("/dev/fb0");
  OpenLayer layer1("/dev/fb1");
  ASSERT_GE(layer0.handle, 0);
  ASSERT_GE(layer1.handle, 0);
  for (int y = 0; y < 32; ++y) {
    for (int x = 0; x < 32; ++x) {
      layer0.pixel(x, y) = 0xFF00FF00;
      layer1.pixel(x, y) = x < 8 ? 0xFF0000FF : x < 16 ? 0x80FF0000 : 0x00FFFFFF;
    }
  }
  EXPECT_EQ(screen().at(2, 2), 0xFF00FF00u);  // layer 1 not panned yet
  ASSERT_EQ(fb_pan_display(layer1.handle, &layer1.info, 0), 0);
  PanelPicture picture = screen();
  EXPECT_EQ(picture.at(2, 2), 0xFF0000FFu);
  EXPECT_TRUE(near(picture.at(10, 20), 128, 127, 0, 1));
  EXPECT_EQ(picture.at(20, 31), 0xFF00FF00u);
}

TEST_F(Panel, ConfigurationsThatCannotBeFetchedShowBlack) {
  size_layers("64,64");
  OpenLayer layer0("/dev/fb0");
  ASSERT_GE(layer0.handle, 0);
  ASSERT_EQ(fb_pan_display_enable_user_cfg(layer0.handle), 0);
  PhysBlock block = phys_alloc(64 * 64 * 4);
  ASSERT_NE(block.vaddr, nullptr);
  memset(block.vaddr, 0xFF, block.size);

  LayerUserConfig good = argb_cfg(block, 64, 64, 256, 0, 0);
  LayerUserConfig below = good, unallocated = good, past_end = good, short_stride = good,
                  empty = good, huge = good, nv12 = good;
  below.rgb_addr = 0x100;
  unallocated.rgb_addr = uint32_t(phys_base + phys_capacity - 8 * 4096);
  past_end.rgb_addr = block.paddr + 4;
  short_stride.rgb_stride = 64 * 4 - 4;
  empty.width = 0;
  huge.width = 0x40000000;
  huge.rgb_stride = 0;
  nv12.format = layer_format_nv12;
  nv12.y_addr = block.paddr;
  nv12.y_stride = 64;
  nv12.uv_addr = 0xFFFFFF00;
  nv12.uv_stride = 64;
  int index = 0;
  for (LayerUserConfig cfg : {below, unallocated, past_end, short_stride, empty, huge, nv12}) {
    ASSERT_EQ(fb_pan_display_set_user_cfg(layer0.handle, &good), 0);
    ASSERT_EQ(fb_pan_display(layer0.handle, &layer0.info, 0), 0);
    ASSERT_EQ(screen().at(0, 0), 0xFFFFFFFFu);
    ASSERT_EQ(fb_pan_display_set_user_cfg(layer0.handle, &cfg), 0);
    testing::internal::CaptureStderr();
    EXPECT_LT(fb_pan_display(layer0.handle, &layer0.info, 0), 0) << "case " << index;
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(all_black(screen())) << "case " << index;
    ++index;
  }
  phys_free(block.paddr);
}

TEST_F(Panel, AReaderRacingPansSeesOneWholeConfiguration) {
  size_layers("32,8");
  OpenLayer layer0("/dev/fb0");
  ASSERT_GE(layer0.handle, 0);
  ASSERT_EQ(fb_pan_display_enable_user_cfg(layer0.handle), 0);
  PhysBlock red = phys_alloc(8 * 8 * 4), blue = phys_alloc(8 * 8 * 4);
  ASSERT_NE(red.vaddr, nullptr);
  ASSERT_NE(blue.vaddr, nullptr);
  for (size_t i = 0; i < 64; ++i) {
    reinterpret_cast<uint32_t *>(red.vaddr)[i] = 0xFFFF0000;
    reinterpret_cast<uint32_t *>(blue.vaddr)[i] = 0xFF0000FF;
  }
  // Red at the left, blue at the right: a torn record would put a colour at the wrong place.
  LayerUserConfig left = argb_cfg(red, 8, 8, 32, 0, 0), right = argb_cfg(blue, 8, 8, 32, 24, 0);
  std::atomic<bool> done{false};
  std::thread panner([&] {
    for (int i = 0; !done; ++i) {
      fb_pan_display_set_user_cfg(layer0.handle, i % 2 ? &left : &right);
      fb_pan_display(layer0.handle, &layer0.info, 0);
      std::this_thread::sleep_for(std::chrono::microseconds(20));  // far above any frame rate
    }
  });
  int lefts = 0, rights = 0;
  // Black pictures before the panner's first pan do not count: on a busy machine it may start
  // late.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (lefts + rights < 300 && std::chrono::steady_clock::now() < deadline) {
    PanelPicture picture = screen();
    if (picture.pixels.empty()) break;
    uint32_t at_left = picture.at(0, 0), at_right = picture.at(31, 7);
    if (at_left == 0xFFFF0000 && at_right == 0xFF000000) {
      ++lefts;
    } else if (at_left == 0xFF000000 && at_right == 0xFF0000FF) {
      ++rights;
    } else if (at_left != 0xFF000000 || at_right != 0xFF000000) {  // black before the first pan
      ADD_FAILURE() << std::hex << at_left << " " << at_right;
      break;
    }
  }
  done = true;
  panner.join();
  EXPECT_GT(lefts + rights, 0);
  phys_free(red.paddr);
  phys_free(blue.paddr);
}

namespace {

// Frame corners marked so that a turn shows where each went; the rest grey.
void mark_corners(OpenLayer &layer) {
  int width = layer.info.width, height = layer.info.yres;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) layer.pixel(x, y) = 0xFF808080;
  }
  layer.pixel(0, 0) = 0xFFFF0000;                   // top left red
  layer.pixel(width - 1, 0) = 0xFF00FF00;           // top right green
  layer.pixel(width - 1, height - 1) = 0xFF0000FF;  // bottom right blue
  layer.pixel(0, height - 1) = 0xFFFFFFFF;          // bottom left white
}

// The panel's corners clockwise from the top left.
std::vector<uint32_t> corners(const PanelPicture &picture) {
  int right = picture.width - 1, bottom = picture.height - 1;
  return {picture.at(0, 0), picture.at(right, 0), picture.at(right, bottom),
          picture.at(0, bottom)};
}

constexpr const char *rotator = "/sys/bus/platform/drivers/ingenic-fb/ingenic-fb.0/rotator_angle";
constexpr const char *backlight = "/sys/class/backlight/backlight_pwm0/brightness";

}  // namespace

TEST_F(Panel, TheRotatorTurnsTheFrameClockwiseIntoThePanelsOwnSize) {
  size_layers("40,30");
  const std::vector<uint32_t> frame = {0xFFFF0000, 0xFF00FF00, 0xFF0000FF, 0xFFFFFFFF};
  for (int quarter = 0; quarter < 4; ++quarter) {
    SCOPED_TRACE(quarter * 90);
    set_device_file(rotator, std::to_string(quarter * 90).c_str());
    OpenLayer layer0("/dev/fb0");
    ASSERT_GE(layer0.handle, 0);
    mark_corners(layer0);

    PanelPicture layers = screen();
    EXPECT_EQ(layers.width, quarter % 2 ? 30 : 40);
    EXPECT_EQ(corners(layers), frame);
    EXPECT_EQ(layers.rotation, quarter * 90);
    EXPECT_FALSE(layers.turned);

    PanelPicture seen;
    std::string error;
    ASSERT_TRUE(compose_panel_seen(test_root(), seen, error)) << error;
    ASSERT_EQ(seen.width, 40);
    ASSERT_EQ(seen.height, 30);
    EXPECT_EQ(seen.rotation, quarter * 90);
    // Clockwise by a quarter each: the frame's top left lands a corner further round.
    std::vector<uint32_t> want = frame;
    std::rotate(want.rbegin(), want.rbegin() + quarter, want.rend());
    EXPECT_EQ(corners(seen), want);
  }
}

TEST_F(Panel, AsSeenTheBacklightDarkensThePicture) {
  size_layers("8,8");
  OpenLayer layer0("/dev/fb0");
  ASSERT_GE(layer0.handle, 0);
  for (int y = 0; y < 8; ++y) {
    for (int x = 0; x < 8; ++x) layer0.pixel(x, y) = 0xFFC86432;  // 200, 100, 50
  }
  PanelPicture picture;
  std::string error;
  struct Case {
    const char *level;
    uint32_t seen;
  } cases[] = {{"0", 0xFF000000}, {"60", 0xFF783C1E}, {"100", 0xFFC86432}, {nullptr, 0xFFC86432}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.level ? c.level : "no attribute");
    set_device_file(backlight, c.level);
    ASSERT_TRUE(compose_panel_seen(test_root(), picture, error, true)) << error;
    EXPECT_EQ(picture.at(0, 0), c.seen);
    EXPECT_EQ(picture.at(7, 7), c.seen);
    EXPECT_EQ(picture.dimmed, c.level != nullptr);
    ASSERT_TRUE(compose_panel_seen(test_root(), picture, error)) << error;
    EXPECT_EQ(picture.at(3, 3), 0xFFC86432u) << "undimmed unless asked";
  }
}

TEST_F(Panel, TheChangeCountMovesWithEveryChangeOfWhatIsSeen) {
  size_layers("8,8");
  uint64_t count = 0, before = 0;
  std::string error;
  auto changed = [&] {
    before = count;
    EXPECT_TRUE(panel_change_count(test_root(), count, error)) << error;
    return count != before;
  };
  set_device_file(backlight, "60");
  auto layer0 = std::make_unique<OpenLayer>("/dev/fb0");
  ASSERT_GE(layer0->handle, 0);
  changed();
  EXPECT_FALSE(changed()) << "nothing happened";
  ASSERT_EQ(fb_pan_display(layer0->handle, &layer0->info, 0), 0);
  EXPECT_TRUE(changed()) << "a pan";
  OpenLayer layer1("/dev/fb1");
  EXPECT_TRUE(changed()) << "an open";
  ASSERT_EQ(fb_pan_display(layer1.handle, &layer1.info, 0), 0);
  EXPECT_TRUE(changed()) << "a pan of layer 1";
  set_device_file(backlight, "0");
  EXPECT_TRUE(changed()) << "the backlight";
  set_device_file(backlight, nullptr);
  EXPECT_TRUE(changed()) << "the backlight gone";
  layer0.reset();
  EXPECT_TRUE(changed()) << "a close";
  EXPECT_FALSE(changed());

  EXPECT_FALSE(panel_change_count(test_root() + "/elsewhere", count, error));
  EXPECT_NE(error.find("no panel"), std::string::npos) << error;
}

TEST_F(Panel, TheLast256PansOfLayer0AreTimed) {
  size_layers("8,8");
  OpenLayer layer0("/dev/fb0"), layer1("/dev/fb1");
  ASSERT_GE(layer0.handle, 0);
  ASSERT_GE(layer1.handle, 0);
  auto now_us = [] {
    return uint64_t(std::chrono::duration_cast<std::chrono::microseconds>(
                        std::chrono::steady_clock::now().time_since_epoch())
                        .count());
  };
  std::vector<uint64_t> times;
  std::string error;
  ASSERT_TRUE(panel_pan_times_us(test_root(), times, error)) << error;
  size_t earlier = times.size();

  uint64_t start = now_us();
  for (int i = 0; i < 10; ++i) ASSERT_EQ(fb_pan_display(layer0.handle, &layer0.info, 0), 0);
  ASSERT_EQ(fb_pan_display(layer1.handle, &layer1.info, 0), 0);  // not layer 0: not timed
  ASSERT_TRUE(panel_pan_times_us(test_root(), times, error)) << error;
  ASSERT_EQ(times.size(), std::min<size_t>(earlier + 10, 256));

  // Until the clock has moved past the last pan: no pan before shares a time with those after.
  while (now_us() <= times.back()) {
  }
  uint64_t middle = now_us();
  for (int i = 0; i < 300; ++i) ASSERT_EQ(fb_pan_display(layer0.handle, &layer0.info, 0), 0);
  uint64_t end = now_us();
  ASSERT_TRUE(panel_pan_times_us(test_root(), times, error)) << error;
  ASSERT_EQ(times.size(), 256u);
  EXPECT_GE(times.front(), middle) << "only the last 256 are kept";
  EXPECT_LE(times.back(), end);
  EXPECT_TRUE(std::is_sorted(times.begin(), times.end())) << "oldest first";
  EXPECT_GE(times.front(), start);
}

// A state file and memory written by someone else: the reader checks everything itself.
TEST_F(Panel, AForgedStateNeverLeadsTheReaderOutOfBounds) {
  std::string forged = test_root() + "/forged";
  std::filesystem::create_directories(forged + "/run/displayhead");
  std::ofstream(forged + "/run/displayhead/physmem", std::ios::binary) << std::string(4096, '\xFF');

  PanelState state{};
  state.magic = panel_state_magic;
  state.version = panel_state_version;
  PanelLayerState &base = state.layers[0];
  base.open = 1;
  base.width = 16;
  base.yres = 16;
  base.line_length = 64;
  base.bits_per_pixel = 32;
  base.paddr = phys_base;
  base.panned = 1;
  auto write_state = [&](size_t bytes) {
    std::ofstream(forged + "/run/displayhead/panel", std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char *>(&state), std::streamsize(bytes));
  };
  write_state(sizeof state);
  EXPECT_EQ(screen(forged).at(15, 15), 0xFFFFFFFFu);  // the forged memory is readable

  base.paddr = phys_base + 4096 - 64 * 15;  // the last rows would lie past the file
  write_state(sizeof state);
  EXPECT_TRUE(all_black(screen(forged)));

  base.paddr = phys_base;
  base.line_length = 60;  // shorter than a row
  write_state(sizeof state);
  EXPECT_TRUE(all_black(screen(forged)));

  base.line_length = 64;
  base.user_cfg_enabled = 1;
  base.shown_valid = 1;
  base.shown.format = layer_format_argb8888;
  base.shown.width = 16;
  base.shown.yres = 16;
  base.shown.rgb_stride = 64;
  base.shown.rgb_addr = phys_base + 4096 - 16 * 64 + 4;  // its last pixel past the file
  write_state(sizeof state);
  EXPECT_TRUE(all_black(screen(forged)));
  base.shown.rgb_addr = phys_base;
  write_state(sizeof state);
  EXPECT_EQ(screen(forged).at(0, 15), 0xFFFFFFFFu);

  base.rotator_angle = 45;  // no angle the rotator takes: the frame stays as it is
  state.pan_times_count = 0xFFFFFFFF;
  write_state(sizeof state);
  PanelPicture unturned;
  std::string seen_error;
  ASSERT_TRUE(compose_panel_seen(forged, unturned, seen_error)) << seen_error;
  EXPECT_EQ(unturned.rotation, 0);
  EXPECT_EQ(unturned.at(0, 15), 0xFFFFFFFFu);
  std::vector<uint64_t> times;
  ASSERT_TRUE(panel_pan_times_us(forged, times, seen_error)) << seen_error;
  EXPECT_EQ(times.size(), panel_pan_ring_size);

  state.layers[1] = base;  // an overlay far outside
  state.layers[1].user_cfg_enabled = 0;
  state.layers[1].paddr = 0xFFFFF000;
  write_state(sizeof state);
  EXPECT_EQ(screen(forged).at(0, 15), 0xFFFFFFFFu);

  PanelPicture picture;
  std::string error;
  base.width = 9000;
  write_state(sizeof state);
  EXPECT_FALSE(compose_panel(forged, picture, error));
  base.width = 16;
  write_state(sizeof state - 1);
  EXPECT_FALSE(compose_panel(forged, picture, error));
  state.version = panel_state_version + 1;
  write_state(sizeof state);
  EXPECT_FALSE(compose_panel(forged, picture, error));
  state.version = panel_state_version;
  state.sequence = 1;  // a writer that died mid-write
  write_state(sizeof state);
  EXPECT_FALSE(compose_panel(forged, picture, error));
  EXPECT_NE(error.find("mid-write"), std::string::npos) << error;
}

namespace {

struct DhshotRun {
  int status = -1;
  std::string out;
  std::string err;
};

// A PNG file's RGB pixels and its text chunks.

uint32_t png_pixel(const PngFile &png, int x, int y) {
  const uint8_t *p = &png.rgb[size_t(y * png.width + x) * 3];
  return 0xFF000000 | uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
}

DhshotRun run_dhshot(const std::string &arguments, const std::string &root) {
  std::string out = test_root() + "/dhshot.out", err = test_root() + "/dhshot.err";
  std::string command = "DISPLAYHEAD_ROOT='" + root + "' " + program_command(DH_BUILD_DIR "/dhshot") +
                        " " + arguments +
                        " >'" + out + "' 2>'" + err + "'";
  DhshotRun run;
  int status = std::system(command.c_str());
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::stringstream out_text, err_text;
  out_text << std::ifstream(out).rdbuf();
  err_text << std::ifstream(err).rdbuf();
  run.out = out_text.str();
  run.err = err_text.str();
  return run;
}

}  // namespace

TEST_F(Panel, DhshotWritesTheComposedPicture) {
  size_layers("40,30");
  set_device_file("/sys/class/backlight/backlight_pwm0/brightness", "75");
  OpenLayer layer0("/dev/fb0");
  OpenLayer layer1("/dev/fb1");
  ASSERT_GE(layer0.handle, 0);
  ASSERT_GE(layer1.handle, 0);
  for (int y = 0; y < 30; ++y) {
    for (int x = 0; x < 40; ++x) {
      layer0.pixel(x, y) = pattern(x * 6, y * 8);
      layer1.pixel(x, y) = y < 10 ? 0x80000000 | uint32_t(x * 6) : 0;
    }
  }
  ASSERT_EQ(fb_pan_display(layer1.handle, &layer1.info, 0), 0);

  std::string png_path = test_root() + "/shot.png";
  DhshotRun run = run_dhshot("'" + png_path + "'", test_root());
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("40x30, backlight 75"), std::string::npos) << run.out;

  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  ASSERT_TRUE(png_image_begin_read_from_file(&image, png_path.c_str())) << image.message;
  EXPECT_EQ(image.width, 40u);
  EXPECT_EQ(image.height, 30u);
  EXPECT_EQ(image.format & PNG_FORMAT_FLAG_ALPHA, 0u);
  image.format = PNG_FORMAT_RGB;
  std::vector<uint8_t> rgb(PNG_IMAGE_SIZE(image));
  ASSERT_TRUE(png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr)) << image.message;

  PanelPicture picture = screen();
  for (int y = 0; y < 30; ++y) {
    for (int x = 0; x < 40; ++x) {
      const uint8_t *p = &rgb[size_t(y * 40 + x) * 3];
      uint32_t from_file = 0xFF000000 | uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
      ASSERT_EQ(from_file, picture.at(x, y)) << x << "," << y;
    }
  }
  EXPECT_NE(picture.at(5, 5), layer0.pixel(5, 5));  // the overlay is in it

  std::filesystem::create_directories(test_root() + "/empty");
  run = run_dhshot("'" + test_root() + "/none.png'", test_root() + "/empty");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("no panel"), std::string::npos) << run.err;
  EXPECT_FALSE(std::filesystem::exists(test_root() + "/none.png"));

  run = run_dhshot("'" + test_root() + "/no/such/dir/x.png'", test_root());
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("x.png"), std::string::npos) << run.err;

  EXPECT_EQ(run_dhshot("--help", test_root()).status, 0);
  EXPECT_EQ(run_dhshot("", test_root()).status, 2);
}

TEST_F(Panel, DhshotTurnsDarkensAndLabelsItsPicture) {
  size_layers("40,30");
  set_device_file(rotator, "90");
  set_device_file(backlight, "0");
  OpenLayer layer0("/dev/fb0");
  ASSERT_GE(layer0.handle, 0);
  mark_corners(layer0);
  std::string path = test_root() + "/turned.png";
  auto shot = [&](const std::string &options, PngFile &png) {
    DhshotRun run = run_dhshot(options + " '" + path + "'", test_root());
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(read_png(path, png));
    return run.out;
  };

  PngFile png;
  auto before = std::chrono::system_clock::now();
  EXPECT_NE(shot("", png).find("40x30, backlight 0, rotation 90"), std::string::npos);
  ASSERT_EQ(png.width, 40);
  ASSERT_EQ(png.height, 30);
  EXPECT_EQ(png_pixel(png, 39, 0), 0xFFFF0000u) << "the frame's top left, turned clockwise";
  EXPECT_EQ(png.text["backlight"], "0");
  EXPECT_EQ(png.text["rotation"], "90");
  EXPECT_EQ(png.text["view"], "panel");
  // The time of composition, in UTC: within this test's minute or the next.
  time_t now = std::chrono::system_clock::to_time_t(before);
  tm parts{};
  gmtime_r(&now, &parts);
  char minute[32];
  strftime(minute, sizeof minute, "%Y-%m-%dT%H:%M", &parts);
  EXPECT_EQ(png.text["Creation Time"].size(), 27u) << png.text["Creation Time"];
  EXPECT_EQ(png.text["Creation Time"].back(), 'Z');
  EXPECT_LE(std::string(minute), png.text["Creation Time"]);

  shot("--layers", png);
  ASSERT_EQ(png.width, 30);
  ASSERT_EQ(png.height, 40);
  EXPECT_EQ(png_pixel(png, 0, 0), 0xFFFF0000u);
  EXPECT_EQ(png.text["view"], "layers, unturned");
  EXPECT_EQ(png.text["rotation"], "90");

  shot("--as-seen", png);
  ASSERT_EQ(png.width, 40);
  EXPECT_EQ(png_pixel(png, 39, 0), 0xFF000000u) << "black at backlight 0";
  EXPECT_EQ(png.text["view"], "panel, dimmed by the backlight");

  EXPECT_EQ(run_dhshot("--layers --as-seen '" + path + "'", test_root()).status, 2);
  EXPECT_EQ(run_dhshot("--sideways '" + path + "'", test_root()).status, 2);

  // No backlight attribute (a root made by hand): the level is unknown, in what dhshot prints
  // as in the file.
  set_device_file(backlight, nullptr);
  EXPECT_NE(shot("", png).find("40x30, backlight unknown, rotation 90"), std::string::npos);
  EXPECT_EQ(png.text["backlight"], "unknown");
}
