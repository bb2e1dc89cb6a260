// pcapng, as little of it as a trace needs: one section, one interface, enhanced packet
// blocks with the direction flag. Written little-endian; the reader takes little-endian files
// and skips the block types it does not know.
#include "tools/trace_pcap.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

namespace {

constexpr uint32_t block_section = 0x0A0D0D0A;
constexpr uint32_t block_interface = 0x00000001;
constexpr uint32_t block_enhanced = 0x00000006;
constexpr uint32_t byte_order_magic = 0x1A2B3C4D;
constexpr uint16_t option_end = 0;
constexpr uint16_t option_if_name = 2;
constexpr uint16_t option_epb_flags = 2;
constexpr uint32_t flag_inbound = 1;
constexpr uint32_t flag_outbound = 2;
constexpr uint32_t largest_block = 64u << 20;

void put16(std::vector<uint8_t> &out, uint16_t v) {
  out.push_back(uint8_t(v));
  out.push_back(uint8_t(v >> 8));
}
void put32(std::vector<uint8_t> &out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(uint8_t(v >> (8 * i)));
}
void pad4(std::vector<uint8_t> &out) {
  while (out.size() % 4 != 0) out.push_back(0);
}
uint16_t get16(const uint8_t *p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t get32(const uint8_t *p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Frames `body` as a block: type, total length, body (padded), total length.
bool write_block(FILE *file, uint32_t type, std::vector<uint8_t> body) {
  pad4(body);
  std::vector<uint8_t> block;
  const uint32_t total = uint32_t(body.size() + 12);
  put32(block, type);
  put32(block, total);
  block.insert(block.end(), body.begin(), body.end());
  put32(block, total);
  return fwrite(block.data(), 1, block.size(), file) == block.size();
}

}  // namespace

bool pcap_open(PcapWriter &writer, const std::string &path, TraceLink link, int64_t start_wall_us,
               std::string &error) {
  writer.file = fopen(path.c_str(), "wb");
  if (writer.file == nullptr) {
    error = "cannot create " + path + ": " + strerror(errno);
    return false;
  }
  writer.link = link;
  writer.start_wall_us = start_wall_us;
  std::vector<uint8_t> section;
  put32(section, byte_order_magic);
  put16(section, 1);
  put16(section, 0);
  put32(section, 0xFFFFFFFF);  // section length unknown
  put32(section, 0xFFFFFFFF);
  put16(section, option_end);
  put16(section, 0);
  std::vector<uint8_t> interface;
  put16(interface, pcap_link_user0);
  put16(interface, 0);
  put32(interface, 0);  // no snapshot limit
  const std::string name = link_name(link);
  put16(interface, option_if_name);
  put16(interface, uint16_t(name.size()));
  interface.insert(interface.end(), name.begin(), name.end());
  pad4(interface);
  put16(interface, option_end);
  put16(interface, 0);
  if (!write_block(writer.file, block_section, section) ||
      !write_block(writer.file, block_interface, interface) || fflush(writer.file) != 0) {
    error = "cannot write " + path + ": " + strerror(errno);
    pcap_close(writer);
    return false;
  }
  return true;
}

bool pcap_write(PcapWriter &writer, const TraceEvent &event) {
  if (writer.file == nullptr) return false;
  for (const TraceUnit &unit : event.units) {
    const uint64_t t = uint64_t(writer.start_wall_us + unit.t_us);
    const uint64_t left_out = unit.length > unit.bytes.size() ? unit.length - unit.bytes.size() : 0;
    size_t at = 0;
    do {
      const size_t piece = std::min(pcap_piece, unit.bytes.size() - at);
      const bool last = at + piece == unit.bytes.size();
      std::vector<uint8_t> body;
      put32(body, 0);  // interface 0
      put32(body, uint32_t(t >> 32));
      put32(body, uint32_t(t));
      const uint64_t wire = pcap_unit_header + piece + (last ? left_out : 0);
      put32(body, uint32_t(pcap_unit_header + piece));
      put32(body, wire > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(wire));
      body.push_back('D');
      body.push_back('H');
      body.push_back(uint8_t(writer.link));
      body.push_back(uint8_t(uint8_t(unit.kind) | (at > 0 ? pcap_continued : 0)));
      body.insert(body.end(), unit.bytes.begin() + long(at), unit.bytes.begin() + long(at + piece));
      pad4(body);
      put16(body, option_epb_flags);
      put16(body, 4);
      put32(body, event.dir == TraceDir::to_device ? flag_inbound : flag_outbound);
      put16(body, option_end);
      put16(body, 0);
      if (!write_block(writer.file, block_enhanced, body)) return false;
      at += piece;
    } while (at < unit.bytes.size());
  }
  return fflush(writer.file) == 0;
}

void pcap_close(PcapWriter &writer) {
  if (writer.file != nullptr) fclose(writer.file);
  writer.file = nullptr;
}

bool pcap_read(const std::string &path, std::vector<PcapRecord> &records, std::string &error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot open " + path + ": " + strerror(errno);
    return false;
  }
  const std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
  size_t at = 0;
  bool section = false;
  while (at < file.size()) {
    if (file.size() - at < 12) {
      error = path + ": cut short at byte " + std::to_string(at);
      return false;
    }
    const uint32_t type = get32(&file[at]);
    const uint32_t total = get32(&file[at + 4]);
    if (total < 12 || total % 4 != 0 || total > largest_block || total > file.size() - at ||
        get32(&file[at + total - 4]) != total) {
      error = path + ": a damaged block at byte " + std::to_string(at);
      return false;
    }
    const uint8_t *body = &file[at + 8];
    const size_t body_len = total - 12;
    if (type == block_section) {
      if (body_len < 16 || get32(body) != byte_order_magic) {
        error = path + ": not a little-endian pcapng capture";
        return false;
      }
      section = true;
    } else if (!section) {
      error = path + ": not a pcapng capture";
      return false;
    } else if (type == block_interface) {
      if (body_len < 8 || get16(body) != pcap_link_user0) {
        error = path + ": the capture's link type is not USER0 (147)";
        return false;
      }
    } else if (type == block_enhanced && body_len >= 20) {
      const uint32_t captured = get32(body + 12);
      const uint32_t original = get32(body + 16);
      const size_t data_padded = (size_t(captured) + 3) / 4 * 4;
      if (captured > body_len - 20 || data_padded > body_len - 20) {
        error = path + ": a damaged record at byte " + std::to_string(at);
        return false;
      }
      const uint8_t *data = body + 20;
      if (captured >= pcap_unit_header && data[0] == 'D' && data[1] == 'H' && data[2] <= 1) {
        PcapRecord record;
        record.t_us = int64_t(uint64_t(get32(body + 4)) << 32 | get32(body + 8));
        record.link = TraceLink(data[2]);
        record.kind = UnitKind(data[3] & ~pcap_continued);
        record.continued = (data[3] & pcap_continued) != 0;
        record.length = original >= pcap_unit_header ? original - pcap_unit_header : 0;
        record.bytes.assign(data + pcap_unit_header, data + captured);
        // Options: the direction flag.
        size_t opt = 20 + data_padded;
        while (opt + 4 <= body_len) {
          const uint16_t code = get16(body + opt), len = get16(body + opt + 2);
          if (code == option_end) break;
          if (opt + 4 + len > body_len) break;
          if (code == option_epb_flags && len == 4) {
            record.dir = (get32(body + opt + 4) & 3) == flag_outbound ? TraceDir::from_device
                                                                      : TraceDir::to_device;
          }
          opt += 4 + (size_t(len) + 3) / 4 * 4;
        }
        records.push_back(std::move(record));
      }
    }
    at += total;
  }
  if (!section) {
    error = path + ": empty, not a pcapng capture";
    return false;
  }
  return true;
}
