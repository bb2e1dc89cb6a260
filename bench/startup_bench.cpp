// Start-up: from the exec of the daemon to its "init_tty done!", on a device that holds the 13
// background videos, the boot logo and stored settings, against a floor program that makes
// the pauses the start-up cannot leave out and decodes the logo once.
#include <filesystem>

#include "bench/bench_device.h"

namespace {

void fill_device(const Options &options, const std::string &root) {
  namespace fs = std::filesystem;
  fs::create_directories(root + "/media");
  fs::copy_file(options.media + "/logo.jpg", root + "/media/logo.jpg",
                fs::copy_options::overwrite_existing);
  fs::copy(options.media + "/bg_h264", root + "/media/bg_h264",
           fs::copy_options::recursive | fs::copy_options::overwrite_existing);
}

}  // namespace

std::vector<TableRow> startup_rows(const Options &options) {
  const std::string path = "start-up to \"init_tty done!\" (13 backgrounds, logo, stored settings)";
  progress(path);
  // The first start stores the settings; the measured ones find them.
  Device device(options.tmpfs_dir, 480, 480, true,
                [&](const std::string &root) { fill_device(options, root); });
  const std::string root = device.root();
  if (!std::filesystem::exists(root + "/usr/data/app.cfg") ||
      !std::filesystem::exists(root + "/usr/data/lvgl_app.cfg")) {
    return {unmeasured(path, "the first start stored no settings")};
  }
  device.daemon().stop();

  double daemon_best = -1, floor_best = -1, daemon_cpu = -1, floor_cpu = -1;
  for (int turn = 0; turn < options.startup_turns; ++turn) {
    const auto start = std::chrono::steady_clock::now();
    DaemonUnderTest again(HostPort::pty, root);
    const double seconds = seconds_since(start);
    const double cpu = process_cpu_seconds(again.pid());
    again.stop();

    const auto floor_start_at = std::chrono::steady_clock::now();
    const FloorRun floor = floor_run({"startup", root + "/media/logo.jpg"});
    const double floor_seconds = seconds_since(floor_start_at);
    if (!floor.ok()) return {unmeasured(path, "the floor program failed")};
    daemon_best = best_of(daemon_best, seconds);
    floor_best = best_of(floor_best, floor_seconds);
    daemon_cpu = best_of(daemon_cpu, cpu);
    floor_cpu = best_of(floor_cpu, floor.cpu);
  }
  const double ratio = daemon_best / floor_best;
  return {{path, format("%.1f ms", daemon_best * 1e3),
           format("%.1f ms (2 × 50 ms settling + one logo decode, a program of its own)",
                  floor_best * 1e3),
           format("%.2f×", ratio), "≤ 1.5×",
           verdict(ratio <= 1.5, floor_best, daemon_best, "start",
                   "see the start-up profile in the README")},
          cpu_row(path, "start", daemon_cpu, floor_cpu, "loading, one logo decode",
                  "perf: libavcodec and libavutil take about a quarter of it, the "
                  "background video set up and its first pictures decoded before the port opens "
                  "(the logo decode is half, as in the floor)")};
}
