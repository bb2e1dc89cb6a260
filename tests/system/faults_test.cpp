// Faults around the real daemon: a host link cut in the middle of an upload, a full disk and a
// read-only /usr/data, a controller that sends garbage or nothing, damaged media and
// settings, a GUI process that holds the shared block's mutex or dies holding it, and a power
// cut in the middle of a stream. In each the host must still be served and what was stored
// before must survive.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <random>
#include <set>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "crypto/host_packet.h"
#include "mcu/gui_shm_layout.h"
#include "storage/storage.h"
#include "tests/support/target.h"
#include "tests/support/waiting.h"
#include "tests/system/daemon_harness.h"
#include "tests/system/media.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const std::string card_path = "/tmp/sdcard/mmcblk0p1";
constexpr std::array<uint8_t, 4> cut_tag = {0xC0, 0x7, 0x7, 0xC0};

std::vector<uint8_t> bytes(const std::string &text) { return {text.begin(), text.end()}; }

std::vector<uint8_t> noise(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> out(size);
  for (auto &b : out) b = uint8_t(random());
  return out;
}

// Whether a file holds exactly `content`; on a difference, only the sizes are shown.
testing::AssertionResult holds(const std::string &path, const std::string &content) {
  const std::string actual = read_file(path);
  if (actual == content) return testing::AssertionSuccess();
  return testing::AssertionFailure() << path << " holds " << actual.size() << " other bytes than the "
                                     << content.size() << " expected";
}

// The names in a directory.
std::set<std::string> entries(const std::string &dir) {
  std::set<std::string> names;
  for (const auto &entry : fs::directory_iterator(dir)) names.insert(entry.path().filename());
  return names;
}

// A whole upload: 0x26, then chunks of at most `chunk` bytes, the last with flag 1. False as
// soon as a command is not answered.
bool upload(DaemonUnderTest &daemon, const std::string &remote, const std::string &data, size_t chunk) {
  ReplyBytes reply{};
  if (daemon.transact(CMD_CREATE_FILE, bytes_of(name_payload(remote)), reply) != ReplyCheck::ok ||
      reply[reply_result] != reply_status_ok) {
    return false;
  }
  size_t done = 0;
  do {
    const size_t length = std::min(chunk, data.size() - done);
    const bool last = done + length == data.size();
    const std::string payload = chunk_payload(uint32_t(length), uint32_t(length), last ? 1 : 0);
    if (daemon.transact(CMD_SAVE_FILE_BUFFER, bytes_of(payload), reply,
                        bytes_of(data.substr(done, length))) != ReplyCheck::ok) {
      return false;
    }
    done += length;
  } while (done < data.size());
  return true;
}

bool version_served(DaemonUnderTest &daemon, int timeout_ms = 5000) {
  ReplyBytes reply{};
  return daemon.transact(CMD_GET_VERSION, {}, reply, {}, timeout_ms) == ReplyCheck::ok &&
         std::string(reinterpret_cast<const char *>(reply.data() + reply_result)) == "morvadq7_0005_0020";
}

using Frame = std::array<uint8_t, 224>;

Frame status_frame(uint8_t mode) {
  Frame frame{};
  frame[0] = 0xAA;
  frame[1] = 0x55;
  frame[2] = 0x46;
  frame[3] = mode;
  frame[4] = 30;
  return frame;
}

// The controller reporting every 50 ms for as long as it lives.
class ReportingController {
 public:
  explicit ReportingController(DaemonUnderTest &daemon)
      : thread_([this, &daemon] {
          while (running_) {
            daemon.send_to_daemon_as_controller(status_frame(0));
            std::this_thread::sleep_for(50ms);  // pacing, as a controller reports; nothing waits on it
          }
        }) {}
  ~ReportingController() {
    running_ = false;
    thread_.join();
  }

 private:
  std::atomic<bool> running_{true};
  std::thread thread_;
};

// The shared block as the GUI process maps it.
class GuiBlockMapping {
 public:
  explicit GuiBlockMapping(const std::string &root) {
    const int fd = open((root + "/dev/shm/demo_shm").c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return;
    void *map = mmap(nullptr, gui_block_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (map != MAP_FAILED) block_ = static_cast<GuiSharedBlock *>(map);
  }
  ~GuiBlockMapping() {
    if (block_ != nullptr) munmap(block_, gui_block_size);
  }
  GuiSharedBlock *get() const { return block_; }

  // Takes the new-data flag as the GUI process does, then waits for the next publish.
  bool next_publish(std::chrono::milliseconds within) {
    __atomic_store_n(&block_->new_data, 0, __ATOMIC_SEQ_CST);
    const auto deadline = std::chrono::steady_clock::now() + within;
    while (__atomic_load_n(&block_->new_data, __ATOMIC_SEQ_CST) != 1) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(10ms);
    }
    return true;
  }

 private:
  GuiSharedBlock *block_ = nullptr;
};

}  // namespace

TEST(Faults, UploadCutMidBlockOrMidPacketKeepsTheStoredFileAndTheUploadGoesOn) {
  DaemonUnderTest daemon;
  const std::string card = daemon.root() + card_path;
  write_bytes(card + "/clip.bin", bytes("the whole clip as it was"));
  ReplyBytes reply{};

  // The second chunk's block stops after 100 of its 4096 bytes: no reply, the port reopened,
  // nothing of that block stored and the old file still whole.
  ASSERT_EQ(daemon.transact(CMD_CREATE_FILE, bytes_of(name_payload(card_path + "/clip.bin")), reply),
            ReplyCheck::ok);
  ASSERT_EQ(daemon.transact(CMD_SAVE_FILE_BUFFER, bytes_of(chunk_payload(4096, 4096, 0)), reply,
                            bytes_of(std::string(4096, 'a'))),
            ReplyCheck::ok);
  daemon.send(build_packet(CMD_SAVE_FILE_BUFFER, cut_tag, bytes_of(chunk_payload(4096, 4096, 1))));
  daemon.send(bytes_of(std::string(100, 'b')));
  ASSERT_TRUE(daemon.wait_for("init_tty done!", 2)) << daemon.output();
  EXPECT_TRUE(holds(card + "/clip.bin", "the whole clip as it was"));
  EXPECT_EQ(entries(card), (std::set<std::string>{"clip.bin", upload_temp_name("clip.bin")}));

  // A packet stops after 100 of its 512 bytes: the upload is still where it was.
  const PacketBytes packet = build_packet(CMD_SAVE_FILE_BUFFER, cut_tag, bytes_of(chunk_payload(10, 10, 0)));
  daemon.send(std::span(packet).first(100));
  ASSERT_TRUE(daemon.wait_for("init_tty done!", 3)) << daemon.output();
  EXPECT_TRUE(holds(card + "/clip.bin", "the whole clip as it was"));

  // The cut chunk sent again ends the upload: the first chunk and the resent one, nothing else.
  const std::string last(4096, 'b');
  ASSERT_EQ(daemon.transact(CMD_SAVE_FILE_BUFFER, bytes_of(chunk_payload(4096, 4096, 1)), reply, bytes_of(last)),
            ReplyCheck::ok);
  EXPECT_EQ(reply[reply_result], 0);
  EXPECT_TRUE(holds(card + "/clip.bin", std::string(4096, 'a') + last));
  EXPECT_EQ(entries(card), std::set<std::string>{"clip.bin"});

  // A chunk with no upload open stores nothing; a new upload goes through whole.
  ASSERT_EQ(daemon.transact(CMD_SAVE_FILE_BUFFER, bytes_of(chunk_payload(10, 10, 1)), reply,
                            bytes_of(std::string(10, 'n'))),
            ReplyCheck::ok);
  EXPECT_TRUE(daemon.wait_for("no upload open")) << daemon.output();
  const std::string clip(10000, 'c');
  ASSERT_TRUE(upload(daemon, card_path + "/clip.bin", clip, 4096));
  EXPECT_TRUE(holds(card + "/clip.bin", clip));
  EXPECT_EQ(entries(card), std::set<std::string>{"clip.bin"});
}

TEST(Faults, AFullDiskFailsUploadsClearlyAndKeepsThePreviousFiles) {
  DaemonUnderTest daemon;
  const std::string card = daemon.root() + card_path;
  write_bytes(card + "/clip.bin", bytes("old clip"));
  write_bytes(card + "/small.bin", bytes("old small file"));
  ReplyBytes reply{};
  const uint8_t settings[] = {0x64, 0x02, 0x00, 0x01, 0x00, 0x01};
  ASSERT_EQ(daemon.transact(CMD_SET_CONFIG, settings, reply), ReplyCheck::ok);
  const std::string stored_settings = read_file(daemon.root() + "/usr/data/app.cfg");
  ASSERT_EQ(stored_settings.size(), 132u);

  // From now on no file of the daemon's may grow past 64 KiB: the card is full.
  const rlimit full = {65536, 65536};
  ASSERT_EQ(prlimit(daemon.pid(), RLIMIT_FSIZE, &full, nullptr), 0) << strerror(errno);

  // The chunks that no longer fit, and the last one, are answered as failed.
  ASSERT_EQ(daemon.transact(CMD_CREATE_FILE, bytes_of(name_payload(card_path + "/clip.bin")), reply), ReplyCheck::ok);
  ASSERT_EQ(reply[reply_result], reply_status_ok);
  const std::string chunk(65536, 'x');
  std::vector<bool> failed;
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(daemon.transact(CMD_SAVE_FILE_BUFFER, bytes_of(chunk_payload(65536, 65536, i == 2 ? 1 : 0)), reply,
                              bytes_of(chunk)),
              ReplyCheck::ok);
    failed.push_back(reports_failure(reply));
  }
  EXPECT_EQ(failed, (std::vector<bool>{false, true, true}));
  EXPECT_TRUE(daemon.wait_for("upload of " + card_path + "/clip.bin failed")) << daemon.output();
  EXPECT_TRUE(daemon.wait_for("File too large")) << daemon.output();
  ASSERT_TRUE(daemon.running());
  EXPECT_TRUE(holds(card + "/clip.bin", "old clip"));

  ASSERT_EQ(daemon.transact(CMD_SAVE_SMALL_FILE, bytes_of(name_and_length(card_path + "/small.bin", 100000)),
                            reply, bytes_of(std::string(100000, 's'))),
            ReplyCheck::ok);
  EXPECT_TRUE(reports_failure(reply));
  EXPECT_TRUE(daemon.wait_for("errno:27  File too large")) << daemon.output();
  EXPECT_TRUE(holds(card + "/small.bin", "old small file"));
  EXPECT_EQ(entries(card), (std::set<std::string>{"clip.bin", "small.bin"}));

  // The settings file is rewritten in place and needs no room: it is still stored whole.
  const uint8_t other_settings[] = {0x20, 0x00, 0x00, 0x02, 0x00, 0x00};
  ASSERT_EQ(daemon.transact(CMD_SET_CONFIG, other_settings, reply), ReplyCheck::ok);
  EXPECT_FALSE(reports_failure(reply));
  std::string expected = stored_settings;
  memcpy(expected.data(), other_settings, sizeof other_settings);
  EXPECT_TRUE(holds(daemon.root() + "/usr/data/app.cfg", expected));
  EXPECT_TRUE(version_served(daemon));
}

TEST(Faults, ReadOnlyDataKeepsTheStoredSettingsAndSavesSayWhyTheyFail) {
  const std::string root = make_temp_root();
  const std::string data = root + "/usr/data";
  std::string app_cfg(132, '\0');
  app_cfg[0] = 100;
  app_cfg[1] = 0;
  write_bytes(data + "/app.cfg", bytes(app_cfg));
  write_bytes(data + "/lvgl_app.cfg", bytes(std::string(1, '\x05') + std::string(15, '\0')));
  // A read-only bind mount of /usr/data in a mount namespace of the daemon's own.
  const std::string read_only =
      "mount --bind \"$1\" \"$1\" && mount -o remount,bind,ro \"$1\" && shift && exec \"$@\"";
  const std::string probe = "unshare -rm sh -c '" + read_only + "' sh '" + data + "' true 2>&1";
  if (system(probe.c_str()) != 0) {
    fs::remove_all(root);
    GTEST_SKIP() << "read-only bind mounts are not available here (unshare -rm, mount)";
  }
  {
    DaemonUnderTest daemon(HostPort::pty, root, {"unshare", "-rm", "sh", "-c", read_only, "sh", data});
    EXPECT_TRUE(daemon.wait_for("ReadConfig bright:100 mode:0  local_rotation:0 ")) << daemon.output();
    EXPECT_TRUE(daemon.wait_for("ReadConfig theme index: 5 ")) << daemon.output();

    ReplyBytes reply{};
    const uint8_t settings[] = {0x10, 0x02, 0x00, 0x01, 0x00, 0x01};
    ASSERT_EQ(daemon.transact(CMD_SET_CONFIG, settings, reply), ReplyCheck::ok);
    EXPECT_TRUE(reports_failure(reply));
    EXPECT_TRUE(daemon.wait_for("SaveConfig open app.cfg err")) << daemon.output();
    EXPECT_TRUE(daemon.wait_for("Read-only file system")) << daemon.output();
    EXPECT_TRUE(holds(data + "/app.cfg", app_cfg));

    // Every store that does not happen is answered as failed; the files stay as they were.
    const uint8_t rotation[] = {0x01};
    ASSERT_EQ(daemon.transact(CMD_SET_ROTATION, rotation, reply), ReplyCheck::ok);
    EXPECT_TRUE(reports_failure(reply));
    ASSERT_EQ(daemon.transact(CMD_MARK_USB_DISPLAY, {}, reply), ReplyCheck::ok);
    EXPECT_TRUE(reports_failure(reply));
    ASSERT_EQ(daemon.transact(CMD_SAVE_SMALL_FILE, bytes_of(name_and_length("/usr/data/lvgl_app.cfg", 3)), reply,
                              bytes_of(std::string("new"))),
              ReplyCheck::ok);
    EXPECT_TRUE(reports_failure(reply));
    EXPECT_TRUE(holds(data + "/app.cfg", app_cfg));
    EXPECT_TRUE(holds(data + "/lvgl_app.cfg", std::string(1, '\x05') + std::string(15, '\0')));
    EXPECT_FALSE(fs::exists(data + "/usb_display"));
    // A command that stores nothing keeps the all-zero result.
    ASSERT_EQ(daemon.transact(CMD_GET_FILE_SIZE, bytes_of(name_payload("/usr/data/app.cfg")), reply), ReplyCheck::ok);
    EXPECT_FALSE(reports_failure(reply));

    ASSERT_EQ(daemon.transact(CMD_CREATE_FILE, bytes_of(name_payload("/usr/data/up.bin")), reply), ReplyCheck::ok);
    EXPECT_EQ(reply[reply_result], 0x61);  // "create_failed"
    EXPECT_TRUE(version_served(daemon));
  }
  fs::remove_all(root);
}

TEST(Faults, AControllerThatSendsGarbageOrNothingNeverCostsTheHost) {
  DaemonUnderTest daemon;
  ASSERT_TRUE(daemon.wait_for("init_mcu_tty done!")) << daemon.output();
  ReplyBytes reply{};
  const uint8_t pump_fan[14] = {1, 2, 3};
  auto served = [&](const std::string &when) {
    EXPECT_TRUE(version_served(daemon, 10000)) << when;
    EXPECT_EQ(daemon.transact(CMD_MCU_SET_PUMP_FAN, pump_fan, reply, {}, 10000), ReplyCheck::ok) << when;
    EXPECT_EQ(daemon.transact(CMD_GET_MCU_DATA, {}, reply, {}, 10000), ReplyCheck::ok) << when;
  };
  served("before the controller said anything");

  // Garbage, frames with wrong headers and frames cut short, while the host is served.
  std::atomic<bool> talking{true};
  std::thread controller([&] {
    std::mt19937 random(5);
    while (talking) {
      std::vector<uint8_t> junk = noise(1 + random() % 400, uint32_t(random()));
      // Never a valid header by chance: an AA only ever comes with the wrong second byte.
      for (auto &b : junk) b = b == 0xAA ? 0x00 : b;
      if (random() % 3 == 0 && junk.size() >= 2) {
        junk[0] = 0xAA;
        junk[1] = 0x56;
      }
      daemon.send_to_daemon_as_controller(junk);
      std::this_thread::sleep_for(std::chrono::milliseconds(random() % 30));  // pacing: gaps of its own
    }
  });
  for (int i = 0; i < 8; ++i) served("round " + std::to_string(i));
  talking = false;
  controller.join();
  EXPECT_TRUE(daemon.wait_for("uart receive header error")) << daemon.output();

  // Once it talks sense again, its frames are taken. A frame the garbage left cut short
  // either times out after the line's silence or takes the head of the first status frame
  // with it (a header error, and the rest times out): the controller repeats its status until
  // it is heard, as a real one does.
  daemon.read_from_daemon_as_controller(1 << 20, 100);
  bool heard = false;
  for (int i = 0; i < 10 && !heard; ++i) {
    daemon.send_to_daemon_as_controller(status_frame(2));
    heard = daemon.wait_for("control mode = 2", 1, 5000);
  }
  EXPECT_TRUE(heard) << daemon.output();
  EXPECT_TRUE(daemon.running());
}

// A simulated controller that goes away hangs its port up, and from then on every read of it
// fails at once. The daemon says so once, gives the port up and opens it again when it is back,
// without a message per failed read; meanwhile the host is served, and a message for the
// controller is answered as not sent.
TEST(Faults, AControllerPortThatHangsUpIsOpenedAgainWhenItIsBack) {
  DaemonUnderTest daemon;
  ASSERT_TRUE(daemon.wait_for("init_mcu_tty done!")) << daemon.output();
  ASSERT_TRUE(daemon.wait_for("uart thread ")) << daemon.output();
  const size_t before = daemon.output().size();
  daemon.hang_up_controller();
  ASSERT_TRUE(daemon.wait_for("controller port hung up")) << daemon.output();

  EXPECT_TRUE(version_served(daemon));
  ReplyBytes reply{};
  const uint8_t pump_fan[14] = {1, 2, 3};
  ASSERT_EQ(daemon.transact(CMD_MCU_SET_PUMP_FAN, pump_fan, reply), ReplyCheck::ok);
  EXPECT_TRUE(reports_failure(reply));

  // The port comes back; its first frames may go before the daemon has it open again (the
  // open flushes what waited), so the controller repeats its status until it is heard.
  daemon.connect_new_controller();
  bool heard = false;
  for (int i = 0; i < 12 && !heard; ++i) {
    daemon.send_to_daemon_as_controller(status_frame(2));
    heard = daemon.wait_for("control mode = 2", 1, 5000);
  }
  ASSERT_TRUE(heard) << daemon.output();
  const std::string out = daemon.output();
  const size_t back = out.find("controller port is open again", before);
  ASSERT_NE(back, std::string::npos) << out;
  const std::string while_gone = out.substr(before, back - before);
  size_t read_errors = 0;
  for (size_t at = while_gone.find("mcu uart read error"); at != std::string::npos;
       at = while_gone.find("mcu uart read error", at + 1)) {
    ++read_errors;
  }
  EXPECT_EQ(read_errors, 1u) << while_gone;
  ASSERT_EQ(daemon.transact(CMD_MCU_SET_PUMP_FAN, pump_fan, reply), ReplyCheck::ok);
  EXPECT_FALSE(reports_failure(reply));
  EXPECT_EQ(daemon.read_from_daemon_as_controller(16, 5000).size(), 16u);
}

// A controller port that opens but cannot be set up (here not a terminal at all) is given up
// with the link: nothing is ever written to it, since bytes sent through a port at the wrong
// speed and with its output processing on would reach the controller changed.
TEST(Faults, AControllerPortThatCannotBeSetUpIsNeverWritten) {
  const std::string root = make_temp_root();
  const std::string port = root + "/dev/ttyS5";
  {
    // The port becomes a plain file just before the daemon starts.
    DaemonUnderTest daemon(HostPort::pty, root,
                           {"sh", "-c", "rm -f \"$0\" && : > \"$0\" && exec \"$@\"", port});
    ASSERT_TRUE(daemon.wait_for("---------------------init mcu tty error")) << daemon.output();
    ASSERT_TRUE(fs::is_regular_file(port));
    ReplyBytes reply{};
    const uint8_t pump_fan[14] = {1, 2, 3};
    ASSERT_EQ(daemon.transact(CMD_MCU_SET_PUMP_FAN, pump_fan, reply), ReplyCheck::ok);
    EXPECT_TRUE(reports_failure(reply));
    ASSERT_EQ(daemon.transact(CMD_MCU_ERASE, {}, reply), ReplyCheck::ok);
    EXPECT_TRUE(reports_failure(reply));
    EXPECT_EQ(fs::file_size(port), 0u);
    EXPECT_TRUE(version_served(daemon));
  }
  fs::remove_all(root);
}

TEST(Faults, DamagedMediaAndSettingsNeverStopTheDevice) {
  const std::string root = make_temp_root();
  write_bytes(root + "/media/logo.jpg", noise(5000, 2));
  // app.cfg cut after two bytes (brightness, mode 1: the slideshow); lvgl_app.cfg of 1 MiB
  // naming theme 3, whose background video is missing (as is every fallback).
  write_bytes(root + "/usr/data/app.cfg", {0x50, 0x01});
  std::vector<uint8_t> oversized(1 << 20, 0xEE);
  oversized[0] = 3;
  write_bytes(root + "/usr/data/lvgl_app.cfg", oversized);
  // The slideshow: nothing, noise, a picture cut short, one claiming 65535 x 65535, a good one.
  const std::string img = root + card_path + "/img/";
  std::vector<uint8_t> good = solid_jpeg(480, 480, 0x00C000);
  std::vector<uint8_t> cut = good;
  cut.resize(cut.size() / 3);
  std::vector<uint8_t> huge = good;
  for (size_t i = 0; i + 8 < huge.size(); ++i) {
    if (huge[i] == 0xFF && huge[i + 1] == 0xC0) {  // the frame header: height, then width
      huge[i + 5] = huge[i + 6] = huge[i + 7] = huge[i + 8] = 0xFF;
      break;
    }
  }
  write_bytes(img + "a.jpg", {});
  write_bytes(img + "b.jpg", noise(3000, 4));
  write_bytes(img + "c.jpg", cut);
  write_bytes(img + "d.jpg", huge);
  write_bytes(img + "e.jpg", good);
  // Videos: noise, and one cut in the middle.
  write_bytes(root + "/media/noise.h264", noise(300000, 3));
  std::string half = read_file(std::string(DH_SOURCE_DIR) + "/media/bg_h264/7_Jiguang.h264");
  half.resize(half.size() / 2);
  write_bytes(root + "/media/half.h264", bytes(half));
  {
    DaemonUnderTest daemon(HostPort::pty, root);
    EXPECT_TRUE(daemon.wait_for("ReadConfig theme index: 3 ")) << daemon.output();
    EXPECT_TRUE(daemon.wait_for("jpg thread start")) << daemon.output();
    EXPECT_TRUE(screen_shows(root, 0x00C000, 20000ms)) << daemon.output();
    EXPECT_TRUE(version_served(daemon));

    ReplyBytes reply{};
    for (const char *video : {"/media/noise.h264", "/media/half.h264", "/media/none.h264"}) {
      ASSERT_EQ(daemon.transact(CMD_PLAY_LOCAL_H264, bytes_of(name_payload(video)), reply), ReplyCheck::ok);
      // Not synchronisation: the player chokes on it meanwhile, and the host must be served
      // whatever it is doing.
      std::this_thread::sleep_for(500ms);
      EXPECT_TRUE(version_served(daemon)) << video;
      ASSERT_EQ(daemon.transact(CMD_STOP_LOCAL_H264, {}, reply), ReplyCheck::ok);
    }
    EXPECT_TRUE(daemon.running());
  }
  fs::remove_all(root);
}

TEST(Faults, AGuiProcessHoldingTheMutexOrDyingWithItCostsOnlyPublishes) {
  DaemonUnderTest daemon;
  ASSERT_TRUE(daemon.wait_for("init_mcu_tty done!")) << daemon.output();
  GuiBlockMapping gui(daemon.root());
  ASSERT_NE(gui.get(), nullptr);
  ReportingController controller(daemon);
  ASSERT_TRUE(gui.next_publish(20000ms));

  // The GUI process takes the mutex and hangs.
  int locked[2];
  ASSERT_EQ(pipe(locked), 0);
  const pid_t holder = fork();
  if (holder == 0) {
    alarm(30);
    if (pthread_mutex_lock(&gui.get()->mutex) != 0) _exit(1);
    (void)!write(locked[1], "L", 1);
    pause();
    _exit(0);
  }
  close(locked[1]);
  char byte = 0;
  ASSERT_EQ(read(locked[0], &byte, 1), 1);
  close(locked[0]);

  EXPECT_TRUE(daemon.wait_for("gui shm: mutex held by the GUI process, publish skipped", 1, 20000))
      << daemon.output();
  ReplyBytes reply{};
  for (int i = 0; i < 5; ++i) {
    EXPECT_TRUE(version_served(daemon, 10000)) << "round " << i;
    EXPECT_EQ(daemon.transact(CMD_GET_MCU_DATA, {}, reply, {}, 10000), ReplyCheck::ok) << "round " << i;
  }

  // It dies holding the mutex: the daemon takes it over and publishes again.
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  SKIP_WITHOUT_DEAD_HOLDER_REPORTS();
  EXPECT_TRUE(daemon.wait_for("gui shm: last holder of the mutex died, mutex recovered", 1, 20000))
      << daemon.output();
  EXPECT_TRUE(gui.next_publish(20000ms));
  EXPECT_TRUE(version_served(daemon));
}

TEST(Faults, KilledInTheMiddleOfAStreamTheDeviceComesBackWithItsFiles) {
  const std::string root = make_temp_root();
  const std::string stream = read_file(std::string(DH_SOURCE_DIR) + "/media/host_stream.h264");
  ASSERT_GT(stream.size(), 200000u);
  const std::string clip(150000, 'k');
  std::string settings, themes;
  {
    DaemonUnderTest daemon(HostPort::pty, root);
    ReplyBytes reply{};
    const uint8_t stored[] = {0x64, 0x00, 0x00, 0x00, 0x00, 0x01};
    ASSERT_EQ(daemon.transact(CMD_SET_CONFIG, stored, reply), ReplyCheck::ok);
    fs::create_directories(root + card_path);
    ASSERT_TRUE(upload(daemon, card_path + "/clip.bin", clip, 65536));
    settings = read_file(root + "/usr/data/app.cfg");
    themes = read_file(root + "/usr/data/lvgl_app.cfg");

    ReportingController controller(daemon);
    uint8_t length[4];
    write_be32(length, 65536);
    ASSERT_EQ(daemon.transact(CMD_PUSH_H264_BLOCK, length, reply, bytes_of(stream.substr(0, 65536))),
              ReplyCheck::ok);
    // The power goes while the next block is on its way, and an upload is open.
    ASSERT_EQ(daemon.transact(CMD_CREATE_FILE, bytes_of(name_payload(card_path + "/clip.bin")), reply),
              ReplyCheck::ok);
    ASSERT_EQ(daemon.transact(CMD_SAVE_FILE_BUFFER, bytes_of(chunk_payload(1000, 1000, 0)), reply,
                              bytes_of(std::string(1000, 'p'))),
              ReplyCheck::ok);
    daemon.send(build_packet(CMD_PUSH_H264_BLOCK, cut_tag, length));
    daemon.send(bytes_of(stream.substr(65536, 30000)));
    std::this_thread::sleep_for(100ms);  // not synchronisation: the power goes at some moment meanwhile
    daemon.stop();
  }
  {
    DaemonUnderTest daemon(HostPort::pty, root);
    EXPECT_TRUE(version_served(daemon));
    EXPECT_TRUE(holds(root + "/usr/data/app.cfg", settings));
    EXPECT_TRUE(holds(root + "/usr/data/lvgl_app.cfg", themes));
    EXPECT_TRUE(holds(root + card_path + "/clip.bin", clip));

    // The GUI block is taken over whatever state the kill left it in.
    GuiBlockMapping gui(root);
    ASSERT_NE(gui.get(), nullptr);
    ReportingController controller(daemon);
    EXPECT_TRUE(gui.next_publish(20000ms)) << daemon.output();

    // A new stream plays to its end.
    ReplyBytes reply{};
    for (size_t done = 0; done < stream.size(); done += 65536) {
      const std::string block = stream.substr(done, 65536);
      uint8_t length[4];
      write_be32(length, uint32_t(block.size()));
      ASSERT_EQ(daemon.transact(CMD_PUSH_H264_BLOCK, length, reply, bytes_of(block)), ReplyCheck::ok);
    }
    // The whole stream fits the ring: wait until the decoder has taken it, or the stop below
    // would empty the ring before anything was decoded.
    EXPECT_TRUE(wait_until(
        [&] {
          ReplyBytes count{};
          return daemon.transact(CMD_GET_H264_BLOCK_COUNT, {}, count) == ReplyCheck::ok && count[8] == 0;
        },
        10000ms));
    ASSERT_EQ(daemon.transact(CMD_STOP_H264, {}, reply), ReplyCheck::ok);
    EXPECT_TRUE(daemon.wait_for("free h264 resource end")) << daemon.output();  // it was decoding
    EXPECT_TRUE(daemon.running());
  }
  fs::remove_all(root);
}
