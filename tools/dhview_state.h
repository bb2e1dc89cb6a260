// dhview's view of the simulated device's state, and the controls that change it.
//
// Everything is read from outside the daemon, through what the device and the other tools
// leave under the simulator's root: the record in the GUI block (what the GUI process has
// been told: shown or paused, the theme, the controller's values), the sysfs attributes (the
// USB gadget state, the backlight, the rotator), the controller's control socket (dhmcu's own
// values), the trace of both links and the daemon's messages (dhview_feeds.h). The controls
// go through the same interfaces the tools use: the gadget state attribute for the cable and
// dhmcu's control socket for the controller.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

// Where the parts of a simulated device live. scripts/sim --root ROOT gives the daemon
// ROOT/device as "/" and keeps the host's ends in ROOT/host and the logs in ROOT/log; a root
// without a device folder is itself what the daemon sees (host/ and log/ inside it).
struct SimLayout {
  std::string device;
  std::string host;
  std::string log;
};
SimLayout sim_layout(const std::string &root);

// What the GUI process has been told, from the 128-byte record of the GUI block.
struct GuiView {
  bool present = false;     // the block exists and is whole
  bool published = false;   // the daemon has published at least once since it set it up
  bool paused = false;      // the last command it carried was a pause
  std::string last_command; // "pause", "resume" or "" when none has been carried
  int control_mode = -1, water_temp = -1, pump_speed = -1, theme = -1;
};
GuiView gui_view_of(const uint8_t *record, bool published);
GuiView read_gui_view(const SimLayout &layout);

// The whole state as the page shows it, as one JSON object. It remembers what it read
// before (the controller's last mode and temperature, the backlight level, which an empty
// read of its attribute keeps), so one thread calls it: the watcher, or a test.
nlohmann::json device_state(const SimLayout &layout);

// --- The watcher: one thread that refreshes the state and follows the logs ten times a
// second, the controller's own values twice a second.
void state_watch_start(const SimLayout &layout);
void state_watch_stop();

// The newest state (its number moves at every change) and the trace entries numbered above
// `after_trace`; waits up to `timeout` while nothing is newer than `after_state`. False when
// the watcher stops.
struct StateUpdate {
  uint64_t number = 0;
  std::string state;                // the JSON text
  std::vector<std::string> trace;   // JSON texts of the new trace entries, oldest first
  uint64_t last_trace = 0;
};
bool state_wait_newer(uint64_t after_state, uint64_t after_trace,
                      std::chrono::milliseconds timeout, StateUpdate &update);

// --- Controls. Each returns "" on success, else the reason.
// The USB cable: the gadget state attribute reads "configured" while plugged, "not attached"
// once pulled.
std::string set_cable(const SimLayout &layout, bool plugged);
// One line to dhmcu's control socket ("knob 1", "mode 2", ...); `reply` gets its answer.
std::string controller_command(const SimLayout &layout, const std::string &words,
                               std::string &reply);
// Knob steps: through the control socket, or, where the controller has none, by a dhmcu of
// our own sending the steps on the controller's end of the cable.
std::string knob_steps(const SimLayout &layout, int steps, const std::string &dhmcu);
