// A test stream cut into libavcodec packets, for the rows and floors that decode with
// libavcodec alone. The caller frees each packet with av_packet_free.
#pragma once

#include <cstdint>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

std::vector<AVPacket *> parse_packets(const std::vector<uint8_t> &stream);
