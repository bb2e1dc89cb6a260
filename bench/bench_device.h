// What the rows of dh_bench_paths share: the run's options, the daemon under a sandbox root of
// its own, the verdict wording, and the rows each file of bench/ contributes.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "bench/bench_support.h"
#include "tests/system/daemon_harness.h"

constexpr size_t mib = 1024 * 1024;
constexpr size_t stream_block = 202752;  // one ring slot, as dhhost sends
constexpr std::array<uint8_t, 4> bench_tag{'b', 'e', 'n', 'c'};

struct Options {
  bool smoke = false;
  bool no_header = false;
  std::string tmpfs_dir = "/dev/shm";
  std::string disk_dir = "/var/tmp";
  std::string stream_480 = DH_SOURCE_DIR "/media/host_stream.h264";
  std::string stream_720 = DH_SOURCE_DIR "/tests/media/halves_720x1472.h264";
  std::string jpeg = DH_SOURCE_DIR "/media/host.jpg";
  std::string media = DH_SOURCE_DIR "/media";
  std::vector<std::string> only;
  int turns = 15;         // of the command round trip and the JPEG frames
  int upload_turns = 5;   // of each 64 MiB upload on tmpfs (one on disk)
  int video_turns = 7;
  int round_trips = 300;  // a turn
  size_t upload_bytes = 64 * mib;
  int jpeg_frames = 40;   // a turn
  double video_seconds = 0.5;  // a turn: the baseline decode of the repeated stream
  double idle_seconds = 60;
  double smooth_seconds = 10;    // of each smoothness row
  size_t smooth_upload_bytes = 20 * mib;
  int startup_turns = 5;
  size_t growth_small = 16 * mib, growth_large = 256 * mib;  // uploads
  long listing_small = 1000, listing_large = 100000;         // directory entries
  long tree_small = 1000, tree_large = 10000;                // files deleted
  size_t controller_picture = 40 * 1024;

  bool wants(const std::string &row) const;
};

// Progress on standard error.
void progress(const std::string &text);

// False in a smoke run: too short to judge a goal by.
extern bool judged;
std::string verdict(bool met);
// A missed goal with what the daemon adds to each item over the baseline, and where it goes.
std::string verdict(bool met, double baseline_s, double daemon_s, const char *item,
                    const std::string &where);
TableRow unmeasured(const std::string &path, const std::string &why);

// The CPU row set beside a wall-clock row: the daemon's CPU per item against the floor
// program's, the ratio floor/daemon, the goal 0.8. `where` is said when it is missed.
TableRow cpu_row(const std::string &path, const char *item, double daemon_cpu_s,
                 double floor_cpu_s, const std::string &floor_name, const std::string &where);

std::vector<uint8_t> file_data(const std::string &path);
void write_text(const std::string &path, const std::string &text);
std::vector<uint8_t> be32_payload(uint32_t value);
// The smaller of two measurements where a negative one means none yet.
double best_of(double best, double value);

// The daemon under a sandbox root of its own below `parent`, on a panel of width x height,
// with the USB host attached or not. `prepare`, when given, fills the root before the start.
class Device {
 public:
  Device(const std::string &parent, int width, int height, bool host_attached,
         const std::function<void(const std::string &root)> &prepare = {});
  ~Device();
  Device(const Device &) = delete;
  Device &operator=(const Device &) = delete;

  DaemonUnderTest &daemon() { return *daemon_; }
  const std::string &root() const { return root_; }
  int host() { return daemon_->host_fd(); }
  pid_t pid() { return daemon_->pid(); }
  double cpu() { return process_cpu_seconds(daemon_->pid()); }
  // Seconds from the start of the daemon to its open host port.
  double startup_seconds() const { return startup_seconds_; }

  bool command(uint8_t code, std::span<const uint8_t> payload = {});

  // Pictures panned on layer 0 since start-up; -1 when the panel cannot be read.
  long pans() const;

 private:
  std::string root_;
  std::unique_ptr<DaemonUnderTest> daemon_;
  double startup_seconds_ = 0;
};

// The rows of each file: smoothness.cpp, startup_bench.cpp, growth.cpp.
std::vector<TableRow> smoothness_rows(const Options &options);
std::vector<TableRow> startup_rows(const Options &options);
std::vector<TableRow> growth_rows(const Options &options);
// relay_pauses.cpp: the pauses before the controller messages' payloads, three rows.
std::vector<TableRow> relay_pause_rows(const Options &options);
// The parts of growth_rows, two rows each, by the word that runs one alone (--only WORD).
extern const std::vector<std::pair<const char *, std::vector<TableRow> (*)(const Options &)>> growth_parts;
