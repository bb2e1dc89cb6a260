// Decoding the display head's two serial links as a bystander sees them: the bytes that went
// each way, with the time each arrived, turned into one event per protocol unit.
//
// Host link: 512-byte packets (checked and deciphered in the device's order: trailer, padding
// byte, check byte, magic byte), their follow-on blocks, the 512-byte replies decoded per
// command, and the 20 pages of a listing. Packet alignment is kept as the device keeps it: 512
// bytes at a time, and a packet or block interrupted by 2 s of silence is dropped (the device
// reopens its port).
//
// Controller link: 224-byte frames decoded by type, header errors (the device reopens its
// port and loses what it held), and the messages to the controller, framed by silence: a
// two-byte prefix, a pause, the payload, with the pause measured.
//
// The decoder only watches: it is fed what a proxy forwarded (or what a capture holds) and
// keeps its own clock from the times it is given, so a capture decodes the same offline. A
// decoder is used by one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

enum class TraceLink : uint8_t { host = 0, controller = 1 };
enum class TraceDir : uint8_t { to_device = 0, from_device = 1 };

const char *link_name(TraceLink link);  // "host", "controller"
const char *dir_name(TraceDir dir);     // "to-device", "from-device"

// What a captured record holds: one unit as it crossed the wire.
enum class UnitKind : uint8_t {
  packet = 1,    // host: 512 bytes as the device reads them
  block = 2,     // host: a follow-on block
  reply = 3,     // host: a 512-byte reply
  page = 4,      // host: a 512-byte listing page (no header)
  fragment = 5,  // bytes the device dropped (cut short by silence, flushed)
  frame = 6,     // controller: a 224-byte frame
  prefix = 7,    // controller: the two-byte prefix of a message
  payload = 8,   // controller: a message's payload (or data sent without a prefix)
};

struct TraceUnit {
  int64_t t_us = 0;        // when its first byte came
  UnitKind kind = UnitKind::packet;
  uint64_t length = 0;     // its whole length; `bytes` may hold only the first part
  std::vector<uint8_t> bytes;
};

struct TraceEvent {
  int64_t t_us = 0;        // when its first byte came (the trace's own clock)
  TraceLink link = TraceLink::host;
  TraceDir dir = TraceDir::to_device;
  std::string kind;        // packet, block, reply, page, drop, cut, no-reply, frame,
                           // header-error, message, data
  std::string text;        // one line, decoded
  nlohmann::json fields = nlohmann::json::object();  // more, per kind
  std::vector<TraceUnit> units;  // the wire units it covers, for a capture
};

// The JSON object of an event: "t_ms", "link", "dir", "kind", "text", then its fields.
nlohmann::json event_json(const TraceEvent &event);
// The plain line: time in ms, link, direction, text.
std::string event_line(const TraceEvent &event);

// The longest part of a block or payload kept for a capture; the rest is only counted.
constexpr size_t trace_keep_bytes = 1048576;
// Silence after which the device gives up a packet, block or frame it has begun.
constexpr int64_t trace_cut_gap_us = 2'000'000;
// Silence that ends a burst of bytes to the controller (the shortest pause is 50 ms).
constexpr int64_t trace_burst_gap_us = 20'000;
// How long a prefix waits for its payload before it is reported alone.
constexpr int64_t trace_payload_wait_us = 1'000'000;

struct PendingCommand {
  uint8_t code = 0;
  uint8_t tag[4] = {};
  bool page = false;       // a listing: the answer is a page without a header
};

struct TraceDecoder {
  TraceLink link = TraceLink::host;

  // --- bytes to the device, not yet a whole unit
  std::vector<uint8_t> in;
  int64_t in_start_us = 0, in_last_us = 0;
  uint64_t block_left = 0;      // host: bytes of a follow-on block still to come
  uint64_t block_length = 0;
  uint8_t block_code = 0;
  bool misaligned = false;      // host: packets fail the trailer because a byte was lost
  // --- bytes from the device
  std::vector<uint8_t> out;
  int64_t out_start_us = 0, out_last_us = 0;
  std::deque<PendingCommand> pending;  // host: commands waiting for their reply
  int listing_page = 0;                // host: the device's page offset, 0..19
  // controller: an open prefix waiting for its payload
  bool prefix_open = false;
  uint8_t prefix_code = 0;
  int64_t prefix_start_us = 0, prefix_last_us = 0;
  uint64_t frames = 0;
};

TraceDecoder make_decoder(TraceLink link);

// Bytes that went `dir`, the last of them seen at `t_us`. Events that are complete go to
// `events`, in order.
void trace_feed(TraceDecoder &decoder, TraceDir dir, const uint8_t *bytes, size_t count,
                int64_t t_us, std::vector<TraceEvent> &events);
// The clock moved on to `t_us` without bytes: ends what silence ends.
void trace_tick(TraceDecoder &decoder, int64_t t_us, std::vector<TraceEvent> &events);
// The time at which trace_tick has something to end, or -1.
int64_t trace_next_deadline(const TraceDecoder &decoder);
// The end of the trace: reports what is still unfinished.
void trace_finish(TraceDecoder &decoder, int64_t t_us, std::vector<TraceEvent> &events);

// --- Pieces other tools can use on their own.

// The command table's name of a code ("CMD_GET_VERSION"), or "" for a code without one.
const char *host_command_name(uint8_t code);

// A packet checked as the device checks it. `reason` is empty when the device takes it;
// otherwise "trailer", "padding byte", "check byte" or "magic byte", and `detail` says more.
struct PacketCheck {
  std::string reason;
  std::string detail;
  uint8_t plain[504] = {};      // the deciphered 504 bytes, padding included (when deciphered)
  bool deciphered = false;
};
PacketCheck check_host_packet(const uint8_t *packet);

// The 224-byte controller frame, decoded: its text and fields.
void describe_frame(const uint8_t *frame, std::string &text, nlohmann::json &fields);
