// Simulated physical memory: the memory the display controller and the decoders address by
// physical address on the board. On a PC it is one sparse file under the sandbox root
// (/run/displayhead/physmem), mapped shared, so that a reader process (dhshot, the tests) sees
// the pixels the daemon's layers, decoders and reserved buffers hold.
//
// Physical address = phys_base + offset into the file. Blocks are whole pages, handed out
// first-fit; every address range a controller would fetch from is resolved through
// phys_to_virt (daemon) or phys_view_range (reader), which never yields memory outside a
// block or the file.
//
// Callers: the framebuffer stand-in (layer buffers), the reserved-memory stand-in (decoder
// output buffers) and the panel view (reading). All daemon-side functions are thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/sim/shared_file.h"

constexpr uint32_t phys_base = 0x20000000;         // physical address of the file's byte 0
constexpr size_t phys_capacity = size_t(256) << 20; // bytes of simulated memory
constexpr size_t phys_page_size = 4096;

// A physically contiguous block: its mapping in this process, its physical address, its size
// in bytes (the request rounded up to whole pages).
struct PhysBlock {
  uint8_t *vaddr = nullptr;
  uint32_t paddr = 0;
  size_t size = 0;
};

// --- Daemon side: the process that owns the memory (creates the file at first use).

// A zero-filled block of at least `size` bytes; vaddr null (with a message on standard error)
// when `size` is 0, there is no room, or the file cannot be set up.
PhysBlock phys_alloc(size_t size);
// Releases the block that starts at `paddr`. False when no block starts there.
bool phys_free(uint32_t paddr);
// The mapping of [paddr, paddr + length) when that range lies inside one allocated block
// (length 0: paddr inside a block), else null.
uint8_t *phys_to_virt(uint32_t paddr, size_t length);
// Bytes allocated now (whole pages).
size_t phys_in_use();

// --- Reader side: another process's view of the memory, read-only.

struct PhysMemView {
  SharedFile file;  // empty when the daemon has not created its memory
};

// Maps the physical memory under `root` ("" = the device's own "/") read-only. An empty view
// (with `error`) when it is not there; every range then resolves to null.
PhysMemView phys_map_read_only(const std::string &root, std::string &error);
// The bytes of [paddr, paddr + length) when the range lies inside the mapped file, else null.
// Allocation is the daemon's business: a reader sees whatever the memory holds.
const uint8_t *phys_view_range(const PhysMemView &view, uint32_t paddr, uint64_t length);
