// dhhost's video subcommands: local playback, and streaming an H.264 file to the screen.
//
// A stream goes in blocks of at most one ring slot (202,752 bytes). The device queues at most
// five; every 0x79 reply says how many are queued, and while five are, dhhost asks with 0x7A
// until one has been taken. The device takes a block off the queue as soon as its decoder
// has the bytes, long before their pictures are shown, so at the end dhhost also waits for
// the pictures still to come (counted in the file, shown at the device's frame rate) before
// it ends the stream with 0x7B, which drops whatever is not yet shown.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <unistd.h>

#include "crypto/host_packet.h"
#include "tools/dhhost.h"

namespace {

constexpr size_t stream_block = 202752;
constexpr int ring_slots = 5;

// Pictures in an H.264 stream: slices that start a picture (first_mb_in_slice 0, whose
// Exp-Golomb code is the single bit 1). Counted piece by piece; `tail` carries the last bytes
// of the piece before, so that a start code across two pieces is found.
size_t count_pictures(const std::vector<uint8_t> &piece, std::vector<uint8_t> &tail) {
  std::vector<uint8_t> data = tail;
  data.insert(data.end(), piece.begin(), piece.end());
  size_t pictures = 0;
  size_t i = 0;
  for (; i + 4 < data.size(); ++i) {
    if (data[i] != 0 || data[i + 1] != 0 || data[i + 2] != 1) continue;
    const uint8_t type = data[i + 3] & 0x1F;
    if ((type == 1 || type == 5) && (data[i + 4] & 0x80) != 0) ++pictures;
    i += 2;
  }
  // What has not been looked at as the start of a code yet.
  tail.assign(data.begin() + long(std::min(i, data.size())), data.end());
  return pictures;
}

// The queue count in a 0x79 or 0x7A reply.
int queued(const ReplyBytes &reply) { return reply[reply_result]; }

bool ask_count(const Options &opt, int fd, int &count) {
  ReplyBytes reply{};
  if (!transact(opt, fd, CMD_GET_H264_BLOCK_COUNT, {}, {}, reply)) return false;
  count = queued(reply);
  return true;
}

// Waits until fewer than `limit` blocks are queued; false when the device stops answering or
// the queue does not move for the reply time.
bool wait_for_room(const Options &opt, int fd, int &count, int limit) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(opt.timeout_ms);
  while (count >= limit && !interrupted()) {
    if (std::chrono::steady_clock::now() > deadline) {
      char seconds[32];
      snprintf(seconds, sizeof seconds, "%.1f", opt.timeout_ms / 1000.0);
      say_error("the device's queue stayed at " + std::to_string(count) + " blocks for " + seconds + " s");
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!ask_count(opt, fd, count)) return false;
  }
  return true;
}

}  // namespace

int run_play(const Options &opt, const Args &args) {
  if (args[0].empty() || args[0].size() >= 128) {
    say_error("a video path must be 1 to 127 bytes long");
    return exit_usage;
  }
  std::string payload = name_payload(args[0]);
  return simple_command(opt, CMD_PLAY_LOCAL_H264, bytes_of(payload));
}

int run_stop_play(const Options &opt, const Args &) {
  return simple_command(opt, CMD_STOP_LOCAL_H264);
}

int run_play_state(const Options &opt, const Args &) {
  ReplyBytes reply{};
  if (int status = query(opt, CMD_GET_LOCAL_H264_STATE, reply); status != exit_ok) return status;
  const bool playing = reply[reply_result] == 1;
  print_result(opt, {{"playing", playing}}, playing ? "playing\n" : "stopped\n");
  return exit_ok;
}

int run_queue(const Options &opt, const Args &) {
  ReplyBytes reply{};
  if (int status = query(opt, CMD_GET_H264_BLOCK_COUNT, reply); status != exit_ok) return status;
  print_result(opt, {{"queued", queued(reply)}}, std::to_string(queued(reply)) + "\n");
  return exit_ok;
}

int run_stop_stream(const Options &opt, const Args &) {
  return simple_command(opt, CMD_STOP_H264);
}

int run_stream(const Options &opt, const Args &args) {
  uint64_t fps = 24;
  if (opt.fps && !parse_number(*opt.fps, 0, 255, "--fps", fps)) return exit_usage;
  LocalFile file;
  if (!file.open(args[0], UINT64_MAX, false, "a stream")) return exit_usage;
  // The pictures are counted in a first pass, so that the end can wait for the last one.
  size_t pictures = 0;
  {
    LocalFile counting;
    if (!counting.open(args[0], UINT64_MAX, false, "a stream")) return exit_usage;
    std::vector<uint8_t> piece, tail;
    for (uint64_t done = 0; done < counting.size(); done += piece.size()) {
      if (!counting.read(stream_block, piece)) return exit_usage;
      if (piece.empty()) break;
      pictures += count_pictures(piece, tail);
    }
  }
  Port port(opt);
  if (!port.ok()) return exit_usage;

  // When the last picture is due: pictures / fps after the first block (no pacing at fps 0).
  const auto start = std::chrono::steady_clock::now();
  const auto play_time = std::chrono::milliseconds(fps == 0 ? 0 : pictures * 1000 / fps);
  Progress progress(file.size());
  int count = 0;
  size_t blocks = 0;
  std::vector<uint8_t> block;
  ReplyBytes reply{};
  for (uint64_t done = 0; done < file.size();) {
    if (interrupted()) {
      const bool ended = transact(opt, port.fd, CMD_STOP_H264, {}, {}, reply);
      say_error("interrupted: " + std::to_string(blocks) + " blocks (" + std::to_string(done) + " of " +
                std::to_string(file.size()) + " bytes) were sent; " +
                (ended ? "the stream is ended (0x7B), what was queued is dropped" : "the stream could not be ended"));
      return exit_device;
    }
    if (!wait_for_room(opt, port.fd, count, ring_slots)) return exit_device;
    if (!file.read(stream_block, block)) return exit_usage;
    if (block.empty()) break;  // the file became shorter: send what there was
    uint8_t payload[4];
    write_be32(payload, uint32_t(block.size()));
    size_t filler = 0;
    const Exchange sent = exchange(opt, port.fd, CMD_PUSH_H264_BLOCK, payload, block, reply, &filler);
    if (sent != Exchange::ok) {
      say_error(exchange_failure(opt, "command 0x79", sent) + "; the stream stopped after " + std::to_string(done) +
                " of " + std::to_string(file.size()) + " bytes");
      return exit_device;
    }
    count = queued(reply);
    done += block.size();
    ++blocks;
    progress.update(done);
  }
  // Let the device show what is queued, then end the stream.
  if (!interrupted() && !wait_for_room(opt, port.fd, count, 1)) return exit_device;
  while (!interrupted() && std::chrono::steady_clock::now() < start + play_time + std::chrono::milliseconds(200)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (!transact(opt, port.fd, CMD_STOP_H264, {}, {}, reply)) return exit_device;
  if (interrupted()) {
    say_error("interrupted: every block was sent; the stream is ended (0x7B) before its last pictures were shown");
    return exit_device;
  }
  print_result(opt, {{"ok", true}, {"bytes", file.size()}, {"blocks", blocks}});
  return exit_ok;
}
