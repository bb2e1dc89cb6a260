// The NAL-unit splitter.
//
// The stream arrives in blocks cut at any byte and is appended to one linear buffer. Once the
// stream is in sync the buffer starts (at `begin`) with the start code of the unit being
// assembled; a unit is complete when the start code of the next one has been seen, and is then
// handed out from its start code up to the next start code, so units laid end to end give back
// the stream exactly (trailing zero bytes after a unit stay with it; a zero byte just before
// "00 00 01" makes that a four-byte start code).
//
// The search for the next start code remembers where it stopped, so every byte is examined
// once however the stream is cut; it looks for the 0x01 byte with memchr and checks the two
// bytes before it. Bytes are moved to the front of the buffer only when a write does not fit
// behind the data already held, which leaves just the unit being assembled to move.
//
// How much it holds. The caller writes a block, then reads every unit that is complete. A
// block may be larger than the capacity given at init (the daemon's are up to 202,752 bytes
// against a capacity of at least 131,072), so a write made when no complete unit is waiting
// is always taken whole, the buffer growing for it once if it must; refusing part of it would
// lose stream bytes in the middle of a unit. Only while complete units are waiting to be read
// does the capacity bound the bytes held, and a write then takes just what fits. The unit being
// assembled may not grow past the capacity: when it does before its end has been seen, it is
// dropped with a message and the splitter looks for the next start code, so one huge or
// endless unit can neither stall the stream nor make the buffer grow without bound.
//
// Out of sync (at first, after a clean, after a dropped unit) every byte before the next start
// code is dropped as it arrives, so garbage never accumulates.
#include "platform/nalu.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

namespace {

// Room for a start code, a header byte and the next start code at the least.
constexpr size_t min_capacity = 16;
// Lengths are handed out as int.
constexpr size_t max_capacity = INT_MAX / 2;

}  // namespace

struct NaluBuffer {
  size_t capacity = 0;       // see "How much it holds" above
  std::vector<uint8_t> data;
  size_t begin = 0;          // first byte held: the current unit's start code when in sync
  size_t end = 0;            // one past the last byte held
  bool in_sync = false;      // data[begin] starts a start code
  size_t header = 0;         // in sync: the current unit's header byte (after its start code)
  size_t scan = 0;           // in sync: the next byte that may be the 0x01 of the next start code
  bool next_found = false;   // the next start code has been seen: the current unit is complete
  size_t next_start = 0;     // its first byte
  size_t next_header = 0;    // the byte after its 0x01
  uint64_t stream_offset = 0;  // position in the stream of data[0]
};

namespace {

// The position of the next "00 00 01" whose 0x01 lies in [from, end) and whose zeros lie at
// or after `floor`, or `end` when there is none.
size_t find_start_code_one(const uint8_t *data, size_t from, size_t end, size_t floor) {
  from = std::max(from, floor + 2);
  while (from < end) {
    const void *hit = memchr(data + from, 0x01, end - from);
    if (hit == nullptr) return end;
    size_t one = static_cast<const uint8_t *>(hit) - data;
    if (data[one - 1] == 0 && data[one - 2] == 0) return one;
    from = one + 1;
  }
  return end;
}

// The first byte of the start code whose 0x01 is at `one`: the four-byte form takes a zero in
// front when there is one at or after `floor`.
size_t start_code_begin(const uint8_t *data, size_t one, size_t floor) {
  return one >= floor + 3 && data[one - 3] == 0 ? one - 3 : one - 2;
}

void enter_unit(NaluBuffer *buffer, size_t start, size_t one) {
  buffer->begin = start;
  buffer->header = one + 1;
  // The unit has at least its header byte before the next start code.
  buffer->scan = buffer->header + 3;
  buffer->next_found = false;
}

// Out of sync: drops what lies before the first start code held, keeping a tail that may be
// the beginning of one.
void synchronise(NaluBuffer *buffer) {
  const uint8_t *data = buffer->data.data();
  size_t one = find_start_code_one(data, buffer->begin, buffer->end, buffer->begin);
  if (one == buffer->end) {
    buffer->begin = std::max(buffer->begin, buffer->end - std::min<size_t>(buffer->end, 3));
    return;
  }
  buffer->in_sync = true;
  enter_unit(buffer, start_code_begin(data, one, buffer->begin), one);
}

// In sync: true when the current unit is complete, scanning only bytes not yet examined.
bool unit_complete(NaluBuffer *buffer) {
  if (!buffer->in_sync) return false;
  if (buffer->next_found) return true;
  if (buffer->scan >= buffer->end) return false;
  const uint8_t *data = buffer->data.data();
  size_t one = find_start_code_one(data, buffer->scan, buffer->end, buffer->header + 1);
  if (one == buffer->end) {
    buffer->scan = buffer->end;
    return false;
  }
  buffer->next_found = true;
  buffer->next_start = start_code_begin(data, one, buffer->header + 1);
  buffer->next_header = one + 1;
  return true;
}

// Moves the bytes held to the front of the buffer.
void compact(NaluBuffer *buffer) {
  size_t shift = buffer->begin;
  if (shift == 0) return;
  memmove(buffer->data.data(), buffer->data.data() + shift, buffer->end - shift);
  buffer->stream_offset += shift;
  buffer->begin = 0;
  buffer->end -= shift;
  if (buffer->in_sync) {
    buffer->header -= shift;
    buffer->scan -= shift;
  }
  if (buffer->next_found) {
    buffer->next_start -= shift;
    buffer->next_header -= shift;
  }
}

// The unit being assembled has grown past the capacity without its end in sight: drop it and
// look for the next start code, keeping the last bytes, which may begin one.
void drop_oversized_unit(NaluBuffer *buffer) {
  fprintf(stderr, "nalu: unit longer than %zu bytes, dropped\n", buffer->capacity);
  buffer->in_sync = false;
  buffer->next_found = false;
  buffer->begin = buffer->end - 3;
}

// Room behind the bytes held for `count` more, moving them to the front or growing the
// buffer when needed. False when the memory cannot be had.
bool make_room(NaluBuffer *buffer, size_t count) {
  if (buffer->data.size() - buffer->end >= count) return true;
  compact(buffer);
  if (buffer->data.size() - buffer->end >= count) return true;
  try {
    buffer->data.resize(buffer->end + count);
  } catch (const std::bad_alloc &) {
    return false;
  }
  return true;
}

}  // namespace

NaluBuffer *nalu_buf_init(size_t capacity) {
  capacity = std::clamp(capacity, min_capacity, max_capacity);
  NaluBuffer *buffer = new (std::nothrow) NaluBuffer;
  if (buffer == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  buffer->capacity = capacity;
  try {
    buffer->data.resize(capacity);
  } catch (const std::bad_alloc &) {
    delete buffer;
    errno = ENOMEM;
    return nullptr;
  }
  return buffer;
}

int nalu_buf_write(NaluBuffer *buffer, const uint8_t *data, int length) {
  if (buffer == nullptr || length < 0 || (data == nullptr && length > 0)) {
    errno = EINVAL;
    return -1;
  }
  size_t count = size_t(length);
  if (unit_complete(buffer)) {
    // Units are waiting for the reader: hold at most the capacity.
    size_t held = buffer->end - buffer->begin;
    count = std::min(count, buffer->capacity - std::min(held, buffer->capacity));
  }
  if (count == 0) return 0;
  if (!make_room(buffer, count)) {
    count = std::min(count, buffer->data.size() - buffer->end);
  }
  memcpy(buffer->data.data() + buffer->end, data, count);
  buffer->end += count;
  if (!buffer->in_sync) synchronise(buffer);
  if (!unit_complete(buffer) && buffer->end - buffer->begin > buffer->capacity) {
    drop_oversized_unit(buffer);
    synchronise(buffer);
  }
  return int(count);
}

int nalu_buf_read_unit(NaluBuffer *buffer, NaluUnitInfo *info, uint8_t *dest, int room) {
  if (buffer == nullptr || info == nullptr || (dest == nullptr && room > 0)) {
    errno = EINVAL;
    return -1;
  }
  if (!unit_complete(buffer)) return 0;
  const uint8_t *data = buffer->data.data();
  size_t length = buffer->next_start - buffer->begin;
  info->offset = uint32_t(buffer->stream_offset + buffer->begin);
  info->length = uint32_t(length);
  info->type = data[buffer->header] & 0x1F;
  bool fits = room >= 0 && length <= size_t(room);
  if (fits) memcpy(dest, data + buffer->begin, length);
  enter_unit(buffer, buffer->next_start, buffer->next_header - 1);
  if (!fits) {
    errno = ENOSPC;
    return -1;
  }
  return int(length);
}

void nalu_buf_clean(NaluBuffer *buffer) {
  if (buffer == nullptr) return;
  buffer->begin = buffer->end = 0;
  buffer->in_sync = false;
  buffer->next_found = false;
  buffer->stream_offset = 0;
}

void nalu_buf_free(NaluBuffer *buffer) { delete buffer; }
