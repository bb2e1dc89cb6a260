// The two links decoded from what went over them. The host side mirrors the device's packet
// loop: it takes the stream 512 bytes at a time, checks each packet in the order the device
// does, and then expects the command's follow-on block and its reply; a reply is matched to
// its command by code and tag, so a command the device dropped without a word (the controller
// relays in wireless mode) shows as one without a reply. The controller side takes frames 224
// bytes at a time and frames the device's messages by the pauses between their writes.
#include "tools/trace_decode.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/host_packet.h"
#include "crypto/crypto.h"
#include "mcu/mcu.h"
#include "storage/storage.h"

namespace {

using nlohmann::json;

constexpr size_t bytes_shown = 16;
constexpr int listing_pages = dir_result_len / cmd_len;  // 20
constexpr uint8_t failed_text[8] = {'_', 'f', 'a', 'i', 'l', 'e', 'd', 0};

std::string hex(const uint8_t *bytes, size_t count) {
  std::string text;
  char part[4];
  for (size_t i = 0; i < count; ++i) {
    snprintf(part, sizeof part, i == 0 ? "%02x" : " %02x", bytes[i]);
    text += part;
  }
  return text;
}

std::string tag_hex(const uint8_t *tag) {
  char text[9];
  snprintf(text, sizeof text, "%02x%02x%02x%02x", tag[0], tag[1], tag[2], tag[3]);
  return text;
}

// Text as it can be shown on one line: printable ASCII, the rest escaped.
std::string printable(const uint8_t *bytes, size_t count) {
  std::string text;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t c = bytes[i];
    if (c == '\n') {
      text += "\\n";
    } else if (c == '\\') {
      text += "\\\\";
    } else if (c >= 0x20 && c < 0x7f) {
      text += char(c);
    } else {
      char part[5];
      snprintf(part, sizeof part, "\\x%02x", c);
      text += part;
    }
  }
  return text;
}

// Up to the first zero byte.
size_t text_length(const uint8_t *bytes, size_t at_most) {
  size_t n = 0;
  while (n < at_most && bytes[n] != 0) ++n;
  return n;
}

std::string format(const char *pattern, auto... values) {
  char text[256];
  snprintf(text, sizeof text, pattern, values...);
  return text;
}

const uint8_t *key_bytes() { return reinterpret_cast<const uint8_t *>(packet_key); }

// Deciphers all 504 bytes, padding included. des_decode strips what the last byte announces,
// so one more block is chained on whose plain text is a whole padding block: exactly that
// block is stripped and the 504 bytes come back as they are.
bool decipher_whole(const uint8_t *cipher, uint8_t *plain) {
  uint8_t chained[8];
  for (int i = 0; i < 8; ++i) chained[i] = uint8_t(0x08 ^ cipher[des_len - 8 + i]);
  uint8_t *extra = nullptr;
  size_t extra_size = 8;
  const int encoded = des_encode(DES_ECB, key_bytes(), packet_key_len, key_bytes(), chained,
                                 &extra, &extra_size);
  if (encoded != 0 || extra == nullptr) {
    free(extra);
    return false;
  }
  uint8_t whole[des_len + 8];
  memcpy(whole, cipher, des_len);
  memcpy(whole + des_len, extra, 8);
  free(extra);
  uint8_t *out = nullptr;
  size_t size = sizeof whole;
  const int decoded = des_decode(DES_CBC, key_bytes(), packet_key_len, key_bytes(), whole, &out,
                                 &size);
  const bool ok = decoded == 0 && out != nullptr && size == size_t(des_len);
  if (ok) memcpy(plain, out, des_len);
  free(out);
  return ok;
}

// The follow-on block a command takes: its length, or 0 for none.
uint64_t block_length_of(const uint8_t *record) {
  const uint32_t first = read_be32(record + command_first_value);
  const uint32_t second = read_be32(record + command_second_value);
  switch (record[0]) {
    case CMD_SAVE_FILE_BUFFER:
    case CMD_SHOW_JPG:
    case CMD_SHOW_PNG:
    case CMD_PUSH_H264_BLOCK:
      return first;
    case CMD_SAVE_SMALL_FILE:
    case CMD_MCU_UPDATE_DATA:
    case CMD_MCU_LIGHT_DATA:
      return second;
    default:
      return 0;
  }
}

bool carries_name(uint8_t code) {
  switch (code) {
    case CMD_CREATE_FILE:
    case CMD_SAVE_SMALL_FILE:
    case CMD_DELETE_FILE:
    case CMD_GET_FILE_SIZE:
    case CMD_QUERY_DIR:
    case CMD_PLAY_LOCAL_H264:
    case CMD_PLAY_LOCAL_JPG:
      return true;
    default:
      return false;
  }
}

std::string code_text(uint8_t code) {
  const char *name = host_command_name(code);
  return *name != '\0' ? format("0x%02X %s", code, name) : format("0x%02X", code);
}

// The arguments of an accepted command, as text and fields.
void describe_command(const uint8_t *record, std::string &text, json &fields, bool first_page) {
  const uint8_t code = record[0];
  const uint32_t first = read_be32(record + command_first_value);
  const uint32_t second = read_be32(record + command_second_value);
  if (carries_name(code) && (code != CMD_QUERY_DIR || first_page)) {
    fields["L"] = first;
    text += format(" L=%u", first);
    if (code == CMD_SAVE_SMALL_FILE) {
      fields["M"] = second;
      text += format(" M=%u", second);
    }
    if (first > command_name_max) {
      fields["name_too_long"] = true;
      text += " name longer than the record: refused";
    } else {
      const std::string name(reinterpret_cast<const char *>(record + command_name), first);
      fields["name"] = name;
      text += " \"" + printable(record + command_name, first) + "\"";
    }
    return;
  }
  switch (code) {
    case CMD_SAVE_FILE_BUFFER:
      fields["L"] = first;
      fields["M"] = second;
      fields["last"] = record[16];
      text += format(" L=%u M=%u last=%u", first, second, record[16]);
      break;
    case CMD_SHOW_JPG:
    case CMD_SHOW_PNG:
    case CMD_PUSH_H264_BLOCK:
      fields["L"] = first;
      text += format(" L=%u", first);
      break;
    case CMD_MCU_UPDATE_DATA:
    case CMD_MCU_LIGHT_DATA:
      fields["M"] = second;
      text += format(" M=%u", second);
      break;
    case CMD_SET_ROTATION:
    case CMD_SET_BRIGHTNESS:
    case CMD_SET_FRAMERATE:
      fields["value"] = record[8];
      text += format(" value=%u", record[8]);
      break;
    case CMD_SET_CONFIG:
      fields["config"] = hex(record + 8, 6);
      text += " config " + hex(record + 8, 6);
      break;
    case CMD_SET_THEME:
      fields["theme_record"] = hex(record + 8, 64);
      fields["theme"] = record[8 + host_theme_index_at];
      text += format(" theme=%u record ", record[8 + host_theme_index_at]) + hex(record + 8, 8) +
              " ...";
      break;
    case CMD_MCU_SET_PUMP_FAN:
      fields["pump_fan"] = hex(record + 8, 14);
      text += " " + hex(record + 8, 14);
      break;
    default:
      break;
  }
}

void describe_reply(uint8_t code, const uint8_t *reply, std::string &text, json &fields) {
  const uint8_t *result = reply + reply_result;
  switch (code) {
    case CMD_GET_VERSION: {
      const size_t n = text_length(result, 64);
      fields["version"] = std::string(reinterpret_cast<const char *>(result), n);
      text += " version \"" + printable(result, n) + "\"";
      return;
    }
    case CMD_CREATE_FILE:
      if (memcmp(reply + 6, failed_text, sizeof failed_text) == 0) {
        fields["created"] = false;
        text += " create failed (\"_failed\" at bytes 6..13)";
      } else {
        fields["created"] = result[0] == reply_status_ok;
        text += result[0] == reply_status_ok ? " created" : format(" byte 8 = %02x", result[0]);
      }
      return;
    case CMD_GET_FILE_SIZE:
      fields["size"] = read_le32(result);
      text += format(" size %u", read_le32(result));
      return;
    case CMD_QUERY_STORAGE: {
      static const char *const names[] = {"total_kib", "used_kib", "avail_kib",
                                          "extra0",    "extra1",   "extra2"};
      for (int i = 0; i < 6; ++i) {
        fields[names[i]] = read_le32(result + 4 * i);
        text += format(" %s=%u", names[i], read_le32(result + 4 * i));
      }
      return;
    }
    case CMD_GET_LOCAL_H264_STATE:
      fields["playing"] = result[0];
      text += format(" playing=%u", result[0]);
      return;
    case CMD_PUSH_H264_BLOCK:
    case CMD_GET_H264_BLOCK_COUNT:
      fields["queued"] = result[0];
      text += format(" queued=%u", result[0]);
      return;
    case CMD_GET_MCU_DATA:
      fields["mcu_data"] = hex(result, mcu_usb_data_rec_len);
      text += " controller data " + hex(result, mcu_usb_data_rec_len);
      return;
    case CMD_GET_GROUP_POSITION:
      fields["group"] = result[0];
      fields["position"] = result[1];
      text += format(" group=%u position=%u", result[0], result[1]);
      return;
    default: {
      const bool empty = std::all_of(reply + 6, reply + cmd_len, [](uint8_t b) { return b == 0; });
      if (!empty) {
        fields["result"] = hex(result, bytes_shown);
        text += " result " + hex(result, bytes_shown);
      }
      return;
    }
  }
}

TraceEvent make_event(const TraceDecoder &decoder, TraceDir dir, int64_t t_us, const char *kind) {
  TraceEvent event;
  event.t_us = t_us;
  event.link = decoder.link;
  event.dir = dir;
  event.kind = kind;
  return event;
}

TraceUnit make_unit(int64_t t_us, UnitKind kind, const uint8_t *bytes, size_t count,
                    uint64_t length) {
  TraceUnit unit;
  unit.t_us = t_us;
  unit.kind = kind;
  unit.length = length;
  unit.bytes.assign(bytes, bytes + count);
  return unit;
}

// --- Host link, to the device.

void host_packet(TraceDecoder &d, int64_t t_us, std::vector<TraceEvent> &events) {
  const uint8_t *packet = d.in.data();
  TraceEvent event = make_event(d, TraceDir::to_device, t_us, "packet");
  event.units.push_back(make_unit(t_us, UnitKind::packet, packet, cmd_len, cmd_len));
  const PacketCheck check = check_host_packet(packet);
  if (!check.reason.empty()) {
    event.kind = "drop";
    event.fields["reason"] = check.reason;
    event.text = "dropped (" + check.reason + "): " + check.detail;
    if (check.deciphered) {
      event.fields["code"] = check.plain[0];
      event.fields["tag"] = tag_hex(check.plain + 4);
    }
    // The device reads on 512 bytes at a time; a trailer found elsewhere means a byte was
    // lost or added, and every packet fails until the link is silent for 2 s.
    if (check.reason == "trailer") {
      for (int at = 1; at < cmd_len; ++at) {
        if (at != cmd_len - 1 && packet[at - 1] == packet_trailer_0 &&
            packet[at] == packet_trailer_1) {
          event.fields["alignment_lost"] = true;
          event.text += format("; alignment lost: a trailer ends at byte %d", at);
          d.misaligned = true;
          break;
        }
      }
    }
    events.push_back(std::move(event));
    return;
  }
  if (d.misaligned) {
    d.misaligned = false;
    event.fields["alignment_regained"] = true;
  }
  const uint8_t *record = check.plain;
  const uint8_t code = record[0];
  event.fields["code"] = code;
  event.fields["name"] = host_command_name(code);
  event.fields["tag"] = tag_hex(record + 4);
  event.text = code_text(code) + " tag " + tag_hex(record + 4);
  const bool first_page = code == CMD_QUERY_DIR && d.listing_page == 0;
  json arguments = json::object();
  describe_command(record, event.text, arguments, first_page);
  // The name argument goes into "path" so that it never hides the command's name.
  for (auto &[key, value] : arguments.items()) event.fields[key == "name" ? "path" : key] = value;
  if (code == CMD_QUERY_DIR && !first_page) {
    event.text += format(" (page %d/%d of the listing: name ignored)", d.listing_page + 1,
                         listing_pages);
  }
  const uint64_t block = block_length_of(record);
  if (block > 0) {
    event.fields["block"] = block;
    event.text += format(" + block of %llu bytes", static_cast<unsigned long long>(block));
    d.block_left = block;
    d.block_length = block;
    d.block_code = code;
  }
  PendingCommand pending;
  pending.code = code;
  memcpy(pending.tag, record + 4, 4);
  pending.page = code == CMD_QUERY_DIR;
  d.pending.push_back(pending);
  if (d.pending.size() > 64) d.pending.pop_front();  // a device that never answers
  events.push_back(std::move(event));
}

void host_block_done(TraceDecoder &d, std::vector<TraceEvent> &events, bool cut, int64_t t_us) {
  const uint64_t got = d.block_length - d.block_left;
  TraceEvent event = make_event(d, TraceDir::to_device, d.in_start_us, cut ? "cut" : "block");
  event.fields["code"] = d.block_code;
  event.fields["length"] = d.block_length;
  event.fields["first"] = hex(d.in.data(), std::min(d.in.size(), bytes_shown));
  if (cut) {
    event.fields["received"] = got;
    event.text = format("block for 0x%02X cut short: %llu of %llu bytes, then 2 s of silence; the "
                        "device abandons the command (no reply) and reopens its port",
                        d.block_code, static_cast<unsigned long long>(got),
                        static_cast<unsigned long long>(d.block_length));
    if (!d.pending.empty()) d.pending.pop_back();
  } else {
    event.text = format("block of %llu bytes for 0x%02X: ",
                        static_cast<unsigned long long>(d.block_length), d.block_code) +
                 hex(d.in.data(), std::min(d.in.size(), bytes_shown)) +
                 (d.block_length > bytes_shown ? " ..." : "");
  }
  event.units.push_back(make_unit(d.in_start_us, cut ? UnitKind::fragment : UnitKind::block,
                                  d.in.data(), d.in.size(), got));
  events.push_back(std::move(event));
  d.in.clear();
  d.block_left = 0;
  d.block_length = 0;
  (void)t_us;
}

void host_to_device(TraceDecoder &d, const uint8_t *bytes, size_t count, int64_t t_us,
                    std::vector<TraceEvent> &events) {
  while (count > 0) {
    if (d.in.empty() && d.block_left == d.block_length) d.in_start_us = t_us;
    if (d.block_left > 0) {
      const size_t take = size_t(std::min<uint64_t>(d.block_left, count));
      const size_t keep = std::min(take, trace_keep_bytes - std::min(trace_keep_bytes, d.in.size()));
      d.in.insert(d.in.end(), bytes, bytes + keep);
      d.block_left -= take;
      bytes += take;
      count -= take;
      if (d.block_left == 0) host_block_done(d, events, false, t_us);
      continue;
    }
    const size_t take = std::min(count, size_t(cmd_len) - d.in.size());
    d.in.insert(d.in.end(), bytes, bytes + take);
    bytes += take;
    count -= take;
    if (d.in.size() == size_t(cmd_len)) {
      host_packet(d, d.in_start_us, events);
      d.in.clear();
      if (d.block_left > 0) d.in_start_us = t_us;
    }
  }
}

// --- Host link, from the device.

void host_reply(TraceDecoder &d, std::vector<TraceEvent> &events) {
  const uint8_t *reply = d.out.data();
  const int64_t t_us = d.out_start_us;
  TraceEvent event = make_event(d, TraceDir::from_device, t_us, "reply");
  if (!d.pending.empty() && d.pending.front().page) {
    d.pending.pop_front();
    const int page = d.listing_page;
    d.listing_page = (d.listing_page + 1) % listing_pages;
    event.kind = "page";
    event.fields["code"] = CMD_QUERY_DIR;
    event.fields["page"] = page + 1;
    event.fields["pages"] = listing_pages;
    const size_t n = text_length(reply, cmd_len);
    event.fields["listing"] = std::string(reinterpret_cast<const char *>(reply), n);
    event.text = format("0x63 listing page %d/%d: ", page + 1, listing_pages) +
                 (n == 0 ? std::string("(empty)") : "\"" + printable(reply, n) + "\"");
    event.units.push_back(make_unit(t_us, UnitKind::page, reply, cmd_len, cmd_len));
    events.push_back(std::move(event));
    return;
  }
  const uint8_t code = reply[0];
  event.fields["code"] = code;
  event.fields["name"] = host_command_name(code);
  event.fields["tag"] = tag_hex(reply + 2);
  event.units.push_back(make_unit(t_us, UnitKind::reply, reply, cmd_len, cmd_len));
  // Commands before the one answered got no reply: the device dropped them.
  auto match = std::find_if(d.pending.begin(), d.pending.end(), [&](const PendingCommand &p) {
    return p.code == code && memcmp(p.tag, reply + 2, 4) == 0 && !p.page;
  });
  const bool matched = match != d.pending.end();
  if (matched) {
    for (auto it = d.pending.begin(); it != match; ++it) {
      TraceEvent none = make_event(d, TraceDir::from_device, t_us, "no-reply");
      none.fields["code"] = it->code;
      none.fields["tag"] = tag_hex(it->tag);
      none.text = code_text(it->code) + " tag " + tag_hex(it->tag) +
                  ": no reply (the device dropped it)";
      events.push_back(std::move(none));
    }
    d.pending.erase(d.pending.begin(), match + 1);
  } else {
    event.fields["unexpected"] = true;
  }
  event.text = code_text(code) + " tag " + tag_hex(reply + 2);
  if (reply[1] != reply_status_ok) event.text += format(" status %02x", reply[1]);
  if (!matched) event.text += " (answers no command seen)";
  describe_reply(code, reply, event.text, event.fields);
  events.push_back(std::move(event));
}

void host_from_device(TraceDecoder &d, const uint8_t *bytes, size_t count, int64_t t_us,
                      std::vector<TraceEvent> &events) {
  while (count > 0) {
    if (d.out.empty()) d.out_start_us = t_us;
    const size_t take = std::min(count, size_t(cmd_len) - d.out.size());
    d.out.insert(d.out.end(), bytes, bytes + take);
    bytes += take;
    count -= take;
    if (d.out.size() == size_t(cmd_len)) {
      host_reply(d, events);
      d.out.clear();
    }
  }
}

// --- Controller link, to the device: frames.

void controller_frame(TraceDecoder &d, std::vector<TraceEvent> &events) {
  const uint8_t *frame = d.in.data();
  TraceEvent event = make_event(d, TraceDir::to_device, d.in_start_us, "frame");
  event.units.push_back(
      make_unit(d.in_start_us, UnitKind::frame, frame, controller_frame_len, controller_frame_len));
  if (frame[0] != 0xAA || frame[1] != 0x55) {
    event.kind = "header-error";
    event.fields["header"] = hex(frame, 2);
    event.text = "header error: " + hex(frame, 8) +
                 " ... (not AA 55); the device reopens its port and loses what it holds";
    events.push_back(std::move(event));
    d.in.clear();
    return;
  }
  ++d.frames;
  describe_frame(frame, event.text, event.fields);
  events.push_back(std::move(event));
  d.in.clear();
}

void controller_to_device(TraceDecoder &d, const uint8_t *bytes, size_t count, int64_t t_us,
                          std::vector<TraceEvent> &events) {
  while (count > 0) {
    if (d.in.empty()) d.in_start_us = t_us;
    const size_t take = std::min(count, size_t(controller_frame_len) - d.in.size());
    d.in.insert(d.in.end(), bytes, bytes + take);
    bytes += take;
    count -= take;
    if (d.in.size() == size_t(controller_frame_len)) {
      const bool header_error = d.in[0] != 0xAA || d.in[1] != 0x55;
      controller_frame(d, events);
      // The reopen flushes what the port held: the rest of this read is gone.
      if (header_error) return;
    }
  }
}

// --- Controller link, from the device: messages framed by silence.

bool is_prefix_code(uint8_t code) {
  return code == 0xA3 || code == 0xA4 || code == 0xA6 || code == 0xA7;
}

const char *message_name(uint8_t code) {
  switch (code) {
    case 0xA3: return "lighting data";
    case 0xA4: return "pump/fan settings";
    case 0xA6: return "firmware erase";
    case 0xA7: return "firmware data";
    default: return "data";
  }
}

void emit_message(TraceDecoder &d, bool prefixed, uint8_t code, int64_t prefix_start,
                  int64_t gap_us, const uint8_t *payload, size_t count, uint64_t length,
                  int64_t payload_start, std::vector<TraceEvent> &events) {
  TraceEvent event = make_event(d, TraceDir::from_device, prefixed ? prefix_start : payload_start,
                                prefixed ? "message" : "data");
  if (prefixed) {
    const uint8_t prefix[2] = {code, 0x00};
    event.units.push_back(make_unit(prefix_start, UnitKind::prefix, prefix, 2, 2));
    event.fields["prefix"] = hex(prefix, 2);
    event.fields["message"] = message_name(code);
    event.text = format("%02X 00 %s", code, message_name(code));
  } else {
    event.text = "data without a prefix";
  }
  event.fields["length"] = length;
  if (payload != nullptr) {
    event.units.push_back(make_unit(payload_start, UnitKind::payload, payload, count, length));
    event.fields["first"] = hex(payload, std::min(count, bytes_shown));
    event.text += format(", %llu payload bytes", static_cast<unsigned long long>(length));
    if (prefixed) {
      const double gap_ms = double(gap_us) / 1000.0;
      event.fields["gap_ms"] = gap_ms;
      event.text += format(" %.1f ms after the prefix", gap_ms);
    }
    event.text += ": " + hex(payload, std::min(count, bytes_shown)) +
                  (length > bytes_shown ? " ..." : "");
  } else if (prefixed && code != 0xA6) {
    event.text += ", no payload";
  }
  events.push_back(std::move(event));
}

// A burst: what came without a 20 ms pause. The device pauses only after a prefix, so a
// prefix (other than the erase, which has no payload) ends its burst: the last two bytes are
// one when they look like one, and an erase right before them is taken as one too. The rest
// is the payload of the prefix still open, prefixes with their payloads sent without a pause,
// and data without a prefix.
void end_burst(TraceDecoder &d, std::vector<TraceEvent> &events) {
  std::vector<uint8_t> burst;
  burst.swap(d.out);
  const int64_t start = d.out_start_us, last = d.out_last_us;
  size_t end = burst.size();
  auto prefix_at = [&burst](size_t at) {
    return is_prefix_code(burst[at]) && burst[at + 1] == 0x00;
  };
  const bool trailing = end >= 2 && prefix_at(end - 2) && burst[end - 2] != 0xA6;
  if (trailing) end -= 2;
  const bool erase_before = trailing && end >= 2 && burst[end - 2] == 0xA6 && burst[end - 1] == 0;
  if (erase_before) end -= 2;

  size_t at = 0;
  if (d.prefix_open && end > 0) {
    d.prefix_open = false;
    size_t n = end;
    if (d.prefix_code == 0xA4) n = std::min<size_t>(n, 14);  // the pump/fan payload is 14 bytes
    emit_message(d, true, d.prefix_code, d.prefix_start_us, start - d.prefix_last_us,
                 burst.data(), n, n, start, events);
    at = n;
  }
  while (at < end) {
    const size_t left = end - at;
    const uint8_t *rest = burst.data() + at;
    if (left >= 2 && prefix_at(at)) {
      if (rest[0] == 0xA6 || left == 2) {
        emit_message(d, true, rest[0], start, 0, nullptr, 0, 0, start, events);
        at += 2;
        continue;
      }
      // A prefix and its payload without a pause.
      size_t n = left - 2;
      if (rest[0] == 0xA4) n = std::min<size_t>(n, 14);
      emit_message(d, true, rest[0], start, 0, rest + 2, n, n, start, events);
      at += 2 + n;
      continue;
    }
    emit_message(d, false, 0, start, 0, rest, left, left, start, events);
    at = end;
  }
  if (erase_before) emit_message(d, true, 0xA6, last, 0, nullptr, 0, 0, last, events);
  if (trailing) {
    // Its payload follows after the pause.
    d.prefix_open = true;
    d.prefix_code = burst[end + (erase_before ? 2 : 0)];
    d.prefix_start_us = last;
    d.prefix_last_us = last;
  }
}

void controller_from_device(TraceDecoder &d, const uint8_t *bytes, size_t count, int64_t t_us,
                            std::vector<TraceEvent> &events) {
  if (!d.out.empty() && t_us - d.out_last_us >= trace_burst_gap_us) end_burst(d, events);
  if (d.out.empty()) d.out_start_us = t_us;
  // A burst longer than what is kept is counted only.
  const size_t keep = std::min(count, trace_keep_bytes - std::min(trace_keep_bytes, d.out.size()));
  d.out.insert(d.out.end(), bytes, bytes + keep);
  d.out_last_us = t_us;
}

}  // namespace

const char *link_name(TraceLink link) { return link == TraceLink::host ? "host" : "controller"; }
const char *dir_name(TraceDir dir) {
  return dir == TraceDir::to_device ? "to-device" : "from-device";
}

const char *host_command_name(uint8_t code) {
  switch (code) {
    case CMD_GET_VERSION: return "CMD_GET_VERSION";
    case CMD_REBOOT: return "CMD_REBOOT";
    case CMD_HALT: return "CMD_HALT";
    case CMD_SET_ROTATION: return "CMD_SET_ROTATION";
    case CMD_SET_BRIGHTNESS: return "CMD_SET_BRIGHTNESS";
    case CMD_SET_FRAMERATE: return "CMD_SET_FRAMERATE";
    case CMD_CREATE_FILE: return "CMD_CREATE_FILE";
    case CMD_SAVE_FILE_BUFFER: return "CMD_SAVE_FILE_BUFFER";
    case CMD_SAVE_SMALL_FILE: return "CMD_SAVE_SMALL_FILE";
    case CMD_DELETE_FILE: return "CMD_DELETE_FILE";
    case CMD_GET_FILE_SIZE: return "CMD_GET_FILE_SIZE";
    case CMD_QUERY_DIR: return "CMD_QUERY_DIR";
    case CMD_QUERY_STORAGE: return "CMD_QUERY_STORAGE";
    case CMD_SHOW_JPG: return "CMD_SHOW_JPG";
    case CMD_SHOW_PNG: return "CMD_SHOW_PNG";
    case CMD_PLAY_LOCAL_H264: return "CMD_PLAY_LOCAL_H264";
    case CMD_STOP_LOCAL_H264: return "CMD_STOP_LOCAL_H264";
    case CMD_GET_LOCAL_H264_STATE: return "CMD_GET_LOCAL_H264_STATE";
    case CMD_PLAY_LOCAL_JPG: return "CMD_PLAY_LOCAL_JPG";
    case CMD_STOP_LOCAL_JPG: return "CMD_STOP_LOCAL_JPG";
    case CMD_PUSH_H264_BLOCK: return "CMD_PUSH_H264_BLOCK";
    case CMD_GET_H264_BLOCK_COUNT: return "CMD_GET_H264_BLOCK_COUNT";
    case CMD_STOP_H264: return "CMD_STOP_H264";
    case CMD_SET_CONFIG: return "CMD_SET_CONFIG";
    case CMD_MARK_USB_DISPLAY: return "CMD_MARK_USB_DISPLAY";
    case CMD_GET_GROUP_POSITION: return "CMD_GET_GROUP_POSITION";
    case CMD_MCU_ERASE: return "CMD_MCU_ERASE";
    case CMD_MCU_UPDATE_DATA: return "CMD_MCU_UPDATE_DATA";
    case CMD_SET_THEME: return "CMD_SET_THEME";
    case CMD_GET_MCU_DATA: return "CMD_GET_MCU_DATA";
    case CMD_MCU_SET_PUMP_FAN: return "CMD_MCU_SET_PUMP_FAN";
    case CMD_MCU_LIGHT_DATA: return "CMD_MCU_LIGHT_DATA";
    case CMD_TEST_H264_DECODE: return "CMD_TEST_H264_DECODE";
    default: return "";
  }
}

PacketCheck check_host_packet(const uint8_t *packet) {
  PacketCheck check;
  if (packet[510] != packet_trailer_0 || packet[511] != packet_trailer_1) {
    check.reason = "trailer";
    check.detail = format("bytes 510..511 are %02x %02x, not a1 1a", packet[510], packet[511]);
    return check;
  }
  check.deciphered = decipher_whole(packet, check.plain);
  const uint8_t pad = check.deciphered ? check.plain[des_len - 1] : 0xFF;
  if (!check.deciphered || pad > 8) {
    check.reason = "padding byte";
    check.detail = format("the deciphered last byte is %u, more than 8", pad);
    return check;
  }
  if (check.plain[2] != command_check) {
    check.reason = "check byte";
    check.detail = format("command byte 2 is %02x, not 1a", check.plain[2]);
    return check;
  }
  if (check.plain[3] != command_magic) {
    check.reason = "magic byte";
    check.detail = format("command byte 3 is %02x, not 6d", check.plain[3]);
    return check;
  }
  return check;
}

void describe_frame(const uint8_t *frame, std::string &text, nlohmann::json &fields) {
  const uint8_t type = frame[frame_at::type];
  fields["type"] = type;
  switch (type) {
    case frame_status: {
      const unsigned mode = frame[frame_at::mode];
      const unsigned temp = frame[frame_at::water_temp];
      const unsigned pump = unsigned(frame[frame_at::pump_high]) << 8 | frame[frame_at::pump_low];
      fields["frame"] = "status";
      fields["mode"] = mode;
      fields["temp"] = temp;
      fields["pump"] = pump;
      text = format("status mode=%u temperature=%u pump=%u", mode, temp, pump);
      if (frame[frame_at::knob_step] == 1) {
        fields["knob"] = 1;
        text += " knob step";
      }
      break;
    }
    case frame_host_data:
      fields["frame"] = "host-data";
      fields["host_data"] = hex(frame + frame_at::host_data, frame_at::host_data_len);
      text = "host data " + hex(frame + frame_at::host_data, frame_at::host_data_len);
      break;
    case frame_wake:
      fields["frame"] = "wake";
      text = "wake";
      break;
    case frame_picture: {
      const unsigned package = frame[frame_at::package];
      fields["frame"] = "picture";
      fields["package"] = package;
      if (package == picture_end_package) {
        const unsigned size = unsigned(frame[frame_at::picture_data]) << 8 |
                              frame[frame_at::picture_data + 1];
        fields["size"] = size;
        text = format("picture end, size %u", size);
      } else {
        text = format("picture package %u: ", package) + hex(frame + frame_at::picture_data, 8) +
               " ...";
      }
      break;
    }
    default:
      fields["frame"] = "other";
      text = format("frame type %02x", type);
      break;
  }
  // The display record a wireless peer relays, taken in wireless mode.
  if (type == frame_status && frame[frame_at::mode] == 1) {
    fields["wireless"] = {{"theme", frame[frame_at::theme]},
                          {"brightness", frame[frame_at::brightness]},
                          {"rotation", frame[frame_at::rotation]}};
    text += format(" wireless record theme=%u brightness=%u rotation=%u", frame[frame_at::theme],
                   frame[frame_at::brightness], frame[frame_at::rotation]);
  }
}

nlohmann::json event_json(const TraceEvent &event) {
  nlohmann::json object = {{"t_ms", double(event.t_us) / 1000.0},
                           {"link", link_name(event.link)},
                           {"dir", dir_name(event.dir)},
                           {"kind", event.kind},
                           {"text", event.text}};
  for (auto &[key, value] : event.fields.items()) {
    if (!object.contains(key)) object[key] = value;
  }
  return object;
}

std::string event_line(const TraceEvent &event) {
  return format("%10.3f ms %-10s %-11s ", double(event.t_us) / 1000.0, link_name(event.link),
                dir_name(event.dir)) +
         event.text;
}

TraceDecoder make_decoder(TraceLink link) {
  TraceDecoder decoder;
  decoder.link = link;
  return decoder;
}

void trace_feed(TraceDecoder &decoder, TraceDir dir, const uint8_t *bytes, size_t count,
                int64_t t_us, std::vector<TraceEvent> &events) {
  if (count == 0) return;
  trace_tick(decoder, t_us, events);
  if (decoder.link == TraceLink::host) {
    if (dir == TraceDir::to_device) {
      host_to_device(decoder, bytes, count, t_us, events);
      decoder.in_last_us = t_us;
    } else {
      host_from_device(decoder, bytes, count, t_us, events);
      decoder.out_last_us = t_us;
    }
  } else if (dir == TraceDir::to_device) {
    controller_to_device(decoder, bytes, count, t_us, events);
    decoder.in_last_us = t_us;
  } else {
    controller_from_device(decoder, bytes, count, t_us, events);
  }
}

int64_t trace_next_deadline(const TraceDecoder &d) {
  int64_t next = -1;
  auto earliest = [&next](int64_t t) { next = next < 0 ? t : std::min(next, t); };
  if (!d.in.empty() || d.block_left > 0) earliest(d.in_last_us + trace_cut_gap_us);
  if (d.link == TraceLink::controller) {
    if (!d.out.empty()) earliest(d.out_last_us + trace_burst_gap_us);
    if (d.prefix_open) earliest(d.prefix_last_us + trace_payload_wait_us);
  }
  return next;
}

void trace_tick(TraceDecoder &d, int64_t t_us, std::vector<TraceEvent> &events) {
  // A packet, block or frame begun and then 2 s of silence: the device's read fails and what
  // it had is dropped.
  if ((!d.in.empty() || d.block_left > 0) && t_us - d.in_last_us >= trace_cut_gap_us) {
    if (d.block_left > 0) {
      host_block_done(d, events, true, t_us);
    } else {
      TraceEvent event = make_event(d, TraceDir::to_device, d.in_start_us, "cut");
      const bool host = d.link == TraceLink::host;
      event.fields["received"] = d.in.size();
      event.text = format("%s cut short: %zu of %d bytes, then 2 s of silence; the device drops "
                          "them%s",
                          host ? "packet" : "frame", d.in.size(),
                          host ? cmd_len : controller_frame_len,
                          host ? " and reopens its port (alignment comes back)" : "");
      event.units.push_back(
          make_unit(d.in_start_us, UnitKind::fragment, d.in.data(), d.in.size(), d.in.size()));
      events.push_back(std::move(event));
      d.in.clear();
      d.misaligned = false;
    }
  }
  if (d.link != TraceLink::controller) return;
  if (!d.out.empty() && t_us - d.out_last_us >= trace_burst_gap_us) end_burst(d, events);
  if (d.prefix_open && d.out.empty() && t_us - d.prefix_last_us >= trace_payload_wait_us) {
    d.prefix_open = false;
    emit_message(d, true, d.prefix_code, d.prefix_start_us, 0, nullptr, 0, 0, t_us, events);
  }
}

void trace_finish(TraceDecoder &decoder, int64_t t_us, std::vector<TraceEvent> &events) {
  trace_tick(decoder, t_us + trace_payload_wait_us + trace_cut_gap_us, events);
}
