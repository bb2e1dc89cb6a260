// dhhost's file subcommands: upload, small upload, delete, size, listing, free space.
//
// A listing is always 20 pages of 512 bytes, and only a listing's first page names its
// directory. A listing that an earlier session left unfinished would hand us its remaining
// pages first, so `ls` reads on until a page starts the text "result:".
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "crypto/host_packet.h"
#include "tools/dhhost.h"

namespace {

constexpr size_t listing_pages = 20;
constexpr uint64_t default_chunk = 64 * 1024;
constexpr uint64_t largest_block = uint64_t(max_packet_len);

bool remote_name_fits(const std::string &remote) {
  if (remote.empty() || remote.size() > command_name_max) {
    say_error("a remote path must be 1 to " + std::to_string(command_name_max) + " bytes long");
    return false;
  }
  return true;
}

}  // namespace

int run_put(const Options &opt, const Args &args) {
  uint64_t chunk = default_chunk;
  if (opt.chunk && !parse_number(*opt.chunk, 1, largest_block, "--chunk", chunk)) return exit_usage;
  const std::string &remote = args[1];
  LocalFile local;
  // An empty file goes up too: one closing chunk with an empty block.
  if (!remote_name_fits(remote) || !local.open(args[0], UINT32_MAX, true, "put")) return exit_usage;

  Port port(opt);
  if (!port.ok()) return exit_usage;
  ReplyBytes reply{};
  const std::string open_payload = name_payload(remote);
  const Exchange opened = exchange(opt, port.fd, CMD_CREATE_FILE, bytes_of(open_payload), {}, reply);
  if (opened == Exchange::failed || (opened == Exchange::ok && reply[reply_result] != reply_status_ok)) {
    say_error("the device cannot create " + remote + " (does its directory exist?); nothing was uploaded");
    return exit_device;
  }
  if (opened != Exchange::ok) {
    say_error(exchange_failure(opt, "command 0x26 (open " + remote + ")", opened) + "; nothing was uploaded");
    return exit_device;
  }

  // Every chunk of data goes with the last-chunk flag clear, and an empty chunk with the flag
  // closes the upload: an interruption finishes a chunk with filler bytes, and those must
  // never reach REMOTE, which the last chunk would put in place at once.
  Progress progress(local.size());
  uint64_t done = 0;
  std::vector<uint8_t> piece;
  for (;;) {
    const bool last = done == local.size();
    if (interrupted()) {
      say_error("interrupted: " + std::to_string(done) + " of " + std::to_string(local.size()) + " bytes of " +
                remote + " were sent; the device holds an unfinished upload, and " + remote +
                " itself is not replaced");
      return exit_device;
    }
    const size_t length = size_t(std::min<uint64_t>(chunk, local.size() - done));
    if (!local.read(length, piece)) return exit_usage;
    if (piece.size() != length) {
      say_error(local.path() + " became shorter while it was sent; the upload of " + remote + " stopped after " +
                std::to_string(done) + " bytes and " + remote + " is not replaced");
      return exit_device;
    }
    uint8_t payload[9] = {};
    write_be32(payload, uint32_t(length));
    write_be32(payload + 4, uint32_t(length));
    payload[8] = last ? 1 : 0;
    size_t filler = 0;
    // The last chunk is answered once the device has synced the whole file system: on a slow
    // card that takes long, so it is given 30 s whatever the time-out.
    Options chunk_opt = opt;
    if (last) chunk_opt.timeout_ms = std::max(opt.timeout_ms, 30000);
    const Exchange sent = exchange(chunk_opt, port.fd, CMD_SAVE_FILE_BUFFER, payload,
                                   std::span(piece), reply, &filler);
    if (filler > 0) {
      say_error("interrupted: the chunk after byte " + std::to_string(done) + " was finished with " +
                std::to_string(filler) + " filler bytes to keep the link aligned; the device holds an unfinished "
                "upload with them, and " + remote + " itself is not replaced");
      return exit_device;
    }
    if (sent != Exchange::ok) {
      // The closing chunk puts the file in place before its reply: one lost on its way may
      // follow a file already replaced.
      const bool unknown = last && sent != Exchange::failed;
      std::string left = "the upload stopped after " + std::to_string(done) + " of " +
                         std::to_string(local.size()) + " bytes and " + remote +
                         (unknown ? " may or may not be replaced" : " is not replaced");
      if (sent == Exchange::failed && !last) {
        // A chunk the device could not store (a full card) spoils the upload, whose temporary
        // file keeps the room it took until the upload is closed: closing it discards it.
        uint8_t close[9] = {};
        close[8] = 1;
        ReplyBytes closed{};
        exchange(opt, port.fd, CMD_SAVE_FILE_BUFFER, close, {}, closed);
        left += "; the unfinished upload is discarded";
      }
      say_error(exchange_failure(opt, "command 0x27 (a chunk of " + remote + ")", sent) + "; " + left);
      return exit_device;
    }
    if (last) break;
    done += length;
    progress.update(done);
  }
  print_result(opt, {{"ok", true}, {"remote", remote}, {"bytes", local.size()}});
  return exit_ok;
}

int run_put_small(const Options &opt, const Args &args) {
  LocalFile local;
  if (!remote_name_fits(args[1]) || !local.open(args[0], largest_block, true, "put-small")) {
    return exit_usage;
  }
  std::vector<uint8_t> data;
  if (!local.read(size_t(local.size()), data)) return exit_usage;
  std::string payload = name_payload(args[1]);
  write_be32(reinterpret_cast<uint8_t *>(payload.data()) + 4, uint32_t(data.size()));
  Port port(opt);
  if (!port.ok()) return exit_usage;
  ReplyBytes reply{};
  size_t filler = 0;
  const Exchange sent = exchange(opt, port.fd, CMD_SAVE_SMALL_FILE, bytes_of(payload), data, reply, &filler);
  if (filler > 0) {
    say_error("interrupted: the file was finished with " + std::to_string(filler) +
              " filler bytes to keep the link aligned, and the device stored " + args[1] +
              " with them: send it again or delete it");
    return exit_device;
  }
  if (sent != Exchange::ok) {
    say_error(exchange_failure(opt, "command 0x28", sent) + "; " + args[1] + " may not be stored");
    return exit_device;
  }
  print_result(opt, {{"ok", true}, {"remote", args[1]}, {"bytes", data.size()}});
  return exit_ok;
}

int run_rm(const Options &opt, const Args &args) {
  if (!remote_name_fits(args[0])) return exit_usage;
  const std::string payload = name_payload(args[0]);
  ReplyBytes reply{};
  Port port(opt);
  if (!port.ok()) return exit_usage;
  const Exchange result = exchange(opt, port.fd, CMD_DELETE_FILE, bytes_of(payload), {}, reply, nullptr, true);
  if (result != Exchange::ok) {
    say_error(exchange_failure(opt, "command 0x2A", result) + "; " + args[0] + " may not be deleted");
    return exit_device;
  }
  print_done(opt);
  return exit_ok;
}

int run_size(const Options &opt, const Args &args) {
  if (!remote_name_fits(args[0])) return exit_usage;
  Port port(opt);
  if (!port.ok()) return exit_usage;
  std::string payload = name_payload(args[0]);
  ReplyBytes reply{};
  if (!transact(opt, port.fd, CMD_GET_FILE_SIZE, bytes_of(payload), {}, reply, true)) return exit_device;
  uint32_t size = read_le32(reply.data() + reply_result);
  print_result(opt, {{"path", args[0]}, {"size", size}}, std::to_string(size) + "\n");
  return exit_ok;
}

namespace {

bool fetch_page(const Options &opt, int fd, const std::string &payload, std::string &text, size_t page) {
  ReplyBytes reply{};
  const ReplyCheck result = host_transact(fd, CMD_QUERY_DIR, bytes_of(payload), {}, reply, opt.timeout_ms, true);
  if (result != ReplyCheck::ok) {
    // A port that hung up is the device gone (cable pulled, restart), not a broken port.
    const Exchange how = result == ReplyCheck::no_reply ? Exchange::no_reply
                         : errno == port_gone_errno    ? Exchange::gone
                                                       : Exchange::port_error;
    say_error(exchange_failure(opt, "listing page " + std::to_string(page + 1) + " (command 0x63)", how));
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
      say_error("the device sent no listing in " + std::to_string(listing_pages) + " pages");
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
  if (!remote_name_fits(args[0])) return exit_usage;
  Port port(opt);
  if (!port.ok()) return exit_usage;
  std::string payload = name_payload(args[0]);
  std::string text;
  if (!fetch_listing(opt, port.fd, payload, text)) return exit_device;

  std::string body = text.substr(strlen("result:"));
  if (body.rfind("nodir", 0) == 0) {
    const bool created = body.find("-createdone") != std::string::npos;
    if (!created) {
      say_error("no directory " + args[0] + ", and the device could not create one");
      return exit_device;
    }
    fprintf(stderr, "dhhost: %s did not exist; the device created it, empty\n", args[0].c_str());
    print_result(opt, {{"dir", args[0]}, {"created", true}, {"dirs", nlohmann::json::array()},
                       {"files", nlohmann::json::array()}});
    return exit_ok;
  }
  // The files' part starts at the first name that begins with "file:"; a file's own name may
  // begin with it too, so splitting at the last one would misread such a file. A folder whose
  // name begins with "file:" would read as the start of the files: when more than one name
  // begins with it, the text cannot tell which.
  size_t files_at = std::string::npos;
  int file_marks = 0;
  if (body.rfind("dir:", 0) == 0) {
    for (size_t at = 4;;) {
      if (body.compare(at, 5, "file:") == 0) {
        if (files_at == std::string::npos) files_at = at;
        ++file_marks;
      }
      const size_t slash = body.find('/', at);
      if (slash == std::string::npos) break;
      at = slash + 1;
    }
  }
  if (files_at == std::string::npos) {
    say_error("cannot read the listing: " + text);
    return exit_device;
  }
  if (file_marks > 1) {
    fprintf(stderr,
            "dhhost: the listing of %s is ambiguous: several names begin with \"file:\", and a folder whose "
            "name begins with it is read as the start of the files\n",
            args[0].c_str());
  }
  const std::vector<std::string> dirs = split_names(body.substr(4, files_at - 4));
  const std::vector<std::string> files = split_names(body.substr(files_at + 5));
  std::string lines;
  for (const std::string &dir : dirs) lines += dir + "/\n";
  for (const std::string &file : files) lines += file + "\n";
  print_result(opt, {{"dir", args[0]}, {"dirs", dirs}, {"files", files}}, lines);
  return exit_ok;
}

int run_df(const Options &opt, const Args &) {
  ReplyBytes reply{};
  if (int status = query(opt, CMD_QUERY_STORAGE, reply); status != exit_ok) return status;
  uint32_t total = read_le32(reply.data() + 8), used = read_le32(reply.data() + 12),
           avail = read_le32(reply.data() + 16);
  char text[128];
  snprintf(text, sizeof text, "%12s %12s %12s\n%12u %12u %12u\n", "KiB total", "used", "available", total, used, avail);
  print_result(opt, {{"total_kib", total}, {"used_kib", used}, {"avail_kib", avail}}, text);
  return exit_ok;
}
