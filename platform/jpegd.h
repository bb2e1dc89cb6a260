// The board's hardware JPEG decoder. An instance lives for one picture: open it on the
// compressed data, name the output buffer (mapped and physical address, size in bytes),
// decode with get, hand the output record back with put, close.
#pragma once

#include <cstdint>

// The library exports plain C functions.
extern "C" {

struct JpegDecoder;

// Output pixel format code for JpegJob::format: 32-bit 0xAARRGGBB, 4 bytes per pixel.
constexpr uint32_t jpeg_format_argb8888 = 12;

// The decode job: seven words on the board.
struct JpegJob {
  uint32_t length;         // bytes of compressed data
  uint32_t width;          // output size in pixels: the picture is fitted to it exactly
  uint32_t height;
  uint32_t format;         // jpeg_format_argb8888
  const uint8_t *data;     // the compressed data
  uint32_t reserved6;
  uint32_t reserved7;
};

// The decoder's output record (24 bytes, the decoder's own layout).
struct JpegOutput {
  uint32_t words[6];
};
static_assert(sizeof(JpegOutput) == 24);

// Null when the data cannot be taken (not a JPEG, empty).
JpegDecoder *jpegd_decoder_open(const uint8_t *data, int length);
// Negative when the buffer cannot hold job->width x job->height pixels of job->format.
int jpegd_decoder_set_output_mem(JpegDecoder *decoder, JpegJob *job, uint8_t *vaddr, uint32_t paddr,
                                 int size);
// 0 when the picture has been decoded into the output buffer; nonzero on failure.
int jpegd_decoder_get(JpegDecoder *decoder, JpegJob *job, JpegOutput *output);
int jpegd_decoder_put(JpegDecoder *decoder, JpegOutput *output);
void jpegd_decoder_close(JpegDecoder *decoder);

}  // extern "C"
