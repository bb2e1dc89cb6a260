#include "mcu/gui_shm_file.h"

#include <sys/mman.h>

#include "platform/shm_root.h"

namespace {
constexpr char shm_name[] = "/demo_shm";
}  // namespace

std::string gui_block_name() { return shm_object_name(shm_name); }

int open_gui_block(int flags, mode_t mode) { return shm_open_under_root(shm_name, flags, mode); }

GuiSharedBlock *map_gui_block(int fd) {
  void *map = mmap(nullptr, gui_block_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  return map == MAP_FAILED ? nullptr : static_cast<GuiSharedBlock *>(map);
}
