// What a JPEG costs to decode, read from its markers before any pixel is decoded.
//
// The reader walks the marker segments and skips the entropy-coded data between them; it reads
// nothing outside the bytes it is given and takes time in proportion to them. It looks at the
// frame header (size, components and their sampling, baseline or progressive) and counts the
// scans. A picture is within the bounds when a panel of the display head has a use for all of
// it: its full size, the memory its decode needs and its number of scans are below what the
// largest panel (1600x720) can use, whichever panel is fitted. Pure functions; any thread.
#pragma once

#include <cstddef>
#include <cstdint>

// The largest panel the display head drives.
constexpr uint32_t largest_panel_width = 1600;
constexpr uint32_t largest_panel_height = 720;

// The decoder takes a picture at an eighth of its size at the smallest: a side of more than
// eight times the panel's longer side, or more than 64 panels' worth of pixels, is more than
// any panel can show.
constexpr uint32_t jpeg_max_side = 8 * largest_panel_width;
constexpr uint64_t jpeg_max_pixels = 64ull * largest_panel_width * largest_panel_height;
// A progressive picture, or one sent in several scans, is held whole as DCT coefficients (two
// bytes a sample) until its last scan: at most this much, which a 16-megapixel photograph at
// 4:2:0 needs.
constexpr uint64_t jpeg_max_decode_bytes = 48ull << 20;
// Each scan passes over the whole picture: more than this many is no photograph's.
constexpr int jpeg_max_scans = 64;

struct JpegCost {
  bool frame_seen = false;    // a frame header (SOFn) was found
  uint32_t width = 0;
  uint32_t height = 0;
  int components = 0;
  bool progressive = false;   // SOF2, SOF6, SOF10, SOF14
  int scans = 0;              // start-of-scan markers counted
  uint64_t coefficient_bytes = 0;  // the whole picture as coefficients, every component
};

// Reads the markers of `length` bytes of `data`. A stream that is not a JPEG, or is cut, gives
// what was seen up to there (frame_seen false when no frame header came).
JpegCost jpeg_cost(const uint8_t *data, size_t length);

// Whether the picture may be decoded; when not, `why` says which bound it exceeds (with the
// picture's figures and the bound's). A stream whose frame header was not found is left to
// the decoder, which refuses it with its own message.
// `why` holds `why_size` bytes (a terminated text; nothing is allocated).
bool jpeg_within_bounds(const JpegCost &cost, char *why, size_t why_size);
