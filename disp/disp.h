// Framebuffer layers, rotation, backlight, pictures and the slideshow.
#pragma once

#include <atomic>
#include <cstdint>

// --- Nonzero while the slideshow may run. The host loop, the picture paths, the decoder thread
// and the USB monitor write; the slideshow reads it after each picture.
extern std::atomic<int32_t> ImgPlaying;
