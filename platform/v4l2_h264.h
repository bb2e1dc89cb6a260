// The board's V4L2 H.264 decoder ("/dev/video2"), used directly: each call hands it the
// units of one picture (parameter sets followed by one slice) and the mapped addresses of an
// NV12 Y buffer and UV buffer, into which it decodes the picture.
#pragma once

#include <cstdint>

// The library exports plain C functions.
extern "C" {

struct H264Decoder;

constexpr uint32_t fourcc_nv12 = 0x3231564E;  // "NV12"

// Passed to the open call. Seven words on the board (the path is a pointer there).
struct H264OpenParams {
  const char *device;      // "/dev/video2"
  uint32_t width;          // the picture size wanted: the picture area
  uint32_t height;
  uint32_t pixel_format;   // fourcc_nv12
  uint32_t buffer_width;   // filled in by the open: the size of the output buffers
  uint32_t buffer_height;
};

// Filled in when a picture is available.
struct H264FrameInfo {
  uint32_t width;          // decoded width, also the line length of both planes
  uint32_t height;         // decoded height
  uint32_t crop_right;     // pixels to leave out at the right
  uint32_t crop_bottom;    // and at the bottom
};

// A decoder handle; fills buffer_width and buffer_height. Null on failure, with errno set.
// (Stand-in on a PC: the buffers are the picture area rounded down to even sizes; a picture
// larger than them is scaled down to fit, keeping its aspect, and the frame info then gives
// the buffer width as the decoded width and the columns right of the picture as crop.)
H264Decoder *v4l2_h264_decoder_direct_open(H264OpenParams *params);
// Decodes the units of one picture into the two buffers (buffer_width x buffer_height NV12).
// 0 when the slice has been taken: a picture cut into several slices is decoded once its
// last slice is in, and only then does get_frame_info report it. Nonzero otherwise (broken
// input, no slice at all), with errno set.
int v4l2_h264_decoder_direct_work(H264Decoder *decoder, const uint8_t *units, int length,
                                  uint8_t *y_buffer, uint8_t *uv_buffer);
// 0 and the record filled in when a picture is available (once for each picture decoded);
// nonzero otherwise.
int v4l2_h264_decoder_get_frame_info(H264Decoder *decoder, H264FrameInfo *info);
// Drops pending decoder work (references, buffered input).
int v4l2_h264_decoder_work_release(H264Decoder *decoder);
void v4l2_h264_decoder_close(H264Decoder *decoder);

}  // extern "C"
