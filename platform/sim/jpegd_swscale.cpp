// The fit to the output on libswscale. The picture is decoded to its Y, Cb, Cr planes and
// libswscale converts and scales those planes to BGRA in one pass: several times faster than
// decoding to BGRA and scaling that. CMYK pictures, and any the plane decode refuses, take the
// slower way: BGRA (or CMYK converted by hand), then scaled. Corrupt data, fatal or only a
// libjpeg warning, fails the decode.
//
// libswscale may write a little past the rows it is asked for, so it writes into a padded
// scratch picture whose rows are then copied into the output buffer: the decoder never
// writes outside width x height x 4 bytes of it.
#include "platform/sim/jpegd_decode.h"

#include <cstring>

extern "C" {
#include <libavutil/mem.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

namespace {

struct SwsDeleter {
  void operator()(SwsContext *context) const { sws_freeContext(context); }
};
using SwsHandle = std::unique_ptr<SwsContext, SwsDeleter>;

struct AvFree {
  void operator()(uint8_t *memory) const { av_free(memory); }
};
using AvBuffer = std::unique_ptr<uint8_t, AvFree>;

// A picture in memory: up to three planes with their strides.
struct Planes {
  AvBuffer memory[3];
  uint8_t *data[3] = {};
  int stride[3] = {};
};

size_t align_up(size_t value, size_t alignment) { return (value + alignment - 1) / alignment * alignment; }

// A plane of `rows` rows `stride` bytes apart, with a spare row and slack for SIMD reads and
// writes past its end. Null when out of memory.
uint8_t *add_plane(Planes &planes, int index, int row_bytes, int rows) {
  planes.stride[index] = int(align_up(size_t(row_bytes), 64));
  size_t bytes = size_t(planes.stride[index]) * size_t(rows + 1) + 64;
  planes.memory[index].reset(static_cast<uint8_t *>(av_malloc(bytes)));
  planes.data[index] = planes.memory[index].get();
  return planes.data[index];
}

AVPixelFormat planar_format(int subsampling) {
  switch (subsampling) {
    case TJSAMP_444: return AV_PIX_FMT_YUV444P;
    case TJSAMP_422: return AV_PIX_FMT_YUV422P;
    case TJSAMP_420: return AV_PIX_FMT_YUV420P;
    case TJSAMP_GRAY: return AV_PIX_FMT_GRAY8;
    case TJSAMP_440: return AV_PIX_FMT_YUV440P;
    case TJSAMP_411: return AV_PIX_FMT_YUV411P;
    default: return AV_PIX_FMT_NONE;
  }
}

// Converts and scales `source` (width x height of `format`) into a BGRA scratch picture.
bool scale_to_bgra(const Planes &source, int width, int height, AVPixelFormat format,
                   Planes &target, int target_width, int target_height) {
  SwsHandle context(sws_getContext(width, height, format, target_width, target_height,
                                   AV_PIX_FMT_BGRA, SWS_BILINEAR | SWS_ACCURATE_RND, nullptr,
                                   nullptr, nullptr));
  if (!context) return false;
  if (format != AV_PIX_FMT_BGRA) {  // JPEG's YCbCr is full range
    const int *coefficients = sws_getCoefficients(SWS_CS_ITU601);
    sws_setColorspaceDetails(context.get(), coefficients, 1, coefficients, 1, 0, 1 << 16, 1 << 16);
  }
  int rows = sws_scale(context.get(), source.data, source.stride, 0, height, target.data,
                       target.stride);
  return rows == target_height;
}

// Decodes through Y, Cb, Cr planes. False with `corrupt` set when the data is bad, without it
// when this way cannot take the picture.
bool decode_by_planes(JpegDecoder &decoder, int width, int height, Planes &bgra, int target_width,
                      int target_height, bool &corrupt) {
  AVPixelFormat format = planar_format(decoder.subsampling);
  if (format == AV_PIX_FMT_NONE || decoder.colorspace == TJCS_CMYK ||
      decoder.colorspace == TJCS_YCCK) {
    return false;
  }
  Planes yuv;
  int plane_count = decoder.subsampling == TJSAMP_GRAY ? 1 : 3;
  for (int i = 0; i < plane_count; ++i) {
    int plane_width = tjPlaneWidth(i, width, decoder.subsampling);
    int plane_height = tjPlaneHeight(i, height, decoder.subsampling);
    if (plane_width <= 0 || plane_height <= 0 || !add_plane(yuv, i, plane_width, plane_height)) {
      return false;
    }
  }
  if (tjDecompressToYUVPlanes(decoder.handle.get(), decoder.data.data(), decoder.data.size(),
                              yuv.data, width, yuv.stride, height, 0) != 0) {
    corrupt = tjGetErrorCode(decoder.handle.get()) == TJERR_WARNING;
    jpegd_report(decoder, "planar decode");
    return false;
  }
  return scale_to_bgra(yuv, width, height, format, bgra, target_width, target_height);
}

// Decodes to 32-bit pixels first, then scales.
bool decode_by_pixels(JpegDecoder &decoder, int width, int height, Planes &bgra, int target_width,
                      int target_height) {
  Planes pixels;
  if (!add_plane(pixels, 0, width * 4, height)) return false;
  if (!jpegd_decode_pixels(decoder, width, height, pixels.data[0], size_t(pixels.stride[0]))) {
    return false;
  }
  return scale_to_bgra(pixels, width, height, AV_PIX_FMT_BGRA, bgra, target_width, target_height);
}

}  // namespace

bool jpegd_decode_fitted(JpegDecoder &decoder, int width, int height, uint8_t *output,
                         int target_width, int target_height) {
  Planes bgra;
  if (!add_plane(bgra, 0, target_width * 4, target_height)) return false;
  bool corrupt = false;
  if (!decode_by_planes(decoder, width, height, bgra, target_width, target_height, corrupt) &&
      (corrupt || !decode_by_pixels(decoder, width, height, bgra, target_width, target_height))) {
    return false;
  }
  size_t row_bytes = size_t(target_width) * 4;
  for (int y = 0; y < target_height; ++y) {
    memcpy(output + size_t(y) * row_bytes, bgra.data[0] + size_t(y) * size_t(bgra.stride[0]),
           row_bytes);
  }
  return true;
}
