// The sandbox root: no path, fixed or sent by the host, resolves outside it, and the device's
// shell commands never run the machine's own.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>

#include "platform/root_path.h"
#include "tests/support/test_root.h"

namespace {

// The root is read once, at first use: give it with trailing slashes before any test runs.
const std::string root = [] {
  const std::string dir = ::test_root();
  setenv("DISPLAYHEAD_ROOT", (dir + "//").c_str(), 1);
  return dir;
}();

}  // namespace

TEST(RootPath, DevicePathsResolveUnderTheRoot) {
  EXPECT_EQ(sandbox_root(), root);
  EXPECT_EQ(root_path("/dev/ttyGS0"), root + "/dev/ttyGS0");
  EXPECT_EQ(root_path("/usr/data/app.cfg"), root + "/usr/data/app.cfg");
  EXPECT_EQ(root_path("/tmp/sdcard/mmcblk0p1/"), root + "/tmp/sdcard/mmcblk0p1/");
  EXPECT_EQ(root_path("/"), root + "/");
  EXPECT_EQ(root_path(""), root + "/");
  EXPECT_EQ(root_path("relative/name"), root + "/relative/name");
  EXPECT_EQ(root_path("//usr/./data//x"), root + "/usr/data/x");
}

TEST(RootPath, ClimbingNeverLeavesTheRoot) {
  EXPECT_EQ(root_path("/usr/data/../../etc/passwd"), root + "/etc/passwd");
  EXPECT_EQ(root_path("../../../../etc/shadow"), root + "/etc/shadow");
  EXPECT_EQ(root_path("/.."), root + "/");
  EXPECT_EQ(root_path("/media/../usr/data/a"), root + "/usr/data/a");
}

TEST(RootPath, TooLongIsRefused) {
  // (Not "/" + a string: GCC 12 warns of an overlapping copy in that, -Wrestrict, wrongly.)
  std::string longest(PATH_MAX - root.size() - 1, 'x');
  longest[0] = '/';
  EXPECT_EQ(root_path(longest).size(), PATH_MAX - 1);
  testing::internal::CaptureStderr();
  EXPECT_EQ(root_path(longest + "y"), "");
  EXPECT_NE(testing::internal::GetCapturedStderr().find("too long"), std::string::npos);
}

TEST(DeviceCommand, RunsOnlyTheSandboxesOwnCommands) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(run_device_command("reboot", {}, false), -1);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("reboot"), std::string::npos);
  EXPECT_EQ(run_device_command("../bin/sh", {}, false), -1);

  std::filesystem::create_directories(root + "/sbin");
  std::string script = root + "/sbin/halt";
  std::ofstream(script) << "#!/bin/sh\necho \"$@\" > " << root << "/halted\nexit 3\n";
  chmod(script.c_str(), 0755);
  EXPECT_EQ(run_device_command("halt", {"-f", "now; rm -rf /"}, false), 3);
  std::ifstream halted(root + "/halted");
  std::string args;
  std::getline(halted, args);
  EXPECT_EQ(args, "-f now; rm -rf /");  // arguments reach it as they are, no shell between
}
