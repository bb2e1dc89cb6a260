// What the fuzz targets share: a sandbox root on tmpfs, a finding that libFuzzer reports with
// its input, and the cleanup between inputs.
//
// Every target runs the daemon's code in one long process, input after input, under its own
// DISPLAYHEAD_ROOT. The root is DIR/root in a fresh DIR (on /dev/shm when there is one), so a
// path that climbs out of the root by one level lands in DIR, where the targets look after
// every input. fuzz_support.cpp also cuts the daemon's hardware pauses to 1 ms and turns its
// machine-wide sync() into nothing (see there).
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>

// The root (made, and set as DISPLAYHEAD_ROOT, at the first call; removed at exit).
const std::string &fuzz_root();
// A device path under the root.
std::string fuzz_path(const std::string &device_path);
// Writes a file under the root, its directories made.
void write_fuzz_file(const std::string &device_path, const std::string &bytes);
// Removes every top-level entry of the root but those named in `keep`.
void clear_root_except(std::initializer_list<const char *> keep);

// A fault found: prints `what` and aborts, so libFuzzer saves the input as a crash.
[[noreturn]] void finding(const char *what);
// A finding unless only the root is beside it.
void check_nothing_beside_root();

// Stops the local video player and waits until every player thread has ended; a player that
// is still there after 10 s is a finding.
void stop_players();

// Big-endian reading of the fuzz input, for the targets' own framing.
struct InputReader {
  const uint8_t *data;
  size_t size;

  size_t left() const { return size; }
  uint8_t byte() {
    if (size == 0) return 0;
    --size;
    return *data++;
  }
  uint16_t be16() { return uint16_t(byte() << 8 | byte()); }
  // Up to `count` bytes (fewer at the end); advances past them.
  const uint8_t *take(size_t &count) {
    if (count > size) count = size;
    const uint8_t *start = data;
    data += count;
    size -= count;
    return start;
  }
};
