// The whole simulated device as a user meets it: scripts/sim brings up the daemon, its
// cables (dhsim, socat), dhmcu (status frames twice a second) and dhgui in a fresh sandbox root, and the
// test drives it through the far ends of the cables with the dhhost and dhmcu executables,
// as scripts/demo does. At the end it is stopped with SIGINT, and must leave no process and
// no root behind.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

#include "platform/panel_view.h"
#include "tests/support/target.h"

// scripts/sim starts the build's executables itself, and the scenarios look at video pictures:
// a cross build (whose executables run under the emulator) and a build whose decoder shows
// no pictures leave them out.
#define SKIP_WITHOUT_SIMULATED_DEVICE()                                                    \
  if (!emulator_words().empty()) GTEST_SKIP() << "scripts/sim runs the executables directly"; \
  SKIP_WITHOUT_H264_PICTURES()

// A tool's exit status and everything it printed (standard output and error, in order).
struct ToolRun {
  int status = -1;
  std::string out;
};

// Runs a tool of the build directory through the shell: run_tool("dhhost", "-p PORT version").
ToolRun run_tool(const std::string &program, const std::string &arguments);

class SimulatedDevice {
 public:
  // scripts/sim with these options (--root, --quiet and --no-build are added); returns when
  // the device is up and the sim has written ROOT/log/ready.
  explicit SimulatedDevice(const std::vector<std::string> &options = {});
  ~SimulatedDevice();
  SimulatedDevice(const SimulatedDevice &) = delete;
  SimulatedDevice &operator=(const SimulatedDevice &) = delete;

  // The run folder; what the daemon sees as "/" (ROOT/device); a file of the host's side
  // (ROOT/host/NAME), where the tests keep the files they send.
  const std::string &root() const { return root_; }
  std::string device_root() const { return root_ + "/device"; }
  std::string host_path(const std::string &name) const { return root_ + "/host/" + name; }
  // dhhost on the far end of the host's cable; control words to the serving dhmcu the sim
  // runs on the far end of the controller's ("knob 1", "state"): a second dhmcu on that
  // cable would fight it.
  ToolRun dhhost(const std::string &arguments) const;
  ToolRun control(const std::string &words) const;

  // A log of ROOT/log: "daemon", "dhgui", "dhmcu".
  std::string log(const std::string &name) const;
  bool wait_for_log(const std::string &name, const std::string &text,
                    std::chrono::milliseconds within) const;

  // What the panel shows now, and whether the pixel at (x, y) comes near `rgb` in time.
  PanelPicture screen() const;
  bool wait_for_pixel(int x, int y, uint32_t rgb, std::chrono::milliseconds within) const;

 private:
  // SIGINT, at the end: the sim must end with status 0 and leave no process of the device
  // and no root.
  void interrupt();

  std::string root_;
  std::string output_path_;
  pid_t pid_ = -1;
};

// The colour of a theme's background video, and a point of the screen where it shows (clear
// of the moving boxes and the grid lines).
uint32_t theme_colour(int theme);
int theme_x(int theme);
constexpr int theme_y = 400;
