// The reserved-memory stand-in, on the simulated physical memory.
//
// Every open gets a handle of its own (handles are not reused within a process), which owns
// the buffers allocated through it: a free must name a buffer of that handle, and a close
// releases whatever the handle still holds, so a caller that forgets a buffer leaks nothing
// past its close. Sizes need not be whole pages: a buffer is rounded up to whole pages by the
// physical memory. One mutex guards the table; the physical memory has its own.
#include "platform/rmem.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <map>
#include <mutex>

#include "platform/sim/phys_mem.h"

namespace {

struct Handles {
  std::mutex lock;
  // --- The following fields are protected by lock.
  int next = 0;
  std::map<int, std::map<uint32_t, PhysBlock>> open;  // handle -> physical address -> buffer
};

Handles &handles() {
  static Handles instance;
  return instance;
}

}  // namespace

int rmem_open() {
  Handles &table = handles();
  std::lock_guard guard(table.lock);
  if (table.next == INT_MAX) {
    errno = EMFILE;
    return -1;
  }
  int handle = table.next++;
  table.open[handle];
  return handle;
}

uint8_t *rmem_alloc(int handle, uint32_t *paddr, size_t size) {
  if (paddr == nullptr || size == 0) {
    errno = EINVAL;
    return nullptr;
  }
  Handles &table = handles();
  std::lock_guard guard(table.lock);
  auto owner = table.open.find(handle);
  if (owner == table.open.end()) {
    errno = EBADF;
    return nullptr;
  }
  PhysBlock block = phys_alloc(size);  // zero-filled
  if (block.vaddr == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  owner->second[block.paddr] = block;
  *paddr = block.paddr;
  return block.vaddr;
}

void rmem_free(int handle, uint8_t *vaddr, uint32_t paddr, size_t size) {
  Handles &table = handles();
  std::lock_guard guard(table.lock);
  auto owner = table.open.find(handle);
  auto block = owner == table.open.end() ? std::map<uint32_t, PhysBlock>::iterator()
                                         : owner->second.find(paddr);
  if (owner == table.open.end() || block == owner->second.end() || block->second.vaddr != vaddr ||
      size > block->second.size) {
    fprintf(stderr, "rmem: free of a buffer handle %d does not hold (0x%08x, %zu bytes)\n", handle,
            paddr, size);
    return;
  }
  phys_free(paddr);
  owner->second.erase(block);
}

void rmem_close(int handle) {
  Handles &table = handles();
  std::lock_guard guard(table.lock);
  auto owner = table.open.find(handle);
  if (owner == table.open.end()) return;
  for (const auto &[paddr, block] : owner->second) phys_free(paddr);
  table.open.erase(owner);
}
