// The JPEG decoder library on a PC, on libturbojpeg. Like the board's decoder it fits the
// picture to exactly the requested output size and writes 32-bit 0xAARRGGBB pixels (memory
// B, G, R, A; alpha 255) into the buffer it was given.
//
// A picture is decoded at the libturbojpeg scaling factor that gives the smallest picture
// still covering the output in both directions (1/1 when the output is larger); the rest of
// the fit is a scale to the output (jpegd_swscale.cpp on libswscale, or jpegd_scale.cpp where
// the build has no libswscale). A failed decode leaves the output buffer as it was.
//
// A picture whose decode or output would exceed a fixed bound (four times the largest panel)
// is refused before any memory is taken for it.
//
// The compressed data is copied at open: the instance does not depend on the caller's buffer.
// Each instance has its own libturbojpeg handle; instances are independent of one another.
#include "platform/jpegd.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "platform/sim/jpegd_decode.h"

namespace {

constexpr uint32_t max_side = 8192;  // widest and tallest output
// The most pixels a decode may work on, in the picture decoded at its scale (the scratch the
// fit starts from) and in the output: four times the largest panel the display head drives,
// 1600x720. A photograph up to eight times the panel's size in each direction decodes at an
// eighth within it; a header that claims more (65535x65535) is refused before anything is
// allocated for it.
constexpr uint64_t largest_panel_pixels = 1600 * 720;
constexpr uint64_t max_picture_pixels = 4 * largest_panel_pixels;

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

// A picture decoded at exactly the output size needs no fit: libturbojpeg writes the pixels
// itself, about twice as fast as through the planes and a scaler. It writes into a scratch
// picture first, so that a failed decode leaves the output as it was.
bool decode_unscaled(JpegDecoder &decoder, int width, int height, uint8_t *output) {
  const size_t bytes = size_t(width) * size_t(height) * 4;
  std::unique_ptr<uint8_t[]> scratch(new (std::nothrow) uint8_t[bytes]);
  if (!scratch || !jpegd_decode_pixels(decoder, width, height, scratch.get(), size_t(width) * 4)) {
    return false;
  }
  memcpy(output, scratch.get(), bytes);
  return true;
}

}  // namespace

void jpegd_report(const JpegDecoder &decoder, const char *what) {
  fprintf(stderr, "jpeg decoder: %s: %s\n", what, tjGetErrorStr2(decoder.handle.get()));
}

bool jpegd_decode_pixels(JpegDecoder &decoder, int width, int height, uint8_t *pixels,
                         size_t stride) {
  bool cmyk = decoder.colorspace == TJCS_CMYK || decoder.colorspace == TJCS_YCCK;
  if (tjDecompress2(decoder.handle.get(), decoder.data.data(), decoder.data.size(), pixels, width,
                    int(stride), height, cmyk ? TJPF_CMYK : TJPF_BGRA, 0) != 0) {
    jpegd_report(decoder, "decode");
    return false;
  }
  if (cmyk) {  // stored inverted, as JPEG writers store CMYK: C = 255 - cyan and so on
    for (int y = 0; y < height; ++y) {
      uint8_t *p = pixels + size_t(y) * stride;
      for (int x = 0; x < width; ++x, p += 4) {
        unsigned c = p[0], m = p[1], yellow = p[2], k = p[3];
        p[0] = uint8_t((yellow * k + 127) / 255);
        p[1] = uint8_t((m * k + 127) / 255);
        p[2] = uint8_t((c * k + 127) / 255);
        p[3] = 255;
      }
    }
  }
  return true;
}

namespace {
JpegDecoder *open_decoder(const uint8_t *data, int length);
int decode_into_output(JpegDecoder *decoder, JpegJob *job, JpegOutput *output);
}  // namespace

// Like the board's library, the calls report a lack of memory as a failure.
JpegDecoder *jpegd_decoder_open(const uint8_t *data, int length) {
  try {
    return open_decoder(data, length);
  } catch (const std::bad_alloc &) {
    fprintf(stderr, "jpeg decoder: no memory for a %d-byte picture\n", length);
    return nullptr;
  }
}

int jpegd_decoder_get(JpegDecoder *decoder, JpegJob *job, JpegOutput *output) {
  try {
    return decode_into_output(decoder, job, output);
  } catch (const std::bad_alloc &) {
    fprintf(stderr, "jpeg decoder: no memory to decode the picture\n");
    return -1;
  }
}

namespace {
JpegDecoder *open_decoder(const uint8_t *data, int length) {
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
}  // namespace

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

namespace {
int decode_into_output(JpegDecoder *decoder, JpegJob *job, JpegOutput *output) {
  if (decoder == nullptr || output == nullptr || decoder->output == nullptr ||
      !job_fits(job, decoder->output_size)) {
    return -1;
  }
  int target_width = int(job->width);
  int target_height = int(job->height);
  int width = 0, height = 0;
  decode_size(*decoder, target_width, target_height, width, height);
  if (uint64_t(width) * uint64_t(height) > max_picture_pixels ||
      uint64_t(target_width) * uint64_t(target_height) > max_picture_pixels) {
    fprintf(stderr,
            "jpeg decoder: a %dx%d picture for a %dx%d output needs %dx%d pixels of scratch; "
            "refused: at most %llu pixels (four times a 1600x720 panel) are decoded or output\n",
            decoder->width, decoder->height, target_width, target_height, width, height,
            (unsigned long long)max_picture_pixels);
    return -1;
  }
  const bool decoded =
      width == target_width && height == target_height
          ? decode_unscaled(*decoder, width, height, decoder->output)
          : jpegd_decode_fitted(*decoder, width, height, decoder->output, target_width, target_height);
  if (!decoded) return -1;
  // The output record: where the picture went, its size and format, the bytes written.
  output->words[0] = decoder->output_paddr;
  output->words[1] = job->width;
  output->words[2] = job->height;
  output->words[3] = job->format;
  output->words[4] = uint32_t(size_t(target_width) * 4 * size_t(target_height));
  output->words[5] = 0;
  return 0;
}
}  // namespace

int jpegd_decoder_put(JpegDecoder *decoder, JpegOutput *output) {
  return decoder != nullptr && output != nullptr ? 0 : -1;
}

void jpegd_decoder_close(JpegDecoder *decoder) { delete decoder; }
