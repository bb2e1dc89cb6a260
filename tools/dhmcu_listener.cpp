#include "tools/dhmcu_listener.h"

#include <algorithm>
#include <cstdio>

#include "mcu/mcu.h"

namespace {

constexpr auto burst_gap = std::chrono::milliseconds(20);
constexpr auto payload_wait = std::chrono::milliseconds(1000);
constexpr size_t bytes_shown = 32;
constexpr uint8_t code_light = message_light, code_pump_fan = message_pump_fan,
                  code_erase = message_erase, code_firmware = message_firmware;

bool is_code(uint8_t byte) {
  return byte == code_light || byte == code_pump_fan || byte == code_erase || byte == code_firmware;
}

bool is_prefix(const uint8_t *bytes, size_t count) {
  return count >= 2 && is_code(bytes[0]) && bytes[1] == 0x00;
}

// How many bytes at the end of `bytes` belong to the messages that follow a payload in the
// same burst: a prefix waiting for its payload, and the erases before it.
size_t following_prefixes(const uint8_t *bytes, size_t count) {
  size_t tail = 0;
  if (count >= 2 && bytes[count - 1] == 0x00 && is_code(bytes[count - 2]) &&
      bytes[count - 2] != code_erase) {
    tail = 2;
  }
  while (count - tail >= 2 && bytes[count - tail - 1] == 0x00 && bytes[count - tail - 2] == code_erase) {
    tail += 2;
  }
  return tail;
}

std::string hex_bytes(const uint8_t *bytes, size_t count, size_t shown) {
  std::string text;
  char one[4];
  for (size_t i = 0; i < std::min(count, shown); ++i) {
    snprintf(one, sizeof one, i == 0 ? "%02x" : " %02x", bytes[i]);
    text += one;
  }
  if (count > shown) text += " ...";
  return text;
}

std::chrono::milliseconds remaining(McuListener::Clock::time_point when, McuListener::Clock::time_point now) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(when - now);
  return std::max(left + std::chrono::milliseconds(1), std::chrono::milliseconds(1));
}

}  // namespace

McuListener::McuListener(bool dump, Clock::time_point started)
    : shown_(dump ? SIZE_MAX : bytes_shown), started_(started) {}

void McuListener::feed(const uint8_t *bytes, size_t count, Clock::time_point now) {
  if (count == 0) return;
  chunks_.emplace_back(burst_.size(), now);
  burst_.insert(burst_.end(), bytes, bytes + count);
  last_byte_ = now;
}

void McuListener::tick(Clock::time_point now) {
  if (!burst_.empty() && now - last_byte_ >= burst_gap) end_burst(now);
  if (pending_ && burst_.empty() && now - pending_since_ >= payload_wait) {
    report(*pending_, pending_since_, nullptr, 0, std::nullopt);
    pending_.reset();
  }
}

std::chrono::milliseconds McuListener::next_tick(Clock::time_point now) const {
  auto wait = std::chrono::milliseconds(1000);
  if (!burst_.empty()) wait = std::min(wait, remaining(last_byte_ + burst_gap, now));
  if (pending_) wait = std::min(wait, remaining(pending_since_ + payload_wait, now));
  return wait;
}

void McuListener::flush(Clock::time_point now) {
  if (!burst_.empty()) end_burst(now);
  if (pending_) {
    report(*pending_, pending_since_, nullptr, 0, std::nullopt);
    pending_.reset();
  }
}

std::string McuListener::take_output() {
  std::string out;
  out.swap(output_);
  return out;
}

McuListener::Clock::time_point McuListener::time_of(size_t offset) const {
  auto chunk = std::upper_bound(chunks_.begin(), chunks_.end(), offset,
                                [](size_t at, const auto &entry) { return at < entry.first; });
  return chunk == chunks_.begin() ? last_byte_ : std::prev(chunk)->second;
}

void McuListener::end_burst(Clock::time_point) {
  const uint8_t *bytes = burst_.data();
  const size_t count = burst_.size();
  size_t at = 0;
  while (at < count) {
    const size_t left = count - at;
    if (pending_) {
      const uint8_t code = *pending_;
      pending_.reset();
      const size_t taken = code == code_pump_fan ? std::min(left, size_t(pump_fan_len))
                                                 : left - following_prefixes(bytes + at, left);
      report(code, pending_since_, bytes + at, taken, time_of(at) - pending_since_);
      at += taken;
    } else if (is_prefix(bytes + at, left)) {
      if (bytes[at] == code_erase) {
        report(code_erase, time_of(at), nullptr, 0, std::nullopt);
      } else {
        pending_ = bytes[at];
        pending_since_ = time_of(at);
      }
      at += 2;
    } else {
      // Not a prefix here, so what follows cannot all be prefixes: at least one byte is taken.
      const size_t taken = left - following_prefixes(bytes + at, left);
      report_bare(time_of(at), bytes + at, taken);
      at += taken;
    }
  }
  burst_.clear();
  chunks_.clear();
}

std::string McuListener::stamp(Clock::time_point at) const {
  char text[32];
  snprintf(text, sizeof text, "[%8.3f] ", std::chrono::duration<double>(at - started_).count());
  return text;
}

void McuListener::report(uint8_t code, Clock::time_point at, const uint8_t *payload, size_t count,
                         std::optional<Clock::duration> gap) {
  const char *what = code == code_light       ? "lighting data"
                     : code == code_pump_fan  ? "pump/fan settings"
                     : code == code_erase     ? "firmware erase"
                                              : "firmware data";
  char head[96];
  snprintf(head, sizeof head, "%02X 00 %s", code, what);
  std::string line = stamp(at) + head;
  if (code != code_erase) {
    if (!gap) {
      line += ", no payload within 1 s";
    } else {
      const long gap_ms = long(std::chrono::duration_cast<std::chrono::milliseconds>(*gap).count());
      line += ", " + std::to_string(count) + " bytes " + std::to_string(gap_ms) + " ms after the prefix";
      if (count > 0) line += ": " + hex_bytes(payload, count, shown_);
    }
  }
  output_ += line + "\n";
  ++messages_;
}

void McuListener::report_bare(Clock::time_point at, const uint8_t *bytes, size_t count) {
  output_ += stamp(at) + "data without prefix, " + std::to_string(count) +
             " bytes: " + hex_bytes(bytes, count, shown_) + "\n";
  ++messages_;
}
