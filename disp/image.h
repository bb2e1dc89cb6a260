// Still pictures: JPEG onto layer 0 through the hardware decoder, PNG onto layer 1, the SD
// card slideshow, the boot logo and the preset content chosen by the settings.
#pragma once

#include <pthread.h>

#include <cstdint>

#include "platform/jpegd.h"

// --- The JPEG decode in progress: used only under layer_lock (disp/disp.h), so two decodes
// never overlap. decoder_jpeg is null between pictures.
extern JpegDecoder *decoder_jpeg;
extern JpegJob config;
extern JpegOutput output;
// --- The last slideshow thread started (detached, never joined). play_local_jpg_async only.
extern pthread_t local_jpg_player;

// 0 shown, -1 failed (the screen keeps its picture). Any thread.
int show_jpg_buffer(const uint8_t *data, int length);
// Shows a JPEG file named by its device path. -1 when the file cannot be opened, else 0
// (whatever the decode did). Any thread.
int show_jpg_local(const char *path);
// Decodes a PNG into layer 1 and pans it; what falls outside the layer is clipped. Any thread.
void decode_png(const uint8_t *data, int length);
// Clears layer 1 and starts the slideshow thread unless one runs. 0 if one runs already,
// else the thread-creation result.
int play_local_jpg_async();
// The slideshow over "/tmp/sdcard/mmcblk0p1/img/": (void *)1 when it ends on its own,
// (void *)-1 when the folder cannot be opened.
void *play_local_jpg_thread(void *);
// Slideshow threads still alive: 0 or 1, briefly 2 while a stopped one finishes its last wait
// after a new one has started (the old one then shows nothing more).
int slideshow_thread_count();
// Whether a slideshow is on: started and still opening its folder (ImgPlaying 2), or showing
// pictures (ImgPlaying 1 and its thread alive; one that found no picture has ended, leaving
// ImgPlaying set). Any thread.
bool slideshow_on();
void playBootAnnimation();
void playXyzAnnimation();
