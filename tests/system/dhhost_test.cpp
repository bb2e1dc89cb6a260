// dhhost, run as a host-side engineer runs it: by name of the far end of the cable.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <cstdio>
#include <pty.h>
#include <unistd.h>

#include "crypto/md5.h"
#include "tests/support/target.h"
#include "tests/system/daemon_harness.h"
#include "tests/system/sim_device.h"

namespace {

ToolRun run_dhhost(const std::string &arguments) { return run_tool("dhhost", arguments); }

}  // namespace

TEST(Dhhost, VersionAndRawAgainstTheSandboxedDaemon) {
  DaemonUnderTest daemon(HostPort::cable);
  std::string port = "-p " + daemon.host_port_path() + " ";

  ToolRun version = run_dhhost(port + "version");
  EXPECT_EQ(version.status, 0) << version.out;
  EXPECT_EQ(version.out, "morvadq7_0005_0020\n");

  ToolRun json = run_dhhost(port + "--json version");
  EXPECT_EQ(json.status, 0) << json.out;
  EXPECT_EQ(json.out, "{\"version\": \"morvadq7_0005_0020\"}\n");

  // The options may follow the command.
  ToolRun json_after = run_dhhost("version --json " + port);
  EXPECT_EQ(json_after.out, "{\"version\": \"morvadq7_0005_0020\"}\n");
  ToolRun queue = run_dhhost(port + "--json queue");
  EXPECT_EQ(queue.out, "{\"queued\": 0}\n");

  ToolRun raw = run_dhhost(port + "raw 0x33 01020304");
  EXPECT_EQ(raw.status, 0) << raw.out;
  EXPECT_EQ(raw.out.substr(0, 8), "000: 33 ") << raw.out;
  EXPECT_NE(raw.out.find("(bytes 16..511 zero)"), std::string::npos) << raw.out;
}

TEST(Dhhost, SaysWhatWentWrong) {
  ToolRun missing = run_dhhost("-p /nonexistent/ttyACM9 version");
  EXPECT_EQ(missing.status, 2);
  EXPECT_NE(missing.out.find("/nonexistent/ttyACM9"), std::string::npos) << missing.out;

  // A port with nothing behind it: a pty nobody serves.
  int master = -1, slave = -1;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  ToolRun silent = run_dhhost(std::string("-p ") + ttyname(slave) + " -t 0.3 version");
  EXPECT_EQ(silent.status, 1);
  EXPECT_NE(silent.out.find("no reply to command 0x0A within 0.3 s"), std::string::npos) << silent.out;
  ToolRun silent_ls = run_dhhost(std::string("ls /tmp -t 0.2 -p ") + ttyname(slave));
  EXPECT_EQ(silent_ls.status, 1);
  EXPECT_NE(silent_ls.out.find("no reply to listing page 1 (command 0x63) within 0.2 s"), std::string::npos) << silent_ls.out;
  close(master);
  close(slave);
  ToolRun no_value = run_dhhost("version -p");
  EXPECT_EQ(no_value.status, 2);
  EXPECT_EQ(no_value.out, "dhhost: -p needs a value\n");

  ToolRun bad_code = run_dhhost("raw 300");
  EXPECT_EQ(bad_code.status, 2);
  EXPECT_NE(bad_code.out.find("command code (0x.. for hex) must be a number from 0 to 255"), std::string::npos) << bad_code.out;
  ToolRun unknown = run_dhhost("frobnicate");
  EXPECT_EQ(unknown.status, 2);
  EXPECT_NE(unknown.out.find("unknown command 'frobnicate'"), std::string::npos) << unknown.out;
  ToolRun help = run_dhhost("version --help");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("usage: dhhost"), std::string::npos);
}

namespace {

std::string md5_hex(const std::string &data) {
  uint8_t *digest = nullptr;
  size_t size = data.size();
  md5(2, reinterpret_cast<const uint8_t *>(data.data()), &digest, &size);
  std::string text(reinterpret_cast<char *>(digest), size);
  free(digest);
  return text;
}

}  // namespace

TEST(Dhhost, FileSessionPutListSizeDfRm) {
  DaemonUnderTest daemon(HostPort::cable);
  std::string port = "-p " + daemon.host_port_path() + " ";
  std::string card = daemon.root() + "/tmp/sdcard/mmcblk0p1";
  std::filesystem::create_directories(card + "/img");

  std::string local = daemon.root() + "/upload.bin";
  std::string content(3 * 1024 * 1024 + 17, '\0');
  std::mt19937 random(11);
  for (char &c : content) c = char(random());
  std::ofstream(local, std::ios::binary) << content;

  ToolRun put = run_dhhost(port + "put " + local + " /tmp/sdcard/mmcblk0p1/clip.bin");
  ASSERT_EQ(put.status, 0) << put.out;
  EXPECT_EQ(md5_hex(read_file(card + "/clip.bin")), md5_hex(content));
  ToolRun put_big_chunks = run_dhhost(port + "put " + local + " /tmp/sdcard/mmcblk0p1/clip2.bin --chunk 1048576");
  ASSERT_EQ(put_big_chunks.status, 0) << put_big_chunks.out;
  EXPECT_EQ(md5_hex(read_file(card + "/clip2.bin")), md5_hex(content));

  std::ofstream(daemon.root() + "/small.txt") << "small";
  ToolRun small = run_dhhost(port + "put-small " + daemon.root() + "/small.txt /tmp/sdcard/mmcblk0p1/s.txt");
  ASSERT_EQ(small.status, 0) << small.out;
  EXPECT_EQ(read_file(card + "/s.txt"), "small");

  ToolRun ls = run_dhhost(port + "ls /tmp/sdcard/mmcblk0p1");
  ASSERT_EQ(ls.status, 0) << ls.out;
  EXPECT_EQ(ls.out.substr(0, 5), "img/\n") << ls.out;
  for (const char *name : {"\nclip.bin\n", "\nclip2.bin\n", "\ns.txt\n"}) {
    EXPECT_NE(ls.out.find(name), std::string::npos) << ls.out;
  }
  ToolRun ls_json = run_dhhost(port + "--json ls /tmp/sdcard/mmcblk0p1/img");
  EXPECT_EQ(ls_json.out, "{\"dir\": \"/tmp/sdcard/mmcblk0p1/img\", \"dirs\": [], \"files\": []}\n");

  ToolRun size = run_dhhost(port + "size /tmp/sdcard/mmcblk0p1/clip.bin");
  EXPECT_EQ(size.out, std::to_string(content.size()) + "\n");
  ToolRun size_json = run_dhhost(port + "--json size /tmp/sdcard/mmcblk0p1/s.txt");
  EXPECT_EQ(size_json.out, "{\"path\": \"/tmp/sdcard/mmcblk0p1/s.txt\", \"size\": 5}\n");

  ToolRun df = run_dhhost(port + "--json df");
  EXPECT_EQ(df.status, 0) << df.out;
  EXPECT_EQ(df.out.rfind("{\"total_kib\": ", 0), 0u) << df.out;

  ToolRun rm = run_dhhost(port + "rm /tmp/sdcard/mmcblk0p1/clip.bin");
  EXPECT_EQ(rm.status, 0) << rm.out;
  EXPECT_FALSE(std::filesystem::exists(card + "/clip.bin"));

  ToolRun config = run_dhhost(port + "config 10 2 0 1 0 1");
  EXPECT_EQ(config.status, 0) << config.out;
  EXPECT_EQ(read_file(daemon.root() + "/usr/data/app.cfg").substr(0, 6), std::string("\x0a\x02\x00\x01\x00\x01", 6));

  ToolRun bad_config = run_dhhost(port + "config 10 2 0 1 0 256");
  EXPECT_EQ(bad_config.status, 2);
  EXPECT_NE(bad_config.out.find("KEEP_ON must be a number from 0 to 255"), std::string::npos) << bad_config.out;
  ToolRun bad_put = run_dhhost(port + "put " + daemon.root() + "/small.txt /no/such/dir/x");
  EXPECT_EQ(bad_put.status, 1);
  EXPECT_NE(bad_put.out.find("cannot create /no/such/dir/x"), std::string::npos) << bad_put.out;
}

TEST(Dhhost, ListingLeftUnfinishedByAnotherSessionIsDrainedFirst) {
  DaemonUnderTest daemon(HostPort::cable);
  std::string card = daemon.root() + "/tmp/sdcard/mmcblk0p1";
  std::filesystem::create_directories(card + "/old");
  std::filesystem::create_directories(card + "/new");
  std::ofstream(card + "/new/fresh.jpg") << "x";

  // Someone fetched 3 of the 20 pages of another listing and went away.
  std::string old_payload = name_payload("/tmp/sdcard/mmcblk0p1/old");
  for (int page = 0; page < 3; ++page) {
    ReplyBytes reply{};
    ASSERT_EQ(host_transact(daemon.host_fd(), 0x63,
                            std::span(reinterpret_cast<const uint8_t *>(old_payload.data()), old_payload.size()),
                            {}, reply, 3000, true),
              ReplyCheck::ok);
  }
  ToolRun ls = run_dhhost("-p " + daemon.host_port_path() + " ls /tmp/sdcard/mmcblk0p1/new");
  EXPECT_EQ(ls.status, 0) << ls.out;
  EXPECT_EQ(ls.out, "fresh.jpg\n");
}
