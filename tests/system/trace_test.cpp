// dhtrace between a host program and the real daemon, and between the daemon and a controller:
// what it decodes must be what was sent, dropped packets must be named for the check they fail,
// the pauses before the controller's payloads must show as the device makes them, and its
// capture must read back the same, through dhtrace --read and through tshark with the
// dissector.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include <nlohmann/json.hpp>

#include "crypto/host_packet.h"
#include "tests/support/target.h"
#include "tests/support/waiting.h"
#include "tests/system/daemon_harness.h"
#include "tests/system/sim_device.h"
#include "tools/trace_decode.h"
#include "tools/trace_pcap.h"

extern char **environ;

namespace {

using nlohmann::json;
using namespace std::chrono_literals;

// A program of the build directory, its standard output (and error) to files.
class Child {
 public:
  Child(std::vector<std::string> words, const std::string &out_path) {
    std::vector<char *> argv = argv_of(words);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, (out_path + ".err").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Child() { stop(); }
  pid_t pid() const { return pid_; }
  Child(const Child &) = delete;
  Child &operator=(const Child &) = delete;
  // SIGTERM and its exit status.
  int stop() {
    if (pid_ <= 0) return status_;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return status_;
  }

 private:
  pid_t pid_ = -1;
  int status_ = -1;
};

std::unique_ptr<Child> start_trace(const std::string &device, const std::string &listen,
                                   const std::string &out, std::vector<std::string> options) {
  std::vector<std::string> args = {"--device", device, "--listen", listen, "--json"};
  args.insert(args.end(), options.begin(), options.end());
  auto child = std::make_unique<Child>(program_words(build_dir() + "/dhtrace", args), out);
  EXPECT_TRUE(wait_until([&] { return std::filesystem::exists(listen); }, 20000ms))
      << read_file(out + ".err");
  return child;
}

// A daemon on a cable whose host link dhtrace relays through `traced`, its decoded lines in
// `out` and its capture in `capture`.
struct CapturedHostLink {
  DaemonUnderTest daemon{HostPort::cable};
  const std::string traced = daemon.root() + "/host/traced";
  const std::string out = daemon.root() + "/trace.jsonl";
  const std::string capture = daemon.root() + "/trace.pcapng";
  std::unique_ptr<Child> trace = start_trace(daemon.host_port_path(), traced, out, {"--pcap", capture});
};

std::vector<json> json_lines(const std::string &text) {
  std::vector<json> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty()) lines.push_back(json::parse(line));
  }
  return lines;
}

// The lines of `path` once at least `count` of them satisfy `pick`.
std::vector<json> wait_for_events(const std::string &path, size_t count,
                                  bool (*pick)(const json &), std::chrono::milliseconds within) {
  std::vector<json> lines;
  wait_until(
      [&] {
        lines = json_lines(read_file(path));
        return size_t(std::count_if(lines.begin(), lines.end(), pick)) >= count;
      },
      within);
  return lines;
}

std::vector<json> of_kind(const std::vector<json> &lines, const std::string &kind) {
  std::vector<json> picked;
  for (const json &line : lines) {
    if (line["kind"] == kind) picked.push_back(line);
  }
  return picked;
}

std::string tag_of(const ReplyBytes &reply) {
  char text[9];
  snprintf(text, sizeof text, "%02x%02x%02x%02x", reply[2], reply[3], reply[4], reply[5]);
  return text;
}

std::string run(const std::string &command) {
  std::string out;
  FILE *pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char chunk[4096];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0) out.append(chunk, n);
  pclose(pipe);
  return out;
}

bool have_tshark() { return system("command -v tshark >/dev/null 2>&1") == 0; }

// tshark's fields for every record of a capture, with the dissector; one line per record.
std::vector<std::string> tshark_fields(const std::string &capture, const std::string &fields) {
  const std::string command = "tshark -r " + capture + " -X lua_script:" DH_SOURCE_DIR
                              "/tools/wireshark/displayhead.lua -T fields -E 'separator=|' " +
                              fields + " 2>/dev/null";
  std::vector<std::string> lines;
  std::istringstream in(run(command));
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

#define REQUIRE_TSHARK()                                                                  \
  if (!have_tshark()) {                                                                   \
    if (getenv("CI") != nullptr) FAIL() << "tshark is missing (scripts/test installs it)"; \
    GTEST_SKIP() << "tshark is not installed";                                            \
  }

struct Step {
  uint8_t code;
  std::string payload;
  std::string block;
};

std::string bytes(std::initializer_list<uint8_t> values) { return std::string(values.begin(), values.end()); }

std::string with_second(uint32_t m) {
  std::string payload(8, '\0');
  write_be32(reinterpret_cast<uint8_t *>(payload.data()) + 4, m);
  return payload;
}

std::string first_hex(const std::string &block) {
  std::string text;
  char part[4];
  for (size_t i = 0; i < std::min<size_t>(block.size(), 16); ++i) {
    snprintf(part, sizeof part, i == 0 ? "%02x" : " %02x", uint8_t(block[i]));
    text += part;
  }
  return text;
}

// The command table's names.
std::string table_name(uint8_t code) {
  static const std::map<uint8_t, std::string> names = {
      {0x0A, "CMD_GET_VERSION"}, {0x0B, "CMD_REBOOT"}, {0x0C, "CMD_HALT"},
      {0x0D, "CMD_SET_ROTATION"}, {0x0E, "CMD_SET_BRIGHTNESS"}, {0x0F, "CMD_SET_FRAMERATE"},
      {0x26, "CMD_CREATE_FILE"}, {0x27, "CMD_SAVE_FILE_BUFFER"}, {0x28, "CMD_SAVE_SMALL_FILE"},
      {0x2A, "CMD_DELETE_FILE"}, {0x62, "CMD_GET_FILE_SIZE"}, {0x63, "CMD_QUERY_DIR"},
      {0x64, "CMD_QUERY_STORAGE"}, {0x65, "CMD_SHOW_JPG"}, {0x66, "CMD_SHOW_PNG"},
      {0x6E, "CMD_PLAY_LOCAL_H264"}, {0x6F, "CMD_STOP_LOCAL_H264"},
      {0x70, "CMD_GET_LOCAL_H264_STATE"}, {0x71, "CMD_PLAY_LOCAL_JPG"},
      {0x72, "CMD_STOP_LOCAL_JPG"}, {0x79, "CMD_PUSH_H264_BLOCK"},
      {0x7A, "CMD_GET_H264_BLOCK_COUNT"}, {0x7B, "CMD_STOP_H264"}, {0x7D, "CMD_SET_CONFIG"},
      {0x96, "CMD_MARK_USB_DISPLAY"}, {0xC9, "CMD_GET_GROUP_POSITION"}, {0xF7, "CMD_MCU_ERASE"},
      {0xF8, "CMD_MCU_UPDATE_DATA"}, {0xF9, "CMD_SET_THEME"}, {0xFA, "CMD_GET_MCU_DATA"},
      {0xFB, "CMD_MCU_SET_PUMP_FAN"}, {0xFC, "CMD_MCU_LIGHT_DATA"},
      {0xFD, "CMD_TEST_H264_DECODE"}};
  auto it = names.find(code);
  return it == names.end() ? "" : it->second;
}

bool is_answer(const json &line) { return line["kind"] == "reply" || line["kind"] == "page"; }

TEST(Dhtrace, EveryCommandOfTheTableIsDecodedAsSent) {
  CapturedHostLink link;
  auto &[daemon, traced, out, capture, trace] = link;
  const int fd = host_port_open(traced);
  ASSERT_GE(fd, 0);

  const std::string garbage(64, '\x5a');
  std::string theme(64, '\0');
  theme[27] = 7;
  std::vector<Step> steps = {
      {CMD_GET_VERSION, "", ""},
      {CMD_SET_ROTATION, bytes({0}), ""},
      {CMD_SET_BRIGHTNESS, bytes({80}), ""},
      {CMD_SET_FRAMERATE, bytes({24}), ""},
      {CMD_CREATE_FILE, name_payload("/usr/data/upload.bin"), ""},
      {CMD_SAVE_FILE_BUFFER, chunk_payload(4, 4, 1), "abcd"},
      {CMD_SAVE_SMALL_FILE, name_and_length("/usr/data/small.bin", 5), "hello"},
      {CMD_GET_FILE_SIZE, name_payload("/usr/data/small.bin"), ""},
      {CMD_QUERY_DIR, name_payload("/usr/data"), ""},
      {CMD_QUERY_STORAGE, "", ""},
      {CMD_SHOW_JPG, chunk_payload(16, 0, 0).substr(0, 4), garbage.substr(0, 16)},
      {CMD_SHOW_PNG, chunk_payload(16, 0, 0).substr(0, 4), garbage.substr(0, 16)},
      {CMD_PLAY_LOCAL_H264, name_payload("/media/none.h264"), ""},
      {CMD_STOP_LOCAL_H264, "", ""},
      {CMD_GET_LOCAL_H264_STATE, "", ""},
      {CMD_PLAY_LOCAL_JPG, name_payload("/media/none.jpg"), ""},
      {CMD_STOP_LOCAL_JPG, "", ""},
      {CMD_PUSH_H264_BLOCK, chunk_payload(64, 0, 0).substr(0, 4), garbage},
      {CMD_GET_H264_BLOCK_COUNT, "", ""},
      {CMD_STOP_H264, "", ""},
      {CMD_SET_CONFIG, bytes({0x64, 0x02, 0x00, 0x00, 0x00, 0x01}), ""},
      {CMD_MARK_USB_DISPLAY, "", ""},
      {CMD_GET_GROUP_POSITION, "", ""},
      {CMD_MCU_ERASE, "", ""},
      {CMD_MCU_UPDATE_DATA, with_second(8), "firmware"},
      {CMD_SET_THEME, theme, ""},
      {CMD_GET_MCU_DATA, "", ""},
      {CMD_MCU_SET_PUMP_FAN, bytes({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14}), ""},
      {CMD_MCU_LIGHT_DATA, with_second(6), "lights"},
      {CMD_TEST_H264_DECODE, "", ""},
      {CMD_REBOOT, "", ""},
      {CMD_HALT, "", ""},
      {CMD_DELETE_FILE, name_payload("/usr/data/small.bin"), ""},
      {0x33, "", ""},
  };
  std::vector<ReplyBytes> replies;
  for (const Step &step : steps) {
    const int pages = step.code == CMD_QUERY_DIR ? 20 : 1;
    for (int page = 0; page < pages; ++page) {
      ReplyBytes reply{};
      ASSERT_EQ(host_transact(fd, step.code, bytes_of(step.payload), bytes_of(step.block), reply,
                              5000, step.code == CMD_QUERY_DIR),
                ReplyCheck::ok)
          << int(step.code);
      replies.push_back(reply);
    }
  }
  close(fd);
  const size_t exchanges = replies.size();
  std::vector<json> lines = wait_for_events(out, exchanges, is_answer, 20000ms);
  const std::vector<json> packets = of_kind(lines, "packet");
  ASSERT_EQ(packets.size(), exchanges) << read_file(out);

  // Each packet as sent, its block, its reply; in the order they went.
  size_t index = 0, exchange = 0;
  for (const Step &step : steps) {
    const int pages = step.code == CMD_QUERY_DIR ? 20 : 1;
    for (int page = 0; page < pages; ++page, ++exchange) {
      while (index < lines.size() && lines[index]["kind"] != "packet") ++index;
      ASSERT_LT(index, lines.size());
      const json &packet = lines[index];
      const ReplyBytes &reply = replies[exchange];
      SCOPED_TRACE(packet.dump());
      EXPECT_EQ(packet["code"], step.code);
      EXPECT_EQ(packet["name"], table_name(step.code));
      EXPECT_EQ(packet["dir"], "to-device");
      EXPECT_EQ(packet["link"], "host");
      if (step.code == CMD_CREATE_FILE || step.code == CMD_GET_FILE_SIZE ||
          step.code == CMD_DELETE_FILE || step.code == CMD_SAVE_SMALL_FILE ||
          (step.code == CMD_QUERY_DIR && page == 0)) {
        EXPECT_EQ(packet["path"], step.payload.substr(8));
      }
      size_t next = index + 1;
      if (!step.block.empty()) {
        EXPECT_EQ(packet["block"], step.block.size());
        ASSERT_LT(next, lines.size());
        EXPECT_EQ(lines[next]["kind"], "block");
        EXPECT_EQ(lines[next]["length"], step.block.size());
        EXPECT_EQ(lines[next]["first"], first_hex(step.block));
        ++next;
      }
      ASSERT_LT(next, lines.size());
      const json &answer = lines[next];
      if (step.code == CMD_QUERY_DIR) {
        EXPECT_EQ(answer["kind"], "page");
        EXPECT_EQ(answer["page"], page + 1);
        EXPECT_EQ(answer["pages"], 20);
        if (page == 0) {
          EXPECT_NE(answer["listing"].get<std::string>().find("small.bin"), std::string::npos);
        }
      } else {
        EXPECT_EQ(answer["kind"], "reply");
        EXPECT_EQ(answer["code"], step.code);
        EXPECT_EQ(answer["tag"], tag_of(reply));
        EXPECT_EQ(packet["tag"], tag_of(reply));
        EXPECT_FALSE(answer.contains("unexpected"));
      }
      switch (step.code) {
        case CMD_GET_VERSION: EXPECT_EQ(answer["version"], "morvadq7_0005_0020"); break;
        case CMD_CREATE_FILE: EXPECT_EQ(answer["created"], true); break;
        case CMD_GET_FILE_SIZE: EXPECT_EQ(answer["size"], 5); break;
        case CMD_QUERY_STORAGE:
          EXPECT_EQ(answer["total_kib"], read_le32(reply.data() + 8));
          EXPECT_EQ(answer["avail_kib"], read_le32(reply.data() + 16));
          break;
        case CMD_PUSH_H264_BLOCK:
        case CMD_GET_H264_BLOCK_COUNT: EXPECT_EQ(answer["queued"], reply[8]); break;
        case CMD_GET_GROUP_POSITION: EXPECT_EQ(answer["group"], 0); break;
        case CMD_SET_THEME: EXPECT_EQ(packet["theme"], 7); break;
        default: break;
      }
      index = next + 1;
    }
  }
  EXPECT_EQ(trace->stop(), 0);

  // The capture, read back: the same events with the same texts.
  const std::string dhtrace = program_command(build_dir() + "/dhtrace");
  const std::vector<json> again = json_lines(run(dhtrace + " --read " + capture + " --json"));
  lines = json_lines(read_file(out));
  ASSERT_EQ(again.size(), lines.size());
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(again[i]["kind"], lines[i]["kind"]) << i;
    EXPECT_EQ(again[i]["text"], lines[i]["text"]) << i;
  }
  const std::string plain = run(dhtrace + " --read " + capture);
  EXPECT_NE(plain.find("from-device 0x0A CMD_GET_VERSION tag " + tag_of(replies[0]) +
                       " version \"morvadq7_0005_0020\""),
            std::string::npos)
      << plain;
  EXPECT_NE(plain.find("0x63 listing page 20/20"), std::string::npos);
  EXPECT_NE(plain.find(" ms host       to-device   0x0A CMD_GET_VERSION"), std::string::npos) << plain;  // times in ms
}

TEST(Dhtrace, DroppedPacketsAreNamedByTheCheckTheyFail) {
  CapturedHostLink link;
  auto &[daemon, traced, out, capture, trace] = link;
  const int fd = host_port_open(traced);
  ASSERT_GE(fd, 0);
  const std::array<uint8_t, 4> tag = {0x11, 0x22, 0x33, 0x44};

  PacketBytes trailer = build_packet(CMD_GET_VERSION, tag, {});
  trailer[510] = 0xA2;
  std::array<uint8_t, 504> plain{};
  plain[0] = CMD_GET_VERSION;
  plain[2] = command_check;
  plain[3] = command_magic;
  plain[503] = 9;
  const PacketBytes padding = build_packet_from_plain(plain);
  plain[503] = 8;
  plain[2] = 0x1B;
  const PacketBytes check = build_packet_from_plain(plain);
  plain[2] = command_check;
  plain[3] = 0x4D;
  const PacketBytes magic = build_packet_from_plain(plain);
  for (const PacketBytes *packet : std::initializer_list<const PacketBytes *>{&trailer, &padding, &check, &magic}) {
    ASSERT_EQ(host_write_all(fd, *packet), 0);
  }
  ReplyBytes reply{};
  EXPECT_EQ(host_read_exact(fd, reply.data(), reply.size(), 500), 0);  // none answered

  // A lost byte: 100 stray bytes put every later packet out of step until 2 s of silence.
  const std::string stray(100, '\x42');
  ASSERT_EQ(host_write_all(fd, bytes_of(stray)), 0);
  const PacketBytes version = build_packet(CMD_GET_VERSION, tag, {});
  ASSERT_EQ(host_write_all(fd, version), 0);
  ASSERT_EQ(host_write_all(fd, version), 0);
  EXPECT_EQ(host_read_exact(fd, reply.data(), reply.size(), 2600), 0);
  ASSERT_EQ(host_transact(fd, CMD_GET_VERSION, {}, {}, reply, 20000), ReplyCheck::ok);
  close(fd);

  const std::vector<json> lines = wait_for_events(out, 1, is_answer, 20000ms);
  const std::vector<json> drops = of_kind(lines, "drop");
  ASSERT_EQ(drops.size(), 6u) << read_file(out);
  EXPECT_EQ(drops[0]["reason"], "trailer");
  EXPECT_EQ(drops[1]["reason"], "padding byte");
  EXPECT_EQ(drops[2]["reason"], "check byte");
  EXPECT_EQ(drops[3]["reason"], "magic byte");
  EXPECT_EQ(drops[3]["code"], CMD_GET_VERSION);
  EXPECT_EQ(drops[4]["reason"], "trailer");
  EXPECT_EQ(drops[5]["reason"], "trailer");
  EXPECT_EQ(drops[5]["alignment_lost"], true);
  EXPECT_NE(drops[5]["text"].get<std::string>().find("alignment lost"), std::string::npos);
  const std::vector<json> cuts = of_kind(lines, "cut");
  ASSERT_EQ(cuts.size(), 1u);
  EXPECT_EQ(cuts[0]["received"], 100);
  const std::vector<json> answers = of_kind(lines, "reply");
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0]["version"], "morvadq7_0005_0020");
  EXPECT_EQ(trace->stop(), 0);

  // The dissector flags the same packets and deciphers the good one.
  REQUIRE_TSHARK();
  const std::vector<std::string> fields =
      tshark_fields(capture, "-e displayhead.unit -e displayhead.drop -e displayhead.code "
                             "-e displayhead.command -e displayhead.version");
  ASSERT_EQ(fields.size(), 9u);  // 6 drops, the cut bytes, the packet and its reply
  EXPECT_EQ(fields[0], "1|trailer|||");
  EXPECT_EQ(fields[1], "1|padding byte|0x0a||");
  EXPECT_EQ(fields[2], "1|check byte|0x0a||");
  EXPECT_EQ(fields[3], "1|magic byte|0x0a||");
  EXPECT_EQ(fields[5], "1|trailer|||");
  EXPECT_EQ(fields[6], "5||||");
  EXPECT_EQ(fields[7], "1||0x0a|CMD_GET_VERSION|");
  EXPECT_EQ(fields[8], "3||0x0a|CMD_GET_VERSION|morvadq7_0005_0020");
}

TEST(Dhtrace, TheDissectorDeciphersNamesLengthsAndTags) {
  REQUIRE_TSHARK();
  CapturedHostLink link;
  auto &[daemon, traced, out, capture, trace] = link;
  const int fd = host_port_open(traced);
  ASSERT_GE(fd, 0);
  ReplyBytes size{}, created{}, failed{}, small{};
  ASSERT_EQ(host_transact(fd, CMD_SAVE_SMALL_FILE,
                          bytes_of(name_and_length("/usr/data/seven.bin", 7)),
                          bytes_of(std::string("seven!!")), small, 5000),
            ReplyCheck::ok);
  ASSERT_EQ(host_transact(fd, CMD_GET_FILE_SIZE, bytes_of(name_payload("/usr/data/seven.bin")), {},
                          size, 5000),
            ReplyCheck::ok);
  ASSERT_EQ(host_transact(fd, CMD_CREATE_FILE, bytes_of(name_payload("/usr/data/new.bin")), {},
                          created, 5000),
            ReplyCheck::ok);
  ASSERT_EQ(host_transact(fd, CMD_CREATE_FILE, bytes_of(name_payload("/no/such/dir/x")), {},
                          failed, 5000),
            ReplyCheck::ok);
  close(fd);
  wait_for_events(out, 4, is_answer, 20000ms);
  EXPECT_EQ(trace->stop(), 0);

  const std::vector<std::string> fields = tshark_fields(
      capture, "-e displayhead.unit -e displayhead.code -e displayhead.tag -e displayhead.L "
               "-e displayhead.M -e displayhead.name -e displayhead.size "
               "-e displayhead.create_failed -e displayhead.length");
  auto tag = [](const ReplyBytes &reply) { return tag_of(reply); };
  ASSERT_EQ(fields.size(), 9u);
  EXPECT_EQ(fields[0], "1|0x28|" + tag(small) + "|19|7|/usr/data/seven.bin|||512");
  EXPECT_EQ(fields[1], "2||||||||7");  // the block
  EXPECT_EQ(fields[3], "1|0x62|" + tag(size) + "|19||/usr/data/seven.bin|||512");
  EXPECT_EQ(fields[4], "3|0x62|" + tag(size) + "||||7||512");
  EXPECT_EQ(fields[6], "3|0x26|" + tag(created) + "|||||0|512");
  EXPECT_EQ(fields[8], "3|0x26|" + tag(failed) + "|||||1|512");
}

// A block of 1 MiB (the largest the device takes) is split across records of the capture,
// so that tshark (which refuses a record over 256 KiB) reads the whole capture, and dhtrace
// --read puts the block together again.
TEST(Dhtrace, AOneMebibyteBlockIsReadWholeByTsharkAndDhtrace) {
  REQUIRE_TSHARK();
  CapturedHostLink link;
  auto &[daemon, traced, out, capture, trace] = link;
  const int fd = host_port_open(traced);
  ASSERT_GE(fd, 0);
  constexpr size_t mib = 1048576;
  std::string block(mib, '\0');
  for (size_t i = 0; i < mib; ++i) block[i] = char(i * 7 + i / 4096);
  ReplyBytes created{}, saved{}, size{};
  ASSERT_EQ(host_transact(fd, CMD_CREATE_FILE, bytes_of(name_payload("/usr/data/big.bin")), {}, created, 5000),
            ReplyCheck::ok);
  ASSERT_EQ(host_transact(fd, CMD_SAVE_FILE_BUFFER, bytes_of(chunk_payload(mib, mib, 1)), bytes_of(block), saved,
                          30000),
            ReplyCheck::ok);
  ASSERT_EQ(host_transact(fd, CMD_GET_FILE_SIZE, bytes_of(name_payload("/usr/data/big.bin")), {}, size, 5000),
            ReplyCheck::ok);
  close(fd);
  wait_for_events(out, 3, is_answer, 10000ms);
  EXPECT_EQ(trace->stop(), 0);

  const std::string said = run("tshark -r " + capture + " -X lua_script:" DH_SOURCE_DIR
                               "/tools/wireshark/displayhead.lua 2>&1 >/dev/null");
  // Neither "cap_len ... is larger than 262144" nor a damaged capture.
  EXPECT_EQ(said.find("larger than"), std::string::npos) << said;
  EXPECT_EQ(said.find("damaged"), std::string::npos) << said;
  EXPECT_EQ(said.find("cut short"), std::string::npos) << said;
  const std::vector<std::string> records =
      tshark_fields(capture, "-e displayhead.unit -e displayhead.continued -e displayhead.length");
  size_t block_bytes = 0, continued = 0;
  for (const std::string &record : records) {
    if (record.rfind("2|", 0) != 0) continue;
    continued += record.find("|True|") != std::string::npos || record.find("|1|") != std::string::npos ? 1 : 0;
    block_bytes += std::stoul(record.substr(record.rfind('|') + 1));
  }
  EXPECT_EQ(block_bytes, mib);
  EXPECT_EQ(continued, (mib + 65531) / 65532 - 1);
  ASSERT_FALSE(records.empty());
  EXPECT_EQ(records.back().substr(0, 2), "3|");  // the last reply, after the whole block

  const std::vector<json> read = json_lines(run(program_command(build_dir() + "/dhtrace") + " --read " + capture + " --json"));
  const auto block_line = std::find_if(read.begin(), read.end(), [](const json &l) { return l["kind"] == "block"; });
  ASSERT_NE(block_line, read.end());
  EXPECT_NE((*block_line)["text"].get<std::string>().find("1048576"), std::string::npos) << *block_line;
  EXPECT_EQ(read.back()["size"], mib) << read.back();
}

// The controller link: the daemon's port is a cable whose far end dhtrace opens; the test
// plays the controller on dhtrace's pty and drives the relays over the host link.
TEST(Dhtrace, ControllerFramesAndThePausesBeforeEachPayload) {
  const std::string root = make_temp_root();
  std::filesystem::create_directories(root + "/dev");
  const std::string cable = root + "/dev/ttyS5.cable", direct = root + "/mcu-direct";
  Child socat({"socat", "pty,raw,echo=0,link=" + cable, "pty,raw,echo=0,link=" + direct},
              root + "/socat.log");
  ASSERT_TRUE(wait_until([&] { return std::filesystem::exists(cable) && std::filesystem::exists(direct); },
                         20000ms));
  const std::string traced = root + "/mcu-traced", out = root + "/trace-mcu.jsonl";
  const std::string capture = root + "/trace-mcu.pcapng";
  auto trace = start_trace(direct, traced, out, {"--link", "controller", "--pcap", capture});
  {
    // The daemon's controller port becomes the cable just before it starts.
    DaemonUnderTest daemon(HostPort::pty, root,
                           {"sh", "-c", "ln -sfn \"$0\" \"$1\" && shift && exec \"$@\"", cable,
                            root + "/dev/ttyS5"});
    const int controller = host_port_open(traced);
    ASSERT_GE(controller, 0);
    auto frame = [](uint8_t type) {
      std::array<uint8_t, 224> f{};
      f[0] = 0xAA;
      f[1] = 0x55;
      f[2] = type;
      return f;
    };
    auto status = frame(0x46);
    status[3] = 0;
    status[4] = 30;
    status[11] = 0x05;
    status[12] = 0xDC;
    status[56] = 1;
    auto host_data = frame(0x44);
    for (int i = 0; i < 17; ++i) host_data[3 + i] = uint8_t(i + 1);
    auto package = frame(0x99);
    auto end = frame(0x99);
    end[3] = 255;
    end[4] = 0x01;
    end[5] = 0x2C;
    auto bad = frame(0x46);
    bad[0] = 0x00;
    // Each frame goes once the daemon reads again after the one before (after the bad one, on
    // the reopened port), so that none is lost to the reopen.
    ASSERT_TRUE(daemon.wait_for("uart thread ", 1, 20000)) << daemon.output();
    for (const auto *f : {&status, &host_data, &package, &end, &bad, &status}) {
      const int reads = daemon.count("uart thread ");
      ASSERT_EQ(host_write_all(controller, *f), 0);
      ASSERT_TRUE(daemon.wait_for("uart thread ", reads + 1, 20000)) << daemon.output();
    }
    ASSERT_TRUE(daemon.wait_for("uart receive header error"));

    ReplyBytes reply{};
    const std::string pump = bytes({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14});
    // Nothing on the wire parts one message from the next but a silence (a firmware block has
    // no length, and the erase after it could be its last two bytes): each goes once dhtrace
    // has ended the one before.
    const auto from_device = [](const json &l) -> bool { return l["dir"] == "from-device"; };
    size_t relayed = 0;
    auto traced = [&] {
      ++relayed;
      const std::vector<json> so_far = wait_for_events(out, relayed, from_device, 20000ms);
      EXPECT_EQ(size_t(std::count_if(so_far.begin(), so_far.end(), from_device)), relayed) << read_file(out);
    };
    for (int i = 0; i < 3; ++i) {
      ASSERT_EQ(daemon.transact(CMD_MCU_SET_PUMP_FAN, bytes_of(pump), reply), ReplyCheck::ok);
      traced();
    }
    for (int i = 0; i < 3; ++i) {
      ASSERT_EQ(daemon.transact(CMD_MCU_LIGHT_DATA, bytes_of(with_second(6)), reply,
                                bytes_of(std::string("lights"))),
                ReplyCheck::ok);
      traced();
    }
    for (int i = 0; i < 3; ++i) {
      ASSERT_EQ(daemon.transact(CMD_MCU_ERASE, {}, reply), ReplyCheck::ok);
      traced();
      ASSERT_EQ(daemon.transact(CMD_MCU_UPDATE_DATA, bytes_of(with_second(8)), reply,
                                bytes_of(std::string("firmware"))),
                ReplyCheck::ok);
      traced();
    }
    ASSERT_EQ(daemon.transact(CMD_MCU_UPDATE_DATA, bytes_of(with_second(4)), reply,
                              bytes_of(std::string("more"))),
              ReplyCheck::ok);
    const std::vector<json> lines = wait_for_events(out, 13, from_device, 20000ms);
    close(controller);

    const std::vector<json> frames = of_kind(lines, "frame");
    ASSERT_GE(frames.size(), 5u) << read_file(out);
    EXPECT_EQ(frames[0]["text"], "status mode=0 temperature=30 pump=1500 knob step");
    EXPECT_EQ(frames[0]["pump"], 1500);
    EXPECT_EQ(frames[1]["host_data"], "01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f 10 11");
    EXPECT_EQ(frames[2]["text"].get<std::string>().rfind("picture package 0", 0), 0u);
    EXPECT_EQ(frames[3]["text"], "picture end, size 300");
    ASSERT_EQ(of_kind(lines, "header-error").size(), 1u);

    // Each pause three times: on a busy machine socat or dhtrace may take the prefix late,
    // which shortens the gap seen here, so the longest of three is held against the least the
    // device must pause, less 10 ms for the resolution of the reads (twice that for a board
    // build under the emulator). How close the pauses come to their figures is measured by
    // the benchmarks (dh_bench_paths --only relay).
    const double within = emulator_words().empty() ? 10.0 : 20.0;
    std::vector<json> sent;
    for (const json &line : lines) {
      if (line["dir"] == "from-device") sent.push_back(line);
    }
    ASSERT_EQ(sent.size(), 13u) << read_file(out);
    auto longest = [&sent](size_t first, size_t step, const char *prefix, size_t length) {
      std::vector<double> gaps;
      for (size_t i = first; i < first + 3 * step; i += step) {
        EXPECT_EQ(sent[i]["prefix"], prefix);
        EXPECT_EQ(sent[i]["length"], length);
        gaps.push_back(sent[i]["gap_ms"].get<double>());
      }
      return *std::max_element(gaps.begin(), gaps.end());
    };
    EXPECT_EQ(sent[0]["first"], "01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e");
    EXPECT_GE(longest(0, 1, "a4 00", 14), 100.0 - within);
    EXPECT_GE(longest(3, 1, "a3 00", 6), 100.0 - within);
    for (size_t i = 6; i < 12; i += 2) {
      EXPECT_EQ(sent[i]["prefix"], "a6 00");
      EXPECT_FALSE(sent[i].contains("gap_ms"));
    }
    EXPECT_GE(longest(7, 2, "a7 00", 8), 50.0 - within);
    EXPECT_EQ(sent[12]["kind"], "data");  // later firmware blocks go out bare
    EXPECT_EQ(sent[12]["length"], 4);
  }
  EXPECT_EQ(trace->stop(), 0);
  socat.stop();

  // The capture keeps the pauses: read back, the same gaps to the microsecond.
  const std::vector<json> again =
      json_lines(run(program_command(build_dir() + "/dhtrace") + " --read " + capture + " --json"));
  const std::vector<json> live = json_lines(read_file(out));
  std::vector<double> gaps_live, gaps_again;
  for (const json &l : live) if (l.contains("gap_ms")) gaps_live.push_back(l["gap_ms"]);
  for (const json &l : again) if (l.contains("gap_ms")) gaps_again.push_back(l["gap_ms"]);
  ASSERT_EQ(gaps_again.size(), 9u);
  for (size_t i = 0; i < gaps_live.size(); ++i) EXPECT_NEAR(gaps_again[i], gaps_live[i], 0.002);
  std::filesystem::remove_all(root);
}

// scripts/sim --trace: dhtrace on both links, every line as the shared contract has it.
TEST(Dhtrace, TheSimulatedDeviceTracesBothLinks) {
  SKIP_WITHOUT_SIMULATED_DEVICE();
  SimulatedDevice device({"--trace", "--no-backgrounds"});
  ASSERT_EQ(device.dhhost("version").status, 0);
  ASSERT_EQ(device.dhhost("pump-fan 0102030405060708090a0b0c0d0e").status, 0);
  const std::string host_log = device.root() + "/log/trace-host.jsonl";
  const std::string mcu_log = device.root() + "/log/trace-mcu.jsonl";
  const std::vector<json> host = wait_for_events(host_log, 2, is_answer, 20000ms);
  const std::vector<json> mcu = wait_for_events(
      mcu_log, 1, [](const json &l) { return l["kind"] == "message"; }, 20000ms);
  ASSERT_GE(host.size(), 4u) << read_file(host_log);
  ASSERT_FALSE(mcu.empty());
  for (const auto *lines : {&host, &mcu}) {
    for (const json &line : *lines) {
      EXPECT_TRUE(line["t_ms"].is_number()) << line;
      EXPECT_TRUE(line["link"] == "host" || line["link"] == "controller") << line;
      EXPECT_TRUE(line["dir"] == "to-device" || line["dir"] == "from-device") << line;
      EXPECT_TRUE(line["kind"].is_string() && line["text"].is_string()) << line;
    }
  }
  EXPECT_EQ(host[0]["link"], "host");
  EXPECT_EQ(host[0]["name"], "CMD_GET_VERSION");
  EXPECT_EQ(host[1]["version"], "morvadq7_0005_0020");
  const auto frame = std::find_if(mcu.begin(), mcu.end(), [](const json &l) { return l["kind"] == "frame"; });
  ASSERT_NE(frame, mcu.end());
  EXPECT_EQ((*frame)["text"], "status mode=0 temperature=31 pump=1500");  // dhmcu's reports
  const auto message = std::find_if(mcu.begin(), mcu.end(), [](const json &l) { return l["kind"] == "message"; });
  EXPECT_EQ((*message)["prefix"], "a4 00");
}

// The device's port is one program's at a time: dhtrace does not open a port that dhhost (or
// any program that locks it) holds, where it would take that program's replies, and while
// dhtrace holds it dhhost is refused, told who has it. What is no port is not opened at all.
TEST(Dhtrace, APortAnotherProgramHoldsIsRefused) {
  DaemonUnderTest daemon(HostPort::cable);
  int held = -1;
  std::string error;
  ASSERT_EQ(host_port_claim(daemon.host_port_path(), held, error), PortClaim::ok) << error;
  const std::string out = daemon.root() + "/refused.out";
  pid_t pid = -1;
  std::vector<std::string> words =
      program_words(build_dir() + "/dhtrace", {"--device", daemon.host_port_path(), "--listen", daemon.root() + "/host/traced"});
  std::vector<char *> argv = argv_of(words);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 2, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_EQ(posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  const bool ended = wait_until([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 20000ms);
  if (!ended) {
    kill(pid, SIGTERM);
    waitpid(pid, &status, 0);
  }
  EXPECT_TRUE(ended) << "dhtrace relayed a port another program holds";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
  EXPECT_THAT(read_file(out), testing::HasSubstr(daemon.host_port_path() + " is in use by "));
  close(held);

  // What is no port (a regular file, a FIFO) is refused and left as it was: the peer's bytes
  // are not written into it.
  const std::string file = daemon.root() + "/host/file", fifo = daemon.root() + "/host/fifo";
  { std::ofstream(file) << "keep me"; }
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string &path : {file, fifo}) {
    const std::string said = run(program_command(build_dir() + "/dhtrace") + " --device " + path + " --listen " +
                                 daemon.root() + "/host/traced 2>&1; echo status=$?");
    EXPECT_THAT(said, testing::HasSubstr(path + " is not a serial port or a pty; it was left untouched")) << path;
    EXPECT_THAT(said, testing::HasSubstr("status=1")) << path;
  }
  EXPECT_EQ(read_file(file), "keep me");

  const std::string traced = daemon.root() + "/host/traced";
  auto trace = start_trace(daemon.host_port_path(), traced, daemon.root() + "/trace.jsonl", {});
  const ToolRun refused = run_tool("dhhost", "-p " + daemon.host_port_path() + " version");
  EXPECT_EQ(refused.status, 2) << refused.out;
  // Named by its pid: under an emulator its name is the emulator's.
  EXPECT_THAT(refused.out, testing::HasSubstr("is in use by "));
  EXPECT_THAT(refused.out, testing::HasSubstr("(pid " + std::to_string(trace->pid()) + ")"));
  const ToolRun through = run_tool("dhhost", "-p " + traced + " version");
  EXPECT_EQ(through.status, 0) << through.out;
}

// Whatever the links or a capture file hold, the decoder and the reader stay in bounds and
// keep going: random bytes in random pieces both ways, and captures cut and scribbled on.
TEST(TraceDecode, AnyBytesAndAnyCaptureAreTakenSafely) {
  std::mt19937 random(17);
  for (TraceLink link : {TraceLink::host, TraceLink::controller}) {
    TraceDecoder decoder = make_decoder(link);
    std::vector<TraceEvent> events;
    int64_t t = 0;
    std::vector<uint8_t> chunk;
    for (int i = 0; i < 3000; ++i) {
      chunk.resize(random() % 700);
      for (uint8_t &b : chunk) b = uint8_t(random() % 4 == 0 ? 0xA1 + random() % 8 : random());
      // Now and then a well-formed header, so the deeper paths are reached too.
      if (chunk.size() > 4 && random() % 3 == 0) {
        chunk[0] = link == TraceLink::host ? 0xA1 : 0xAA;
        chunk[1] = link == TraceLink::host ? 0x1A : 0x55;
      }
      t += int64_t(random() % 3 == 0 ? random() % 3'000'000 : random() % 30'000);
      trace_feed(decoder, random() % 2 ? TraceDir::to_device : TraceDir::from_device, chunk.data(),
                 chunk.size(), t, events);
      trace_tick(decoder, t + int64_t(random() % 100'000), events);
    }
    trace_finish(decoder, t, events);
    ASSERT_FALSE(events.empty());
    for (const TraceEvent &event : events) {
      EXPECT_FALSE(event.text.empty());
      event_json(event).dump(-1, ' ', false, json::error_handler_t::replace);
    }
  }

  // A real capture, then cut at every few bytes and scribbled on: records up to the damage.
  const std::string dir = make_temp_root();
  PcapWriter writer;
  std::string error;
  ASSERT_TRUE(pcap_open(writer, dir + "/whole.pcapng", TraceLink::host, 1'000'000, error)) << error;
  TraceDecoder decoder = make_decoder(TraceLink::host);
  std::vector<TraceEvent> events;
  const PacketBytes packet = build_packet(CMD_GET_VERSION, {1, 2, 3, 4}, {});
  trace_feed(decoder, TraceDir::to_device, packet.data(), packet.size(), 10, events);
  ReplyBytes reply{};
  reply[0] = CMD_GET_VERSION;
  reply[1] = 0xC8;
  trace_feed(decoder, TraceDir::from_device, reply.data(), reply.size(), 20, events);
  ASSERT_EQ(events.size(), 2u);
  for (const TraceEvent &event : events) ASSERT_TRUE(pcap_write(writer, event));
  pcap_close(writer);
  std::vector<PcapRecord> records;
  ASSERT_TRUE(pcap_read(dir + "/whole.pcapng", records, error)) << error;
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].dir, TraceDir::to_device);
  EXPECT_EQ(records[1].dir, TraceDir::from_device);
  EXPECT_EQ(records[1].t_us - records[0].t_us, 10);
  EXPECT_EQ(records[0].kind, UnitKind::packet);
  EXPECT_TRUE(std::equal(packet.begin(), packet.end(), records[0].bytes.begin()));

  const std::string whole = read_file(dir + "/whole.pcapng");
  for (size_t cut = 0; cut < whole.size(); cut += 7) {
    std::string damaged = whole.substr(0, cut);
    if (cut % 2 == 1 && !damaged.empty()) damaged[random() % damaged.size()] ^= char(1 + random() % 255);
    std::ofstream(dir + "/damaged.pcapng", std::ios::binary) << damaged;
    std::vector<PcapRecord> some;
    std::string why;
    if (!pcap_read(dir + "/damaged.pcapng", some, why)) {
      EXPECT_FALSE(why.empty());
    }
    EXPECT_LE(some.size(), 2u);
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
