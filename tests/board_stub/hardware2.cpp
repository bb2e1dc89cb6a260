// libhardware2 with nothing inside: the framebuffer layers, the JPEG decoder and the V4L2
// H.264 decoder, each call failing as the headers describe a failure.
#include "platform/fb.h"
#include "platform/jpegd.h"
#include "platform/v4l2_h264.h"

int fb_open(const char *, LayerInfo *) { return -1; }
int fb_enable(int) { return -1; }
int fb_close(int, LayerInfo *) { return -1; }
int fb_pan_display_enable_user_cfg(int) { return -1; }
int fb_pan_display_set_user_cfg(int, LayerUserConfig *) { return -1; }
int fb_pan_display(int, LayerInfo *, int) { return -1; }

JpegDecoder *jpegd_decoder_open(const uint8_t *, int) { return nullptr; }
int jpegd_decoder_set_output_mem(JpegDecoder *, JpegJob *, uint8_t *, uint32_t, int) { return -1; }
int jpegd_decoder_get(JpegDecoder *, JpegJob *, JpegOutput *) { return -1; }
int jpegd_decoder_put(JpegDecoder *, JpegOutput *) { return -1; }
void jpegd_decoder_close(JpegDecoder *) {}

H264Decoder *v4l2_h264_decoder_direct_open(H264OpenParams *) { return nullptr; }
int v4l2_h264_decoder_direct_work(H264Decoder *, const uint8_t *, int, uint8_t *, uint8_t *) { return -1; }
int v4l2_h264_decoder_get_frame_info(H264Decoder *, H264FrameInfo *) { return -1; }
int v4l2_h264_decoder_work_release(H264Decoder *) { return -1; }
void v4l2_h264_decoder_close(H264Decoder *) {}
