// dhview's parts that the browser tests cannot corner: following logs that grow, are made
// anew or carry garbage; what the GUI block's record says after commands and data records;
// the controls' files and socket.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "mcu/gui_shm_layout.h"
#include "tests/support/test_root.h"
#include "tools/dhview_feeds.h"
#include "tools/dhview_state.h"

namespace fs = std::filesystem;

namespace {

void append(const std::string &path, const std::string &text) {
  std::ofstream(path, std::ios::app | std::ios::binary) << text;
}

std::vector<std::string> poll_lines(FileFollower &follower) {
  std::vector<std::string> lines;
  follower.poll([&](const std::string &line) { lines.push_back(line); });
  return lines;
}

std::string read_text(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

TEST(DhviewFeeds, FollowsWholeLinesAcrossAppendsRemakesAndOverlongLines) {
  const std::string path = test_root() + "/follow.log";
  FileFollower follower(path);
  EXPECT_TRUE(poll_lines(follower).empty());  // no file yet

  append(path, "one\ntw");
  EXPECT_EQ(poll_lines(follower), std::vector<std::string>{"one"});
  append(path, "o\nthree\n");
  EXPECT_EQ(poll_lines(follower), (std::vector<std::string>{"two", "three"}));

  // Made anew, shorter: read again from its start.
  std::ofstream(path, std::ios::trunc) << "new\n";
  EXPECT_EQ(poll_lines(follower), std::vector<std::string>{"new"});

  // A line longer than the limit is dropped whole, the next one is taken.
  append(path, std::string(FileFollower::line_limit + 10, 'x') + "\nafter\n");
  EXPECT_EQ(poll_lines(follower), std::vector<std::string>{"after"});
}

TEST(DhviewFeeds, TraceKeepsTheLastFiftyAndTheQueueTheDeviceReported) {
  TraceFeed feed;
  trace_take(feed, "not json");
  trace_take(feed, "[1, 2]");
  trace_take(feed, R"({"link": "host", "kind": "x"})");  // no text
  EXPECT_TRUE(feed.entries.empty());

  for (int i = 0; i < 60; ++i) {
    trace_take(feed, R"({"t_ms": )" + std::to_string(i) +
                         R"(, "link": "controller", "dir": "to-device", "kind": "status", "text": "s"})");
  }
  ASSERT_EQ(feed.entries.size(), TraceFeed::capacity);
  EXPECT_EQ(feed.entries.front().line["t_ms"], 10);
  EXPECT_EQ(feed.entries.back().line["t_ms"], 59);
  EXPECT_EQ(feed.entries.back().number, 60u);
  EXPECT_FALSE(feed.queued_blocks);

  trace_take(feed, R"({"link": "host", "dir": "from-device", "kind": "reply", "text": "0x79 ok", "queued": 3})");
  EXPECT_EQ(feed.queued_blocks, 3);
  trace_take(feed, R"({"link": "host", "dir": "from-device", "kind": "reply", "text": "0x7A: 4 blocks queued"})");
  EXPECT_EQ(feed.queued_blocks, 4);
  // A controller message never counts as the host's queue.
  trace_take(feed, R"({"link": "controller", "dir": "from-device", "kind": "x", "text": "queued 9"})");
  EXPECT_EQ(feed.queued_blocks, 4);
  trace_take(feed, R"({"link": "host", "dir": "to-device", "kind": "command", "code": "0x7B", "text": "end"})");
  EXPECT_EQ(feed.queued_blocks, 0);
  // A huge text is kept but never searched (the regex engine would recurse through it).
  trace_take(feed, R"({"link": "host", "dir": "from-device", "text": "queued)" + std::string(60000, ' ') + R"(5"})");
  EXPECT_EQ(feed.queued_blocks, 0);
  EXPECT_EQ(feed.entries.back().line["text"].get_ref<const std::string &>().size(), 60007u);
}

TEST(DhviewFeeds, LocalVideoFollowsTheDaemonsMessages) {
  PlayerFeed feed;
  player_take(feed, "play_local_h264 name: /media/bg_h264/3_Colorgradient.h264 \r");
  EXPECT_TRUE(feed.playing);
  EXPECT_EQ(feed.file, "/media/bg_h264/3_Colorgradient.h264");
  EXPECT_FALSE(feed.follows_theme);
  player_take(feed, "switch h264 file ");
  EXPECT_TRUE(feed.follows_theme);
  player_take(feed, "stop_local_h264 ");
  EXPECT_FALSE(feed.playing);
  player_take(feed, "play_local_h264 name: /media/x.h264 ");
  player_take(feed, "open err:1 No such file or directory");
  EXPECT_FALSE(feed.playing);
}

// The daemon prints the path the host asked it to play, whatever its bytes: the state must
// still go out as JSON (bytes that are no UTF-8 replaced), not end dhview.
TEST(DhviewState, WatcherServesStateWhateverTheLogsHold) {
  const std::string root = test_root() + "/watched";
  fs::create_directories(root + "/log");
  append(root + "/log/daemon.log", "play_local_h264 name: /tmp/\xff\xfe.h264 \n");
  append(root + "/log/trace-host.jsonl", "{\"t_ms\": 5, \"link\": \"host\", \"dir\": \"to-device\", "
                                          "\"kind\": \"version\", \"text\": \"0x0A version\"}\nnot json\n");
  state_watch_start(sim_layout(root));
  StateUpdate update;
  ASSERT_TRUE(state_wait_newer(0, 0, std::chrono::milliseconds(5000), update));
  state_watch_stop();
  const nlohmann::json state = nlohmann::json::parse(update.state);
  EXPECT_EQ(state["local_video"]["playing"], true);
  EXPECT_EQ(state["local_video"]["file"], "/tmp/\uFFFD\uFFFD.h264");
  EXPECT_EQ(state["gui"]["state"], "unknown");  // no GUI block
  ASSERT_EQ(update.trace.size(), 1u);
  EXPECT_EQ(nlohmann::json::parse(update.trace[0])["text"], "0x0A version");
}

TEST(DhviewState, GuiRecordTellsTheLastCommandAfterLaterDataRecords) {
  uint8_t record[gui_record::size] = {};
  EXPECT_FALSE(gui_view_of(record, false).published);

  // A data record, then a pause command: its code lands on the mode and temperature bytes.
  record[gui_record::start_marker] = gui_record_start_byte;
  record[gui_record::kind] = gui_kind_data;
  record[gui_record::control_mode] = 2;
  record[gui_record::water_temp] = 40;
  record[gui_record::pump_speed_high] = 0x05;
  record[gui_record::pump_speed_low] = 0xDC;
  record[gui_record::theme_index] = 7;
  GuiView view = gui_view_of(record, true);
  EXPECT_FALSE(view.paused);
  EXPECT_EQ(view.last_command, "");
  EXPECT_EQ(view.control_mode, 2);
  EXPECT_EQ(view.water_temp, 40);
  EXPECT_EQ(view.pump_speed, 1500);
  EXPECT_EQ(view.theme, 7);

  record[gui_record::kind] = gui_kind_command;
  memcpy(record + gui_record::command_code, gui_pause_command, sizeof gui_pause_command);
  view = gui_view_of(record, true);
  EXPECT_TRUE(view.paused);
  EXPECT_EQ(view.last_command, "pause");
  EXPECT_EQ(view.control_mode, -1);  // bytes 3 and 4 hold the command now
  EXPECT_EQ(view.water_temp, -1);
  EXPECT_EQ(view.theme, 7);

  // The next data record keeps byte 2: still paused.
  record[gui_record::kind] = gui_kind_data;
  record[gui_record::control_mode] = 0;
  record[gui_record::water_temp] = 31;
  view = gui_view_of(record, true);
  EXPECT_TRUE(view.paused);
  EXPECT_EQ(view.control_mode, 0);

  record[gui_record::kind] = gui_kind_command;
  memcpy(record + gui_record::command_code, gui_resume_command, sizeof gui_resume_command);
  record[gui_record::kind] = gui_kind_data;
  view = gui_view_of(record, true);
  EXPECT_FALSE(view.paused);
  EXPECT_EQ(view.last_command, "resume");
}

TEST(DhviewState, LayoutCableAndControllerSocket) {
  const std::string root = test_root() + "/sim";
  fs::create_directories(root + "/host");
  EXPECT_EQ(sim_layout(root + "/").device, root);
  fs::create_directories(root + "/device/sys/class/udc/13500000.otg");
  const SimLayout layout = sim_layout(root);
  EXPECT_EQ(layout.device, root + "/device");
  EXPECT_EQ(layout.host, root + "/host");
  EXPECT_EQ(layout.log, root + "/log");

  const std::string state = layout.device + "/sys/class/udc/13500000.otg/state";
  EXPECT_EQ(set_cable(layout, false), "");
  EXPECT_EQ(read_text(state), "not attached\n");
  EXPECT_EQ(set_cable(layout, true), "");
  EXPECT_EQ(read_text(state), "configured\n");
  EXPECT_FALSE(fs::exists(state + ".dhview"));

  std::string reply;
  EXPECT_NE(controller_command(layout, "knob 1", reply).find(layout.host + "/mcu.ctl"), std::string::npos);

  // A controller that answers one line per connection, as dhmcu does.
  const int server = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string path = layout.host + "/mcu.ctl";
  strcpy(address.sun_path, path.c_str());
  ASSERT_EQ(bind(server, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
  ASSERT_EQ(listen(server, 4), 0);
  std::vector<std::string> heard;
  std::thread controller([&] {
    for (const char *answer : {"ok\n", "error: mode takes 0..2\n"}) {
      const int client = accept(server, nullptr, nullptr);
      char line[256] = {};
      const ssize_t n = read(client, line, sizeof line - 1);
      heard.emplace_back(line, n > 0 ? size_t(n) : 0);
      write(client, answer, strlen(answer));
      close(client);
    }
  });
  EXPECT_EQ(controller_command(layout, "mode 2", reply), "");
  EXPECT_EQ(reply, "ok");
  EXPECT_EQ(controller_command(layout, "mode 7", reply), "the controller says: error: mode takes 0..2");
  controller.join();
  close(server);
  EXPECT_EQ(heard, (std::vector<std::string>{"mode 2\n", "mode 7\n"}));
}

// The daemon rewrites the backlight attribute by truncating it, then writing the level: a
// read in between finds it empty, which the board's attribute never is. That moment keeps the
// level read before; no attribute, or one that holds no level, is no level.
TEST(DhviewState, BacklightKeepsItsLevelAcrossAnEmptyRead) {
  const std::string root = test_root() + "/backlit";
  fs::create_directories(root + "/device/sys/class/backlight/backlight_pwm0");
  const SimLayout layout = sim_layout(root);
  const std::string attribute = layout.device + "/sys/class/backlight/backlight_pwm0/brightness";
  auto level_after = [&](const char *text) {
    if (text == nullptr) {
      fs::remove(attribute);
    } else {
      std::ofstream(attribute, std::ios::trunc) << text;
    }
    return device_state(layout)["backlight"];
  };
  EXPECT_EQ(level_after(nullptr), nullptr);
  EXPECT_EQ(level_after(""), nullptr) << "nothing read before: nothing to keep";
  EXPECT_EQ(level_after("40"), 40);
  EXPECT_EQ(level_after(""), 40);
  EXPECT_EQ(level_after(""), 40) << "read empty twice";
  EXPECT_EQ(level_after("0\n"), 0);
  EXPECT_EQ(level_after(""), 0);
  EXPECT_EQ(level_after("60"), 60);
  EXPECT_EQ(level_after(nullptr), nullptr) << "an absent attribute keeps nothing";
  EXPECT_EQ(level_after(""), nullptr);
  EXPECT_EQ(level_after("75"), 75);
  EXPECT_EQ(level_after("bright"), nullptr);
  EXPECT_EQ(level_after(""), nullptr);
}
