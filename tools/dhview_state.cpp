// dhview's view of the device's state and its controls (see dhview_state.h).
#include "tools/dhview_state.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "h264/local_player.h"
#include "mcu/gui_shm_layout.h"
#include "tools/dhview_feeds.h"

extern char **environ;

namespace {

constexpr const char *gui_block_path = "/dev/shm/demo_shm";
constexpr const char *udc_state_path = "/sys/class/udc/13500000.otg/state";
constexpr const char *backlight_path = "/sys/class/backlight/backlight_pwm0/brightness";
constexpr const char *rotator_path = "/sys/bus/platform/drivers/ingenic-fb/ingenic-fb.0/rotator_angle";
constexpr auto state_period = std::chrono::milliseconds(100);
constexpr int controller_every = 5;  // state periods between two questions to the controller
constexpr int socket_timeout_s = 2;
constexpr size_t reply_limit = 64 * 1024;

bool is_directory(const std::string &path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool exists(const std::string &path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

// A small attribute's text without its line end; nullopt when it cannot be read.
std::optional<std::string> read_attribute(const std::string &path) {
  FILE *file = fopen(path.c_str(), "re");
  if (file == nullptr) return std::nullopt;
  char buffer[128];
  const size_t n = fread(buffer, 1, sizeof buffer, file);
  fclose(file);
  std::string text(buffer, n);
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

nlohmann::json number_or_null(int value) {
  return value < 0 ? nlohmann::json(nullptr) : nlohmann::json(value);
}

// A descriptor connected to the controller's control socket, or -1 with `error` set.
// `who` names the socket's server in messages: "the controller", "the simulator".
int connect_socket(const std::string &path, const std::string &who, std::string &error) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    error = "the control socket's path is too long: " + path;
    return -1;
  }
  memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = std::string("socket: ") + strerror(errno);
    return -1;
  }
  timeval limit{socket_timeout_s, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  if (connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
    error = who + " has no control socket at " + path + " (" + strerror(errno) + ")";
    close(fd);
    return -1;
  }
  return fd;
}

// --- The watcher's shared state.
std::mutex state_mutex;
std::condition_variable state_changed;
bool state_stopping = false;        // guarded by state_mutex
uint64_t state_number = 0;          // guarded by state_mutex
std::string state_text;             // guarded by state_mutex
TraceFeed trace_feed;               // guarded by state_mutex (written by the watcher only)
std::thread state_watcher;

// The values of the last data record: a command record carries its code where the data
// record has the mode and the temperature. Watcher thread only.
int last_mode = -1, last_temp = -1;

// The backlight level last read, -1 when none. The simulated attribute is a plain file that
// the daemon truncates and then writes, so a read can fall between the two and find it
// empty, where the board's attribute always holds a level: an empty read is that moment and
// keeps the level before it. Watcher thread only.
int last_backlight = -1;

void watch_state(SimLayout layout) {
  FileFollower daemon_log(layout.log + "/daemon.log");
  FileFollower host_trace(layout.log + "/trace-host.jsonl");
  FileFollower controller_trace(layout.log + "/trace-mcu.jsonl");
  PlayerFeed player;
  nlohmann::json controller = nullptr;
  for (int tick = 0;; ++tick) {
    daemon_log.poll([&](const std::string &line) { player_take(player, line); });
    if (tick % controller_every == 0) {
      std::string reply;
      if (controller_command(layout, "state", reply).empty()) {
        nlohmann::json parsed = nlohmann::json::parse(reply, nullptr, false);
        controller = parsed.is_object() ? parsed : nlohmann::json(nullptr);
      } else {
        controller = nullptr;
      }
    }
    nlohmann::json state = device_state(layout);
    nlohmann::json file = player.file;
    if (player.follows_theme && state["theme"].is_object()) file = state["theme"]["background"];
    state["local_video"] = {{"playing", player.playing},
                            {"file", player.playing ? file : nlohmann::json(nullptr)}};
    state["controller"] = controller;
    {
      std::unique_lock lock(state_mutex);
      const uint64_t before = trace_feed.next_number;
      auto take = [](const std::string &line) { trace_take(trace_feed, line); };
      host_trace.poll(take);
      controller_trace.poll(take);
      state["h264_queued"] = trace_feed.queued_blocks ? nlohmann::json(*trace_feed.queued_blocks)
                                                      : nlohmann::json(nullptr);
      std::string text = state.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
      const bool changed = text != state_text || trace_feed.next_number != before;
      if (text != state_text) {
        state_text = std::move(text);
        ++state_number;
      }
      if (changed) state_changed.notify_all();
      if (state_changed.wait_for(lock, state_period, [] { return state_stopping; })) return;
    }
  }
}

}  // namespace

SimLayout sim_layout(const std::string &root_dir) {
  std::string root = root_dir;
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  if (is_directory(root + "/device")) return {root + "/device", root + "/host", root + "/log"};
  return {root, root + "/host", root + "/log"};
}

GuiView gui_view_of(const uint8_t *record, bool published) {
  GuiView view;
  view.present = true;
  view.published = published;
  if (!published) return view;
  const uint8_t kind = record[gui_record::kind];
  const uint8_t *code = record + gui_record::command_code;
  // A data record overwrites bytes 3 and 4 of the last command but never byte 2, so byte 2
  // tells the last command carried even after later data records.
  if (code[0] == gui_pause_command[0]) view.last_command = "pause";
  if (code[0] == gui_resume_command[0]) view.last_command = "resume";
  view.paused = view.last_command == "pause";
  if (kind == gui_kind_data && record[gui_record::start_marker] == gui_record_start_byte) {
    view.control_mode = record[gui_record::control_mode];
    view.water_temp = record[gui_record::water_temp];
  }
  if (record[gui_record::start_marker] == gui_record_start_byte) {
    view.pump_speed = int(record[gui_record::pump_speed_high]) << 8 | record[gui_record::pump_speed_low];
    view.theme = record[gui_record::theme_index];
  }
  return view;
}

GuiView read_gui_view(const SimLayout &layout) {
  GuiView view;
  const int fd = open((layout.device + gui_block_path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return view;
  struct stat st {};
  uint8_t record[gui_record::size];
  const bool whole = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                     st.st_size >= off_t(gui_block_size) &&
                     pread(fd, record, sizeof record, 0) == ssize_t(sizeof record);
  close(fd);
  if (!whole) return view;
  return gui_view_of(record, record[gui_record::end_marker] == gui_record_end_byte);
}

nlohmann::json device_state(const SimLayout &layout) {
  nlohmann::json state;
  GuiView gui = read_gui_view(layout);
  if (gui.control_mode >= 0) {
    last_mode = gui.control_mode;
    last_temp = gui.water_temp;
  }
  if (!gui.published) {
    state["gui"] = {{"state", gui.present ? "shown" : "unknown"}, {"last_command", nullptr}};
  } else {
    state["gui"] = {{"state", gui.paused ? "paused" : "shown"},
                    {"last_command", gui.last_command.empty() ? nlohmann::json(nullptr)
                                                              : nlohmann::json(gui.last_command)}};
  }
  if (gui.theme >= 0) {
    state["theme"] = {{"index", gui.theme},
                      {"background", gui.theme < background_video_count
                                         ? nlohmann::json(h264_bg_filses[gui.theme])
                                         : nlohmann::json(nullptr)}};
  } else {
    state["theme"] = nullptr;
  }
  state["published"] = {{"mode", number_or_null(last_mode)},
                        {"temp", number_or_null(last_temp)},
                        {"pump", number_or_null(gui.pump_speed)}};
  std::optional<std::string> usb = read_attribute(layout.device + udc_state_path);
  state["usb"] = usb ? nlohmann::json(*usb) : nullptr;
  std::optional<std::string> backlight = read_attribute(layout.device + backlight_path);
  if (!backlight || !backlight->empty()) {
    // Anything but an empty read stands as it is: a level, or none (no attribute, or text
    // that is no level), which leaves none to keep.
    int level = -1;
    last_backlight = backlight && sscanf(backlight->c_str(), "%d", &level) == 1 && level >= 0 ? level : -1;
  }
  state["backlight"] = number_or_null(last_backlight);
  std::optional<std::string> rotator = read_attribute(layout.device + rotator_path);
  state["rotation"] = rotator && (*rotator == "90" || *rotator == "180" || *rotator == "270")
                          ? std::stoi(*rotator)
                          : 0;
  return state;
}

void state_watch_start(const SimLayout &layout) { state_watcher = std::thread(watch_state, layout); }

void state_watch_stop() {
  {
    std::lock_guard lock(state_mutex);
    state_stopping = true;
  }
  state_changed.notify_all();
  if (state_watcher.joinable()) state_watcher.join();
}

bool state_wait_newer(uint64_t after_state, uint64_t after_trace,
                      std::chrono::milliseconds timeout, StateUpdate &update) {
  std::unique_lock lock(state_mutex);
  state_changed.wait_for(lock, timeout, [&] {
    return state_stopping || state_number > after_state ||
           (trace_feed.next_number > after_trace + 1 && !trace_feed.entries.empty());
  });
  if (state_stopping) return false;
  update.number = state_number;
  update.state = state_text;
  update.trace.clear();
  for (const TraceEntry &entry : trace_feed.entries) {
    if (entry.number > after_trace) {
      update.trace.push_back(entry.line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    }
  }
  update.last_trace = trace_feed.next_number - 1;
  return true;
}

namespace {

// One line to a control socket and the first line of its answer; an error text, or "".
std::string socket_command(const std::string &path, const std::string &who, const std::string &words,
                           std::string &reply) {
  reply.clear();
  std::string error;
  const int fd = connect_socket(path, who, error);
  if (fd < 0) return error;
  const std::string line = words + "\n";
  size_t sent = 0;
  while (sent < line.size()) {
    const ssize_t n = send(fd, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) {
      close(fd);
      return who + "'s control socket took no command";
    }
    sent += size_t(n);
  }
  char buffer[4096];
  while (reply.find('\n') == std::string::npos && reply.size() < reply_limit) {
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    reply.append(buffer, size_t(n));
  }
  close(fd);
  if (const size_t end = reply.find('\n'); end != std::string::npos) reply.resize(end);
  if (reply.empty()) return who + " did not answer";
  if (reply.rfind("error", 0) == 0) return who + " says: " + reply;
  return "";
}

}  // namespace

std::string set_cable(const SimLayout &layout, bool plugged) {
  // The simulator's cable: the host's end goes away and comes back with the gadget state.
  if (exists(layout.host + "/sim.ctl")) {
    std::string reply;
    return socket_command(layout.host + "/sim.ctl", "the simulator", plugged ? "cable plug" : "cable pull", reply);
  }
  // A device without dhsim: the gadget state alone.
  const std::string path = layout.device + udc_state_path;
  const std::string temporary = path + ".dhview";
  const char *text = plugged ? "configured\n" : "not attached\n";
  // Written whole beside it and renamed, so the daemon's probe never reads half a word.
  FILE *file = fopen(temporary.c_str(), "we");
  if (file == nullptr) return "cannot write " + temporary + ": " + strerror(errno);
  const bool written = fputs(text, file) >= 0;
  if (fclose(file) != 0 || !written) {
    unlink(temporary.c_str());
    return "cannot write " + temporary;
  }
  if (rename(temporary.c_str(), path.c_str()) != 0) {
    const std::string reason = "cannot replace " + path + ": " + strerror(errno);
    unlink(temporary.c_str());
    return reason;
  }
  return "";
}

std::string controller_command(const SimLayout &layout, const std::string &words,
                               std::string &reply) {
  return socket_command(layout.host + "/mcu.ctl", "the controller", words, reply);
}

std::string knob_steps(const SimLayout &layout, int steps, const std::string &dhmcu) {
  std::string reply;
  const std::string words = "knob " + std::to_string(steps);
  std::string error = controller_command(layout, words, reply);
  if (error.empty() || exists(layout.host + "/mcu.ctl")) return error;
  // No control socket: our own dhmcu sends the steps on the controller's end of the cable,
  // beside the one that reports the status.
  const std::string port = layout.host + "/ttyMCU";
  const std::string count = std::to_string(steps);
  const char *argv[] = {dhmcu.c_str(), "-p", port.c_str(), "--knob", count.c_str(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const int result = posix_spawn(&pid, dhmcu.c_str(), &actions, nullptr,
                                 const_cast<char *const *>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (result != 0) return "cannot run " + dhmcu + ": " + strerror(result);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return dhmcu + " could not send the knob steps";
  return "";
}
