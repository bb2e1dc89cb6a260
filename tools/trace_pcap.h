// The capture file of a trace: pcapng with link type USER0 (147), one record per protocol
// unit. Each record's data begins with four bytes of its own, "DH", the link (0 host,
// 1 controller) and the unit kind (UnitKind), followed by the unit's bytes as they crossed the
// wire. The direction is in the record's flags: inbound is to the device, outbound from it.
// The interface is named after the link.
//
// Wireshark and tshark refuse a record of more than 262,144 bytes, and a host block may be
// 1 MiB: a unit longer than pcap_piece bytes is split across consecutive records of the same
// time and direction, the first with the unit's kind, the rest with the kind plus 0x80
// ("continued"). Each piece's original length is its own; the last one's also counts what the
// trace left out of a longer unit. Reading the records in order gives the unit back.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/trace_decode.h"

constexpr uint16_t pcap_link_user0 = 147;
constexpr size_t pcap_unit_header = 4;
constexpr size_t pcap_piece = 65536 - pcap_unit_header;  // a unit's bytes in one record
constexpr uint8_t pcap_continued = 0x80;                 // in the kind byte of later pieces

struct PcapWriter {
  FILE *file = nullptr;
  int64_t start_wall_us = 0;  // the wall-clock time of the trace clock's zero
  TraceLink link = TraceLink::host;
};

// Creates FILE with its section and interface; false with a message on failure.
bool pcap_open(PcapWriter &writer, const std::string &path, TraceLink link,
               int64_t start_wall_us, std::string &error);
// One record per unit of the event; false when the write failed.
bool pcap_write(PcapWriter &writer, const TraceEvent &event);
void pcap_close(PcapWriter &writer);

struct PcapRecord {
  int64_t t_us = 0;        // wall clock, microseconds
  TraceDir dir = TraceDir::to_device;
  TraceLink link = TraceLink::host;
  UnitKind kind = UnitKind::packet;
  bool continued = false;  // a later piece of a unit split across records
  uint64_t length = 0;     // the length on the wire of the piece
  std::vector<uint8_t> bytes;
};

// Reads every record of FILE written by pcap_write (and other blocks, which are skipped).
// False with a message when the file is not such a capture or is damaged; the records read
// up to the damage are kept.
bool pcap_read(const std::string &path, std::vector<PcapRecord> &records, std::string &error);
