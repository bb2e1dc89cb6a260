// File commands: the upload in chunks, small files, deletion, sizes, the listing in pages and
// the SD card's space. Every path the host sends resolves under the sandbox root inside the
// file store, like the device's own paths.
//
// An upload is 0x26 (open the named file) and 0x27 chunks, the last with flag 1, which closes
// it. The chunks go to a temporary file that only the last chunk puts in place (storage.h), so
// the host's file changes all at once or not at all. The upload stays open however long the
// host pauses, across reopens of the port: only a new 0x26 ends one that is unfinished (and
// discards it, the file left as it was). A chunk whose block is cut short stores nothing and
// gets no reply; the upload stays where it was before it, so the host may send it again.
// Chunks with no upload open are read off the port and dropped with a message. A chunk whose
// block is longer than r_buf is read off the port and lost: that chunk, every later one and
// the last are answered with the failure layout, and the last discards the upload. A chunk that
// cannot be stored, and the last chunk when the file cannot be put in place, are answered with
// the failure layout; so are small files that cannot be stored.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/command_args.h"
#include "app/globals.h"
#include "app/handler_state.h"
#include "app/handlers_internal.h"
#include "crypto/host_packet.h"
#include "storage/storage.h"
#include "tty/tty.h"

namespace {

uint32_t first_value(const HostCommand &cmd) { return read_be32(&cmd.code + command_first_value); }
uint32_t second_value(const HostCommand &cmd) { return read_be32(&cmd.code + command_second_value); }

// Set when a chunk of the open upload was refused (a block longer than r_buf) or could not be
// written whole (a device or FIFO that took nothing for 2 s, a sync that failed): the upload
// has a hole, so no later chunk is stored and the last one discards it, each with the failure
// layout. A new 0x26 clears it.
bool upload_lost_chunk = false;

void discard_upload_because(const char *why) {
  upload_lost_chunk = false;
  if (saveFp == nullptr) return;
  fprintf(stderr, "upload of %s discarded (%s): the file keeps what it held\n", upload_path.c_str(), why);
  discard_upload(saveFp, upload_path.c_str());
  saveFp = nullptr;
  upload_path.clear();
}

}  // namespace

HandlerEnd cmd_create_file(const HostCommand &cmd, uint8_t *reply) {
  puts("create file \r");
  // A new upload ends the unfinished one even when its own name is refused: the chunks that
  // follow belong to the new name and must not be appended to the older file.
  discard_upload_because("a new upload began");
  std::optional<std::string> name = take_name_argument(cmd);
  if (!name) return HandlerEnd::reply;

  saveFp = open_upload(name->c_str());
  if (saveFp != nullptr) {
    upload_path = *name;
    reply[reply_result] = reply_status_ok;
    printf("create file success %s \r\n", name->c_str());
  } else {
    const int error = errno;
    puts("create_failed \r");
    fprintf(stderr, "upload of %s cannot be opened: %s\n", name->c_str(), strerror(error));
    // The header goes over bytes 0..5 later; the host sees "_failed\0" from byte 6 on.
    memcpy(reply, "create_failed", sizeof "create_failed");
  }
  return HandlerEnd::reply;
}

HandlerEnd cmd_save_file_buffer(const HostCommand &cmd, uint8_t *reply) {
  puts("save file buffer \r");
  uint32_t block_length = first_value(cmd);
  uint32_t store_length = second_value(cmd);
  uint8_t last = cmd.payload[command_name - reply_result];  // command byte 16
  printf("file_len: %d\n", int(store_length));

  // A block cut short abandons the chunk (no reply, the port reopened); the upload stays open.
  const BlockRead read = read_follow_on_block(block_length);
  if (read == BlockRead::failed) return HandlerEnd::abandon;
  if (saveFp == nullptr) {
    fprintf(stderr, "no upload open: chunk of %u bytes discarded\n", block_length);
    return HandlerEnd::reply;
  }
  // A chunk too long to take leaves a hole: the upload can no longer be stored whole.
  if (read == BlockRead::too_long && !upload_lost_chunk) {
    upload_lost_chunk = true;
    fprintf(stderr, "upload of %s lost a chunk of %u bytes: it will not be stored\n", upload_path.c_str(),
            block_length);
  }
  if (upload_lost_chunk) {
    if (last == 1) discard_upload_because("a chunk was lost");
    return failure_reply(reply, last == 1 ? "upload not stored" : "upload chunk not stored");
  }
  if (store_length > block_length) {
    fprintf(stderr, "chunk stores %u bytes of a %u-byte block\n", store_length, block_length);
    return failure_reply(reply, "upload chunk not stored, the upload stays where it was");
  }
  const int stored = save_file(saveFp, r_buf, store_length, last, upload_path.c_str());
  if (last == 1) {  // save_file has closed it
    saveFp = nullptr;
    upload_path.clear();
  }
  // A stream remembers a write that failed, but not one into a device or FIFO, nor a sync.
  if (stored != 0 && last != 1 && ferror(saveFp) == 0) upload_lost_chunk = true;
  if (stored != 0) return failure_reply(reply, last == 1 ? "upload not stored" : "upload chunk not stored");
  return HandlerEnd::reply;
}

HandlerEnd cmd_save_small_file(const HostCommand &cmd, uint8_t *reply) {
  uint32_t name_length = first_value(cmd);
  uint32_t file_length = second_value(cmd);
  printf("name_len: %d file_len: %d\n", int(name_length), int(file_length));
  std::optional<std::string> name = take_name_argument(cmd);

  // The block is taken off the port even for a refused name.
  if (auto end = unless_block_ok(read_follow_on_block(file_length))) return *end;
  if (!name) return HandlerEnd::reply;
  printf("save_small_file name: %s \n", name->c_str());
  if (save_small_file(name->c_str(), r_buf, file_length) != 0) {
    return failure_reply(reply, "small file not stored");
  }
  return HandlerEnd::reply;
}

HandlerEnd cmd_delete_file(const HostCommand &cmd, uint8_t *) {
  printf("name_len: %d\n", int(first_value(cmd)));
  std::optional<std::string> name = take_name_argument(cmd);
  if (!name) return HandlerEnd::reply;
  printf("del_file name: %s \n", name->c_str());
  DeleteFile(name->c_str());
  return HandlerEnd::reply;
}

HandlerEnd cmd_get_file_size(const HostCommand &cmd, uint8_t *reply) {
  printf("name_len: %d\n", int(first_value(cmd)));
  std::optional<std::string> name = take_name_argument(cmd);
  if (!name) return HandlerEnd::reply;
  int32_t size = GetFileSize(name->c_str());
  printf("get file size: %s %d\n", name->c_str(), size);
  write_le32(reply + reply_result, uint32_t(size));
  return HandlerEnd::reply;
}

// Every listing is 20 pages of 512 bytes; only the first page names the directory, so a name
// sent in mid-listing is ignored and the next page of the old listing comes back.
HandlerEnd cmd_query_dir(const HostCommand &cmd, uint8_t *reply) {
  if (dir_page_offset == 0) {
    printf("name_len: %d\n", int(first_value(cmd)));
    std::optional<std::string> name = take_name_argument(cmd);
    if (!name) return HandlerEnd::reply;
    printf("querry name: %s \n", name->c_str());
    memset(dir_result, 0, sizeof dir_result);
    GetDir(name->c_str(), dir_result);
    printf("dir_result: %s \n", dir_result);
  }
  memcpy(reply, dir_result + dir_page_offset, cmd_len);
  dir_page_offset += cmd_len;
  if (dir_page_offset >= dir_result_len) dir_page_offset = 0;
  safe_write(tty_fd, reply, cmd_len);
  return HandlerEnd::own_answer;
}

HandlerEnd cmd_query_storage(const HostCommand &, uint8_t *reply) {
  QuerryStorage();
  printf("QuerryStorage ret  %d %d %d \n", storage.total_kib & 0xFF, (storage.total_kib >> 8) & 0xFF,
         (storage.total_kib >> 16) & 0xFF);
  const uint32_t fields[] = {storage.total_kib, storage.used_kib, storage.avail_kib,
                             storage.extra0,    storage.extra1,   storage.extra2};
  for (size_t i = 0; i < 6; ++i) write_le32(reply + reply_result + 4 * i, fields[i]);
  return HandlerEnd::reply;
}
