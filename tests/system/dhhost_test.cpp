// dhhost, run as a host-side engineer runs it: by name of the far end of the cable.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/system/daemon_harness.h"

namespace {

struct ToolRun {
  int status = -1;
  std::string out;  // standard output and standard error
};

ToolRun run_dhhost(const std::string &arguments) {
  ToolRun run;
  std::string command = build_dir() + "/dhhost " + arguments + " 2>&1";
  FILE *pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  std::array<char, 4096> chunk;
  size_t n;
  while ((n = fread(chunk.data(), 1, chunk.size(), pipe)) > 0) run.out.append(chunk.data(), n);
  int status = pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

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
  close(master);
  close(slave);

  ToolRun bad_code = run_dhhost("raw 300");
  EXPECT_EQ(bad_code.status, 2);
  EXPECT_NE(bad_code.out.find("command code must be 0..255"), std::string::npos) << bad_code.out;
  ToolRun unknown = run_dhhost("frobnicate");
  EXPECT_EQ(unknown.status, 2);
  EXPECT_NE(unknown.out.find("unknown command 'frobnicate'"), std::string::npos) << unknown.out;
  ToolRun help = run_dhhost("version --help");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("usage: dhhost"), std::string::npos);
}
