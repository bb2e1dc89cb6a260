// The two settings records and their files under /usr/data. Both records are guarded by
// cfg_lock (below); every load and save takes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

struct AppConfig {
  uint8_t brightness;       // stored level, not applied by anything
  uint8_t mode;             // preset while the host is attached: 1 slideshow, 2 local video
  uint8_t aux2;             // stored for the host, not interpreted
  uint8_t local_rotation;   // rotation code applied at start-up
  uint8_t aux4;             // stored for the host, not interpreted
  uint8_t keep_on;          // 0: stop the slideshow when the host goes away
  char local_path[128];     // the local video last started
  int32_t size;             // bytes of the record stored in app.cfg: 132
};
static_assert(offsetof(AppConfig, local_path) == 6);
static_assert(offsetof(AppConfig, size) == 136);

struct GuiConfig {
  uint8_t theme_index;      // background theme, 0..12
  uint8_t theme_count;      // 13
  uint8_t file_size;        // length of lvgl_app.cfg: 16
};
static_assert(sizeof(GuiConfig) == 3);

// The background videos a theme index selects; a stored index at or above this loads as 0.
constexpr int background_theme_count = 13;

// --- Guarded by cfg_lock (recursive: ReadConfig saves through SaveConfig, ReadLVGLConfig
// through SaveLVGLConfig). Every access from a thread other than the one test in control
// holds it; callers copy what they need and act after releasing it, except that a rotation
// (host 0x0D, the controller's wireless record) is applied under it, so that the panel and
// local_rotation change together (cfg_lock is then taken before layer_lock).
// cfg: written by the host loop (0x0D, 0x7D), the controller thread (wireless rotation) and
// the screen owner (local_path on every player start); read by start-up, the preset and the
// USB monitor.
// lvgl_cfg: written by ReadLVGLConfig (start-up) and the controller thread's save check; read
// by start-up and the controller thread (the knob's theme count).
extern std::recursive_mutex cfg_lock;
extern AppConfig cfg;
extern GuiConfig lvgl_cfg;

// lvgl_cfg's theme index and theme count, read under cfg_lock. Any thread.
uint8_t lvgl_theme_index();
uint8_t lvgl_theme_count();

// Loads cfg from "/usr/data/app.cfg": 0 when loaded, 1 when the file could not be opened and
// was rebuilt with the defaults (brightness 128, local_path "file://test"). A short file only
// replaces the bytes it holds; `size` is never read from the file. Start-up, main thread.
int ReadConfig();

// Writes the first `size` (132) bytes of cfg over the start of app.cfg, creating it if needed
// and never truncating it, then sync(). 0 when stored, -1 after a message on standard error
// when it could not be opened or written whole. Main thread only (host commands, ReadConfig).
int SaveConfig();

// Loads theme_index from byte 0 of "/usr/data/lvgl_app.cfg": 0 when loaded, 1 when rebuilt
// with theme 0. Start-up, main thread.
int ReadLVGLConfig();

// Writes lvgl_app.cfg (16 bytes, byte 0 the theme index), then sync(). 0 when stored, -1
// after a message on standard error when it could not be opened or written whole. Controller
// thread, and the main thread through ReadLVGLConfig at start-up.
int SaveLVGLConfig();
