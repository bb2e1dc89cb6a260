// The display: framebuffer layers 0 and 1, the picture area, rotation, backlight and the
// picture timing that paces video.
//
// Layer 0 carries every full-screen picture (JPEG stills, video frames) through user
// configuration; layer 1 carries the PNG overlay. Pixels are 32-bit words 0xAARRGGBB.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "platform/fb.h"

// --- The layers. Replaced only by set_rotation, under layer_lock; every thread that presents
// a picture or writes a layer buffer holds layer_lock meanwhile, so no thread uses a handle
// while it is being replaced.
extern std::recursive_mutex layer_lock;
extern int fb_fd, fb1_fd;
extern LayerInfo fb_info, fb1_info;
// --- The picture area on layer 0, derived from layer 0's size at open (also under layer_lock).
extern int32_t dev_width, dev_height, dev_x, dev_y, dev_type;
// --- Rotation code 0..3 as applied (set_rotation takes any other code as 0; the settings keep
// the code as sent).
extern std::atomic<int32_t> rotation;
// --- Backlight: the remembered level and the copy the controller link compares against.
// Written by the backlight functions below, which change them and the attribute as one step
// (one backlight change at a time), and by init_disp at start-up; read anywhere.
extern std::atomic<int32_t> bright, current_bright;
// --- Picture timing in microseconds (32-bit, wrapping): written by the presenters and the
// frame rate setters, read by the video pacing.
extern std::atomic<uint32_t> lastframe_time;
extern std::atomic<int32_t> frameTime;   // INT32_MAX: pacing off
// The scan-out record of layer 0's last picture: filled and handed to the layer under
// layer_lock (fb_display, the video thread).
extern LayerUserConfig layer_cfg;

// --- 1 while the slideshow runs; any other value asks it to stop. The slideshow sets it once
// its folder is open; the host loop, the decoder thread's producers and the USB monitor clear
// it; the slideshow reads it after each folder entry. 2 from play_local_jpg_async until its
// thread has opened the folder: a stop meanwhile (0) keeps that thread from beginning.
extern std::atomic<int32_t> ImgPlaying;

// Opens and enables both layers and derives the picture area; 0, or -1 when layer 0 cannot be
// opened or enabled. Start-up, and set_rotation.
int open_fb();
int init_disp();
// frameTime = 1,000,000 / fps, truncated; 0 or less turns the pacing off (INT32_MAX).
void set_framerate(int fps);
void set_rotation(int code);
// Fills a rectangle clipped to layer 0's geometry (a negative w or h reaches the edge). Ends
// the process when layer 0 has fewer than 4 bytes per pixel.
void draw_rect(uint8_t *buffer, int x, int y, int w, int h, uint32_t colour);
int fb_display(int fd, int width, int height, LayerInfo *info, uint32_t paddr);
void clean_fb1();
// Writes the level (clamped to 0..100) to the backlight; keep 0 also remembers it in bright.
void set_brightness(int level, int keep);
void active_brightness();
void inactive_brightness();

// Microseconds now, as the pacing keeps them: seconds * 1,000,000 + microseconds, 32 bits.
uint32_t now_us();
