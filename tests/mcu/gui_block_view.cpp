#include "tests/mcu/gui_block_view.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "mcu/gui_shm.h"
#include "mcu/mcu.h"
#include "tests/mcu/gui_sandbox.h"

GuiSharedBlock *view_block() {
  const int fd = open(under_root(block_device_path).c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st {};
  void *map = MAP_FAILED;
  if (fstat(fd, &st) == 0 && st.st_size >= off_t(gui_block_size)) {
    map = mmap(nullptr, gui_block_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  }
  close(fd);
  // Left mapped for the life of the test process, like the daemon's own mapping.
  return map == MAP_FAILED ? nullptr : static_cast<GuiSharedBlock *>(map);
}

GuiSharedBlock *fresh_block() {
  remove_device_file(block_device_path);
  lvgl_state = 1;
  control_mode = 0;
  water_temp = 0;
  pump_speed = 0;
  current_theme_index = 0;
  data_update_type = 0;
  data_update_mark = 0;
  gui_shm_create();
  return view_block();
}

bool publish() {
  gui_record_step(gui_publish_begin());
  return !gui_block_pending(publish_answer_ms);
}
