// Simulated physical memory: page-granular first-fit blocks, address look-ups that never reach
// outside a block (daemon side) or the file (reader side), and allocation from many threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/sim/phys_mem.h"
#include "tests/platform/sim_root.h"

namespace {

bool all_bytes(const uint8_t *data, size_t size, uint8_t value) {
  return std::all_of(data, data + size, [value](uint8_t byte) { return byte == value; });
}

}  // namespace

TEST(PhysMem, BlocksAreWholeZeroedPagesHandedOutFirstFit) {
  size_t before = phys_in_use();
  PhysBlock a = phys_alloc(1);
  PhysBlock b = phys_alloc(5000);
  ASSERT_NE(a.vaddr, nullptr);
  ASSERT_NE(b.vaddr, nullptr);
  EXPECT_EQ(a.size, phys_page_size);
  EXPECT_EQ(b.size, 2 * phys_page_size);
  EXPECT_GE(a.paddr, phys_base);
  EXPECT_EQ(a.paddr % phys_page_size, 0u);
  EXPECT_EQ(phys_in_use(), before + 3 * phys_page_size);
  EXPECT_TRUE(all_bytes(b.vaddr, b.size, 0));

  memset(a.vaddr, 0xAB, a.size);
  uint32_t freed = a.paddr;
  ASSERT_TRUE(phys_free(a.paddr));
  EXPECT_FALSE(phys_free(a.paddr));  // a second free is refused
  PhysBlock again = phys_alloc(100);  // the first hole that fits is the one just freed
  ASSERT_NE(again.vaddr, nullptr);
  EXPECT_EQ(again.paddr, freed);
  EXPECT_TRUE(all_bytes(again.vaddr, again.size, 0));  // cleared for its new owner

  PhysBlock wide = phys_alloc(3 * phys_page_size);  // too wide for any hole: after the others
  ASSERT_NE(wide.vaddr, nullptr);
  EXPECT_GT(wide.paddr, b.paddr);

  EXPECT_EQ(phys_alloc(0).vaddr, nullptr);
  EXPECT_EQ(phys_alloc(phys_capacity + 1).vaddr, nullptr);
  EXPECT_EQ(phys_alloc(phys_capacity).vaddr, nullptr);  // not while other blocks are held
  EXPECT_FALSE(phys_free(b.paddr + 4096));               // inside a block, not its start
  EXPECT_FALSE(phys_free(0));
  for (const PhysBlock &block : {again, b, wide}) EXPECT_TRUE(phys_free(block.paddr));
  EXPECT_EQ(phys_in_use(), before);
}

TEST(PhysMem, AddressesResolveOnlyInsideOneBlock) {
  PhysBlock a = phys_alloc(phys_page_size);
  PhysBlock b = phys_alloc(phys_page_size);  // right after a
  ASSERT_EQ(b.paddr, a.paddr + a.size);

  EXPECT_EQ(phys_to_virt(a.paddr, a.size), a.vaddr);
  EXPECT_EQ(phys_to_virt(a.paddr + 100, 0), a.vaddr + 100);
  EXPECT_EQ(phys_to_virt(a.paddr + a.size - 1, 1), a.vaddr + a.size - 1);
  EXPECT_EQ(phys_to_virt(a.paddr, a.size + 1), nullptr);  // runs into the next block
  EXPECT_EQ(phys_to_virt(a.paddr + 1, SIZE_MAX), nullptr);
  EXPECT_EQ(phys_to_virt(phys_base - 4, 8), nullptr);
  EXPECT_EQ(phys_to_virt(0, 1), nullptr);
  EXPECT_EQ(phys_to_virt(0xFFFFFFFF, 1), nullptr);

  uint32_t gone = b.paddr;
  ASSERT_TRUE(phys_free(b.paddr));
  EXPECT_EQ(phys_to_virt(gone, 1), nullptr);
  EXPECT_TRUE(phys_free(a.paddr));
}

TEST(PhysMem, ReaderSeesTheBytesAndNothingOutsideTheFile) {
  PhysBlock block = phys_alloc(3 * phys_page_size);
  ASSERT_NE(block.vaddr, nullptr);
  for (size_t i = 0; i < block.size; ++i) block.vaddr[i] = uint8_t(i * 7);

  std::string error;
  PhysMemView view = phys_map_read_only(test_root(), error);
  ASSERT_TRUE(view.file) << error;
  const uint8_t *seen = phys_view_range(view, block.paddr, block.size);
  ASSERT_NE(seen, nullptr);
  EXPECT_EQ(memcmp(seen, block.vaddr, block.size), 0);

  uint32_t last = uint32_t(phys_base + phys_capacity - 1);
  EXPECT_NE(phys_view_range(view, last, 1), nullptr);
  EXPECT_EQ(phys_view_range(view, last, 2), nullptr);
  EXPECT_EQ(phys_view_range(view, last + 1, 0), nullptr);
  EXPECT_EQ(phys_view_range(view, phys_base, UINT64_MAX), nullptr);
  EXPECT_EQ(phys_view_range(view, phys_base - 1, 1), nullptr);

  PhysMemView missing = phys_map_read_only(test_root() + "/nowhere", error);
  EXPECT_FALSE(missing.file);
  EXPECT_EQ(phys_view_range(missing, block.paddr, 1), nullptr);
  EXPECT_TRUE(phys_free(block.paddr));
}

TEST(PhysMem, ThreadsNeverGetOverlappingBlocks) {
  constexpr int thread_count = 8;
  size_t before = phys_in_use();
  std::vector<std::thread> threads;
  std::vector<int> failures(thread_count, 0);
  for (int t = 0; t < thread_count; ++t) {
    threads.emplace_back([t, &failures] {
      for (int round = 0; round < 200; ++round) {
        PhysBlock block = phys_alloc(size_t(1 + (round * 37 + t * 911) % 20000));
        if (block.vaddr == nullptr) {
          ++failures[size_t(t)];
          continue;
        }
        memset(block.vaddr, t + 1, block.size);
        std::this_thread::yield();
        if (!all_bytes(block.vaddr, block.size, uint8_t(t + 1))) ++failures[size_t(t)];
        if (phys_to_virt(block.paddr, block.size) != block.vaddr) ++failures[size_t(t)];
        if (!phys_free(block.paddr)) ++failures[size_t(t)];
      }
    });
  }
  for (std::thread &thread : threads) thread.join();
  for (int t = 0; t < thread_count; ++t) EXPECT_EQ(failures[size_t(t)], 0) << "thread " << t;
  EXPECT_EQ(phys_in_use(), before);
}
