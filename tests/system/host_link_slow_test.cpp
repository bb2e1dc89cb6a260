// The host link's 15-second limit, waited out for real.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "crypto/host_packet.h"
#include "tests/system/daemon_harness.h"

TEST(HostLinkSlow, SilentHostMakesThePortReopenAndTheNextPacketIsServed) {
  DaemonUnderTest daemon;
  ASSERT_TRUE(daemon.wait_for("time over!", 1, 20000)) << daemon.output();
  ASSERT_TRUE(daemon.wait_for("init_tty done!", 2, 5000)) << daemon.output();
  EXPECT_NE(daemon.output().find("uart_read null "), std::string::npos);

  ReplyBytes reply{};
  ASSERT_EQ(daemon.transact(CMD_GET_VERSION, {}, reply), ReplyCheck::ok);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(reply.data() + 8)), "morvadq7_0005_0020");
}

TEST(HostLinkSlow, AnUploadOutlivesAPauseLongerThanTheLinksLimit) {
  DaemonUnderTest daemon;
  const std::string card = daemon.root() + "/tmp/sdcard/mmcblk0p1";
  std::filesystem::create_directories(card);
  ReplyBytes reply{};
  ASSERT_EQ(daemon.transact(CMD_CREATE_FILE, bytes_of(name_payload("/tmp/sdcard/mmcblk0p1/slow.bin")), reply),
            ReplyCheck::ok);
  const std::string first(5000, 'f'), second(3000, 's');
  ASSERT_EQ(daemon.transact(CMD_SAVE_FILE_BUFFER, bytes_of(chunk_payload(5000, 5000, 0)), reply, bytes_of(first)),
            ReplyCheck::ok);
  // 16 s of silence: the port is reopened in between.
  ASSERT_TRUE(daemon.wait_for("init_tty done!", 2, 60000)) << daemon.output();
  ASSERT_EQ(daemon.transact(CMD_SAVE_FILE_BUFFER, bytes_of(chunk_payload(3000, 3000, 1)), reply, bytes_of(second)),
            ReplyCheck::ok);
  EXPECT_FALSE(reports_failure(reply));
  EXPECT_EQ(read_file(card + "/slow.bin"), first + second);
}

// An init system may start the daemon with standard input closed; and a host may write to the
// daemon's own port by name. Neither may cost the next idle reopen of the port.
TEST(HostLinkSlow, StartedWithStandardInputClosedTheDaemonSurvivesAnIdleReopen) {
  const std::string root = make_temp_root();
  {
    DaemonUnderTest daemon(HostPort::pty, root, {"sh", "-c", "exec \"$@\" <&-", "sh"});
    // Standard input was made open before anything else could take descriptor 0.
    EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(daemon.pid()) + "/fd/0"), "/dev/null");
    ReplyBytes reply{};
    daemon.send(build_packet(CMD_SAVE_SMALL_FILE, {1, 1, 1, 1}, bytes_of(name_and_length("/dev/ttyGS0", 4))));
    daemon.send(bytes_of(std::string("echo")));
    uint8_t back[4] = {};
    ASSERT_EQ(host_read_exact(daemon.host_fd(), back, sizeof back, 3000), 4);
    ASSERT_TRUE(daemon.read_reply(reply, 3000));

    ASSERT_TRUE(daemon.wait_for("time over!", 1, 20000)) << daemon.output();
    ASSERT_TRUE(daemon.wait_for("init_tty done!", 2, 5000)) << daemon.output();
    ASSERT_EQ(daemon.transact(CMD_GET_VERSION, {}, reply), ReplyCheck::ok);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(reply.data() + 8)), "morvadq7_0005_0020");
    EXPECT_TRUE(daemon.running());
  }
  std::filesystem::remove_all(root);
}
