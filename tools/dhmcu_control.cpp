#include "tools/dhmcu_control.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <sstream>
#include <vector>

#include "mcu/mcu.h"

namespace {

constexpr auto default_gap = std::chrono::milliseconds(2500);
constexpr auto request_limit = std::chrono::milliseconds(5000);

std::vector<std::string> words_of(const std::string &line) {
  std::istringstream split(line);
  std::vector<std::string> words;
  for (std::string word; split >> word;) words.push_back(word);
  return words;
}

std::string error(const std::string &reason) { return "error: " + reason; }

// "A,B,C" each within 0..255.
bool parse_record(const std::string &text, Wireless &out) {
  std::istringstream split(text);
  long fields[3];
  std::string item;
  for (long &field : fields) {
    if (!std::getline(split, item, ',') || !parse_whole(item, 0, 255, field)) return false;
  }
  if (std::getline(split, item, ',')) return false;
  out = Wireless{int(fields[0]), int(fields[1]), int(fields[2])};
  return true;
}

bool unix_address(const std::string &path, sockaddr_un &address, std::string &error) {
  address = {};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) {
    error = "the socket path must have 1.." + std::to_string(sizeof address.sun_path - 1) + " characters";
    return false;
  }
  memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return true;
}

std::string state_json(const ServingState &state) {
  nlohmann::json out = {{"mode", state.controller.mode},
                        {"temp", state.controller.temp},
                        {"pump", state.controller.pump},
                        {"rate", state.rate},
                        {"frames_sent", state.frames_sent},
                        {"queued", state.queue.size()},
                        {"messages_received", state.messages_received}};
  if (state.controller.wireless) {
    out["wireless"] = {{"theme", state.controller.wireless->theme},
                       {"brightness", state.controller.wireless->brightness},
                       {"rotation", state.controller.wireless->rotation}};
  } else {
    out["wireless"] = nullptr;
  }
  nlohmann::json set = nlohmann::json::object();
  for (size_t at = 0; at < state.controller.overrides.size(); ++at) {
    if (!state.controller.overrides[at]) continue;
    char hex[3];
    snprintf(hex, sizeof hex, "%02x", *state.controller.overrides[at]);
    set[std::to_string(at)] = hex;
  }
  out["set"] = set;
  return out.dump();
}

}  // namespace

void queue_outgoing(ServingState &state, Outgoing out) {
  if (state.gap_next && out.bytes.size() > 1) {
    out.split = out.bytes.size() / 2;
    out.pause = *state.gap_next;
    state.gap_next.reset();
  }
  state.queue.push_back(std::move(out));
}

std::string run_control_words(const std::string &line, ServingState &state) {
  const std::vector<std::string> words = words_of(line);
  if (words.empty()) return error("no command");
  const std::string &command = words[0];
  const size_t given = words.size() - 1;
  auto needs = [&](size_t low, size_t high) { return given >= low && given <= high; };
  long number = 0;

  if (command == "state") {
    if (!needs(0, 0)) return error("state takes no value");
    return state_json(state);
  }
  if (command == "mode" || command == "temp" || command == "pump") {
    const long high = command == "pump" ? 65535 : 255;  // the pump speed has 16 bits
    if (!needs(1, 1) || !parse_whole(words[1], 0, high, number)) {
      return error(command + " takes a number 0.." + std::to_string(high));
    }
    (command == "mode" ? state.controller.mode : command == "temp" ? state.controller.temp
                                                                   : state.controller.pump) = int(number);
    return "ok";
  }
  if (command == "wireless") {
    Wireless record;
    if (needs(1, 1) && words[1] == "off") {
      state.controller.wireless.reset();
      return "ok";
    }
    if (!needs(1, 1) || !parse_record(words[1], record)) {
      return error("wireless takes THEME,BRIGHTNESS,ROTATION (each 0..255) or off");
    }
    state.controller.wireless = record;
    return "ok";
  }
  if (command == "set" || command == "host-data") {
    size_t offset = 0;
    std::vector<uint8_t> bytes;
    std::string reason;
    if (command == "set") {
      if (!needs(1, 1)) return error("set takes OFFSET=HEX");
      if (!parse_setting(words[1], offset, bytes, reason)) return error(reason);
    } else {
      if (!needs(1, 1) || !parse_hex(words[1], bytes) || bytes.empty() ||
          bytes.size() > size_t(frame_at::host_data_len)) {
        return error("host-data takes 1.." + std::to_string(frame_at::host_data_len) + " bytes in hex");
      }
      offset = frame_at::status_rec;
      Frame frame = blank_frame(frame_host_data);
      std::copy(bytes.begin(), bytes.end(), frame.begin() + frame_at::host_data);
      queue_outgoing(state, Outgoing{std::move(frame)});
    }
    for (size_t i = 0; i < bytes.size(); ++i) state.controller.overrides[offset + i] = bytes[i];
    return "ok";
  }
  if (command == "unset") {
    if (needs(1, 1) && words[1] == "all") {
      state.controller.overrides = {};
      return "ok";
    }
    if (!needs(1, 1) || !parse_whole(words[1], 0, controller_frame_len - 1, number)) {
      return error("unset takes an offset 0.." + std::to_string(controller_frame_len - 1) + " or all");
    }
    state.controller.overrides[size_t(number)].reset();
    return "ok";
  }
  if (command == "knob") {
    if (!needs(0, 1) || (given == 1 && !parse_whole(words[1], 1, 1000, number))) {
      return error("knob takes a number of steps 1..1000");
    }
    if (given == 0) number = 1;
    for (long step = 0; step < number; ++step) queue_outgoing(state, Outgoing{status_frame(state.controller, true)});
    return "ok";
  }
  if (command == "picture") {
    if (!needs(1, 3)) return error("picture takes FILE [packages=LIST] [size=N]");
    PictureOptions options;
    for (size_t i = 2; i < words.size(); ++i) {
      const std::string &word = words[i];
      std::vector<int> packages;
      if (word.rfind("packages=", 0) == 0 && parse_packages(word.substr(9), packages)) {
        options.packages = packages;
      } else if (word.rfind("size=", 0) == 0 && parse_whole(word.substr(5), 0, 65535, number)) {
        options.size = number;
      } else {
        return error("picture takes packages=N,N,... (0..254) and size=N (0..65535), not '" + word + "'");
      }
    }
    std::vector<Outgoing> frames;
    std::string reason, note;
    if (!picture_frames(words[1], options, frames, reason, note)) return error(reason);
    for (Outgoing &frame : frames) queue_outgoing(state, std::move(frame));
    return "ok";
  }
  if (command == "wake") {
    if (!needs(0, 0)) return error("wake takes no value");
    queue_outgoing(state, Outgoing{blank_frame(frame_wake)});
    return "ok";
  }
  if (command == "slip") {
    if (!needs(0, 0)) return error("slip takes no value");
    state.queue.push_back(Outgoing{Frame{0x00}, false});
    return "ok";
  }
  if (command == "gap") {
    if (!needs(0, 1) || (given == 1 && !parse_whole(words[1], 1, 60000, number))) {
      return error("gap takes a pause in ms, 1..60000");
    }
    state.gap_next = given == 1 ? std::chrono::milliseconds(number) : default_gap;
    return "ok";
  }
  if (command == "rate") {
    char *end = nullptr;
    const double rate = given == 1 ? strtod(words[1].c_str(), &end) : 0;
    if (!needs(1, 1) || end == nullptr || *end != '\0' || !std::isfinite(rate) || rate < 0.01 || rate > 1000) {
      return error("rate takes frames per second, 0.01..1000");
    }
    state.rate = rate;
    return "ok";
  }
  return error("unknown command '" + command + "'");
}

int control_listen(const std::string &path, std::string &error) {
  sockaddr_un address;
  if (!unix_address(path, address, error)) return -1;
  struct stat info{};
  if (lstat(path.c_str(), &info) == 0) {
    if (!S_ISSOCK(info.st_mode)) {
      error = path + " exists and is no socket";
      return -1;
    }
    std::string reply, ignored;
    const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool live = probe >= 0 && connect(probe, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    if (probe >= 0) close(probe);
    if (live) {
      error = "another dhmcu serves " + path;
      return -1;
    }
    unlink(path.c_str());
  }
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || listen(fd, 8) != 0) {
    error = "cannot serve " + path + ": " + strerror(errno);
    if (fd >= 0) close(fd);
    return -1;
  }
  return fd;
}

bool control_request(const std::string &path, const std::string &line, std::string &reply, std::string &error) {
  sockaddr_un address;
  if (!unix_address(path, address, error)) return false;
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
    error = "no dhmcu serves " + path + ": " + strerror(errno);
    if (fd >= 0) close(fd);
    return false;
  }
  const std::string out = line + "\n";
  size_t done = 0;
  while (done < out.size()) {
    const ssize_t wrote = send(fd, out.data() + done, out.size() - done, MSG_NOSIGNAL);
    if (wrote <= 0 && errno != EINTR) {
      error = std::string("cannot send the command: ") + strerror(errno);
      close(fd);
      return false;
    }
    if (wrote > 0) done += size_t(wrote);
  }
  reply.clear();
  const auto deadline = std::chrono::steady_clock::now() + request_limit;
  char chunk[4096];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd watch{fd, POLLIN, 0};
    if (left.count() <= 0 || poll(&watch, 1, int(left.count())) == 0) {
      error = "no answer from " + path + " within 5 s";
      close(fd);
      return false;
    }
    const ssize_t got = read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    reply.append(chunk, size_t(got));
    if (reply.find('\n') != std::string::npos) break;
  }
  close(fd);
  const size_t end = reply.find('\n');
  if (end == std::string::npos) {
    error = "the answer from " + path + " ended early";
    return false;
  }
  reply.resize(end);
  return true;
}
