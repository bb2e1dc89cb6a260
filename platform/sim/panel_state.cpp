// The scan-out state file. The daemon maps it once, at its first publish, after creating it
// anew, and writes under a sequence count: odd while a layer's words change, even again
// afterwards. Every word is a sequentially consistent atomic access (a few hundred per pan,
// cheap next to a frame), so a reader in any process that finds the same even count before
// and after its copy has a whole record; otherwise it retries.
#include "platform/sim/panel_state.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <unistd.h>

#include "platform/root_path.h"
#include "platform/sim/shared_file.h"

namespace {

constexpr size_t state_words = sizeof(PanelState) / 4;
constexpr size_t layer_words = sizeof(PanelLayerState) / 4;

uint32_t load_word(const uint8_t *base, size_t word) {
  auto *address = reinterpret_cast<uint32_t *>(const_cast<uint8_t *>(base) + word * 4);
  return std::atomic_ref<uint32_t>(*address).load(std::memory_order_seq_cst);
}

void store_word(uint8_t *base, size_t word, uint32_t value) {
  auto *address = reinterpret_cast<uint32_t *>(base + word * 4);
  std::atomic_ref<uint32_t>(*address).store(value, std::memory_order_seq_cst);
}

constexpr size_t sequence_word = offsetof(PanelState, sequence) / 4;
constexpr size_t pan_count_word = offsetof(PanelState, pan_times_count) / 4;
constexpr size_t pan_ring_word = offsetof(PanelState, pan_times_us) / 4;

// The daemon's mapping, created at the first publish. Guarded by the callers' lock; the
// once-flag only makes its creation safe on its own.
SharedFile &writer_file() {
  static SharedFile file;
  static std::once_flag created;
  std::call_once(created, [] {
    std::string path = root_path(panel_state_device_path);
    std::string error = path.empty() ? "no path for the panel state" : "";
    if (!path.empty()) file = SharedFile::create(path, sizeof(PanelState), error);
    if (!file) {
      fprintf(stderr, "panel state: %s\n", error.c_str());
      return;
    }
    PanelState fresh{};
    fresh.magic = panel_state_magic;
    fresh.version = panel_state_version;
    fresh.writer_pid = uint32_t(getpid());
    uint32_t words[state_words];
    memcpy(words, &fresh, sizeof fresh);
    for (size_t i = 0; i < state_words; ++i) store_word(file.data(), i, words[i]);
  });
  return file;
}

}  // namespace

int user_cfg_planes(const LayerUserConfig &cfg, ScanPlane planes[2]) {
  if (cfg.width == 0 || cfg.yres == 0 || cfg.width > scan_max_side || cfg.yres > scan_max_side) {
    return 0;
  }
  uint64_t width = cfg.width;
  uint64_t rows = cfg.yres;
  if (cfg.format == layer_format_argb8888) {
    if (cfg.rgb_stride < width * 4) return 0;
    planes[0] = {cfg.rgb_addr, (rows - 1) * cfg.rgb_stride + width * 4};
    return 1;
  }
  if (cfg.format == layer_format_nv12) {
    uint64_t uv_row = (width + 1) / 2 * 2;  // U, V pairs, one per two pixels
    uint64_t uv_rows = (rows + 1) / 2;
    if (cfg.y_stride < width || cfg.uv_stride < uv_row) return 0;
    planes[0] = {cfg.y_addr, (rows - 1) * cfg.y_stride + width};
    planes[1] = {cfg.uv_addr, (uv_rows - 1) * cfg.uv_stride + uv_row};
    return 2;
  }
  return 0;
}

bool panel_state_publish(int index, const PanelLayerState &layer, uint64_t pan_time_us) {
  if (index < 0 || index >= panel_layer_count) return false;
  SharedFile &file = writer_file();
  if (!file) return false;

  uint32_t words[layer_words];
  memcpy(words, &layer, sizeof layer);
  size_t first = (offsetof(PanelState, layers) + size_t(index) * sizeof(PanelLayerState)) / 4;
  uint8_t *base = file.data();
  uint32_t sequence = load_word(base, sequence_word);
  store_word(base, sequence_word, sequence + 1);
  for (size_t i = 0; i < layer_words; ++i) store_word(base, first + i, words[i]);
  if (index == 0 && pan_time_us != 0) {
    uint32_t count = load_word(base, pan_count_word);
    size_t slot = pan_ring_word + size_t(count % panel_pan_ring_size) * 2;
    store_word(base, slot, uint32_t(pan_time_us));
    store_word(base, slot + 1, uint32_t(pan_time_us >> 32));
    store_word(base, pan_count_word, count + 1);
  }
  store_word(base, sequence_word, sequence + 2);
  return true;
}

bool panel_state_read(const std::string &root, PanelState &state, std::string &error) {
  std::string path = root + panel_state_device_path;
  SharedFile file = SharedFile::open_read_only(path, error);
  if (!file) return false;
  if (file.size() < sizeof(PanelState)) {
    error = path + ": not a panel state record of version " + std::to_string(panel_state_version) +
            " (too short)";
    return false;
  }
  uint32_t words[state_words];
  // A writer holds the sequence odd for a few hundred stores; one that stays odd for a second
  // has died. The first attempts only yield, so that a reader keeps up with frequent pans.
  for (int attempt = 0; attempt < 10000; ++attempt) {
    uint32_t before = load_word(file.data(), sequence_word);
    for (size_t i = 0; i < state_words; ++i) words[i] = load_word(file.data(), i);
    uint32_t after = load_word(file.data(), sequence_word);
    if (before % 2 == 0 && before == after) {
      memcpy(&state, words, sizeof state);
      if (state.magic != panel_state_magic || state.version != panel_state_version) {
        error = path + ": not a panel state record of version " +
                std::to_string(panel_state_version);
        return false;
      }
      return true;
    }
    if (attempt < 100) {
      std::this_thread::yield();
    } else {
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
  }
  error = path + ": the panel state stays mid-write";
  return false;
}

bool panel_state_sequence(const std::string &root, uint32_t &sequence, std::string &error) {
  std::string path = root + panel_state_device_path;
  SharedFile file = SharedFile::open_read_only(path, error);
  if (!file) return false;
  if (file.size() < sizeof(PanelState)) {
    error = path + ": too short for the panel state";
    return false;
  }
  uint32_t word = load_word(file.data(), sequence_word);
  sequence = word + word % 2;
  return true;
}
