// The fit to the output without libswscale: libturbojpeg decodes to BGRA at its scale (which
// already covers the output, so what is left to shrink is less than half), and a bilinear
// scaler of its own takes that to the output size. Samples sit at pixel centres, as in
// libswscale, so the picture keeps its place and its edges.
#include "platform/sim/jpegd_decode.h"

#include <cstring>
#include <new>

namespace {

// Where an output column or row takes its samples: the source index and the next one, and
// the weight of the next one in 1/256.
struct Tap {
  int first, second;
  uint32_t weight;
};

std::vector<Tap> taps(int source, int target) {
  std::vector<Tap> result(static_cast<size_t>(target));
  for (int i = 0; i < target; ++i) {
    // The centre of output pixel i on the source, in 1/256 of a pixel.
    int64_t at = (int64_t(2 * i + 1) * source * 256) / (int64_t(2) * target) - 128;
    if (at < 0) at = 0;
    int first = int(at >> 8);
    uint32_t weight = uint32_t(at & 255);
    if (first >= source - 1) {
      first = source - 1;
      weight = 0;
    }
    result[size_t(i)] = {first, first + (weight != 0 ? 1 : 0), weight};
  }
  return result;
}

// Scales a width x height BGRA picture (rows width * 4 bytes apart) to the output.
void scale_bgra(const uint8_t *source, int width, int height, uint8_t *output, int target_width,
                int target_height) {
  std::vector<Tap> columns = taps(width, target_width);
  std::vector<Tap> rows = taps(height, target_height);
  const size_t source_row = size_t(width) * 4;
  for (int y = 0; y < target_height; ++y) {
    const Tap &row = rows[size_t(y)];
    const uint8_t *top = source + size_t(row.first) * source_row;
    const uint8_t *bottom = source + size_t(row.second) * source_row;
    uint8_t *out = output + size_t(y) * size_t(target_width) * 4;
    for (int x = 0; x < target_width; ++x, out += 4) {
      const Tap &column = columns[size_t(x)];
      const uint8_t *a = top + size_t(column.first) * 4, *b = top + size_t(column.second) * 4;
      const uint8_t *c = bottom + size_t(column.first) * 4, *d = bottom + size_t(column.second) * 4;
      for (int channel = 0; channel < 3; ++channel) {
        uint32_t upper = a[channel] * (256 - column.weight) + b[channel] * column.weight;
        uint32_t lower = c[channel] * (256 - column.weight) + d[channel] * column.weight;
        out[channel] = uint8_t((upper * (256 - row.weight) + lower * row.weight + 32768) >> 16);
      }
      out[3] = 255;
    }
  }
}

}  // namespace

bool jpegd_decode_fitted(JpegDecoder &decoder, int width, int height, uint8_t *output,
                         int target_width, int target_height) {
  const size_t bytes = size_t(width) * size_t(height) * 4;
  std::unique_ptr<uint8_t[]> pixels(new (std::nothrow) uint8_t[bytes]);
  if (!pixels || !jpegd_decode_pixels(decoder, width, height, pixels.get(), size_t(width) * 4)) {
    return false;
  }
  if (width == target_width && height == target_height) {
    memcpy(output, pixels.get(), bytes);
  } else {
    scale_bgra(pixels.get(), width, height, output, target_width, target_height);
  }
  return true;
}
