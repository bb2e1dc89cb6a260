// The JPEG decoder library on a PC, on libturbojpeg and libswscale. Like the board's decoder it
// fits the picture to exactly the requested output size and writes 32-bit 0xAARRGGBB pixels
// (memory B, G, R, A; alpha 255) into the buffer it was given.
//
// A picture is decoded to its Y, Cb, Cr planes at the libturbojpeg scaling factor that gives
// the smallest picture still covering the output in both directions (1/1 when the output is
// larger), and libswscale converts and scales those planes to BGRA in one pass: several times
// faster than decoding to BGRA and scaling that. CMYK pictures, and any the plane decode
// refuses, take the slower way: BGRA (or CMYK converted by hand) at the same factor, then
// scaled. Corrupt data, fatal or only a libjpeg warning, fails the decode.
//
// libswscale may write a little past the rows it is asked for, so it writes into a padded
// scratch picture whose rows are then copied into the output buffer: the decoder never
// writes outside width x height x 4 bytes of it.
//
// The compressed data is copied at open: the instance does not depend on the caller's buffer.
// Each instance has its own libturbojpeg handle; instances are independent of one another.
#include "platform/jpegd.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include <turbojpeg.h>
extern "C" {
#include <libavutil/mem.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

namespace {

constexpr uint32_t max_side = 8192;                      // widest and tallest output
constexpr uint64_t max_decoded_pixels = uint64_t(1) << 26;  // 64 Mpixel decoded at most

struct TjDeleter {
  void operator()(void *handle) const { tjDestroy(handle); }
};
using TjHandle = std::unique_ptr<void, TjDeleter>;

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

}  // namespace

struct JpegDecoder {
  std::vector<uint8_t> data;
  TjHandle handle;
  int width = 0;       // the picture's own size
  int height = 0;
  int subsampling = 0;
  int colorspace = 0;
  uint8_t *output = nullptr;  // from set_output_mem
  uint32_t output_paddr = 0;
  size_t output_size = 0;
};

namespace {

// The output size of `job` when it is one this decoder can write into `size` bytes.
bool job_fits(const JpegJob *job, uint64_t size) {
  return job != nullptr && job->format == jpeg_format_argb8888 && job->width > 0 &&
         job->height > 0 && job->width <= max_side && job->height <= max_side &&
         uint64_t(job->width) * job->height * 4 <= size;
}

// The size to decode at for a `target_width` x `target_height` output.
void decode_size(const JpegDecoder &decoder, int target_width, int target_height, int &width,
                 int &height) {
  width = decoder.width;
  height = decoder.height;
  int count = 0;
  const tjscalingfactor *factors = tjGetScalingFactors(&count);
  for (int i = 0; factors != nullptr && i < count; ++i) {
    if (factors[i].num > factors[i].denom) continue;  // enlarging is left to the scaler
    int scaled_width = TJSCALED(decoder.width, factors[i]);
    int scaled_height = TJSCALED(decoder.height, factors[i]);
    if (scaled_width >= target_width && scaled_height >= target_height &&
        int64_t(scaled_width) * scaled_height < int64_t(width) * height) {
      width = scaled_width;
      height = scaled_height;
    }
  }
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

void report(const JpegDecoder &decoder, const char *what) {
  fprintf(stderr, "jpeg decoder: %s: %s\n", what, tjGetErrorStr2(decoder.handle.get()));
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
    report(decoder, "planar decode");
    return false;
  }
  return scale_to_bgra(yuv, width, height, format, bgra, target_width, target_height);
}

// Decodes to 32-bit pixels first (CMYK through its own conversion), then scales.
bool decode_by_pixels(JpegDecoder &decoder, int width, int height, Planes &bgra, int target_width,
                      int target_height) {
  bool cmyk = decoder.colorspace == TJCS_CMYK || decoder.colorspace == TJCS_YCCK;
  Planes pixels;
  if (!add_plane(pixels, 0, width * 4, height)) return false;
  if (tjDecompress2(decoder.handle.get(), decoder.data.data(), decoder.data.size(), pixels.data[0],
                    width, pixels.stride[0], height, cmyk ? TJPF_CMYK : TJPF_BGRA, 0) != 0) {
    report(decoder, "decode");
    return false;
  }
  if (cmyk) {  // stored inverted, as JPEG writers store CMYK: C = 255 - cyan and so on
    for (int y = 0; y < height; ++y) {
      uint8_t *p = pixels.data[0] + size_t(y) * size_t(pixels.stride[0]);
      for (int x = 0; x < width; ++x, p += 4) {
        unsigned c = p[0], m = p[1], yellow = p[2], k = p[3];
        p[0] = uint8_t((yellow * k + 127) / 255);
        p[1] = uint8_t((m * k + 127) / 255);
        p[2] = uint8_t((c * k + 127) / 255);
        p[3] = 255;
      }
    }
  }
  return scale_to_bgra(pixels, width, height, AV_PIX_FMT_BGRA, bgra, target_width, target_height);
}

}  // namespace

JpegDecoder *jpegd_decoder_open(const uint8_t *data, int length) {
  if (data == nullptr || length <= 0) return nullptr;
  auto decoder = std::make_unique<JpegDecoder>();
  decoder->handle.reset(tjInitDecompress());
  if (!decoder->handle) return nullptr;
  decoder->data.assign(data, data + length);
  if (tjDecompressHeader3(decoder->handle.get(), decoder->data.data(), decoder->data.size(),
                          &decoder->width, &decoder->height, &decoder->subsampling,
                          &decoder->colorspace) != 0 ||
      decoder->width <= 0 || decoder->height <= 0) {
    return nullptr;
  }
  return decoder.release();
}

int jpegd_decoder_set_output_mem(JpegDecoder *decoder, JpegJob *job, uint8_t *vaddr, uint32_t paddr,
                                 int size) {
  if (decoder == nullptr || vaddr == nullptr || size <= 0 || !job_fits(job, uint64_t(size))) {
    return -1;
  }
  decoder->output = vaddr;
  decoder->output_paddr = paddr;
  decoder->output_size = size_t(size);
  return 0;
}

int jpegd_decoder_get(JpegDecoder *decoder, JpegJob *job, JpegOutput *output) {
  if (decoder == nullptr || output == nullptr || decoder->output == nullptr ||
      !job_fits(job, decoder->output_size)) {
    return -1;
  }
  int target_width = int(job->width);
  int target_height = int(job->height);
  int width = 0, height = 0;
  decode_size(*decoder, target_width, target_height, width, height);
  if (uint64_t(width) * uint64_t(height) > max_decoded_pixels) {
    fprintf(stderr, "jpeg decoder: %dx%d is too large\n", decoder->width, decoder->height);
    return -1;
  }

  Planes bgra;
  if (!add_plane(bgra, 0, target_width * 4, target_height)) return -1;
  bool corrupt = false;
  if (!decode_by_planes(*decoder, width, height, bgra, target_width, target_height, corrupt) &&
      (corrupt || !decode_by_pixels(*decoder, width, height, bgra, target_width, target_height))) {
    return -1;
  }
  size_t row_bytes = size_t(target_width) * 4;
  for (int y = 0; y < target_height; ++y) {
    memcpy(decoder->output + size_t(y) * row_bytes, bgra.data[0] + size_t(y) * size_t(bgra.stride[0]),
           row_bytes);
  }
  // The output record: where the picture went, its size and format, the bytes written.
  output->words[0] = decoder->output_paddr;
  output->words[1] = job->width;
  output->words[2] = job->height;
  output->words[3] = job->format;
  output->words[4] = uint32_t(row_bytes * size_t(target_height));
  output->words[5] = 0;
  return 0;
}

int jpegd_decoder_put(JpegDecoder *decoder, JpegOutput *output) {
  return decoder != nullptr && output != nullptr ? 0 : -1;
}

void jpegd_decoder_close(JpegDecoder *decoder) { delete decoder; }
