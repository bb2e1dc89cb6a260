// The H.264 decoder stand-in, on libavcodec.
//
// One decoder context a handle, decoding on the calling thread (one thread, low delay: a
// picture comes out of the call that completes it; the streams carry no B-frames). Each call
// hands libavcodec the units as one packet. The decoder is told the packets may be parts of a
// picture, so a picture cut into several slices, which the caller hands over one slice a call,
// comes out once all its slices are in. As on the board's decoder, each slice is accepted
// (the call succeeds) and the picture becomes available through the frame info once the
// slice that completes it is in; only a call with no slice at all, which can make no picture,
// reports EAGAIN.
//
// The output buffers are the picture area, buffer_width x buffer_height, in NV12 with a line
// length of buffer_width for both planes; open rounds the area down to even sizes so that the
// half-height chroma plane always fits in half the luma plane's bytes. A picture that fits is
// written at its own size into the top left corner; a larger one is scaled down to fit,
// keeping its aspect. Either way the frame info reports the line length as the decoded width
// and the columns right of the picture as crop, so the display shows exactly the picture.
// A yuv420p picture at its own size is copied straight into the buffers; a scaled or otherwise
// converted one goes through one cached swscale context into a frame of its own first. The
// copy into NV12 is our own plain loop rather than swscale's: swscale interleaves the chroma
// with non-temporal stores, which made it cost a fifth of a small picture's decode.
#include "platform/v4l2_h264.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <utility>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libswscale/swscale.h>
}

#include "platform/root_path.h"

namespace {

// The largest picture area accepted; the panels are far smaller.
constexpr uint32_t max_side = 4096;

// Whether the units hold a slice (NAL unit types 1 to 5), behind a three- or four-byte start
// code.
bool holds_slice(const uint8_t *units, int length) {
  for (int i = 0; i + 3 < length; ++i) {
    if (units[i] == 0 && units[i + 1] == 0 && units[i + 2] == 1) {
      uint8_t type = units[i + 3] & 0x1F;
      if (type >= 1 && type <= 5) return true;
      i += 2;
    }
  }
  return false;
}

}  // namespace

struct H264Decoder {
  uint32_t width = 0;       // the output buffers, even sizes
  uint32_t height = 0;
  AVCodecContext *context = nullptr;
  AVPacket *packet = nullptr;
  AVFrame *frame = nullptr;      // the newest picture received
  AVFrame *spare = nullptr;      // receives the next one
  SwsContext *scaler = nullptr;  // cached for the last conversion's sizes and format
  AVFrame *scaled = nullptr;     // its output when scaling: yuv420p, the size in the buffers
  bool info_pending = false;     // a picture was written and its info not yet taken
  H264FrameInfo info{};

  ~H264Decoder() {
    sws_freeContext(scaler);
    av_frame_free(&frame);
    av_frame_free(&spare);
    av_frame_free(&scaled);
    av_packet_free(&packet);
    avcodec_free_context(&context);
  }
};

namespace {

// The picture's size in the output: its own when it fits, else scaled down to fit inside the
// buffers with its aspect kept; always even and at least 2 x 2.
void output_size(uint32_t picture_width, uint32_t picture_height, uint32_t buffer_width,
                 uint32_t buffer_height, uint32_t &width, uint32_t &height) {
  if (picture_width <= buffer_width && picture_height <= buffer_height) {
    width = picture_width;
    height = picture_height;
    return;
  }
  // Compare the two ratios without rounding: is the picture wider than the buffers?
  const uint64_t across = uint64_t(picture_width) * buffer_height;
  const uint64_t down = uint64_t(picture_height) * buffer_width;
  if (across >= down) {
    width = buffer_width;
    height = uint32_t((down + picture_width / 2) / picture_width);
  } else {
    height = buffer_height;
    width = uint32_t((across + picture_height / 2) / picture_height);
  }
  width = std::clamp<uint32_t>(width & ~1u, 2, buffer_width);
  height = std::clamp<uint32_t>(height & ~1u, 2, buffer_height);
}

// The swscale context for this conversion, from the cache when the last one was the same.
// Fast bilinear: a stream larger than the screen is the exception, and scaling a 720p picture
// down this way costs about a fifth less than plain bilinear.
SwsContext *scaler_for(H264Decoder *decoder, AVPixelFormat from, AVPixelFormat to, uint32_t width,
                       uint32_t height) {
  const AVFrame *frame = decoder->frame;
  decoder->scaler = sws_getCachedContext(decoder->scaler, frame->width, frame->height, from,
                                         int(width), int(height), to, SWS_FAST_BILINEAR, nullptr,
                                         nullptr, nullptr);
  return decoder->scaler;
}

// One row of NV12 chroma: U, V, U, V... (GCC vectorizes this loop at -O3).
void interleave_chroma(const uint8_t *__restrict u, const uint8_t *__restrict v,
                       uint8_t *__restrict out, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    out[2 * i] = u[i];
    out[2 * i + 1] = v[i];
  }
}

// Copies a yuv420p picture of width x height into the NV12 buffers, whose lines are `line`
// bytes long. An odd width or height has its chroma rounded up: the even-sized buffers have
// room.
void copy_to_nv12(uint8_t *const planes[], const int lines[], uint32_t width, uint32_t height,
                  uint32_t line, uint8_t *y_buffer, uint8_t *uv_buffer) {
  for (uint32_t row = 0; row < height; ++row) {
    memcpy(y_buffer + size_t(row) * line, planes[0] + ptrdiff_t(row) * lines[0], width);
  }
  const uint32_t chroma_width = (width + 1) / 2;
  for (uint32_t row = 0; row < (height + 1) / 2; ++row) {
    interleave_chroma(planes[1] + ptrdiff_t(row) * lines[1], planes[2] + ptrdiff_t(row) * lines[2],
                      uv_buffer + size_t(row) * line, chroma_width);
  }
}

// Scales or converts the frame to width x height into the buffers. swscale writes into a
// yuv420p frame of its own first (its planar output is faster than NV12 when scaling): it
// may fill its output lines beyond the width asked for, which in the caller's buffers would
// reach past the picture and, on the last line, past their end. The copy out interleaves the
// chroma.
bool convert_picture(H264Decoder *decoder, uint32_t width, uint32_t height, uint8_t *y_buffer,
                     uint8_t *uv_buffer) {
  const AVFrame *frame = decoder->frame;
  SwsContext *scaler =
      scaler_for(decoder, AVPixelFormat(frame->format), AV_PIX_FMT_YUV420P, width, height);
  if (scaler == nullptr) return false;
  AVFrame *scaled = decoder->scaled;
  if (scaled->width != int(width) || scaled->height != int(height)) {
    av_frame_unref(scaled);
    scaled->format = AV_PIX_FMT_YUV420P;
    scaled->width = int(width);
    scaled->height = int(height);
    if (av_frame_get_buffer(scaled, 0) < 0) {
      av_frame_unref(scaled);
      scaled->width = scaled->height = 0;
      return false;
    }
  }
  if (sws_scale(scaler, frame->data, frame->linesize, 0, frame->height, scaled->data,
                scaled->linesize) <= 0) {
    return false;
  }
  copy_to_nv12(scaled->data, scaled->linesize, width, height, decoder->width, y_buffer, uv_buffer);
  return true;
}

// Writes the frame into the buffers and records its info. False (errno set) when it cannot.
bool write_picture(H264Decoder *decoder, uint8_t *y_buffer, uint8_t *uv_buffer) {
  const AVFrame *frame = decoder->frame;
  if (frame->width <= 0 || frame->height <= 0 || frame->data[0] == nullptr) {
    errno = EINVAL;
    return false;
  }
  uint32_t width = 0;
  uint32_t height = 0;
  output_size(frame->width, frame->height, decoder->width, decoder->height, width, height);
  const uint32_t line = decoder->width;
  const auto format = AVPixelFormat(frame->format);
  bool direct = width == uint32_t(frame->width) && height == uint32_t(frame->height) &&
                (format == AV_PIX_FMT_YUV420P || format == AV_PIX_FMT_YUVJ420P);
  if (direct) {
    copy_to_nv12(frame->data, frame->linesize, width, height, line, y_buffer, uv_buffer);
  } else if (!convert_picture(decoder, width, height, y_buffer, uv_buffer)) {
    errno = EINVAL;
    return false;
  }
  decoder->info.width = line;
  decoder->info.height = height;
  decoder->info.crop_right = line - width;
  decoder->info.crop_bottom = 0;
  decoder->info_pending = true;
  return true;
}

}  // namespace

namespace {
H264Decoder *open_decoder(H264OpenParams *params);
}  // namespace

// Like the board's library, a lack of memory is a failure to open (ENOMEM).
H264Decoder *v4l2_h264_decoder_direct_open(H264OpenParams *params) {
  try {
    return open_decoder(params);
  } catch (const std::bad_alloc &) {
    errno = ENOMEM;
    return nullptr;
  }
}

namespace {
H264Decoder *open_decoder(H264OpenParams *params) {
  if (params == nullptr || params->pixel_format != fourcc_nv12 || params->width < 2 ||
      params->height < 2 || params->width > max_side || params->height > max_side) {
    errno = EINVAL;
    return nullptr;
  }
  // The stand-in opens no device node; its name appears in the messages only.
  const std::string device = root_path(params->device != nullptr ? params->device : "/dev/video2");
  const AVCodec *codec = avcodec_find_decoder(AV_CODEC_ID_H264);
  if (codec == nullptr) {
    fprintf(stderr, "%s: libavcodec has no H.264 decoder\n", device.c_str());
    errno = ENODEV;
    return nullptr;
  }
  H264Decoder *decoder = new (std::nothrow) H264Decoder;
  if (decoder == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  decoder->width = params->width & ~1u;
  decoder->height = params->height & ~1u;

  // The board's decoder says nothing on broken input; its failures reach the caller through
  // the return values alone. libavcodec would report every damaged unit.
  av_log_set_level(AV_LOG_FATAL);
  decoder->context = avcodec_alloc_context3(codec);
  decoder->packet = av_packet_alloc();
  decoder->frame = av_frame_alloc();
  decoder->spare = av_frame_alloc();
  decoder->scaled = av_frame_alloc();
  if (decoder->context == nullptr || decoder->packet == nullptr || decoder->frame == nullptr ||
      decoder->spare == nullptr || decoder->scaled == nullptr) {
    delete decoder;
    errno = ENOMEM;
    return nullptr;
  }
  decoder->context->thread_count = 1;
  decoder->context->flags |= AV_CODEC_FLAG_LOW_DELAY;
  decoder->context->flags2 |= AV_CODEC_FLAG2_CHUNKS;
  decoder->context->has_b_frames = 0;
  if (avcodec_open2(decoder->context, codec, nullptr) < 0) {
    fprintf(stderr, "%s: the H.264 decoder cannot be opened\n", device.c_str());
    delete decoder;
    errno = ENODEV;
    return nullptr;
  }
  params->buffer_width = decoder->width;
  params->buffer_height = decoder->height;
  return decoder;
}
}  // namespace

int v4l2_h264_decoder_direct_work(H264Decoder *decoder, const uint8_t *units, int length,
                                  uint8_t *y_buffer, uint8_t *uv_buffer) {
  if (decoder == nullptr || units == nullptr || length <= 0 || y_buffer == nullptr ||
      uv_buffer == nullptr) {
    errno = EINVAL;
    return -1;
  }
  // A packet of its own, padded as libavcodec's bit readers need.
  av_packet_unref(decoder->packet);
  if (av_new_packet(decoder->packet, length) < 0) {
    errno = ENOMEM;
    return -1;
  }
  memcpy(decoder->packet->data, units, size_t(length));
  int sent = avcodec_send_packet(decoder->context, decoder->packet);
  av_packet_unref(decoder->packet);
  if (sent < 0 && sent != AVERROR(EAGAIN)) {
    errno = sent == AVERROR(ENOMEM) ? ENOMEM : EINVAL;
    return -1;
  }
  // Take every picture that is ready; only the newest is written.
  bool have_frame = false;
  for (;;) {
    int received = avcodec_receive_frame(decoder->context, decoder->spare);
    if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) break;
    if (received < 0) {
      av_frame_unref(decoder->frame);
      errno = EINVAL;
      return -1;
    }
    std::swap(decoder->frame, decoder->spare);
    av_frame_unref(decoder->spare);
    have_frame = true;
  }
  if (!have_frame) {
    if (holds_slice(units, length)) return 0;  // a part of a picture, taken
    errno = EAGAIN;
    return -1;
  }
  bool written = write_picture(decoder, y_buffer, uv_buffer);
  av_frame_unref(decoder->frame);
  return written ? 0 : -1;
}

int v4l2_h264_decoder_get_frame_info(H264Decoder *decoder, H264FrameInfo *info) {
  if (decoder == nullptr || info == nullptr) {
    errno = EINVAL;
    return -1;
  }
  if (!decoder->info_pending) {
    errno = EAGAIN;
    return -1;
  }
  *info = decoder->info;
  decoder->info_pending = false;
  return 0;
}

int v4l2_h264_decoder_work_release(H264Decoder *decoder) {
  if (decoder == nullptr) {
    errno = EINVAL;
    return -1;
  }
  avcodec_flush_buffers(decoder->context);
  decoder->info_pending = false;
  return 0;
}

void v4l2_h264_decoder_close(H264Decoder *decoder) { delete decoder; }
