// Simulated physical memory. One arena per process, set up at the first allocation: the file
// is created anew (a previous run's contents never leak into this one) and stays mapped for
// the life of the process, so a stale pointer into a freed block never faults. A sorted map
// of the allocated blocks (offset -> size) serves first-fit allocation and range look-ups;
// one mutex guards it. Released and newly handed-out pages are dropped from the file (a hole
// punched through its descriptor), which keeps it sparse and makes them read as zero; where
// the file system cannot drop pages, a new block is cleared by hand.
#include "platform/sim/phys_mem.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/root_path.h"

namespace {

struct Arena {
  std::mutex lock;
  // --- The following fields are protected by lock.
  SharedFile file;
  std::map<size_t, size_t> blocks;  // offset -> size, both whole pages
  size_t in_use = 0;
};

Arena &arena() {
  static Arena instance;
  return instance;
}

// Sets up the file on first use. Called with the lock held.
bool ensure_file(Arena &a) {
  if (a.file) return true;
  std::string path = root_path(physmem_device_path);
  std::string error = path.empty() ? "no path for the physical memory" : "";
  if (!path.empty()) a.file = SharedFile::create(path, phys_capacity, error);
  if (!a.file) {
    fprintf(stderr, "physical memory: %s\n", error.c_str());
    return false;
  }
  return true;
}

// The block holding `offset`, or blocks.end().
std::map<size_t, size_t>::const_iterator block_at(const Arena &a, size_t offset) {
  auto next = a.blocks.upper_bound(offset);
  if (next == a.blocks.begin()) return a.blocks.end();
  auto block = std::prev(next);
  return offset < block->first + block->second ? block : a.blocks.end();
}

void drop_pages(Arena &a, size_t offset, size_t size, bool must_read_zero) {
  if (!a.file.punch_hole(offset, size) && must_read_zero) {
    memset(a.file.data() + offset, 0, size);
  }
}

}  // namespace

PhysBlock phys_alloc(size_t size) {
  PhysBlock block;
  if (size == 0 || size > phys_capacity) {
    fprintf(stderr, "physical memory: cannot allocate %zu bytes\n", size);
    return block;
  }
  size_t pages = (size + phys_page_size - 1) / phys_page_size * phys_page_size;

  Arena &a = arena();
  std::lock_guard guard(a.lock);
  if (!ensure_file(a)) return block;
  size_t start = 0;  // first fit: the first gap between blocks that is large enough
  for (const auto &[offset, length] : a.blocks) {
    if (offset - start >= pages) break;
    start = offset + length;
  }
  if (phys_capacity - start < pages) {
    fprintf(stderr, "physical memory: no room for %zu bytes (%zu in use)\n", size, a.in_use);
    return block;
  }
  a.blocks.emplace(start, pages);
  a.in_use += pages;
  drop_pages(a, start, pages, true);
  block.vaddr = a.file.data() + start;
  block.paddr = uint32_t(phys_base + start);
  block.size = pages;
  return block;
}

bool phys_free(uint32_t paddr) {
  Arena &a = arena();
  std::lock_guard guard(a.lock);
  if (paddr < phys_base) return false;
  auto block = a.blocks.find(size_t(paddr - phys_base));
  if (block == a.blocks.end()) return false;
  drop_pages(a, block->first, block->second, false);
  a.in_use -= block->second;
  a.blocks.erase(block);
  return true;
}

uint8_t *phys_to_virt(uint32_t paddr, size_t length) {
  Arena &a = arena();
  std::lock_guard guard(a.lock);
  if (paddr < phys_base) return nullptr;
  size_t offset = paddr - phys_base;
  auto block = block_at(a, offset);
  if (block == a.blocks.end()) return nullptr;
  if (length > block->first + block->second - offset) return nullptr;
  return a.file.data() + offset;
}

size_t phys_in_use() {
  Arena &a = arena();
  std::lock_guard guard(a.lock);
  return a.in_use;
}

PhysMemView phys_map_read_only(const std::string &root, std::string &error) {
  PhysMemView view;
  view.file = SharedFile::open_read_only(root + physmem_device_path, error);
  return view;
}

const uint8_t *phys_view_range(const PhysMemView &view, uint32_t paddr, uint64_t length) {
  if (!view.file || paddr < phys_base) return nullptr;
  uint64_t offset = paddr - phys_base;
  if (offset >= view.file.size() || length > view.file.size() - offset) return nullptr;
  return view.file.data() + offset;
}
