// The frames dhmcu sends as the controller, and the controller state they carry: the status
// fields, an optional wireless display record and the bytes a user has set by offset, which
// go into every frame dhmcu composes (not into picture packages, whose bytes are the picture).
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

using Frame = std::vector<uint8_t>;

struct Wireless {
  int theme = 0, brightness = 0, rotation = 0;
};

struct ControllerState {
  int mode = 0, temp = 0, pump = 0;
  std::optional<Wireless> wireless;
  std::array<std::optional<uint8_t>, 224> overrides{};  // by frame offset
};

// One write to the link: a frame (or stray bytes), optionally in two parts with a pause
// between them.
struct Outgoing {
  Frame bytes;
  bool composed = true;  // takes the overrides when it goes out
  size_t split = 0;      // 0: in one piece
  std::chrono::milliseconds pause{0};
};

Frame blank_frame(uint8_t type);
// A status frame of the state, with the knob flag when `knob`.
Frame status_frame(const ControllerState &state, bool knob);
void apply_overrides(const ControllerState &state, Frame &frame);

// Hex digits in pairs, with or without a leading 0x; false when they are not.
bool parse_hex(const std::string &text, std::vector<uint8_t> &out);
// "OFFSET=HEX" within a frame; false with the reason in `error`.
bool parse_setting(const std::string &text, size_t &offset, std::vector<uint8_t> &bytes, std::string &error);
// A whole number within [low, high].
bool parse_whole(const std::string &text, long low, long high, long &out);

// How a picture goes out: the package numbers in the order to send (default 0..N-1; a number
// may be left out or repeated), and the size the end frame announces (default the file's).
struct PictureOptions {
  std::optional<std::vector<int>> packages;
  std::optional<long> size;
};
// "2,0,1": package numbers 0..254; false when they are not.
bool parse_packages(const std::string &text, std::vector<int> &out);
// The picture's packages and end frame; false with the reason in `error` (the file cannot be
// read, is a directory or is too big for packages 0..254, or a package number lies beyond
// the file). `note` tells of a picture bigger than the display head keeps.
bool picture_frames(const std::string &path, const PictureOptions &options,
                    std::vector<Outgoing> &frames, std::string &error, std::string &note);
