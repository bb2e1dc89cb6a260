// Runs the real displayhead under a fresh sandbox root, with a pty as its host port, and
// talks to it as the host does. Everything the daemon prints (stdout and stderr, in order)
// is collected so a test can wait for a message.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

#include "tools/host_client.h"

enum class HostPort {
  pty,    // DIR/dev/ttyGS0 is a pty; the test holds its master
  cable,  // socat joins DIR/dev/ttyGS0 to DIR/host/ttyACM0, the far end of a cable that
          // host programs such as dhhost open by name
};

class DaemonUnderTest {
 public:
  // Makes the root (with dev/ and usr/data/), gives it a host port and starts the daemon;
  // returns when it has opened the port ("init_tty done!").
  explicit DaemonUnderTest(HostPort port = HostPort::pty);
  // The same on an existing root, which is left in place afterwards: a restart of the device.
  DaemonUnderTest(HostPort port, const std::string &existing_root);
  // The same, started through `launcher`: a command that ends by executing its last argument,
  // which is the daemon (for instance in a namespace of its own).
  DaemonUnderTest(HostPort port, const std::string &existing_root,
                  std::vector<std::string> launcher);
  ~DaemonUnderTest();
  DaemonUnderTest(const DaemonUnderTest &) = delete;
  DaemonUnderTest &operator=(const DaemonUnderTest &) = delete;

  const std::string &root() const { return root_; }
  pid_t pid() const { return pid_; }
  int host_fd() const { return master_; }   // the host's end of the link
  int controller_fd() const { return controller_; }  // the controller's end of its link
  std::string host_port_path() const { return root_ + "/host/ttyACM0"; }  // HostPort::cable

  // Everything printed so far.
  std::string output();
  // How often `text` has been printed so far.
  int count(const std::string &text);
  // Waits until `text` has been printed at least `times` times.
  bool wait_for(const std::string &text, int times = 1, int timeout_ms = 20000);

  // One command through the host library.
  ReplyCheck transact(uint8_t code, std::span<const uint8_t> payload, ReplyBytes &reply,
                      std::span<const uint8_t> block = {}, int timeout_ms = 20000);
  void send(std::span<const uint8_t> bytes);
  // Reads one reply; false when none comes within the time.
  bool read_reply(ReplyBytes &reply, int timeout_ms);
  // True when no byte at all arrives within the time.
  bool silent_for(int timeout_ms);

  bool running();

  // The controller's side: one 224-byte frame, and what the daemon sent to the controller
  // (everything that arrives within the time).
  void send_to_daemon_as_controller(std::span<const uint8_t> frame);
  std::vector<uint8_t> read_from_daemon_as_controller(size_t at_most, int timeout_ms);
  // The controller goes away as a simulated one does: both ends of its pty are closed and
  // DIR/dev/ttyS5 is removed, so the daemon's end of the port hangs up.
  void hang_up_controller();
  // A new controller port: a fresh pty at DIR/dev/ttyS5, its far end held here (the daemon's
  // first port is made this way, before it starts).
  void connect_new_controller();
  // Kills the daemon (as a power cut would) and waits for it; the root stays.
  void stop();

 private:
  void collect_output(int fd);
  void start(HostPort port);

  std::string root_;
  int master_ = -1;
  int slave_ = -1;
  int controller_ = -1, controller_slave_ = -1;
  pid_t pid_ = -1;
  pid_t socat_pid_ = -1;
  bool own_root_ = true;
  std::vector<std::string> launcher_;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string output_;
};

// The build directory the tests run from (holds displayhead and dhhost).
std::string build_dir();

// A fresh directory under /tmp for a sandbox root; the caller removes it.
std::string make_temp_root();

// The whole content of a file ("" when it cannot be read).
std::string read_file(const std::string &path);

// Whether the centre of the panel under `root` shows `colour` (within 24 in each of R, G, B)
// at some moment before `within` has passed; it is looked at at least once.
bool screen_shows(const std::string &root, uint32_t colour, std::chrono::milliseconds within);

// Waits until the daemon under `root` has handed `count` more pictures to the panel (pans of
// layer 0) than it had when called; whether it did before `within` passed. A video's frames
// are pans: "the background has played on for five frames".
bool wait_for_pans(const std::string &root, size_t count, std::chrono::milliseconds within);

// A pty, raw from the start (nothing written to it is echoed or changed), neither end inherited
// by the programs a test starts; whether it opened.
bool open_raw_pty(int &master, int &slave);

// Command arguments as the host lays them out.
std::span<const uint8_t> bytes_of(const std::string &text);
// L, M and a name, as the commands that carry a name lay them out.
std::string name_and_length(const std::string &name, uint32_t second);
// An upload chunk (0x27): the block's length, the bytes to store, the last-chunk flag.
std::string chunk_payload(uint32_t block_length, uint32_t store_length, uint8_t last);

// Whether a reply has the failure layout: bytes 6..13 "_failed\0" (byte 8 = 0x61).
bool reports_failure(const ReplyBytes &reply);
