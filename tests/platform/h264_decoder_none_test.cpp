// The decoder that decodes nothing (builds without libavcodec): it opens like the real one and
// fails every picture with ENOSYS.
#include <gtest/gtest.h>

#include <cerrno>

#include "platform/v4l2_h264.h"

TEST(H264DecoderNone, OpensAndDecodesNoPicture) {
  H264OpenParams params = {"/dev/video2", 480, 481, fourcc_nv12, 0, 0};
  H264Decoder *decoder = v4l2_h264_decoder_direct_open(&params);
  ASSERT_NE(decoder, nullptr);
  EXPECT_EQ(params.buffer_width, 480u);
  EXPECT_EQ(params.buffer_height, 480u);
  uint8_t units[8] = {0, 0, 0, 1, 0x65}, y[16], uv[8];
  errno = 0;
  EXPECT_NE(v4l2_h264_decoder_direct_work(decoder, units, 8, y, uv), 0);
  EXPECT_EQ(errno, ENOSYS);
  H264FrameInfo info{};
  EXPECT_NE(v4l2_h264_decoder_get_frame_info(decoder, &info), 0);
  EXPECT_EQ(v4l2_h264_decoder_work_release(decoder), 0);
  v4l2_h264_decoder_close(decoder);
  EXPECT_NE(v4l2_h264_decoder_direct_work(nullptr, units, 8, y, uv), 0);
}
