#include "bench/bench_device.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "crypto/host_packet.h"
#include "platform/sim/panel_state.h"

bool judged = true;

bool Options::wants(const std::string &row) const {
  return only.empty() || std::find(only.begin(), only.end(), row) != only.end();
}

void progress(const std::string &text) { fprintf(stderr, "bench: %s\n", text.c_str()); }

std::string verdict(bool met) {
  if (!judged) return "smoke run, not judged";
  return met ? "met" : "**missed**";
}

std::string verdict(bool met, double baseline_s, double daemon_s, const char *item,
                    const std::string &where) {
  if (met || !judged) return verdict(met);
  return format("**missed**: +%.1f µs a %s over the baseline; %s", (daemon_s - baseline_s) * 1e6,
                item, where.c_str());
}

TableRow unmeasured(const std::string &path, const std::string &why) {
  return {path, "—", "—", "—", "—", "not measured: " + why};
}

namespace {

std::string cpu_text(double seconds) {
  if (seconds < 1e-3) return format("%.1f µs", seconds * 1e6);
  if (seconds < 1) return format("%.2f ms", seconds * 1e3);
  return format("%.2f s", seconds);
}

}  // namespace

TableRow cpu_row(const std::string &path, const char *item, double daemon_cpu_s,
                 double floor_cpu_s, const std::string &floor_name, const std::string &where) {
  const std::string name = path + ": CPU a " + item;
  if (daemon_cpu_s <= 0 || floor_cpu_s <= 0) return unmeasured(name, "no CPU time read");
  const double ratio = floor_cpu_s / daemon_cpu_s;
  return {name, cpu_text(daemon_cpu_s), cpu_text(floor_cpu_s) + " (" + floor_name + ")",
          format("%.2f", ratio), "≥ 0.80",
          ratio >= 0.8 || !judged
              ? verdict(ratio >= 0.8)
              : format("**missed**: +%s a %s; %s", cpu_text(daemon_cpu_s - floor_cpu_s).c_str(),
                       item, where.c_str())};
}

std::vector<uint8_t> file_data(const std::string &path) {
  std::string text = read_file(path);
  if (text.empty()) throw std::runtime_error("cannot read " + path);
  return {text.begin(), text.end()};
}

void write_text(const std::string &path, const std::string &text) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path) << text;
}

std::vector<uint8_t> be32_payload(uint32_t value) {
  std::vector<uint8_t> payload(4);
  write_be32(payload.data(), value);
  return payload;
}

double best_of(double best, double value) { return best < 0 ? value : std::min(best, value); }

Device::Device(const std::string &parent, int width, int height, bool host_attached,
               const std::function<void(const std::string &root)> &prepare) {
  std::string pattern = parent + "/displayhead-bench-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot make a root in " + parent);
  root_ = pattern;
  for (const char *layer : {"fb0", "fb1"}) {
    write_text(root_ + "/sys/class/graphics/" + layer + "/virtual_size",
               std::to_string(width) + "," + std::to_string(height));
  }
  if (host_attached) write_text(root_ + "/sys/class/udc/13500000.otg/state", "configured");
  if (prepare) prepare(root_);
  const auto start = std::chrono::steady_clock::now();
  daemon_ = std::make_unique<DaemonUnderTest>(HostPort::pty, root_);
  startup_seconds_ = seconds_since(start);
}

Device::~Device() {
  daemon_.reset();
  std::error_code ignored;
  std::filesystem::remove_all(root_, ignored);
}

bool Device::command(uint8_t code, std::span<const uint8_t> payload) {
  ReplyBytes reply{};
  return daemon_->transact(code, payload, reply) == ReplyCheck::ok;
}

long Device::pans() const {
  PanelState state{};
  std::string error;
  if (!panel_state_read(root_, state, error)) return -1;
  return state.layers[0].pan_count;
}
