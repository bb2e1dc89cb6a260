// Shared by the video platform tests: the sandbox root, the test streams in tests/media/ and
// splitting a stream into units.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// The sandbox root the executable runs under (a fresh directory, removed at exit).
const std::string &video_test_root();

// The whole of tests/media/NAME; fails the test when it cannot be read.
Bytes read_test_stream(const std::string &name);

struct Unit {
  Bytes bytes;   // with its start code
  uint32_t type;
};

// Every unit complete after writing `stream` in blocks of `block` bytes (all of them: the end
// of the stream is marked with one more start code).
std::vector<Unit> split_units(const Bytes &stream, size_t block);
