// Inside the simulated JPEG decoder (platform/sim/jpegd*.cpp): the decoder instance and the
// two steps that the fit to the output shares. jpegd.cpp holds the library's interface and
// picks the decode size; the build links one of jpegd_swscale.cpp (libswscale converts and
// scales) and jpegd_scale.cpp (a small scaler of its own, for builds without libswscale).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include <turbojpeg.h>

struct TjDeleter {
  void operator()(void *handle) const { tjDestroy(handle); }
};
using TjHandle = std::unique_ptr<void, TjDeleter>;

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

// Prints libturbojpeg's message for the last failure of `decoder`.
void jpegd_report(const JpegDecoder &decoder, const char *what);

// Decodes the picture at width x height (one of libturbojpeg's scales of it) to 32-bit B, G,
// R, A pixels (alpha 255), rows `stride` bytes apart; CMYK pictures are converted. False on
// any failure, corrupt data included.
bool jpegd_decode_pixels(JpegDecoder &decoder, int width, int height, uint8_t *pixels,
                         size_t stride);

// Decodes the picture at width x height and fits it to exactly target_width x target_height
// B, G, R, A pixels in `output`, rows target_width * 4 bytes apart. Writes nothing outside
// those bytes, and nothing at all when it fails.
bool jpegd_decode_fitted(JpegDecoder &decoder, int width, int height, uint8_t *output,
                         int target_width, int target_height);
