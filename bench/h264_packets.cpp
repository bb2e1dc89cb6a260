#include "bench/h264_packets.h"

#include <cstring>

// The stream cut into packets as libavcodec's own parser cuts it.
std::vector<AVPacket *> parse_packets(const std::vector<uint8_t> &stream) {
  std::vector<AVPacket *> packets;
  AVCodecParserContext *parser = av_parser_init(AV_CODEC_ID_H264);
  AVCodecContext *context = avcodec_alloc_context3(avcodec_find_decoder(AV_CODEC_ID_H264));
  std::vector<uint8_t> padded(stream.size() + AV_INPUT_BUFFER_PADDING_SIZE);
  memcpy(padded.data(), stream.data(), stream.size());
  const uint8_t *at = padded.data();
  int left = int(stream.size());
  for (;;) {
    uint8_t *unit = nullptr;
    int unit_size = 0;
    int used = av_parser_parse2(parser, context, &unit, &unit_size, left > 0 ? at : nullptr,
                                left, AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
    at += used;
    left -= used;
    if (unit_size > 0) {
      AVPacket *packet = av_packet_alloc();
      av_new_packet(packet, unit_size);
      memcpy(packet->data, unit, size_t(unit_size));
      packets.push_back(packet);
    }
    if (left <= 0 && unit_size == 0) break;
  }
  av_parser_close(parser);
  avcodec_free_context(&context);
  return packets;
}
