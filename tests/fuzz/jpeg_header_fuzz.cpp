// Fuzz target: the marker walk that bounds a JPEG's cost before it is decoded.
//
// Input: the bytes of a JPEG, as a host frame, a controller picture or a file brings them.
// Findings besides what the sanitizers catch: a refusal text that is not terminated inside its
// buffer, or a frame header the decoder library reads that the walk reports otherwise (no
// frame, another size), which would let a picture past the bounds unmeasured.
#include <turbojpeg.h>

#include <cstring>

#include "disp/jpeg_header.h"
#include "tests/fuzz/fuzz_support.h"

namespace {
struct TjDecompressor {
  tjhandle handle = tjInitDecompress();
  ~TjDecompressor() { tjDestroy(handle); }
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const JpegCost cost = jpeg_cost(data, size);
  char why[320];
  memset(why, 'x', sizeof why);
  if (!jpeg_within_bounds(cost, why, sizeof why) && memchr(why, '\0', sizeof why) == nullptr) {
    finding("the refusal text is not terminated");
  }

  // A handle of its own for each input: the library keeps tables from an abbreviated stream
  // for the next one, which would make the two readings differ for that reason alone.
  TjDecompressor decompressor;
  int width = 0, height = 0, subsampling = 0, colorspace = 0;
  if (size > 0 && decompressor.handle != nullptr &&
      tjDecompressHeader3(decompressor.handle, data, static_cast<unsigned long>(size), &width, &height,
                          &subsampling, &colorspace) == 0 &&
      width > 0 && height > 0) {  // a tables-only stream (or one cut short into it) reads as 0x0
    if (!cost.frame_seen) finding("the library reads a frame header the walk did not find");
    if (uint32_t(width) != cost.width || uint32_t(height) != cost.height) {
      finding("the walk reads another size than the library");
    }
  }
  return 0;
}
