// The H.264 decoder stand-in for builds without libavcodec: it opens and reports the picture
// area as its buffers like the real one, and decodes nothing (every work call fails with
// ENOSYS), so the video path runs and the screen simply shows no video.
#include "platform/v4l2_h264.h"

#include <cerrno>
#include <new>

struct H264Decoder {
  bool open = true;
};

H264Decoder *v4l2_h264_decoder_direct_open(H264OpenParams *params) {
  if (params == nullptr || params->pixel_format != fourcc_nv12 || params->width < 2 ||
      params->height < 2) {
    errno = EINVAL;
    return nullptr;
  }
  H264Decoder *decoder = new (std::nothrow) H264Decoder;
  if (decoder == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  params->buffer_width = params->width & ~1u;
  params->buffer_height = params->height & ~1u;
  return decoder;
}

int v4l2_h264_decoder_direct_work(H264Decoder *decoder, const uint8_t *, int, uint8_t *,
                                  uint8_t *) {
  errno = decoder == nullptr ? EINVAL : ENOSYS;
  return -1;
}

int v4l2_h264_decoder_get_frame_info(H264Decoder *decoder, H264FrameInfo *) {
  errno = decoder == nullptr ? EINVAL : EAGAIN;
  return -1;
}

int v4l2_h264_decoder_work_release(H264Decoder *decoder) {
  if (decoder != nullptr) return 0;
  errno = EINVAL;
  return -1;
}

void v4l2_h264_decoder_close(H264Decoder *decoder) { delete decoder; }
