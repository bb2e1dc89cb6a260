#include "tools/dhmcu_frames.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "mcu/mcu.h"

static_assert(std::tuple_size_v<decltype(ControllerState::overrides)> == size_t(controller_frame_len));

Frame blank_frame(uint8_t type) {
  Frame frame(controller_frame_len, 0);
  frame[frame_at::header0] = frame_header_byte0;
  frame[frame_at::header1] = frame_header_byte1;
  frame[frame_at::type] = type;
  return frame;
}

Frame status_frame(const ControllerState &state, bool knob) {
  Frame frame = blank_frame(frame_status);
  frame[frame_at::mode] = static_cast<uint8_t>(state.mode);
  frame[frame_at::water_temp] = static_cast<uint8_t>(state.temp);
  frame[frame_at::pump_high] = static_cast<uint8_t>(state.pump >> 8);
  frame[frame_at::pump_low] = static_cast<uint8_t>(state.pump);
  if (state.wireless) {
    frame[frame_at::theme] = static_cast<uint8_t>(state.wireless->theme);
    frame[frame_at::brightness] = static_cast<uint8_t>(state.wireless->brightness);
    frame[frame_at::rotation] = static_cast<uint8_t>(state.wireless->rotation);
  }
  if (knob) frame[frame_at::knob_step] = 1;
  return frame;
}

void apply_overrides(const ControllerState &state, Frame &frame) {
  for (size_t at = 0; at < frame.size() && at < state.overrides.size(); ++at) {
    if (state.overrides[at]) frame[at] = *state.overrides[at];
  }
}

bool parse_hex(const std::string &text, std::vector<uint8_t> &out) {
  size_t start = 0;
  if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) start = 2;
  if ((text.size() - start) % 2 != 0) return false;
  std::vector<uint8_t> bytes;
  for (size_t i = start; i < text.size(); i += 2) {
    if (!isxdigit(static_cast<unsigned char>(text[i])) || !isxdigit(static_cast<unsigned char>(text[i + 1]))) {
      return false;
    }
    bytes.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
  }
  out.insert(out.end(), bytes.begin(), bytes.end());
  return true;
}

bool parse_whole(const std::string &text, long low, long high, long &out) {
  if (text.empty() || text.size() > 12) return false;
  for (char c : text) {
    if (!isdigit(static_cast<unsigned char>(c))) return false;
  }
  out = std::stol(text);
  return out >= low && out <= high;
}

bool parse_setting(const std::string &text, size_t &offset, std::vector<uint8_t> &bytes, std::string &error) {
  const size_t equals = text.find('=');
  long at = 0;
  if (equals == std::string::npos || !parse_whole(text.substr(0, equals), 0, controller_frame_len - 1, at)) {
    error = "set takes OFFSET=HEX with OFFSET 0.." + std::to_string(controller_frame_len - 1) + ", not '" + text + "'";
    return false;
  }
  bytes.clear();
  if (!parse_hex(text.substr(equals + 1), bytes) || bytes.empty()) {
    error = "set takes OFFSET=HEX with pairs of hex digits, not '" + text + "'";
    return false;
  }
  if (size_t(at) + bytes.size() > size_t(controller_frame_len)) {
    error = std::to_string(bytes.size()) + " bytes at " + std::to_string(at) + " go beyond the frame's " +
            std::to_string(controller_frame_len) + " bytes";
    return false;
  }
  offset = size_t(at);
  return true;
}

bool parse_packages(const std::string &text, std::vector<int> &out) {
  std::istringstream split(text);
  std::vector<int> numbers;
  for (std::string item; std::getline(split, item, ',');) {
    long number = 0;
    if (!parse_whole(item, 0, picture_end_package - 1, number)) return false;
    numbers.push_back(int(number));
  }
  if (numbers.empty() || text.back() == ',') return false;
  out = std::move(numbers);
  return true;
}

bool picture_frames(const std::string &path, const PictureOptions &options,
                    std::vector<Outgoing> &frames, std::string &error, std::string &note) {
  const size_t limit = size_t(picture_end_package) * picture_package_len;  // packages 0..254
  struct stat info{};
  if (stat(path.c_str(), &info) != 0) {
    error = "cannot read " + path + ": " + strerror(errno);
    return false;
  }
  if (!S_ISREG(info.st_mode)) {
    error = path + " is not a file";
    return false;
  }
  if (size_t(info.st_size) > limit) {
    error = path + " has " + std::to_string(info.st_size) + " bytes; packages 0..254 carry at most " +
            std::to_string(limit);
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> bytes(size_t(info.st_size));
  if (!in || !in.read(reinterpret_cast<char *>(bytes.data()), std::streamsize(bytes.size()))) {
    error = "cannot read " + path;
    return false;
  }
  if (bytes.size() > size_t(picture_buffer_len)) {
    note = std::to_string(bytes.size()) + " bytes is more than the display head keeps (" +
           std::to_string(picture_buffer_len) + ")";
  }
  const int count = int((bytes.size() + picture_package_len - 1) / picture_package_len);
  std::vector<int> order;
  if (options.packages) {
    order = *options.packages;
  } else {
    for (int number = 0; number < count; ++number) order.push_back(number);
  }
  for (int number : order) {
    if (number >= count) {
      error = "package " + std::to_string(number) + " lies beyond " + path + " (packages 0.." +
              std::to_string(count - 1) + ")";
      return false;
    }
    Frame frame = blank_frame(frame_picture);
    frame[frame_at::package] = static_cast<uint8_t>(number);
    const size_t offset = size_t(number) * picture_package_len;
    const size_t length = std::min<size_t>(picture_package_len, bytes.size() - offset);
    std::copy_n(bytes.begin() + long(offset), length, frame.begin() + frame_at::picture_data);
    frames.push_back(Outgoing{std::move(frame), false});
  }
  const long size = options.size.value_or(long(bytes.size()));
  Frame end = blank_frame(frame_picture);
  end[frame_at::package] = picture_end_package;
  end[frame_at::picture_data] = static_cast<uint8_t>(size >> 8);
  end[frame_at::picture_data + 1] = static_cast<uint8_t>(size);
  frames.push_back(Outgoing{std::move(end), false});
  return true;
}
