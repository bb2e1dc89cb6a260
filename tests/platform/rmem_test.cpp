// Reserved memory on the simulated physical memory: buffers are zeroed, resolvable by their
// physical address while held, and owned by the handle that allocated them.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "platform/rmem.h"
#include "platform/sim/phys_mem.h"
#include "tests/platform/video_media.h"

TEST(Rmem, BuffersAreZeroedAndResolvableByTheirPhysicalAddress) {
  ASSERT_FALSE(video_test_root().empty());
  int handle = rmem_open();
  ASSERT_GE(handle, 0);
  size_t before = phys_in_use();

  uint32_t y_paddr = 0, uv_paddr = 0;
  uint8_t *y = rmem_alloc(handle, &y_paddr, 480 * 480);
  uint8_t *uv = rmem_alloc(handle, &uv_paddr, 100);  // not whole pages: rounded up
  ASSERT_NE(y, nullptr);
  ASSERT_NE(uv, nullptr);
  EXPECT_NE(y_paddr, uv_paddr);
  EXPECT_EQ(phys_to_virt(y_paddr, 480 * 480), y);
  EXPECT_EQ(phys_to_virt(uv_paddr, 4096), uv);
  EXPECT_EQ(phys_in_use(), before + 57 * 4096 + 4096);
  for (size_t i = 0; i < 480 * 480; ++i) ASSERT_EQ(y[i], 0) << i;
  memset(y, 0x5A, 480 * 480);
  memset(uv, 0x5A, 4096);

  rmem_free(handle, y, y_paddr, 480 * 480);
  EXPECT_EQ(phys_to_virt(y_paddr, 1), nullptr);
  // A new buffer in the same place starts out zeroed again.
  uint32_t again_paddr = 0;
  uint8_t *again = rmem_alloc(handle, &again_paddr, 4096);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again[0], 0);
  rmem_free(handle, again, again_paddr, 4096);
  rmem_free(handle, uv, uv_paddr, 4096);
  EXPECT_EQ(phys_in_use(), before);
  rmem_close(handle);
}

TEST(Rmem, BuffersBelongToTheirHandleAndCloseReleasesThem) {
  size_t before = phys_in_use();
  int first = rmem_open();
  int second = rmem_open();
  ASSERT_GE(first, 0);
  ASSERT_GE(second, 0);
  EXPECT_NE(first, second);

  uint32_t paddr = 0;
  uint8_t *buffer = rmem_alloc(first, &paddr, 8192);
  ASSERT_NE(buffer, nullptr);
  // Another handle, a wrong address or a larger size cannot free it.
  testing::internal::CaptureStderr();
  rmem_free(second, buffer, paddr, 8192);
  rmem_free(first, buffer + 4096, paddr + 4096, 4096);
  rmem_free(first, buffer, paddr, 3 * 4096);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("rmem"), std::string::npos);
  EXPECT_EQ(phys_to_virt(paddr, 8192), buffer);

  uint32_t other = 0;
  ASSERT_NE(rmem_alloc(second, &other, 4096), nullptr);
  rmem_close(first);  // still holding its buffer
  EXPECT_EQ(phys_to_virt(paddr, 1), nullptr);
  EXPECT_NE(phys_to_virt(other, 1), nullptr);
  rmem_close(second);
  EXPECT_EQ(phys_in_use(), before);
  // A closed handle is closed for good.
  errno = 0;
  EXPECT_EQ(rmem_alloc(first, &paddr, 4096), nullptr);
  EXPECT_EQ(errno, EBADF);
}

TEST(Rmem, RequestsThatCannotBeMetFailWithTheReason) {
  int handle = rmem_open();
  uint32_t paddr = 0;
  errno = 0;
  EXPECT_EQ(rmem_alloc(handle, &paddr, 0), nullptr);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(rmem_alloc(handle, nullptr, 4096), nullptr);
  EXPECT_EQ(errno, EINVAL);
  testing::internal::CaptureStderr();
  EXPECT_EQ(rmem_alloc(handle, &paddr, phys_capacity + 1), nullptr);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(errno, ENOMEM);
  EXPECT_EQ(rmem_alloc(-1, &paddr, 4096), nullptr);
  EXPECT_EQ(errno, EBADF);
  rmem_close(handle);
  rmem_close(handle);  // twice: nothing happens
}
