// The NAL-unit splitter: takes an H.264 Annex B byte stream in blocks cut anywhere and hands
// out complete NAL units, each with its start code, so that units laid end to end form a
// valid stream again.
#pragma once

#include <cstddef>
#include <cstdint>

// The library exports plain C functions.
extern "C" {

struct NaluBuffer;

struct NaluUnitInfo {
  uint32_t offset;         // where the unit started in the stream (not read by the system)
  uint32_t length;         // its length with the start code (not read by the system)
  uint32_t type;           // nal_unit_type: 1 slice, 5 IDR slice, 6 SEI, 7 SPS, 8 PPS, 9 AUD...
};

// A splitter for units of up to `capacity` bytes.
NaluBuffer *nalu_buf_init(size_t capacity);
// Takes in up to `length` bytes; returns how many it took. A write made when every complete
// unit has been read is taken whole, however long; while complete units wait to be read, it
// takes only what keeps the bytes held within `capacity`. Bytes before the first start code
// are dropped, and so is (with a message) a unit that grows past `capacity` before its end
// has arrived: the splitter then waits for the next start code.
int nalu_buf_write(NaluBuffer *buffer, const uint8_t *data, int length);
// Copies the next complete unit (start code included) to `dest` and returns its length (> 0),
// with its type in *info. 0 when no complete unit is buffered yet; negative when the unit
// does not fit in `room` bytes (it is then dropped, so the stream goes on; *info describes it).
int nalu_buf_read_unit(NaluBuffer *buffer, NaluUnitInfo *info, uint8_t *dest, int room);
// Drops every buffered byte.
void nalu_buf_clean(NaluBuffer *buffer);
// Releases the splitter (the daemon keeps its one for the life of the process).
void nalu_buf_free(NaluBuffer *buffer);

}  // extern "C"
