// The USB connection monitor.
//
// Design. Once a second the thread reads the gadget controller's state word from sysfs and
// publishes the result in usb_connect_state. The decision what to do with it (UsbMonitor) is a
// small pure state machine over the last acted-on state and a change counter, so the attach is
// immediate and the detach waits for ten differing probes; the effects run on this thread and
// call into the display, video and GUI code, which accept calls from any thread.
//
// The probe keeps the sysfs habit of waiting for the attribute's exceptional condition, but
// with a zero time-out, and reads the word whether or not the condition was flagged: sysfs
// flags it for a fresh descriptor anyway, and a plain file (the simulated attribute) never
// does, so the result is the same and the thread can never hang in the probe.
#include "usb_state/usb_state.h"

#include <fcntl.h>
#include <sys/select.h>
#include <unistd.h>

#include <cstdio>
#include <new>
#include <cstring>
#include <string>

#include "disp/disp.h"
#include "disp/image.h"
#include "platform/root_path.h"
#include "screen/player.h"
#include "screen/screen.h"
#include "storage/util.h"

std::atomic<int32_t> usb_connect_state{-1};
std::atomic<uint8_t> test_h264{0};

namespace {

constexpr char udc_path[] = "/sys/class/udc/13500000.otg";
constexpr char configured_word[] = "configured";

}  // namespace

int get_usb_state() {
  char path[128];
  snprintf(path, sizeof path, "%s/state", udc_path);
  const std::string real = root_path(path);
  const int fd = real.empty() ? -1 : open(real.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    printf("open %s fail\n", path);
    return -1;
  }
  // Zero time-out: only whether the condition is there now. A descriptor beyond what select
  // can watch is simply read.
  if (fd < FD_SETSIZE) {
    fd_set exceptional;
    FD_ZERO(&exceptional);
    FD_SET(fd, &exceptional);
    struct timeval no_wait {};
    if (select(fd + 1, nullptr, nullptr, &exceptional, &no_wait) < 0) {
      fprintf(stderr, "select error\n");
      close(fd);
      return -1;
    }
  }
  char text[128] = {};
  const ssize_t got = read(fd, text, sizeof text - 1);
  if (got < 0) text[0] = '\0';
  lseek(fd, 0, SEEK_SET);
  char *line_end = strchr(text, '\n');
  if (line_end != nullptr) *line_end = '\0';
  close(fd);
  return strcmp(text, configured_word) == 0 ? 1 : 0;
}

UsbAction UsbMonitor::step(int state, bool halted) {
  if (halted || state == last_state) return UsbAction::none;
  if (state == 1) {
    change_count = 0;
    last_state = state;
    return UsbAction::attach;
  }
  if (++change_count < detach_polls) return UsbAction::none;
  change_count = 0;
  last_state = state;
  return UsbAction::detach;
}

void usb_attach_action() {
  playPresetMode();
  active_brightness();
}

void usb_detach_action() {
  uint8_t keep_on = 0;
  {
    std::lock_guard<std::recursive_mutex> hold(cfg_lock);
    keep_on = cfg.keep_on;
  }
  if (keep_on == 0) {
    inactive_brightness();
    screen_stop_slideshow();
  }
  lvgl_resume();
  active_brightness();
}

void usb_poll_once(UsbMonitor &monitor) {
  const int state = get_usb_state();
  usb_connect_state = state;
  switch (monitor.step(state, test_h264 != 0)) {
    case UsbAction::attach: usb_attach_action(); break;
    case UsbAction::detach: usb_detach_action(); break;
    case UsbAction::none: break;
  }
}

void *usb_state_thread(void *) {
  UsbMonitor monitor;
  for (;;) {
    sleep(1);
    // A poll that cannot have the memory it needs is skipped; the next one comes a second on.
    try {
      usb_poll_once(monitor);
    } catch (const std::bad_alloc &) {
      fprintf(stderr, "usb state: out of memory, poll skipped\n");
    }
  }
  return nullptr;
}
