// dh_micro_bench: the daemon's inner loops with Google Benchmark, each beside a memcpy of the
// same bytes measured in the same run (the memory's own speed on this machine).
//
// Google Benchmark's console report goes to standard error; the table rows, one a benchmark,
// go to standard output (what the display code prints goes to standard error too). Times are
// CPU times, which a busy machine disturbs least. Google Benchmark's flags pass through
// (--benchmark_min_time=...).
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "crypto/host_packet.h"
#include "bench/bench_support.h"
#include "crypto/base64.h"
#include "crypto/crypto.h"
#include "crypto/md5.h"
#include "disp/disp.h"
#include "disp/image.h"
#include "platform/nalu.h"
#include "tests/support/test_root.h"
#include "tests/system/daemon_harness.h"
#include "tests/system/media.h"
#include "tools/host_client.h"

namespace {

constexpr size_t text_bytes = 64 * 1024;  // md5 and Base64 inputs
constexpr size_t splitter_block = 202752;  // one ring slot, as the decoder thread takes it
constexpr int panel_side = 480;

std::vector<uint8_t> sample_bytes(size_t size) {
  std::vector<uint8_t> bytes(size);
  uint32_t x = 2463534242u;
  for (uint8_t &b : bytes) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = uint8_t(x);
  }
  return bytes;
}

void memcpy_bytes(benchmark::State &state) {
  const size_t size = size_t(state.range(0));
  std::vector<uint8_t> from = sample_bytes(size), to(size);
  for (auto _ : state) {
    memcpy(to.data(), from.data(), size);
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(size));
}
BENCHMARK(memcpy_bytes)->Name("memcpy")->Arg(des_len)->Arg(text_bytes)->Arg(panel_side * panel_side * 4);

void des_decrypt_packet(benchmark::State &state) {
  const PacketBytes packet = build_packet(CMD_GET_VERSION, {1, 2, 3, 4}, {});
  for (auto _ : state) {
    HostCommand *command = des_decrypt(packet.data(), des_len);
    benchmark::DoNotOptimize(command);
    free(command);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * des_len);
}
BENCHMARK(des_decrypt_packet)->Name("des_decrypt");

// The splitter as the decoder thread drives it: a block in, every complete unit out.
void nal_splitter(benchmark::State &state) {
  const std::string text = read_file(DH_SOURCE_DIR "/media/host_stream.h264");
  const std::vector<uint8_t> stream(text.begin(), text.end());
  NaluBuffer *splitter = nalu_buf_init(panel_side * panel_side);
  std::vector<uint8_t> unit_bytes(panel_side * panel_side);
  long units = 0;
  for (auto _ : state) {
    for (size_t done = 0; done < stream.size();) {
      const int length = int(std::min(splitter_block, stream.size() - done));
      done += size_t(nalu_buf_write(splitter, stream.data() + done, length));
      NaluUnitInfo info{};
      while (nalu_buf_read_unit(splitter, &info, unit_bytes.data(), int(unit_bytes.size())) > 0) ++units;
    }
    nalu_buf_clean(splitter);
  }
  nalu_buf_free(splitter);
  benchmark::DoNotOptimize(units);
  if (stream.empty()) state.SkipWithError("no stream in media/");
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(stream.size()));
}
BENCHMARK(nal_splitter)->Name("nalu_buf_write+read_unit");

// A full-panel RGBA PNG read row by row into layer 1, panned.
void png_into_layer1(benchmark::State &state) {
  test_root();  // the sandbox root, before the display opens
  if (fb1_info.vaddr == nullptr && init_disp() != 0) {
    state.SkipWithError("the simulated display does not open");
    return;
  }
  const std::vector<uint8_t> png = solid_png(panel_side, panel_side, 0x80336699);
  for (auto _ : state) decode_png(png.data(), int(png.size()));
  state.SetBytesProcessed(int64_t(state.iterations()) * panel_side * panel_side * 4);
}
BENCHMARK(png_into_layer1)->Name("decode_png");

void md5_digest(benchmark::State &state) {
  const std::vector<uint8_t> data = sample_bytes(text_bytes);
  for (auto _ : state) {
    uint8_t *digest = nullptr;
    size_t size = text_bytes;
    md5(2, data.data(), &digest, &size);
    benchmark::DoNotOptimize(digest);
    free(digest);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text_bytes));
}
BENCHMARK(md5_digest)->Name("md5");

void base64_encoding(benchmark::State &state) {
  const std::vector<uint8_t> data = sample_bytes(text_bytes);
  for (auto _ : state) {
    char *text = nullptr;
    size_t size = data.size();
    base64_en(data.data(), &text, &size);
    benchmark::DoNotOptimize(text);
    free(text);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text_bytes));
}
BENCHMARK(base64_encoding)->Name("base64_en");

void base64_decoding(benchmark::State &state) {
  const std::vector<uint8_t> data = sample_bytes(text_bytes);
  std::string text((data.size() + 2) / 3 * 4 + 1, '\0');
  text.resize(base64_encode(data.data(), data.size(), text.data()));
  for (auto _ : state) {
    uint8_t *bytes = nullptr;
    size_t size = text.size();
    base64_de(text.c_str(), &bytes, &size);
    benchmark::DoNotOptimize(bytes);
    free(bytes);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text_bytes));
}
BENCHMARK(base64_decoding)->Name("base64_de");

// Keeps every run's time per iteration (ns) and its bytes per second, by benchmark name.
class Collector : public benchmark::ConsoleReporter {
 public:
  struct Result {
    double ns = 0;
    double bytes_per_second = 0;
    bool error = false;
  };
  std::map<std::string, Result> results;

  void ReportRuns(const std::vector<Run> &runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run &run : runs) {
      Result &result = results[run.benchmark_name()];
      result.error = run.error_occurred;
      if (run.error_occurred || run.iterations == 0) continue;
      result.ns = run.cpu_accumulated_time * 1e9 / double(run.iterations);
      auto rate = run.counters.find("bytes_per_second");
      if (rate != run.counters.end()) result.bytes_per_second = rate->second;
    }
  }
};

std::string duration_text(double ns) {
  if (ns < 1e3) return format("%.0f ns", ns);
  if (ns < 1e6) return format("%.1f µs", ns / 1e3);
  return format("%.2f ms", ns / 1e6);
}

}  // namespace

int main(int argc, char **argv) {
  FILE *out = fdopen(dup(STDOUT_FILENO), "w");
  dup2(STDERR_FILENO, STDOUT_FILENO);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
  Collector collector;
  collector.SetOutputStream(&std::cerr);
  collector.SetErrorStream(&std::cerr);
  benchmark::RunSpecifiedBenchmarks(&collector);

  struct Row {
    const char *name;
    const char *path;
    size_t copied;  // the memcpy that is its baseline
  };
  const Row rows[] = {
      {"des_decrypt", "des_decrypt of a 504-byte packet", des_len},
      {"nalu_buf_write+read_unit", "NAL splitter, 480x480 stream in ring-slot blocks", text_bytes},
      {"decode_png", "PNG copy into layer 1 (480x480 RGBA, decode_png)", panel_side * panel_side * 4},
      {"md5", "md5 of 64 KiB", text_bytes},
      {"base64_en", "base64_en of 64 KiB", text_bytes},
      {"base64_de", "base64_de to 64 KiB", text_bytes},
  };
  bool all_measured = true;
  for (const Row &row : rows) {
    auto found = collector.results.find(row.name);
    auto copy = collector.results.find("memcpy/" + std::to_string(row.copied));
    if (found == collector.results.end() || copy == collector.results.end()) continue;  // filtered out
    const Collector::Result &r = found->second, &c = copy->second;
    TableRow table{row.path, "", "", "", "—", "no goal"};
    if (r.error || c.error || r.bytes_per_second <= 0 || c.bytes_per_second <= 0) {
      table.verdict = "not measured: the benchmark failed";
      all_measured = false;
    } else {
      table.measured = format("%s (%.0f MB/s)", duration_text(r.ns).c_str(), r.bytes_per_second / 1e6);
      table.baseline = format("memcpy %.0f MB/s", c.bytes_per_second / 1e6);
      table.result = format("%.3f", r.bytes_per_second / c.bytes_per_second);
    }
    fputs(table_row(table).c_str(), out);
  }
  fclose(out);
  benchmark::Shutdown();
  return all_measured ? 0 : 1;
}
