// The framebuffer stand-in: geometry as the driver reports it (sysfs attributes, rotator),
// buffers from physical memory, and handles that are checked on every call.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "platform/fb.h"
#include "platform/sim/phys_mem.h"
#include "tests/platform/sim_root.h"

namespace {

constexpr const char *rotator = "/sys/bus/platform/drivers/ingenic-fb/ingenic-fb.0/rotator_angle";

class Fb : public testing::Test {
 protected:
  void SetUp() override { clear_sysfs(); }
};

}  // namespace

TEST_F(Fb, DefaultGeometryAndAMadeNode) {
  size_t before = phys_in_use();
  {
    OpenLayer layer("/dev/fb0");
    ASSERT_GE(layer.handle, 0);
    EXPECT_EQ(layer.info.width, 480);
    EXPECT_EQ(layer.info.yres, 480);
    EXPECT_EQ(layer.info.pixel_format, 32);
    EXPECT_EQ(layer.info.line_length, 480 * 4);
    EXPECT_EQ(layer.info.frame_size, 480 * 480 * 4);
    ASSERT_NE(layer.info.vaddr, nullptr);
    EXPECT_EQ(phys_to_virt(layer.info.paddr, size_t(layer.info.frame_size)), layer.info.vaddr);
    EXPECT_EQ(layer.info.vaddr[layer.info.frame_size - 1], 0);
    EXPECT_EQ(fb_enable(layer.handle), 0);

    struct stat node {};
    ASSERT_EQ(stat((test_root() + "/dev/fb0").c_str(), &node), 0);
    EXPECT_TRUE(S_ISREG(node.st_mode));
  }
  EXPECT_EQ(phys_in_use(), before);  // closing gave the buffer back
}

TEST_F(Fb, GeometryFromTheAttributesAndTheRotator) {
  set_device_file("/sys/class/graphics/fb0/virtual_size", "720,1600\n");
  set_device_file("/sys/class/graphics/fb0/bits_per_pixel", "16\n");
  set_device_file("/sys/class/graphics/fb1/virtual_size", "424,960");
  {
    OpenLayer layer0("/dev/fb0");
    OpenLayer layer1("/dev/fb1");
    ASSERT_GE(layer0.handle, 0);
    ASSERT_GE(layer1.handle, 0);
    EXPECT_EQ(layer0.info.width, 720);
    EXPECT_EQ(layer0.info.yres, 1600);
    EXPECT_EQ(layer0.info.pixel_format, 16);
    EXPECT_EQ(layer0.info.line_length, 1440);
    EXPECT_EQ(layer0.info.frame_size, 1440 * 1600);
    // Layer 1 has layer 0's geometry whatever fb1's own attributes say.
    EXPECT_EQ(layer1.info.width, 720);
    EXPECT_EQ(layer1.info.yres, 1600);
    EXPECT_EQ(layer1.info.line_length, 1440);
    EXPECT_NE(layer0.info.paddr, layer1.info.paddr);
  }
  for (const char *angle : {"90", "270"}) {
    set_device_file(rotator, angle);
    OpenLayer layer("/dev/fb0");
    EXPECT_EQ(layer.info.width, 1600) << angle;
    EXPECT_EQ(layer.info.yres, 720) << angle;
    EXPECT_EQ(layer.info.line_length, 3200) << angle;
  }
  set_device_file(rotator, "180");
  OpenLayer upside_down("/dev/fb0");
  EXPECT_EQ(upside_down.info.width, 720);
}

TEST_F(Fb, UnusableGeometryFailsTheOpen) {
  for (const char *size : {"", "abc", "480", "0,480", "480,0", "-1,480", "9000,480", "480,8193",
                           "480,480,1", "480;480", "480,480x", " 480,480"}) {
    set_device_file("/sys/class/graphics/fb0/virtual_size", size);
    LayerInfo info{};
    testing::internal::CaptureStderr();
    EXPECT_LT(fb_open("/dev/fb0", &info), 0) << '"' << size << '"';
    EXPECT_NE(testing::internal::GetCapturedStderr().find("virtual_size"), std::string::npos);
  }
  set_device_file("/sys/class/graphics/fb0/virtual_size", "8192,2");
  OpenLayer largest("/dev/fb0");
  EXPECT_GE(largest.handle, 0);

  set_device_file("/sys/class/graphics/fb0/bits_per_pixel", "12");
  for (const char *layer : {"/dev/fb0", "/dev/fb1"}) {
    LayerInfo info{};
    testing::internal::CaptureStderr();
    EXPECT_LT(fb_open(layer, &info), 0) << layer;
    EXPECT_NE(testing::internal::GetCapturedStderr().find("bits_per_pixel"), std::string::npos);
  }
}

TEST_F(Fb, HandlesAreCheckedOnEveryCall) {
  LayerInfo info{};
  LayerUserConfig cfg{};
  cfg.format = layer_format_argb8888;
  testing::internal::CaptureStderr();
  EXPECT_LT(fb_open("/dev/fb2", &info), 0);
  EXPECT_LT(fb_open("/dev/ttyGS0", &info), 0);
  EXPECT_LT(fb_open(nullptr, &info), 0);
  EXPECT_LT(fb_open("/dev/fb0", nullptr), 0);
  testing::internal::GetCapturedStderr();
  for (int bad : {-1, 0, 1, 2, 3, 66, 1 << 30}) {
    EXPECT_LT(fb_enable(bad), 0) << bad;
    EXPECT_LT(fb_pan_display(bad, &info, 0), 0) << bad;
    EXPECT_LT(fb_pan_display_enable_user_cfg(bad), 0) << bad;
    EXPECT_LT(fb_pan_display_set_user_cfg(bad, &cfg), 0) << bad;
    EXPECT_LT(fb_close(bad, &info), 0) << bad;
  }

  OpenLayer layer0("/dev/fb0");
  ASSERT_GE(layer0.handle, 0);
  EXPECT_GE(layer0.handle, 3);  // never 0: a zero-initialised handle names no layer
  testing::internal::CaptureStderr();
  EXPECT_LT(fb_open("//dev/./fb0", &info), 0);  // the same layer, already open
  EXPECT_NE(testing::internal::GetCapturedStderr().find("already open"), std::string::npos);

  OpenLayer layer1("/dev/fb1");
  ASSERT_GE(layer1.handle, 0);
  EXPECT_LT(fb_pan_display_enable_user_cfg(layer1.handle), 0);  // layer 0 only
  EXPECT_LT(fb_pan_display(layer1.handle, &layer1.info, 1), 0);  // one frame per layer
  EXPECT_EQ(fb_pan_display(layer1.handle, &layer1.info, 0), 0);
  EXPECT_LT(fb_pan_display_set_user_cfg(layer0.handle, nullptr), 0);
  cfg.format = 5;
  testing::internal::CaptureStderr();
  EXPECT_LT(fb_pan_display_set_user_cfg(layer0.handle, &cfg), 0);
  testing::internal::GetCapturedStderr();

  int closed = layer1.handle;
  ASSERT_EQ(fb_close(layer1.handle, &layer1.info), 0);
  layer1.handle = -1;
  EXPECT_LT(fb_enable(closed), 0);
  EXPECT_LT(fb_pan_display(closed, &info, 0), 0);
  EXPECT_LT(fb_close(closed, &info), 0);
  OpenLayer reopened("/dev/fb1");  // released, so it opens again, under a new handle
  ASSERT_GE(reopened.handle, 0);
  EXPECT_NE(reopened.handle, closed);
  EXPECT_LT(fb_enable(closed), 0);
}
