// How cost grows with the work: each path at two sizes, with the growth factor, set against a
// floor program doing the least the path needs at the same sizes.
//   upload (0x26/0x27)   16 MB and 256 MB; the daemon's peak resident memory must stay flat
//   listing (0x63)       a directory of 1,000 and 100,000 entries; floor: reading it alone
//   DeleteFile (0x2A)    a tree of 1,000 and 10,000 files; floor: unlinking them alone
//   controller picture   40 KB in 220-byte packages; floor: the 50 ms the controller thread
//                        pauses after each frame, reading the frames, storing and decoding
#include <turbojpeg.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "crypto/host_packet.h"
#include "bench/bench_device.h"
#include "tests/system/media.h"
#include "tools/host_client.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t upload_chunk = 64 * 1024;  // dhhost's own chunk
constexpr int listing_pages = 20;           // a whole listing is 20 pages of 512 bytes
constexpr int files_a_folder = 100;
constexpr double frame_pause_s = 0.05;      // the controller thread's pause after each frame

std::string size_text(double bytes) {
  if (bytes >= double(mib)) return format("%.0f MB", bytes / double(mib));
  return format("%.0f KB", bytes / 1024);
}

std::string seconds_text(double seconds) {
  if (seconds < 1) return format("%.1f ms", seconds * 1e3);
  return format("%.2f s", seconds);
}

// --- Upload.

struct UploadRun {
  double seconds = -1, cpu = -1;
  long peak_kib = -1;
};

UploadRun upload_once(const Options &options, size_t bytes) {
  UploadRun run;
  Device device(options.tmpfs_dir, 480, 480, true);
  std::vector<uint8_t> block(upload_chunk);
  for (size_t i = 0; i < block.size(); ++i) block[i] = uint8_t(i * 11 + 5);
  const size_t chunks = std::max<size_t>(1, bytes / upload_chunk);
  const std::string remote = "/usr/data/growth.bin";
  const std::string name = name_payload(remote);
  const PacketBytes open_packet = build_packet(CMD_CREATE_FILE, bench_tag, bytes_of(name));
  const PacketBytes middle = build_packet(CMD_SAVE_FILE_BUFFER, bench_tag,
                                          bytes_of(chunk_payload(upload_chunk, upload_chunk, 0)));
  const PacketBytes last = build_packet(CMD_SAVE_FILE_BUFFER, bench_tag,
                                        bytes_of(chunk_payload(upload_chunk, upload_chunk, 1)));
  const double cpu_before = device.cpu();
  const auto start = std::chrono::steady_clock::now();
  if (host_exchanges(device.host(), open_packet, {}, 1, CMD_CREATE_FILE) < 0) return run;
  if (chunks > 1 &&
      host_exchanges(device.host(), middle, block, int(chunks - 1), CMD_SAVE_FILE_BUFFER) < 0) {
    return run;
  }
  if (host_exchanges(device.host(), last, block, 1, CMD_SAVE_FILE_BUFFER) < 0) return run;
  const double seconds = seconds_since(start);
  const double cpu = device.cpu() - cpu_before;
  std::error_code error;
  if (fs::file_size(device.root() + remote, error) != chunks * upload_chunk) return run;
  run.seconds = seconds;
  run.cpu = cpu;
  run.peak_kib = process_status_kib(device.pid(), "VmHWM");
  return run;
}

std::vector<TableRow> upload_growth(const Options &options) {
  const std::string path = format("upload growth, %s → %s in 64 KiB chunks, tmpfs (0x26/0x27)",
                                  size_text(double(options.growth_small)).c_str(),
                                  size_text(double(options.growth_large)).c_str());
  progress(path);
  const UploadRun small = upload_once(options, options.growth_small);
  const UploadRun large = upload_once(options, options.growth_large);
  if (small.seconds <= 0 || large.seconds <= 0) return {unmeasured(path, "no reply")};
  const double size_factor = double(options.growth_large) / double(options.growth_small);
  const double time_factor = large.seconds / small.seconds;
  const double rss_growth_mib = double(large.peak_kib - small.peak_kib) / 1024;
  const bool met = rss_growth_mib <= 1 && time_factor <= size_factor * 1.25;
  TableRow wall{path,
                format("%s, peak RSS %.1f MiB → %s, peak RSS %.1f MiB",
                       seconds_text(small.seconds).c_str(), small.peak_kib / 1024.0,
                       seconds_text(large.seconds).c_str(), large.peak_kib / 1024.0),
                format("×%.0f the bytes", size_factor),
                format("time ×%.1f, peak RSS %+.1f MiB", time_factor, rss_growth_mib),
                format("time ≤ ×%.0f, RSS +≤ 1 MiB", size_factor * 1.25), verdict(met)};
  // The floor's CPU per chunk, on the small size.
  const std::string store = options.tmpfs_dir + "/displayhead-bench-growth.bin";
  std::vector<uint8_t> block(upload_chunk);
  const PacketBytes middle = build_packet(CMD_SAVE_FILE_BUFFER, bench_tag,
                                          bytes_of(chunk_payload(upload_chunk, upload_chunk, 0)));
  const int floor_chunks = int(std::max<size_t>(1, options.growth_small / upload_chunk));
  const FloorRun floor = floor_link("upload", middle, block, floor_chunks, CMD_SAVE_FILE_BUFFER, store);
  fs::remove(store);
  const double large_chunks = double(std::max<size_t>(1, options.growth_large / upload_chunk));
  TableRow cpu = cpu_row(path + ", the larger", "chunk", large.cpu / large_chunks,
                         floor.ok() ? floor.cpu / floor_chunks : -1,
                         "read, des_decrypt, write + fsync, answer",
                         "see the upload rows' CPU");
  return {wall, cpu};
}

// --- Listing.

// A whole listing of `dir` (a device path): 20 pages. Seconds, or -1.
double list_directory(Device &device, const std::string &dir) {
  const PacketBytes first = build_packet(CMD_QUERY_DIR, bench_tag, bytes_of(name_payload(dir)));
  const auto start = std::chrono::steady_clock::now();
  for (int page = 0; page < listing_pages; ++page) {
    device.daemon().send(first);
    ReplyBytes reply{};
    if (!device.daemon().read_reply(reply, 600000)) return -1;
    if (page == 0 && memcmp(reply.data(), "result:dir:", 11) != 0) return -1;
  }
  return seconds_since(start);
}

void make_entries(const std::string &dir, long count) {
  fs::create_directories(dir);
  for (long i = 0; i < count; ++i) {
    std::ofstream(dir + format("/f%07ld.jpg", i));
  }
}

struct Sized {
  double daemon_s = -1, floor_s = -1, daemon_cpu = -1, floor_cpu = -1;
};

std::vector<TableRow> growth_pair(const std::string &path, const std::string &item,
                                  long small_count, long large_count, const Sized &small,
                                  const Sized &large, const std::string &floor_name,
                                  const std::string &where) {
  const double count_factor = double(large_count) / double(small_count);
  const double growth = large.daemon_s / small.daemon_s;
  const double floor_growth = large.floor_s / small.floor_s;
  const double ratio = large.floor_s / large.daemon_s;
  TableRow wall{path,
                format("%s → %s (×%.1f)", seconds_text(small.daemon_s).c_str(),
                       seconds_text(large.daemon_s).c_str(), growth),
                format("%s → %s (×%.1f, %s)", seconds_text(small.floor_s).c_str(),
                       seconds_text(large.floor_s).c_str(), floor_growth, floor_name.c_str()),
                format("%.2f at %ld %s, growth ×%.1f for ×%.0f", ratio, large_count, item.c_str(),
                       growth, count_factor),
                format("growth ≤ ×%.0f", count_factor * 1.25),
                growth <= count_factor * 1.25 || !judged
                    ? verdict(growth <= count_factor * 1.25)
                    : "**missed**: " + where};
  TableRow cpu = cpu_row(path + format(", %ld %s", large_count, item.c_str()), "run",
                         large.daemon_cpu, large.floor_cpu, floor_name, where);
  return {wall, cpu};
}

std::vector<TableRow> listing_growth(const Options &options) {
  const std::string path = format("listing growth, %ld → %ld entries (0x63, 20 pages)",
                                  options.listing_small, options.listing_large);
  progress(path);
  Device device(options.tmpfs_dir, 480, 480, true);
  Sized sized[2];
  const long counts[2] = {options.listing_small, options.listing_large};
  for (int i = 0; i < 2; ++i) {
    const std::string dir = format("/tmp/sdcard/mmcblk0p1/list%d", i);
    make_entries(device.root() + dir, counts[i]);
    list_directory(device, dir);  // once to warm the caches
    const double cpu_before = device.cpu();
    sized[i].daemon_s = list_directory(device, dir);
    sized[i].daemon_cpu = device.cpu() - cpu_before;
    const FloorRun floor = floor_run({"readdir", device.root() + dir});
    sized[i].floor_s = floor.wall;
    sized[i].floor_cpu = floor.cpu;
    if (sized[i].daemon_s < 0 || !floor.ok()) return {unmeasured(path, "no listing")};
  }
  return growth_pair(path, "entries", counts[0], counts[1], sized[0], sized[1],
                     "reading the directory alone",
                     "the 20 pages' packets, and the listing text built for every entry");
}

// --- DeleteFile.

void make_tree(const std::string &dir, long files) {
  for (long i = 0; i < files; ++i) {
    const std::string folder = dir + format("/d%04ld", i / files_a_folder);
    if (i % files_a_folder == 0) fs::create_directories(folder);
    std::ofstream(folder + format("/f%04ld.jpg", i % files_a_folder)) << "x";
  }
}

std::vector<TableRow> delete_growth(const Options &options) {
  const std::string path = format("DeleteFile growth, a tree of %ld → %ld files (0x2A)",
                                  options.tree_small, options.tree_large);
  progress(path);
  Device device(options.tmpfs_dir, 480, 480, true);
  Sized sized[2];
  const long counts[2] = {options.tree_small, options.tree_large};
  for (int i = 0; i < 2; ++i) {
    const std::string dir = format("/usr/data/tree%d", i);
    make_tree(device.root() + dir, counts[i]);
    const double cpu_before = device.cpu();
    const auto start = std::chrono::steady_clock::now();
    ReplyBytes reply{};
    if (device.daemon().transact(CMD_DELETE_FILE, bytes_of(name_payload(dir)), reply, {},
                                 1800000) != ReplyCheck::ok) {
      return {unmeasured(path, "no reply")};
    }
    sized[i].daemon_s = seconds_since(start);
    sized[i].daemon_cpu = device.cpu() - cpu_before;
    make_tree(device.root() + dir, counts[i]);
    const FloorRun floor = floor_run({"unlink", device.root() + dir});
    if (!floor.ok() || floor.count != counts[i]) return {unmeasured(path, "the floor removed too few")};
    sized[i].floor_s = floor.wall;
    sized[i].floor_cpu = floor.cpu;
  }
  return growth_pair(path, "files", counts[0], counts[1], sized[0], sized[1], "unlinking alone",
                     "a sync() after every file and folder (each one waits for the machine's "
                     "other writers), and a line printed for every entry");
}

// --- Controller picture.

// A JPEG of noise close to `bytes` long, and no longer: 480x480, or 160x160 for a small one.
std::vector<uint8_t> jpeg_of_size(size_t bytes) {
  const int side = bytes >= 16 * 1024 ? 480 : 160;
  std::vector<uint8_t> rgb(size_t(side) * side * 3);
  uint32_t x = 2463534242u;
  for (size_t i = 0; i < rgb.size(); ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    // Noise in blocks: a size that quality controls well.
    const size_t pixel = i / 3;
    rgb[i] = uint8_t((pixel % size_t(side) / 8 * 37 + pixel / size_t(side) / 8 * 91) ^ (x & 0x1F));
  }
  tjhandle handle = tjInitCompress();
  std::vector<uint8_t> best;
  for (int quality = 95; quality >= 5; quality -= 5) {
    unsigned char *out = nullptr;
    unsigned long size = 0;
    if (tjCompress2(handle, rgb.data(), side, 0, side, TJPF_RGB, &out, &size, TJSAMP_420, quality, 0) == 0 &&
        size <= bytes) {
      best.assign(out, out + size);
      tjFree(out);
      break;
    }
    tjFree(out);
  }
  tjDestroy(handle);
  return best;
}

std::vector<std::array<uint8_t, 224>> picture_frames(const std::vector<uint8_t> &jpeg) {
  std::vector<std::array<uint8_t, 224>> frames;
  for (size_t package = 0; package * 220 < jpeg.size(); ++package) {
    std::array<uint8_t, 224> frame{0xAA, 0x55, 0x99, uint8_t(package)};
    const size_t length = std::min<size_t>(220, jpeg.size() - package * 220);
    memcpy(frame.data() + 4, jpeg.data() + package * 220, length);
    frames.push_back(frame);
  }
  std::array<uint8_t, 224> end{0xAA, 0x55, 0x99, 255, uint8_t(jpeg.size() >> 8), uint8_t(jpeg.size())};
  frames.push_back(end);
  return frames;
}

std::vector<TableRow> controller_picture(const Options &options) {
  const std::vector<uint8_t> jpeg = jpeg_of_size(options.controller_picture);
  const std::string path = format("controller picture, %.1f KB in %zu packages (0x99 frames)",
                                  double(jpeg.size()) / 1024, (jpeg.size() + 219) / 220);
  progress(path);
  if (jpeg.empty()) return {unmeasured(path, "no picture of that size")};
  const auto frames = picture_frames(jpeg);
  Device device(options.tmpfs_dir, 480, 480, false);
  if (!device.daemon().wait_for("init_mcu_tty done!", 1, 5000)) return {unmeasured(path, "no controller port")};
  const long before = device.pans();
  const double cpu_before = device.cpu();
  const auto start = std::chrono::steady_clock::now();
  std::thread sender([&] {
    for (const auto &frame : frames) device.daemon().send_to_daemon_as_controller(frame);
  });
  const double limit_s = double(frames.size()) * frame_pause_s * 3 + 10;
  while (device.pans() <= before && seconds_since(start) < limit_s) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  const double seconds = seconds_since(start);
  const double cpu = device.cpu() - cpu_before;
  sender.join();
  if (device.pans() <= before) return {unmeasured(path, "the picture was not shown")};

  // The floor reads the same frames from a bare pty, stores the picture and decodes it; the
  // pauses the controller thread must make are added, not slept.
  PtyLink link;
  int report = -1;
  const std::string stored = device.root() + "/floor.jpg";
  const pid_t pid = floor_start({"picture", std::to_string(frames.size() - 1), stored}, link.device(), report);
  for (size_t i = 0; i + 1 < frames.size(); ++i) host_write_all(link.host(), frames[i]);
  const FloorRun floor = floor_finish(pid, report);
  if (!floor.ok()) return {unmeasured(path, "the floor program failed")};
  // The end frame is handled after the pauses of all the frames before it.
  const double floor_s = floor.wall + double(frames.size() - 1) * frame_pause_s;
  const double ratio = floor_s / seconds;
  return {{path, seconds_text(seconds),
           format("%s (%zu × 50 ms pause + %s reading, storing, decoding)",
                  seconds_text(floor_s).c_str(), frames.size() - 1, seconds_text(floor.wall).c_str()),
           format("%.2f", ratio), "≥ 0.80",
           verdict(ratio >= 0.8, floor_s, seconds, "picture", "the frames' handling")},
          cpu_row(path, "picture", cpu, floor.cpu, "reading, storing, decoding",
                  "perf: three quarters in the kernel, the two wake-ups of every frame (its read, "
                  "the 50 ms pause after it) and the lines printed for it; the floor reads all "
                  "frames in one go")};
}

}  // namespace

const std::vector<std::pair<const char *, std::vector<TableRow> (*)(const Options &)>> growth_parts{
    {"growth-upload", upload_growth},
    {"growth-listing", listing_growth},
    {"growth-delete", delete_growth},
    {"controller-picture", controller_picture}};

std::vector<TableRow> growth_rows(const Options &options) {
  std::vector<TableRow> rows;
  for (const auto &[word, measure] : growth_parts) {
    if (!options.wants("growth") && !options.wants(word)) continue;
    std::vector<TableRow> two = measure(options);
    while (two.size() < 2) two.push_back(unmeasured(two.empty() ? "growth" : two.front().path + " (CPU)", "missing"));
    rows.insert(rows.end(), two.begin(), two.end());
  }
  return rows;
}
