// How dhmcu frames the display head's messages to the controller, and prints them.
//
// The messages have no length and no end marker. Each is a two-byte prefix { code, 00 } in one
// write, then (but for the erase, A6, which has none) the payload in a second write; the
// display head pauses 50 ms (firmware data) or 100 ms (lighting, pump/fan) between the two
// and writes nothing else meanwhile, so a prefix that waits for a payload is always the last
// thing before a silence. Firmware data after the first block of an update goes out with no
// prefix at all. The listener follows that protocol rather than the silences alone:
// - a prefix opens a message; A6 00 is complete at once;
// - the pump/fan payload is always 14 bytes;
// - a lighting or firmware payload (and data without a prefix) runs to the next silence of
//   20 ms, less what ends it in the same burst: a prefix waiting for its payload, and erases
//   before it (a relay that follows at once, such as an erase straight after a lighting
//   block);
// - a prefix whose payload does not begin within 1 s is reported with no payload.
// A payload that itself ends in a prefix's two bytes is taken for a shorter payload and that
// prefix; the display head cannot tell the controller a payload's length.
//
// Every line starts with the time of the message's first byte, in seconds since the listener
// began, and a payload's line says how long after its prefix it began.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class McuListener {
 public:
  using Clock = std::chrono::steady_clock;

  // `dump`: every payload byte (else the first 32).
  McuListener(bool dump, Clock::time_point started);

  void feed(const uint8_t *bytes, size_t count, Clock::time_point now);
  // Ends a burst after its silence, and a prefix that waited in vain for its payload.
  void tick(Clock::time_point now);
  // How long the caller may sleep before tick() has something to do.
  std::chrono::milliseconds next_tick(Clock::time_point now) const;
  // At the end: everything still held is reported.
  void flush(Clock::time_point now);

  // The lines reported since the last call, each ending in a newline.
  std::string take_output();
  // Messages reported so far (a bare block counts as one).
  long messages() const { return messages_; }

 private:
  void end_burst(Clock::time_point now);
  Clock::time_point time_of(size_t offset) const;
  void report(uint8_t code, Clock::time_point at, const uint8_t *payload, size_t count,
              std::optional<Clock::duration> gap);
  void report_bare(Clock::time_point at, const uint8_t *bytes, size_t count);
  std::string stamp(Clock::time_point at) const;

  size_t shown_;
  Clock::time_point started_;
  std::vector<uint8_t> burst_;
  std::vector<std::pair<size_t, Clock::time_point>> chunks_;  // where each read began, and when
  Clock::time_point last_byte_{};
  std::optional<uint8_t> pending_;
  Clock::time_point pending_since_{};
  std::string output_;
  long messages_ = 0;
};
