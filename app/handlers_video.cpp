// Video commands: local playback, and the host's own H.264 stream in blocks.
//
// A host stream is a run of 0x79 blocks, each answered with the number of blocks queued,
// and ends with 0x7B. The first block stops a local video. A block longer than a ring slot
// is read off the port and dropped; the reply then carries the count as it stands.
#include <cstdio>

#include "app/command_args.h"
#include "app/globals.h"
#include "app/handlers_internal.h"
#include "crypto/host_packet.h"
#include "h264/h264.h"
#include "h264/local_player.h"
#include "mcu/gui_shm.h"
#include "screen/player.h"
#include "screen/screen.h"

HandlerEnd cmd_play_local_h264(const HostCommand &cmd, uint8_t *) {
  puts("local 264 \r");
  std::optional<std::string> name = take_name_argument(cmd);
  if (!name) return HandlerEnd::reply;
  play_local_h264_async(name->c_str());
  return HandlerEnd::reply;
}

HandlerEnd cmd_stop_local_h264(const HostCommand &, uint8_t *) {
  stop_local_h264();
  return HandlerEnd::reply;
}

HandlerEnd cmd_get_local_h264_state(const HostCommand &, uint8_t *reply) {
  reply[reply_result] = uint8_t(local_h264_playing.load());
  return HandlerEnd::reply;
}

HandlerEnd cmd_push_h264_block(const HostCommand &cmd, uint8_t *reply) {
  uint32_t length = read_be32(&cmd.code + command_first_value);
  // A player that is still to go on is stopped and the GUI paused, in one request: one already
  // stopping must not end the host's stream a second time, which would drop its first pictures.
  screen_host_stream_block();
  if (auto end = unless_block_ok(read_follow_on_block(length))) return *end;
  if (length > uint32_t(h264_block_max_length)) {
    fprintf(stderr, "h264 block too long: %u bytes, at most %d: discarded\n", length, h264_block_max_length);
    reply[reply_result] = uint8_t(h264_block_cnt.load());
    return HandlerEnd::reply;
  }
  reply[reply_result] = uint8_t(push_h264_block(r_buf, int(length)));
  return HandlerEnd::reply;
}

HandlerEnd cmd_get_h264_block_count(const HostCommand &, uint8_t *reply) {
  reply[reply_result] = uint8_t(h264_block_cnt.load());
  return HandlerEnd::reply;
}

HandlerEnd cmd_stop_h264(const HostCommand &, uint8_t *) {
  stop_h264();
  return HandlerEnd::reply;
}
