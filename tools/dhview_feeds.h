// What dhview learns from the simulated device's logs: the decoded traffic of both links (the
// JSON lines dhtrace writes, ROOT/log/trace-host.jsonl and trace-mcu.jsonl) and the daemon's
// own messages (ROOT/log/daemon.log) for the local video player.
//
// Each file is followed from its start: what was appended since the last look is read, a
// line is taken once it is whole, and a file that shrank (made anew) is read again from its
// start. A line longer than line_limit is dropped whole. Nothing here is thread-safe: one
// thread (dhview's state watcher) owns the feeds.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

class FileFollower {
 public:
  static constexpr size_t line_limit = 64 * 1024;
  explicit FileFollower(std::string path) : path_(std::move(path)) {}
  // Calls `take` with each whole line that has come since the last call.
  void poll(const std::function<void(const std::string &)> &take);

 private:
  std::string path_;
  uint64_t offset_ = 0;
  std::string partial_;
  bool dropping_ = false;  // inside a line longer than line_limit
};

// The last `capacity` decoded link messages, oldest first, each numbered in arrival order.
struct TraceEntry {
  uint64_t number = 0;
  nlohmann::json line;  // t_ms, link, dir, kind, text (and what else dhtrace gives)
};

struct TraceFeed {
  static constexpr size_t capacity = 50;
  std::deque<TraceEntry> entries;
  uint64_t next_number = 1;
  // The H.264 blocks the device last said it holds (its answer to a block or to the queue
  // query), 0 after the end of a stream; empty until the trace tells.
  std::optional<int> queued_blocks;
};

// Takes one JSON line of a trace. Lines that are not JSON objects with a "text" are skipped.
void trace_take(TraceFeed &feed, const std::string &line);

// The local video player as the daemon's messages tell it.
struct PlayerFeed {
  bool playing = false;
  std::string file;           // the file it started with
  bool follows_theme = false; // it has switched to a theme's background since
};

void player_take(PlayerFeed &feed, const std::string &line);
