// dhhost's file subcommands: upload, small upload, delete, size, listing, free space.
//
// A listing is always 20 pages of 512 bytes, and only a listing's first page names its
// directory. A listing that an earlier session left unfinished would hand us its remaining
// pages first, so `ls` reads on until a page starts the text "result:".
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <unistd.h>

#include "app/host_packet.h"
#include "tools/dhhost.h"

namespace {

constexpr size_t listing_pages = 20;
constexpr uint64_t default_chunk = 64 * 1024;
constexpr uint64_t largest_block = uint64_t(max_packet_len);

bool remote_name_fits(const std::string &remote) {
  if (remote.empty() || remote.size() > command_name_max) {
    fprintf(stderr, "dhhost: remote path must be 1 to %zu bytes long\n", command_name_max);
    return false;
  }
  return true;
}

}  // namespace

int run_put(const Options &opt, const Args &args) {
  Args positional;
  uint64_t chunk = default_chunk;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--chunk") {
      if (i + 1 == args.size()) return wrong_arguments;
      if (!parse_number(args[++i], largest_block, "--chunk", chunk)) return exit_usage;
      if (chunk == 0) {
        fprintf(stderr, "dhhost: --chunk must be at least 1 byte\n");
        return exit_usage;
      }
    } else {
      positional.push_back(args[i]);
    }
  }
  if (positional.size() != 2) return wrong_arguments;
  const std::string &local = positional[0], &remote = positional[1];
  std::vector<uint8_t> data;
  if (!read_local_file(local, data) || !remote_name_fits(remote)) return exit_usage;

  Port port(opt);
  if (!port.ok()) return exit_usage;
  ReplyBytes reply{};
  std::string open_payload = name_payload(remote);
  if (!transact(opt, port.fd, CMD_CREATE_FILE, bytes_of(open_payload), {}, reply)) return exit_device;
  if (reply[reply_result] != reply_status_ok) {
    fprintf(stderr, "dhhost: the device cannot create %s (does its directory exist?)\n", remote.c_str());
    return exit_device;
  }

  Progress progress(data.size());
  size_t done = 0;
  do {  // an empty file still takes one chunk, the one that closes it
    size_t length = std::min<size_t>(chunk, data.size() - done);
    bool last = done + length == data.size();
    uint8_t payload[9] = {};
    write_be32(payload, uint32_t(length));
    write_be32(payload + 4, uint32_t(length));
    payload[8] = last ? 1 : 0;
    if (!transact(opt, port.fd, CMD_SAVE_FILE_BUFFER, payload, std::span(data).subspan(done, length), reply)) {
      fprintf(stderr, "dhhost: upload of %s stopped after %zu of %zu bytes\n", remote.c_str(), done, data.size());
      return exit_device;
    }
    done += length;
    progress.update(done);
  } while (done < data.size());
  return exit_ok;
}

int run_put_small(const Options &opt, const Args &args) {
  if (args.size() != 2) return wrong_arguments;
  std::vector<uint8_t> data;
  if (!read_local_file(args[0], data) || !remote_name_fits(args[1])) return exit_usage;
  if (data.size() > largest_block) {
    fprintf(stderr, "dhhost: put-small takes files up to %llu bytes; %s has %zu (use put)\n",
            static_cast<unsigned long long>(largest_block), args[0].c_str(), data.size());
    return exit_usage;
  }
  std::string payload = name_payload(args[1]);
  write_be32(reinterpret_cast<uint8_t *>(payload.data()) + 4, uint32_t(data.size()));
  Port port(opt);
  if (!port.ok()) return exit_usage;
  ReplyBytes reply{};
  return transact(opt, port.fd, CMD_SAVE_SMALL_FILE, bytes_of(payload), data, reply) ? exit_ok : exit_device;
}

int run_rm(const Options &opt, const Args &args) {
  if (args.size() != 1) return wrong_arguments;
  if (!remote_name_fits(args[0])) return exit_usage;
  std::string payload = name_payload(args[0]);
  return simple_command(opt, CMD_DELETE_FILE, bytes_of(payload));
}

int run_size(const Options &opt, const Args &args) {
  if (args.size() != 1) return wrong_arguments;
  if (!remote_name_fits(args[0])) return exit_usage;
  Port port(opt);
  if (!port.ok()) return exit_usage;
  std::string payload = name_payload(args[0]);
  ReplyBytes reply{};
  if (!transact(opt, port.fd, CMD_GET_FILE_SIZE, bytes_of(payload), {}, reply)) return exit_device;
  uint32_t size = read_le32(reply.data() + reply_result);
  if (opt.json) {
    printf("{\"path\": %s, \"size\": %u}\n", json_string(args[0]).c_str(), size);
  } else {
    printf("%u\n", size);
  }
  return exit_ok;
}

namespace {

bool fetch_page(const Options &opt, int fd, const std::string &payload, std::string &text, size_t page) {
  ReplyBytes reply{};
  ReplyCheck result = host_transact(fd, CMD_QUERY_DIR, bytes_of(payload), {}, reply, opt.timeout_ms, true);
  if (result != ReplyCheck::ok) {
    report_failure(opt, "listing page " + std::to_string(page + 1) + " (command 0x63)", result);
    return false;
  }
  text.assign(reinterpret_cast<const char *>(reply.data()), reply.size());
  return true;
}

// Fetches the 20 pages of a listing of the directory in `payload`. Only a page at the start of
// a listing begins with "result:", and at the start the device reads the name we send; pages
// that come before it belong to a listing somebody else left unfinished.
bool fetch_listing(const Options &opt, int fd, const std::string &payload, std::string &text) {
  std::string page;
  size_t skipped = 0;
  for (;;) {
    if (!fetch_page(opt, fd, payload, page, 0)) return false;
    if (page.rfind("result:", 0) == 0) break;
    if (++skipped == listing_pages) {
      fprintf(stderr, "dhhost: the device sent no listing in %zu pages\n", listing_pages);
      return false;
    }
  }
  text = page;
  for (size_t i = 1; i < listing_pages; ++i) {
    if (!fetch_page(opt, fd, payload, page, i)) return false;
    text += page;
  }
  text.resize(strnlen(text.c_str(), text.size()));
  return true;
}

// Splits "name/name/" into names.
std::vector<std::string> split_names(const std::string &list) {
  std::vector<std::string> names;
  size_t start = 0;
  for (size_t slash = list.find('/'); slash != std::string::npos; slash = list.find('/', start)) {
    names.push_back(list.substr(start, slash - start));
    start = slash + 1;
  }
  return names;
}

}  // namespace

int run_ls(const Options &opt, const Args &args) {
  if (args.size() != 1) return wrong_arguments;
  if (!remote_name_fits(args[0])) return exit_usage;
  Port port(opt);
  if (!port.ok()) return exit_usage;
  std::string payload = name_payload(args[0]);
  std::string text;
  if (!fetch_listing(opt, port.fd, payload, text)) return exit_device;

  std::string body = text.substr(strlen("result:"));
  if (body.rfind("nodir", 0) == 0) {
    bool created = body.find("-createdone") != std::string::npos;
    fprintf(stderr, created ? "dhhost: %s did not exist; the device created it, empty\n"
                            : "dhhost: no directory %s, and the device could not create one\n",
            args[0].c_str());
    if (opt.json) printf("{\"dir\": %s, \"created\": %s, \"dirs\": [], \"files\": []}\n",
                         json_string(args[0]).c_str(), created ? "true" : "false");
    return created ? exit_ok : exit_device;
  }
  size_t files_at = body.rfind("file:");
  if (body.rfind("dir:", 0) != 0 || files_at == std::string::npos) {
    fprintf(stderr, "dhhost: cannot read the listing: %s\n", text.c_str());
    return exit_device;
  }
  std::vector<std::string> dirs = split_names(body.substr(4, files_at - 4));
  std::vector<std::string> files = split_names(body.substr(files_at + 5));
  if (opt.json) {
    auto list = [](const std::vector<std::string> &names) {
      std::string out = "[";
      for (size_t i = 0; i < names.size(); ++i) out += (i ? ", " : "") + json_string(names[i]);
      return out + "]";
    };
    printf("{\"dir\": %s, \"dirs\": %s, \"files\": %s}\n", json_string(args[0]).c_str(),
           list(dirs).c_str(), list(files).c_str());
  } else {
    for (const std::string &dir : dirs) printf("%s/\n", dir.c_str());
    for (const std::string &file : files) printf("%s\n", file.c_str());
  }
  return exit_ok;
}

int run_df(const Options &opt, const Args &args) {
  if (!args.empty()) return wrong_arguments;
  ReplyBytes reply{};
  if (int status = query(opt, CMD_QUERY_STORAGE, reply); status != exit_ok) return status;
  uint32_t total = read_le32(reply.data() + 8), used = read_le32(reply.data() + 12),
           avail = read_le32(reply.data() + 16);
  if (opt.json) {
    printf("{\"total_kib\": %u, \"used_kib\": %u, \"avail_kib\": %u}\n", total, used, avail);
  } else {
    printf("%12s %12s %12s\n%12u %12u %12u\n", "KiB total", "used", "available", total, used, avail);
  }
  return exit_ok;
}
