// The board's reserved memory: physically contiguous buffers that the decoders and the
// display controller address by their physical address.
#pragma once

#include <cstddef>
#include <cstdint>

// The library exports plain C functions.
extern "C" {

// A handle (>= 0), or negative with errno set.
int rmem_open();
// A buffer of `size` bytes (a multiple of 4096; other sizes are rounded up to one), zeroed;
// its physical address is stored in *paddr. Null on failure, with errno set (ENOMEM: no room;
// EINVAL: size 0; EBADF: not an open handle).
uint8_t *rmem_alloc(int handle, uint32_t *paddr, size_t size);
// Releases a buffer allocated through `handle`; anything else is refused with a message.
void rmem_free(int handle, uint8_t *vaddr, uint32_t paddr, size_t size);
// Releases the handle and every buffer it still holds.
void rmem_close(int handle);

}  // extern "C"
