// dh_idle_floor: an idle program that links the libraries the daemon links and does nothing.
// Its resident memory is the floor that the daemon's own memory is measured above. It says
// "ready" on standard output once loaded and then waits to be ended.
//
// dh_idle_floor STREAM.h264 first decodes the stream with libavcodec alone, set up as the
// simulated decoder sets it up (one thread, low delay, slices handed over as they come): its
// peak resident memory is then the floor plus what libavcodec itself needs for that stream.
#include <mbedtls/des.h>
#include <png.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/avutil.h>
#include <libswscale/swscale.h>
}

namespace {

int decode_stream(const char *path) {
  FILE *in = fopen(path, "rb");
  if (in == nullptr) return -1;
  const AVCodec *codec = avcodec_find_decoder(AV_CODEC_ID_H264);
  AVCodecContext *context = avcodec_alloc_context3(codec);
  context->thread_count = 1;
  context->flags |= AV_CODEC_FLAG_LOW_DELAY;
  context->flags2 |= AV_CODEC_FLAG2_CHUNKS;
  if (avcodec_open2(context, codec, nullptr) < 0) return -1;
  AVCodecParserContext *parser = av_parser_init(AV_CODEC_ID_H264);
  AVPacket *packet = av_packet_alloc();
  AVFrame *frame = av_frame_alloc();
  int frames = 0;
  // The stream in pieces, so that it does not count as the decoder's memory.
  std::vector<uint8_t> piece(65536 + AV_INPUT_BUFFER_PADDING_SIZE);
  for (;;) {
    const size_t got = fread(piece.data(), 1, 65536, in);
    const uint8_t *at = piece.data();
    int left = int(got);
    do {  // an empty piece at the end flushes the parser
      uint8_t *unit = nullptr;
      int unit_size = 0;
      int used = av_parser_parse2(parser, context, &unit, &unit_size, got > 0 ? at : nullptr, left,
                                  AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
      at += used;
      left -= used;
      if (unit_size == 0 || av_new_packet(packet, unit_size) < 0) continue;
      memcpy(packet->data, unit, size_t(unit_size));
      avcodec_send_packet(context, packet);
      av_packet_unref(packet);
      while (avcodec_receive_frame(context, frame) == 0) {
        ++frames;
        av_frame_unref(frame);
      }
    } while (left > 0);
    if (got == 0) break;
  }
  fclose(in);
  av_frame_free(&frame);
  av_packet_free(&packet);
  av_parser_close(parser);
  avcodec_free_context(&context);
  return frames;
}

}  // namespace

int main(int argc, char **argv) {
  // One call into each library, so that each is loaded as it is for the daemon.
  mbedtls_des_context des;
  mbedtls_des_init(&des);
  mbedtls_des_free(&des);
  volatile unsigned versions = avcodec_version() + avutil_version() + swscale_version() +
                               unsigned(png_access_version_number());
  (void)versions;
  (void)tjGetErrorStr();
  if (argc > 1 && decode_stream(argv[1]) <= 0) {
    fprintf(stderr, "dh_idle_floor: %s: no picture decoded\n", argv[1]);
    return 1;
  }
  puts("ready");
  fflush(stdout);
  for (;;) pause();
}
