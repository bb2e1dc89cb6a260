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
#include <fstream>
#include <iterator>
#include <thread>
#include <unistd.h>

#include "app/host_packet.h"
#include "tools/dhhost.h"

namespace {

constexpr size_t stream_block = 202752;
constexpr int ring_slots = 5;

// Pictures in an H.264 stream: slices that start a picture (first_mb_in_slice 0, whose
// Exp-Golomb code is the single bit 1).
size_t count_pictures(const std::vector<uint8_t> &data) {
  size_t pictures = 0;
  for (size_t i = 0; i + 4 < data.size(); ++i) {
    if (data[i] != 0 || data[i + 1] != 0 || data[i + 2] != 1) continue;
    const uint8_t type = data[i + 3] & 0x1F;
    if ((type == 1 || type == 5) && (data[i + 4] & 0x80) != 0) ++pictures;
    i += 2;
  }
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
  while (count >= limit) {
    if (std::chrono::steady_clock::now() > deadline) {
      fprintf(stderr, "dhhost: the device's queue stayed at %d blocks for %.1f s\n", count,
              opt.timeout_ms / 1000.0);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!ask_count(opt, fd, count)) return false;
  }
  return true;
}

}  // namespace

int run_play(const Options &opt, const Args &args) {
  if (args.size() != 1) return wrong_arguments;
  if (args[0].empty() || args[0].size() >= 128) {
    fprintf(stderr, "dhhost: a video path must be 1 to 127 characters long\n");
    return exit_usage;
  }
  std::string payload = name_payload(args[0]);
  return simple_command(opt, CMD_PLAY_LOCAL_H264, bytes_of(payload));
}

int run_stop_play(const Options &opt, const Args &args) {
  if (!args.empty()) return wrong_arguments;
  return simple_command(opt, CMD_STOP_LOCAL_H264);
}

int run_play_state(const Options &opt, const Args &args) {
  if (!args.empty()) return wrong_arguments;
  ReplyBytes reply{};
  if (int status = query(opt, CMD_GET_LOCAL_H264_STATE, reply); status != exit_ok) return status;
  bool playing = reply[reply_result] == 1;
  if (opt.json) {
    printf("{\"playing\": %s}\n", playing ? "true" : "false");
  } else {
    printf("%s\n", playing ? "playing" : "stopped");
  }
  return exit_ok;
}

int run_queue(const Options &opt, const Args &args) {
  if (!args.empty()) return wrong_arguments;
  ReplyBytes reply{};
  if (int status = query(opt, CMD_GET_H264_BLOCK_COUNT, reply); status != exit_ok) return status;
  if (opt.json) {
    printf("{\"queued\": %d}\n", queued(reply));
  } else {
    printf("%d\n", queued(reply));
  }
  return exit_ok;
}

int run_stop_stream(const Options &opt, const Args &args) {
  if (!args.empty()) return wrong_arguments;
  return simple_command(opt, CMD_STOP_H264);
}

int run_stream(const Options &opt, const Args &args) {
  Args positional;
  uint64_t fps = 24;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--fps") {
      if (i + 1 == args.size()) return wrong_arguments;
      if (!parse_number(args[++i], 255, "--fps", fps)) return exit_usage;
    } else {
      positional.push_back(args[i]);
    }
  }
  if (positional.size() != 1) return wrong_arguments;
  std::vector<uint8_t> data;
  if (!read_local_file(positional[0], data)) return exit_usage;
  Port port(opt);
  if (!port.ok()) return exit_usage;

  // When the last picture is due: pictures / fps after the first block (no pacing at fps 0).
  const auto start = std::chrono::steady_clock::now();
  const auto play_time = std::chrono::milliseconds(fps == 0 ? 0 : count_pictures(data) * 1000 / fps);
  Progress progress(data.size());
  int count = 0;
  for (size_t done = 0; done < data.size();) {
    if (!wait_for_room(opt, port.fd, count, ring_slots)) return exit_device;
    size_t length = std::min(stream_block, data.size() - done);
    uint8_t payload[4];
    write_be32(payload, uint32_t(length));
    ReplyBytes reply{};
    if (!transact(opt, port.fd, CMD_PUSH_H264_BLOCK, payload, std::span(data).subspan(done, length), reply)) {
      fprintf(stderr, "dhhost: stream stopped after %zu of %zu bytes\n", done, data.size());
      return exit_device;
    }
    count = queued(reply);
    done += length;
    progress.update(done);
  }
  // Let the device show what is queued, then end the stream.
  if (!wait_for_room(opt, port.fd, count, 1)) return exit_device;
  std::this_thread::sleep_until(start + play_time + std::chrono::milliseconds(200));
  ReplyBytes reply{};
  return transact(opt, port.fd, CMD_STOP_H264, {}, {}, reply) ? exit_ok : exit_device;
}
