// The host link's 15-second limit, waited out for real.
#include <gtest/gtest.h>

#include "app/host_packet.h"
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
