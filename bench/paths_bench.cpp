// dh_bench_paths: what each path a host drives costs through the real daemon, against the limit
// it cannot beat, measured in the same run on the same machine, as rows of one table.
//
//   command round trip   0x0A packets/s          bare pty ping-pong of 512-byte packets, drained
//   upload               0x26/0x27 MB/s          the same blocks over a bare pty, 512-byte answer each
//   host video           0x79 frames shown/s     libavcodec alone decoding the same stream, one thread
//   host JPEG            0x65 frames/s           bare pty transfer of the block + libturbojpeg decode
//   idle                 CPU seconds, no traffic (an absolute goal)
//   memory               peak resident while streaming, less an idle program's floor
//   relay pauses         prefix to payload at the controller, against the 100 / 50 ms figures
//
// Each measurement is taken in several short turns, daemon and baseline alternating, and the
// best turn of each counts: a shared machine only ever slows a turn down, and short turns are
// likely to find it quiet. Progress goes to standard error,
// the rows to standard output. Exit status 1 when a row could not be measured.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "crypto/host_packet.h"
#include "bench/bench_device.h"
#include "bench/h264_packets.h"
#include "crypto/crypto.h"
#include "platform/sim/panel_state.h"
#include "tests/system/daemon_harness.h"
#include "tests/system/media.h"
#include "tools/host_client.h"

extern char **environ;

namespace {

// --- Command round trip.

std::vector<TableRow> command_round_trip(const Options &options) {
  const std::string path = "command round trip (0x0A)";
  progress(path);
  const PacketBytes packet = build_packet(CMD_GET_VERSION, bench_tag, {});
  Device device(options.tmpfs_dir, 480, 480, true);
  const int n = options.round_trips;
  host_exchanges(device.host(), packet, {}, 20, CMD_GET_VERSION);  // warm up
  double daemon_best = -1, bare_best = -1, daemon_cpu = -1, floor_cpu = -1;
  for (int i = 0; i < options.turns; ++i) {
    const FloorRun bare = floor_link("link", packet, {}, n, CMD_GET_VERSION);
    const double cpu_before = device.cpu();
    const double daemon = host_exchanges(device.host(), packet, {}, n, CMD_GET_VERSION);
    const double cpu_used = device.cpu() - cpu_before;
    if (!bare.ok() || daemon <= 0) return {unmeasured(path, "no reply")};
    bare_best = best_of(bare_best, bare.wall);
    daemon_best = best_of(daemon_best, daemon);
    floor_cpu = best_of(floor_cpu, bare.cpu / n);
    daemon_cpu = best_of(daemon_cpu, cpu_used / n);
  }
  const double rate = n / daemon_best, limit = n / bare_best;
  // Where the time goes: deciphering the packet is most of it.
  double decipher_us = 1e9;
  for (int turn = 0; turn < 20; ++turn) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 100; ++i) free(des_decrypt(packet.data(), des_len));
    decipher_us = std::min(decipher_us, seconds_since(start) / 100 * 1e6);
  }
  const std::string where =
      format("des_decrypt alone takes %.1f µs of it (mbedtls DES-CBC, 504 bytes), the rest is "
             "the port layer's extra system calls and wake-ups (a select() before each read and "
             "each write)",
             decipher_us);
  return {{path, format("%.0f packets/s", rate),
           format("%.0f packets/s (bare pty + des_decrypt)", limit), format("%.2f", rate / limit),
           "≥ 0.80", verdict(rate / limit >= 0.8, 1 / limit, 1 / rate, "packet", where)},
          cpu_row(path, "packet", daemon_cpu, floor_cpu, "read, des_decrypt, write, drain",
                  "the select() before each read and each write, and the reply built apart")};
}

// --- Upload.

std::vector<TableRow> upload(const Options &options, size_t chunk, bool on_tmpfs) {
  const std::string where = on_tmpfs ? "tmpfs" : "disk";
  const std::string path = format("upload, %zu KiB chunks, %s (0x26/0x27)", chunk / 1024,
                                  where.c_str());
  progress(path);
  const std::string parent = on_tmpfs ? options.tmpfs_dir : options.disk_dir;
  const size_t total = std::max(options.upload_bytes, chunk);
  const int chunks = int(total / chunk);
  std::vector<uint8_t> block(chunk);
  for (size_t i = 0; i < block.size(); ++i) block[i] = uint8_t(i * 7 + 3);

  const std::string remote = "/usr/data/bench.bin";
  const std::string name = name_payload(remote);
  const PacketBytes open_packet = build_packet(
      CMD_CREATE_FILE, bench_tag, {reinterpret_cast<const uint8_t *>(name.data()), name.size()});
  auto chunk_packet = [&](uint8_t last) {
    std::vector<uint8_t> payload(9);
    write_be32(payload.data(), uint32_t(chunk));
    write_be32(payload.data() + 4, uint32_t(chunk));
    payload[8] = last;
    return build_packet(CMD_SAVE_FILE_BUFFER, bench_tag, payload);
  };
  const PacketBytes middle = chunk_packet(0), last = chunk_packet(1);

  Device device(parent, 480, 480, true);
  const std::string stored = device.root() + remote;
  const std::string floor_file = device.root() + "/floor.bin";
  bool complete = true;
  double last_chunk_s = 0;  // of the latest turn: the close, with its sync()
  double cpu_used = 0;
  auto through_daemon = [&]() -> double {
    std::filesystem::remove(stored);
    const double cpu_before = device.cpu();
    const auto start = std::chrono::steady_clock::now();
    if (host_exchanges(device.host(), open_packet, {}, 1, CMD_CREATE_FILE) < 0) return -1;
    if (chunks > 1 && host_exchanges(device.host(), middle, block, chunks - 1, CMD_SAVE_FILE_BUFFER) < 0) return -1;
    last_chunk_s = host_exchanges(device.host(), last, block, 1, CMD_SAVE_FILE_BUFFER);
    if (last_chunk_s < 0) return -1;
    const double seconds = seconds_since(start);
    cpu_used = device.cpu() - cpu_before;
    std::error_code error;
    if (std::filesystem::file_size(stored, error) != uint64_t(chunks) * chunk) complete = false;
    return seconds;
  };

  double daemon_best = -1, bare_best = -1, best_last_chunk_s = 0, daemon_cpu = -1, floor_cpu = -1;
  const int repeats = on_tmpfs ? options.upload_turns : 1;
  for (int i = 0; i < repeats; ++i) {
    const FloorRun bare = floor_link("upload", middle, block, chunks, CMD_SAVE_FILE_BUFFER, floor_file);
    std::filesystem::remove(floor_file);
    const double d = through_daemon();
    if (!bare.ok() || d <= 0) return {unmeasured(path, "no reply")};
    bare_best = best_of(bare_best, bare.wall);
    floor_cpu = best_of(floor_cpu, bare.cpu / chunks);
    daemon_cpu = best_of(daemon_cpu, cpu_used / chunks);
    if (daemon_best < 0 || d < daemon_best) {
      daemon_best = d;
      best_last_chunk_s = last_chunk_s;
    }
  }
  std::filesystem::remove(stored);
  if (!complete) return {unmeasured(path, "the stored file is not the size sent")};
  const double bytes = double(chunks) * double(chunk);
  const double rate = bytes / daemon_best / 1e6, limit = bytes / bare_best / 1e6;
  const double ratio = rate / limit;
  const std::string floor_name = "read, des_decrypt, write + fsync, answer";
  TableRow wall{path, format("%.1f MB/s", rate), format("%.1f MB/s (bare pty, stored)", limit),
                format("%.2f", ratio), on_tmpfs ? "≥ 0.80" : "—",
                on_tmpfs ? verdict(ratio >= 0.8, bare_best / chunks, daemon_best / chunks, "chunk",
                                   format("the last chunk's close syncs every file system of the "
                                          "machine (%.0f ms here)",
                                          best_last_chunk_s * 1e3))
                         : "no goal: fsync per chunk"};
  TableRow cpu = cpu_row(path, "chunk", daemon_cpu, floor_cpu, floor_name,
                         "the copy through the stream's buffer and its flush after the fsync");
  if (!on_tmpfs) {
    cpu.goal = "—";
    if (cpu.verdict.rfind("not measured", 0) != 0) cpu.verdict = "no goal: fsync per chunk";
  }
  return {wall, cpu};
}

// --- Host video.

struct Decoded {
  long frames = 0;
  double seconds = -1;
  double cpu = -1;  // the daemon's CPU seconds for them
};

// Decodes the packets with libavcodec alone, on one thread, opening the decoder as the
// daemon does at the start of a stream.
Decoded decode_alone(const std::vector<AVPacket *> &packets) {
  Decoded result;
  const auto start = std::chrono::steady_clock::now();
  AVCodecContext *context = avcodec_alloc_context3(avcodec_find_decoder(AV_CODEC_ID_H264));
  context->thread_count = 1;
  AVFrame *frame = av_frame_alloc();
  if (avcodec_open2(context, context->codec, nullptr) < 0) return result;
  auto drain = [&] {
    while (avcodec_receive_frame(context, frame) == 0) {
      ++result.frames;
      av_frame_unref(frame);
    }
  };
  for (AVPacket *packet : packets) {
    avcodec_send_packet(context, packet);
    drain();
  }
  avcodec_send_packet(context, nullptr);
  drain();
  result.seconds = seconds_since(start);
  av_frame_free(&frame);
  avcodec_free_context(&context);
  return result;
}

// Pushes the stream in ring-slot blocks with 0x79 and waits until `frames` pictures have been
// panned. The time to the last picture, and the pictures shown.
Decoded stream_through_daemon(Device &device, const std::vector<uint8_t> &stream, long frames) {
  Decoded result;
  const long before = device.pans();
  const double cpu_before = device.cpu();
  const auto start = std::chrono::steady_clock::now();
  for (size_t done = 0; done < stream.size();) {
    const size_t length = std::min(stream_block, stream.size() - done);
    ReplyBytes reply{};
    if (device.daemon().transact(CMD_PUSH_H264_BLOCK, be32_payload(uint32_t(length)), reply,
                                 std::span(stream).subspan(done, length), 10000) != ReplyCheck::ok) {
      return result;
    }
    done += length;
  }
  // Every picture is panned once; stop waiting when none has come for a while.
  long shown = 0;
  auto last_change = std::chrono::steady_clock::now();
  double last_seconds = 0;
  while (shown < frames && seconds_since(last_change) < 3.0) {
    long now_shown = device.pans() - before;
    if (now_shown != shown) {
      shown = now_shown;
      last_change = std::chrono::steady_clock::now();
      last_seconds = seconds_since(start);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  result.cpu = device.cpu() - cpu_before;
  device.command(CMD_STOP_H264);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the decoder is released
  result.frames = shown;
  result.seconds = last_seconds;
  return result;
}

// The daemon's resident memory (KiB) after a stream: the peak, and the parts of what it holds
// now: heap and stacks, mapped files (the libraries' pages it touched) and the simulated
// physical memory (layers and decoder buffers, the board's own memory on the device).
struct MemoryUse {
  long peak = -1, anon = -1, file = -1, panel = -1;
};

std::vector<TableRow> host_video(const Options &options, const std::string &file, int width,
                                 int height, MemoryUse *memory) {
  // The 720x1472 picture area is that of the 720x1600 panel.
  const int panel_height = height == 1472 ? 1600 : height;
  const std::string path = format("host video %dx%d, frame rate 0 (0x79)", width, height);
  progress(path);
  const std::vector<uint8_t> once = file_data(file);

  // Repeat the stream until its baseline decode takes about video_seconds.
  std::vector<AVPacket *> packets = parse_packets(once);
  Decoded first = decode_alone(packets);
  for (int i = 0; i < 2; ++i) {
    Decoded again = decode_alone(packets);
    if (again.seconds > 0 && again.seconds < first.seconds) first = again;
  }
  for (AVPacket *packet : packets) av_packet_free(&packet);
  int copies = 1;
  if (!options.smoke && first.seconds > 0) {
    copies = std::clamp(int(std::ceil(options.video_seconds / first.seconds)), 1, 400);
  }
  std::vector<uint8_t> stream;
  for (int i = 0; i < copies; ++i) stream.insert(stream.end(), once.begin(), once.end());
  packets = parse_packets(stream);

  Device device(options.tmpfs_dir, width, panel_height, true);
  if (!device.command(CMD_SET_FRAMERATE, std::vector<uint8_t>{0})) return {unmeasured(path, "no reply")};
  // The floor program decodes the same repeated stream from a file.
  const std::string stream_file = device.root() + "/stream.h264";
  write_bytes(stream_file, stream);
  Decoded base, shown;
  double daemon_cpu = -1, floor_cpu = -1;
  for (int i = 0; i < options.video_turns; ++i) {
    Decoded b = decode_alone(packets);
    if (base.seconds < 0 || b.seconds < base.seconds) base = b;
    const FloorRun alone = floor_run({"h264", stream_file});
    Decoded d = stream_through_daemon(device, stream, b.frames);
    if (d.frames < b.frames) {
      return {unmeasured(path, format("%ld of %ld pictures shown", d.frames, b.frames))};
    }
    if (!alone.ok() || alone.count <= 0) return {unmeasured(path, "the floor program decoded nothing")};
    floor_cpu = best_of(floor_cpu, alone.cpu / double(alone.count));
    daemon_cpu = best_of(daemon_cpu, d.cpu / double(d.frames));
    if (shown.seconds < 0 || d.seconds < shown.seconds) shown = d;
  }
  for (AVPacket *packet : packets) av_packet_free(&packet);
  if (memory != nullptr) {
    memory->peak = process_status_kib(device.pid(), "VmHWM");
    memory->anon = process_status_kib(device.pid(), "RssAnon");
    memory->file = process_status_kib(device.pid(), "RssFile");
    memory->panel = process_status_kib(device.pid(), "RssShmem");
  }
  if (base.frames == 0) return {unmeasured(path, "libavcodec decoded no picture")};

  const double rate = double(shown.frames) / shown.seconds;
  const double limit = double(base.frames) / base.seconds;
  return {{path, format("%.0f frames/s (%ld frames)", rate, shown.frames),
           format("%.0f frames/s (libavcodec alone)", limit), format("%.2f", rate / limit),
           "≥ 0.85",
           verdict(rate / limit >= 0.85, 1 / limit, 1 / rate, "picture",
                   "the copy into the NV12 buffers and the pan, and the host loop reading "
                   "blocks beside the decoder")},
          cpu_row(path, "picture", daemon_cpu, floor_cpu, "libavcodec alone",
                  "the copy into the NV12 buffers, the splitter, and the host loop reading "
                  "blocks")};
}

// --- Host JPEG.

std::vector<TableRow> host_jpeg(const Options &options) {
  const std::string path = "host JPEG 480x480 (0x65)";
  progress(path);
  const std::vector<uint8_t> jpeg = file_data(options.jpeg);
  const PacketBytes packet = build_packet(CMD_SHOW_JPG, bench_tag, be32_payload(uint32_t(jpeg.size())));
  const int n = options.jpeg_frames;

  tjhandle handle = tjInitDecompress();
  std::vector<uint8_t> pixels(480 * 480 * 4);
  auto decode = [&]() -> double {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < n; ++i) {
      if (tjDecompress2(handle, jpeg.data(), jpeg.size(), pixels.data(), 480, 0, 480, TJPF_BGRA, 0) != 0) {
        return -1;
      }
    }
    return seconds_since(start);
  };

  Device device(options.tmpfs_dir, 480, 480, true);
  const long before = device.pans();
  double daemon_best = -1, bare_best = -1, decode_best = -1, daemon_cpu = -1, floor_cpu = -1;
  for (int i = 0; i < options.turns; ++i) {
    double b = bare_link_seconds(packet, jpeg, n, CMD_SHOW_JPG);
    double c = decode();
    const FloorRun alone = floor_run({"jpeg", options.jpeg, std::to_string(n)});
    const double cpu_before = device.cpu();
    double d = host_exchanges(device.host(), packet, jpeg, n, CMD_SHOW_JPG);
    const double cpu_used = device.cpu() - cpu_before;
    if (b <= 0 || c <= 0 || d <= 0 || !alone.ok()) {
      tjDestroy(handle);
      return {unmeasured(path, c <= 0 || !alone.ok() ? "libturbojpeg cannot decode the picture" : "no reply")};
    }
    bare_best = best_of(bare_best, b);
    decode_best = best_of(decode_best, c);
    daemon_best = best_of(daemon_best, d);
    floor_cpu = best_of(floor_cpu, alone.cpu / n);
    daemon_cpu = best_of(daemon_cpu, cpu_used / n);
  }
  tjDestroy(handle);
  const long shown = device.pans() - before;
  if (shown < long(n) * options.turns) {
    return {unmeasured(path, format("%ld of %d pictures shown", shown, n * options.turns))};
  }
  const double rate = n / daemon_best;
  const double limit = n / (bare_best + decode_best);
  return {{path, format("%.0f frames/s", rate),
           format("%.0f frames/s (pty %.0f µs + decode %.0f µs)", limit, bare_best / n * 1e6,
                  decode_best / n * 1e6),
           format("%.2f", rate / limit), "≥ 0.80",
           verdict(rate / limit >= 0.8, 1 / limit, 1 / rate, "picture",
                   "a decoder opened for each picture, the copy out of its scratch picture, "
                   "the pan")},
          cpu_row(path, "picture", daemon_cpu, floor_cpu, "the decode alone",
                  "reading the picture off the link, a decoder opened for each picture, the "
                  "copy out of its scratch picture")};
}

// --- Idle cost and memory.

TableRow idle_cost(const Options &options) {
  const std::string path = format("idle: CPU in %.0f s, no host, no controller", options.idle_seconds);
  progress(path);
  Device device(options.tmpfs_dir, 480, 480, false);
  std::this_thread::sleep_for(std::chrono::seconds(1));  // start-up settles
  const double before = process_cpu_seconds(device.pid());
  std::this_thread::sleep_for(std::chrono::duration<double>(options.idle_seconds));
  const double after = process_cpu_seconds(device.pid());
  if (before < 0 || after < 0) return unmeasured(path, "cannot read the daemon's CPU time");
  const double used = after - before;
  // The goal is for a minute; a shorter smoke run is held to its share.
  const double goal = 0.1 * options.idle_seconds / 60;
  return {path, format("%.2f s CPU", used), "—", format("%.2f s", used), format("≤ %.2g s", goal),
          verdict(used <= goal)};
}

// The idle program that links the daemon's libraries, in KiB: its resident memory once ready,
// and its peak. With a stream it first decodes it with libavcodec alone.
struct FloorUse {
  long resident = -1, peak = -1;
};

FloorUse idle_floor(const std::string &stream = "") {
  FloorUse use;
  const std::string program = build_dir() + "/dh_idle_floor";
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return use;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  std::vector<char *> argv{const_cast<char *>(program.c_str())};
  if (!stream.empty()) argv.push_back(const_cast<char *>(stream.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int error = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  char ready[8] = {};
  if (error == 0 && read(fds[0], ready, sizeof ready - 1) > 0) {
    use.resident = process_status_kib(pid, "VmRSS");
    use.peak = process_status_kib(pid, "VmHWM");
  }
  close(fds[0]);
  if (error == 0) {
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
  }
  return use;
}

// The goal is on the peak less the floor. libavcodec stands in for the board's hardware
// decoder: what it needs for the same stream on its own is shown beside, as part of the
// daemon's figure that the board does not have.
TableRow memory(const MemoryUse &use, const std::string &stream) {
  const std::string path = "memory: peak resident while streaming 480x480";
  if (use.peak <= 0) return unmeasured(path, "no 480x480 video row");
  const FloorUse floor = idle_floor();
  const FloorUse decoder = idle_floor(stream);
  if (floor.resident <= 0 || decoder.peak <= 0) {
    return unmeasured(path, "the idle floor program did not run");
  }
  const double own = double(use.peak - floor.resident) / 1024;
  const double libavcodec = double(decoder.peak - floor.resident) / 1024;
  return {path,
          format("%.1f MiB (after it: heap %.1f, files %.1f, panel memory %.1f)", use.peak / 1024.0,
                 use.anon / 1024.0, use.file / 1024.0, use.panel / 1024.0),
          format("%.1f MiB (idle program, same libraries)", floor.resident / 1024.0),
          format("%.1f MiB own, of which libavcodec alone %.1f", own, libavcodec), "≤ 8 MiB",
          own <= 8 || !judged
              ? verdict(own <= 8)
              : format("**missed**: libavcodec, the board's hardware decoder here, needs %.1f "
                       "MiB of it; the daemon's own part is %.1f MiB",
                       libavcodec, own - libavcodec)};
}

const char usage[] =
    "usage: dh_bench_paths [--smoke] [--no-header] [--tmpfs DIR] [--disk DIR] [--stream-480 FILE]\n"
    "                      [--stream-720 FILE] [--jpeg FILE] [--only ROW]...\n"
    "rows: link upload video jpeg smooth startup relay growth idle (memory comes with video);\n"
    "      smooth-alone, smooth-upload, smooth-controller: one load of smooth, for a profile;\n"
    "      growth-upload, growth-listing, growth-delete, controller-picture: one part of growth\n";

bool parse(int argc, char **argv, Options &options) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&](std::string &to) {
      if (i + 1 >= argc) return false;
      to = argv[++i];
      return true;
    };
    if (arg == "--smoke") {
      options.smoke = true;
      judged = false;
      options.turns = options.upload_turns = options.video_turns = 1;
      options.round_trips = 50;
      options.upload_bytes = 2 * mib;
      options.jpeg_frames = 10;
      options.idle_seconds = 1;
      options.smooth_seconds = 1;
      options.smooth_upload_bytes = 2 * mib;
      options.startup_turns = 1;
      options.growth_small = 1 * mib;
      options.growth_large = 4 * mib;
      options.listing_small = 10;
      options.listing_large = 100;
      options.tree_small = 10;
      options.tree_large = 100;
      options.controller_picture = 4 * 1024;
    } else if (arg == "--no-header") {
      options.no_header = true;
    } else if (arg == "--tmpfs") {
      if (!value(options.tmpfs_dir)) return false;
    } else if (arg == "--disk") {
      if (!value(options.disk_dir)) return false;
    } else if (arg == "--stream-480") {
      if (!value(options.stream_480)) return false;
    } else if (arg == "--stream-720") {
      if (!value(options.stream_720)) return false;
    } else if (arg == "--jpeg") {
      if (!value(options.jpeg)) return false;
    } else if (arg == "--only") {
      std::string row;
      if (!value(row)) return false;
      options.only.push_back(row);
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  Options options;
  if (!parse(argc, argv, options)) {
    fputs(usage, stderr);
    return 2;
  }
  // Each measurement with the number of rows it gives.
  struct Planned {
    size_t rows;
    std::function<std::vector<TableRow>()> measure;
  };
  std::vector<Planned> plan;
  MemoryUse memory_use;
  auto one = [](TableRow row) { return std::vector<TableRow>{std::move(row)}; };
  if (options.wants("link")) plan.push_back({2, [&] { return command_round_trip(options); }});
  if (options.wants("upload")) {
    for (bool tmpfs : {true, false}) {
      for (size_t chunk : {size_t(64 * 1024), mib}) {
        plan.push_back({2, [&options, chunk, tmpfs] { return upload(options, chunk, tmpfs); }});
      }
    }
  }
  if (options.wants("video")) {
    plan.push_back({2, [&] { return host_video(options, options.stream_480, 480, 480, &memory_use); }});
    plan.push_back({2, [&] { return host_video(options, options.stream_720, 720, 1472, nullptr); }});
  }
  if (options.wants("jpeg")) plan.push_back({2, [&] { return host_jpeg(options); }});
  if (options.wants("smooth")) plan.push_back({6, [&] { return smoothness_rows(options); }});
  if (!options.wants("smooth")) {
    size_t loads = 0;
    for (const char *one_load : {"smooth-alone", "smooth-upload", "smooth-controller"}) {
      if (options.wants(one_load)) ++loads;
    }
    if (loads > 0) plan.push_back({2 * loads, [&] { return smoothness_rows(options); }});
  }
  if (options.wants("startup")) plan.push_back({2, [&] { return startup_rows(options); }});
  if (options.wants("relay")) plan.push_back({3, [&] { return relay_pause_rows(options); }});
  size_t growth_parts_wanted = 0;
  for (const auto &part : growth_parts) {
    if (options.wants("growth") || options.wants(part.first)) ++growth_parts_wanted;
  }
  if (growth_parts_wanted > 0) plan.push_back({2 * growth_parts_wanted, [&] { return growth_rows(options); }});
  if (options.wants("idle")) plan.push_back({1, [&] { return one(idle_cost(options)); }});
  if (options.wants("video")) plan.push_back({1, [&] { return one(memory(memory_use, options.stream_480)); }});

  if (!options.no_header) fputs(table_header().c_str(), stdout);
  bool all_measured = true;
  for (Planned &planned : plan) {
    std::vector<TableRow> rows;
    try {
      rows = planned.measure();
    } catch (const std::exception &error) {
      rows = {unmeasured(rows.empty() ? "?" : rows.front().path, error.what())};
    }
    // A row that did not come is a row the table lacks: it is said, and the run fails.
    const std::string first = rows.empty() ? "?" : rows.front().path;
    while (rows.size() < planned.rows) rows.push_back(unmeasured(first + " (a further row)", "missing"));
    for (const TableRow &row : rows) {
      all_measured = all_measured && row.verdict.rfind("not measured", 0) != 0;
      fputs(table_row(row).c_str(), stdout);
    }
    fflush(stdout);
  }
  return all_measured ? 0 : 1;
}
