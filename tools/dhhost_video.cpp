// dhhost's video subcommands: local playback, and streaming an H.264 file to the screen.
//
// A stream goes in blocks of at most one ring slot (202,752 bytes). The device queues at most
// five; every 0x79 reply says how many are queued, and while five are, dhhost asks with 0x7A
// until one has been taken.
//
// The end of a stream needs care, for two reasons. The device's NAL-unit splitter completes
// a unit only when the next start code arrives, so the stream's last picture stays in the
// splitter until something follows it; and a queue count of 0 means the decoder has taken
// every block, not that their pictures have been shown (0x7B drops what is not yet shown).
// So after the file dhhost sends two more blocks, each one end-of-stream unit
// (00 00 00 01 0B): the first completes the last picture; the decoder takes the second only
// after it has decoded and shown every picture before it (and waited out the frame period of
// the last), so once 0x7A reads 0 the last picture is on the screen and 0x7B ends the stream.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <unistd.h>

#include "app/host_packet.h"
#include "tools/dhhost.h"

namespace {

constexpr size_t stream_block = 202752;
constexpr int ring_slots = 5;

// The unit that ends a stream.
constexpr uint8_t end_of_stream[] = {0x00, 0x00, 0x00, 0x01, 0x0B};

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

// Pushes one block; false after a message.
bool push_block(const Options &opt, int fd, std::span<const uint8_t> block, int &count, uint64_t done,
                uint64_t total) {
  uint8_t payload[4];
  write_be32(payload, uint32_t(block.size()));
  size_t filler = 0;
  ReplyBytes reply{};
  const Exchange sent = exchange(opt, fd, CMD_PUSH_H264_BLOCK, payload, block, reply, &filler);
  if (sent != Exchange::ok) {
    say_error(exchange_failure(opt, "command 0x79", sent) + "; the stream stopped after " + std::to_string(done) +
              " of " + std::to_string(total) + " bytes");
    return false;
  }
  count = queued(reply);
  return true;
}

int run_stream(const Options &opt, const Args &args) {
  if (opt.fps) {
    uint64_t fps = 0;
    if (!parse_number(*opt.fps, 0, 255, "--fps", fps)) return exit_usage;
  }
  LocalFile file;
  if (!file.open(args[0], UINT64_MAX, false, "a stream")) return exit_usage;
  Port port(opt);
  if (!port.ok()) return exit_usage;

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
    if (!push_block(opt, port.fd, block, count, done, file.size())) return exit_device;
    done += block.size();
    ++blocks;
    progress.update(done);
  }
  // The last picture completed, then a marker the decoder takes only when it has been shown.
  for (int i = 0; i < 2 && !interrupted(); ++i) {
    if (!wait_for_room(opt, port.fd, count, ring_slots)) return exit_device;
    if (!push_block(opt, port.fd, end_of_stream, count, file.size(), file.size())) return exit_device;
  }
  if (!interrupted() && !wait_for_room(opt, port.fd, count, 1)) return exit_device;
  if (!transact(opt, port.fd, CMD_STOP_H264, {}, {}, reply)) return exit_device;
  if (interrupted()) {
    say_error("interrupted: every block was sent; the stream is ended (0x7B) before its last pictures were shown");
    return exit_device;
  }
  print_result(opt, {{"ok", true}, {"bytes", file.size()}, {"blocks", blocks}});
  return exit_ok;
}
