// The JPEG marker walk behind jpeg_cost: segments are skipped by their length, and whatever
// lies between them (the entropy-coded data of a scan, stray bytes) up to the next marker.
#include "disp/jpeg_header.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr uint8_t marker_soi = 0xD8;
constexpr uint8_t marker_eoi = 0xD9;
constexpr uint8_t marker_sos = 0xDA;

bool is_restart(uint8_t marker) { return marker >= 0xD0 && marker <= 0xD7; }

// SOF0..SOF15 less DHT (C4), JPG (C8) and DAC (CC).
bool is_frame_header(uint8_t marker) {
  return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

bool is_progressive(uint8_t marker) {
  return marker == 0xC2 || marker == 0xC6 || marker == 0xCA || marker == 0xCE;
}

uint32_t be16(const uint8_t *p) { return uint32_t(p[0]) << 8 | p[1]; }

uint64_t ceil_div(uint64_t a, uint64_t b) { return (a + b - 1) / b; }

// The frame header's payload (after the length): precision, height, width, components.
void read_frame(const uint8_t *p, size_t length, uint8_t marker, JpegCost &cost) {
  if (length < 6) return;
  cost.frame_seen = true;
  cost.progressive = is_progressive(marker);
  cost.height = be16(p + 1);
  cost.width = be16(p + 3);
  const int count = p[5];
  cost.components = count;
  if (length < 6 + size_t(count) * 3) return;
  int h_max = 1, v_max = 1;
  for (int i = 0; i < count; ++i) {
    const uint8_t sampling = p[6 + i * 3 + 1];
    h_max = std::max(h_max, sampling >> 4);
    v_max = std::max(v_max, sampling & 0x0F);
  }
  // Each component is kept in whole MCUs: blocks of 8x8 samples, two bytes a coefficient.
  const uint64_t mcus_x = ceil_div(cost.width, 8ull * h_max);
  const uint64_t mcus_y = ceil_div(cost.height, 8ull * v_max);
  uint64_t bytes = 0;
  for (int i = 0; i < count; ++i) {
    const uint8_t sampling = p[6 + i * 3 + 1];
    const uint64_t h = std::max(1, sampling >> 4), v = std::max(1, sampling & 0x0F);
    bytes += mcus_x * h * mcus_y * v * 64 * 2;
  }
  cost.coefficient_bytes = bytes;
}

}  // namespace

JpegCost jpeg_cost(const uint8_t *data, size_t length) {
  JpegCost cost;
  if (data == nullptr || length < 4 || data[0] != 0xFF || data[1] != marker_soi) return cost;
  size_t pos = 2;
  for (;;) {
    // The next marker. Like the decoder library, bytes that are no marker are passed over:
    // the entropy-coded data after a start of scan, its stuffed 0xFF00, and stray bytes.
    uint8_t marker = 0;
    do {
      while (pos < length && data[pos] != 0xFF) ++pos;
      while (pos < length && data[pos] == 0xFF) ++pos;  // fill bytes
      if (pos >= length) return cost;
      marker = data[pos++];
    } while (marker == 0x00);
    if (marker == marker_eoi) break;
    if (is_restart(marker) || marker == 0x01 || marker == marker_soi) continue;  // no segment
    if (pos + 2 > length) break;
    const size_t segment = be16(data + pos);
    if (segment < 2 || pos + segment > length) {
      // Cut short: a frame header is still read as far as it goes.
      if (is_frame_header(marker) && !cost.frame_seen && pos + 2 <= length) {
        read_frame(data + pos + 2, length - (pos + 2), marker, cost);
      }
      break;
    }
    if (is_frame_header(marker) && !cost.frame_seen) read_frame(data + pos + 2, segment - 2, marker, cost);
    if (marker == marker_sos) ++cost.scans;
    pos += segment;
  }
  return cost;
}

bool jpeg_within_bounds(const JpegCost &cost, char *text, size_t size) {
  if (!cost.frame_seen) return true;
  char unused[1];
  if (text == nullptr || size == 0) {
    text = unused;
    size = sizeof unused;
  }
  const uint64_t pixels = uint64_t(cost.width) * cost.height;
  // Held whole when progressive or sent in several scans.
  const bool held_whole = cost.progressive || cost.scans > 1;
  if (cost.width > jpeg_max_side || cost.height > jpeg_max_side || pixels > jpeg_max_pixels) {
    snprintf(text, size,
             "a %ux%u picture is larger than the largest panel (%ux%u) can use: at most %u pixels a side "
             "and %llu in all",
             cost.width, cost.height, largest_panel_width, largest_panel_height, jpeg_max_side,
             static_cast<unsigned long long>(jpeg_max_pixels));
  } else if (held_whole && cost.coefficient_bytes > jpeg_max_decode_bytes) {
    snprintf(text, size,
             "a %ux%u %s picture needs %llu MiB to decode, more than the largest panel (%ux%u) "
             "can use: at most %llu MiB",
             cost.width, cost.height, cost.progressive ? "progressive" : "multi-scan",
             static_cast<unsigned long long>(ceil_div(cost.coefficient_bytes, 1 << 20)), largest_panel_width,
             largest_panel_height, static_cast<unsigned long long>(jpeg_max_decode_bytes >> 20));
  } else if (cost.scans > jpeg_max_scans) {
    snprintf(text, size, "a %ux%u picture in %d scans: at most %d are decoded", cost.width, cost.height,
             cost.scans, jpeg_max_scans);
  } else {
    return true;
  }
  return false;
}
