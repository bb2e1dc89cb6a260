// Fuzz target: arbitrary bytes as an H.264 stream through the NAL-unit splitter and the
// decoder stand-in, grouped as the decoder thread groups them (parameter sets kept in front
// of the next slice, each slice decoded with them).
//
// Input: one byte choosing the picture area (low 3 bits), one choosing the block size the
// stream is cut into (0: a whole ring slot, else that many times 61 bytes), then the stream.
// The decoder writes into buffers of exactly buffer_width x buffer_height luma bytes and half
// as many chroma bytes, so a write past them is a sanitizer finding. Findings besides: a
// splitter that takes more than it is given, a unit that does not begin with a start code or
// is longer than the room it was given, frame info that does not describe the buffers.
#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

#include "h264/h264.h"
#include "platform/nalu.h"
#include "platform/v4l2_h264.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

struct Area {
  uint32_t width, height;
};
constexpr Area areas[] = {{480, 480}, {64, 64}, {368, 960}, {720, 1472}, {1600, 720},
                          {2, 2},     {97, 33}, {4096, 16}};
constexpr size_t min_assembly_size = 131072;  // as the decoder thread's

bool starts_with_start_code(const uint8_t *unit, int length) {
  return (length >= 3 && unit[0] == 0 && unit[1] == 0 && unit[2] == 1) ||
         (length >= 4 && unit[0] == 0 && unit[1] == 0 && unit[2] == 0 && unit[3] == 1);
}

// What the decoder thread keeps for the life of the process, for one picture area: the
// splitter (cleaned for each stream), the assembly buffer and the picture buffers.
struct AreaState {
  NaluBuffer *splitter = nullptr;
  std::vector<uint8_t> assembly, y, uv;
};

// One stream: the decoder opened on its first block and closed at its end, as the decoder
// thread does.
struct Stream {
  H264OpenParams params;
  H264Decoder *decoder = nullptr;
  AreaState &area;
  size_t kept = 0;

  Stream(const Area &size, AreaState &state)
      : params{"/dev/video2", size.width, size.height, fourcc_nv12, 0, 0}, area(state) {
    decoder = v4l2_h264_decoder_direct_open(&params);
    if (decoder == nullptr) finding("the decoder does not open");
    if (area.splitter == nullptr) {
      const size_t assembly_size = std::clamp<size_t>(size_t(size.width) * size.height,
                                                      min_assembly_size, size_t(INT_MAX));
      area.assembly.resize(assembly_size);
      area.splitter = nalu_buf_init(assembly_size);
      const size_t luma = size_t(params.buffer_width) * params.buffer_height;
      area.y.resize(luma);
      area.uv.resize(luma / 2);
    }
    nalu_buf_clean(area.splitter);
  }
  ~Stream() { v4l2_h264_decoder_close(decoder); }

  void decode(int length) {
    if (v4l2_h264_decoder_direct_work(decoder, area.assembly.data(), length, area.y.data(),
                                      area.uv.data()) != 0) {
      return;
    }
    // A slice that does not complete its picture is accepted with no picture to describe yet.
    H264FrameInfo info{};
    if (v4l2_h264_decoder_get_frame_info(decoder, &info) != 0) return;
    if (info.width != params.buffer_width || info.height == 0 || info.height > params.buffer_height ||
        info.crop_right >= info.width) {
      finding("the frame info does not describe the output buffers");
    }
  }

  void feed(const uint8_t *block, int length) {
    const int taken = nalu_buf_write(area.splitter, block, length);
    if (taken < 0 || taken > length) finding("the splitter took more than it was given");
    for (;;) {
      NaluUnitInfo unit{};
      const int room = int(area.assembly.size() - kept);
      uint8_t *dest = area.assembly.data() + kept;
      const int got = nalu_buf_read_unit(area.splitter, &unit, dest, room);
      if (got == 0) break;
      if (got < 0) {
        kept = 0;
        break;
      }
      if (got > room || !starts_with_start_code(dest, got)) finding("a unit out of shape");
      if (unit.type == 7 || unit.type == 8) {
        kept += size_t(got);
        continue;
      }
      if (unit.type != 1 && unit.type != 5) continue;
      const int units_length = int(kept) + got;
      kept = 0;
      decode(units_length);
    }
  }
};

AreaState area_states[std::size(areas)];

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  InputReader in{data, size};
  const size_t choice = in.byte() & 7;
  const uint8_t cut = in.byte();
  const size_t block_size = cut == 0 ? size_t(h264_block_max_length) : size_t(cut) * 61;
  Stream stream(areas[choice], area_states[choice]);
  while (in.left() > 0) {
    size_t length = block_size;
    const uint8_t *block = in.take(length);
    stream.feed(block, int(length));
  }
  return 0;
}
