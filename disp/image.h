// Still pictures: JPEG onto layer 0 through the hardware decoder, PNG onto layer 1, the SD
// card slideshow, the boot logo and the preset content chosen by the settings.
#pragma once

#include <cstdint>

// 0 shown, -1 failed (the screen keeps its picture).
int show_jpg_buffer(const uint8_t *data, int length);
// -1 when the file cannot be opened, else 0 (whatever the decode did).
int show_jpg_local(const char *path);
// Decodes a PNG into layer 1 and pans it.
void decode_png(const uint8_t *data, int length);
// Clears layer 1 and starts the slideshow thread unless one runs. 0 if one runs already,
// else the thread-creation result.
int play_local_jpg_async();
void *play_local_jpg_thread(void *);
void playBootAnnimation();
void playXyzAnnimation();
void playPresetMode();
