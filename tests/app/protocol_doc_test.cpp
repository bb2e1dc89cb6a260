// docs/protocol.md against the code: its worked cipher example must be what the project's
// cipher makes of that record, and every code of the daemon's command table must have an entry.
// Both are read from the files themselves, so the document cannot drift from the code unseen.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "crypto/host_packet.h"
#include "crypto/crypto.h"
#include "tools/host_client.h"

namespace {

std::string read_source(const std::string &relative) {
  std::ifstream in(std::string(DH_SOURCE_DIR) + "/" + relative);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The hex dump in the fenced block that follows `marker`: lines "OFFSET: hh hh ...", whose
// offsets must run on without a gap. Fails the test (and returns what it has) on anything else.
std::vector<uint8_t> dump_after(const std::string &doc, const std::string &marker) {
  std::vector<uint8_t> bytes;
  const size_t at = doc.find(marker);
  if (at == std::string::npos) {
    ADD_FAILURE() << "no \"" << marker << "\" in docs/protocol.md";
    return bytes;
  }
  const size_t fence = doc.find("```", at);
  const size_t body = doc.find('\n', fence);
  const size_t end = doc.find("\n```", body);
  if (fence == std::string::npos || body == std::string::npos || end == std::string::npos) {
    ADD_FAILURE() << "no fenced block after \"" << marker << "\"";
    return bytes;
  }
  std::istringstream lines(doc.substr(body + 1, end - body - 1));
  const std::regex line_form(R"(([0-9a-fA-F]+):((?: [0-9a-fA-F]{2})+))");
  for (std::string line; std::getline(lines, line);) {
    std::smatch parts;
    if (!std::regex_match(line, parts, line_form)) {
      ADD_FAILURE() << "not a dump line after \"" << marker << "\": " << line;
      return bytes;
    }
    EXPECT_EQ(std::stoul(parts[1].str(), nullptr, 16), bytes.size()) << "offset of: " << line;
    std::istringstream pairs(parts[2].str());
    for (std::string pair; pairs >> pair;) bytes.push_back(uint8_t(std::stoul(pair, nullptr, 16)));
  }
  return bytes;
}

std::string hex(const uint8_t *bytes, size_t count) {
  std::string text;
  char pair[4];
  for (size_t i = 0; i < count; ++i) {
    snprintf(pair, sizeof pair, "%02x ", bytes[i]);
    text += pair;
  }
  return text;
}

// The daemon's command table: the codes its dispatch names (`case CMD_X:` in app/handlers.cpp),
// valued from the enum of crypto/host_packet.h.
std::map<int, std::string> command_table() {
  std::map<std::string, int> values;
  const std::string header = read_source("crypto/host_packet.h");
  const std::regex enumerator(R"((CMD_[A-Z0-9_]+) = 0x([0-9A-Fa-f]{2}),)");
  for (std::sregex_iterator it(header.begin(), header.end(), enumerator), end; it != end; ++it) {
    values[(*it)[1].str()] = int(std::stoul((*it)[2].str(), nullptr, 16));
  }
  std::map<int, std::string> table;
  const std::string dispatch = read_source("app/handlers.cpp");
  const std::regex dispatched(R"(case (CMD_[A-Z0-9_]+):)");
  for (std::sregex_iterator it(dispatch.begin(), dispatch.end(), dispatched), end; it != end; ++it) {
    const std::string name = (*it)[1].str();
    const auto value = values.find(name);
    if (value == values.end()) {
      ADD_FAILURE() << name << " is dispatched in app/handlers.cpp but has no value in crypto/host_packet.h";
      continue;
    }
    table[value->second] = name;
  }
  return table;
}

TEST(ProtocolDocument, WorkedCipherExampleMatchesTheCipher) {
  const std::string doc = read_source("docs/protocol.md");
  ASSERT_FALSE(doc.empty()) << "docs/protocol.md cannot be read";
  const std::vector<uint8_t> plain = dump_after(doc, "<!-- worked-example: plain -->");
  const std::vector<uint8_t> cipher = dump_after(doc, "<!-- worked-example: cipher -->");
  ASSERT_EQ(plain.size(), size_t(des_len));
  ASSERT_EQ(cipher.size(), size_t(des_len));

  // The plain text is a 496-byte record and the eight padding bytes the cipher adds.
  const std::vector<uint8_t> record(plain.begin(), plain.begin() + long(command_record_len));
  for (size_t i = command_record_len; i < plain.size(); ++i) EXPECT_EQ(plain[i], 0x08) << "padding byte " << i;
  EXPECT_EQ(record[2], command_check);
  EXPECT_EQ(record[3], command_magic);

  const auto *key = reinterpret_cast<const uint8_t *>(packet_key);
  uint8_t *out = nullptr;
  size_t size = record.size();
  ASSERT_EQ(des_encode(DES_CBC, key, uint8_t(packet_key_len), key, record.data(), &out, &size), 0);
  const std::vector<uint8_t> enciphered(out, out + size);
  free(out);
  ASSERT_EQ(enciphered.size(), cipher.size());
  EXPECT_EQ(hex(enciphered.data(), enciphered.size()), hex(cipher.data(), cipher.size()))
      << "the document's cipher text is not what the cipher makes of its plain text";

  // The host library builds the same packet from the record's fields, and the daemon's side
  // deciphers the document's cipher text back to the record.
  const PacketBytes packet = build_packet(record[0], {record[4], record[5], record[6], record[7]},
                                          std::span(record).subspan(8));
  EXPECT_EQ(hex(packet.data(), des_len), hex(cipher.data(), cipher.size()));
  EXPECT_EQ(packet[510], packet_trailer_0);
  EXPECT_EQ(packet[511], packet_trailer_1);
  HostCommand *command = des_decrypt(cipher.data(), cipher.size());
  ASSERT_NE(command, nullptr);
  EXPECT_EQ(hex(&command->code, sizeof *command), hex(record.data(), record.size()));
  free(command);

  // The example's command is the file size of the path it names.
  EXPECT_EQ(record[0], CMD_GET_FILE_SIZE);
  const uint32_t name_length = read_be32(record.data() + command_first_value);
  const std::string name(reinterpret_cast<const char *>(record.data() + command_name), name_length);
  EXPECT_NE(doc.find("`" + name + "`"), std::string::npos) << "the text does not name the example's path " << name;
}

TEST(ProtocolDocument, EveryCommandOfTheTableHasAnEntry) {
  const std::map<int, std::string> table = command_table();
  // A dispatch written another way would leave nothing to compare: the table has over 30 codes.
  ASSERT_GE(table.size(), 30u) << "app/handlers.cpp no longer reads as a table of `case CMD_X:`";

  const std::string doc = read_source("docs/protocol.md");
  std::map<int, std::string> entries;
  const std::regex heading(R"((^|\n)### 0x([0-9A-F]{2}) (CMD_[A-Z0-9_]+) — )");
  for (std::sregex_iterator it(doc.begin(), doc.end(), heading), end; it != end; ++it) {
    const int code = int(std::stoul((*it)[2].str(), nullptr, 16));
    EXPECT_FALSE(entries.count(code)) << "two entries for 0x" << (*it)[2].str();
    entries[code] = (*it)[3].str();
  }
  for (const auto &[code, name] : table) {
    char label[8];
    snprintf(label, sizeof label, "0x%02X", code);
    const auto entry = entries.find(code);
    if (entry == entries.end()) {
      ADD_FAILURE() << "docs/protocol.md has no entry \"### " << label << " " << name << " — ...\"";
    } else {
      EXPECT_EQ(entry->second, name) << "the entry for " << label << " names another command";
    }
  }
  for (const auto &[code, name] : entries) {
    EXPECT_TRUE(table.count(code)) << "docs/protocol.md has an entry for " << name
                                   << ", which the daemon's command table does not dispatch";
  }
}

}  // namespace
