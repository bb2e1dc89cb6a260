// The USB connection monitor: watches whether the host has the gadget configured and switches
// the screen between the preset content (host attached) and the GUI process (host gone).
//
// Who calls what: start-up starts usb_state_thread once; it never returns. The controller
// link reads usb_connect_state. The host command loop sets test_h264.
#pragma once

#include <atomic>
#include <cstdint>

// --- -1 until the first probe, then the gadget state. The monitor writes; the controller reads.
extern std::atomic<int32_t> usb_connect_state;

// --- Once 1 (host command 0xFD), the monitor stops acting, for the life of the process.
// The host command loop writes it; the monitor reads it.
extern std::atomic<uint8_t> test_h264;

// The gadget controller's state: 1 when its state word is "configured", 0 for any other word,
// -1 when the attribute cannot be opened or waited on. Never blocks. Any thread.
int get_usb_state();

// Thread entry: probes once a second and acts on attach and detach. Never returns.
void *usb_state_thread(void *);

// --- The monitor's decision, kept apart from its effects.

enum class UsbAction { none, attach, detach };

// The last acted-on state and the change counter. An attach acts at the first probe of 1; a
// detach after ten probes that differ from the last acted-on state, whether or not they come
// one after another (probes equal to it in between neither count nor reset the counter).
struct UsbMonitor {
  static constexpr int detach_polls = 10;
  int last_state = -1;
  int change_count = 0;

  // One probe. `halted` (test_h264 set) makes it act never and change nothing.
  UsbAction step(int state, bool halted);
};

// The effects. Attach: the preset content of cfg.mode (1 slideshow, 2 the video at
// cfg.local_path), then the backlight to the remembered level. Detach: unless cfg.keep_on,
// backlight off and the slideshow stopped; then the GUI resumed and the backlight back on.
void usb_attach_action();
void usb_detach_action();

// One poll without the sleep: probe, publish usb_connect_state, decide and act.
void usb_poll_once(UsbMonitor &monitor);
