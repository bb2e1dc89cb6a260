// The H.264 block ring and the decoder thread that shows every video picture.
//
// Who calls what:
// - start-up (main thread): starts play_h264_thread once, detached, after the display is open;
//   it never returns.
// - producers: the host command loop (121 push_h264_block, 123 stop_h264) and the local video
//   player thread (push_h264_block_in_stream). Any thread may push or stop; a push may wait up
//   to 2 s for a free slot.
// - the screen owner (screen/) ends streams (end_h264_stream, end_h264_stream_of) and asks
//   for a break after a picture (a background switch); this folder never calls it.
// - readers of h264_block_cnt: the host loop (replies to 121, 122), the screen owner (a resume
//   waits while a host stream has blocks queued), the local player (keeps at most 3 pending).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

constexpr int h264_block_slots = 5;
constexpr int h264_block_max_length = 202752;  // 0x31800: bytes of stream data one slot holds

// One slot: the length of the block, then its data.
struct H264Block {
  int32_t length;
  uint8_t data[h264_block_max_length];
};
static_assert(sizeof(H264Block) == 202756);
static_assert(sizeof(H264Block) * h264_block_slots == 1013780);

// --- The ring. Producers write a slot, the decoder thread reads it; both only under pc_mutex.
extern H264Block h264_block_array[h264_block_slots];

// --- Protected by pc_mutex: the two indices (0..4) and every change of h264_block_cnt and
// h264_stream_epoch. pc_condc is signalled on every push and on every stop (the decoder thread
// waits on it); pc_condp is signalled whenever a slot is freed or the ring is emptied (a push
// onto a full ring waits on it).
// The two condition variables are never destroyed: the decoder thread still waits on pc_condc
// when the process exits, and destroying a condition variable with a waiter blocks for ever.
extern std::mutex pc_mutex;
extern std::condition_variable &pc_condc;
extern std::condition_variable &pc_condp;
extern int32_t h264_cur_wr_index;
extern int32_t h264_cur_rd_index;

// --- Blocks queued in the ring: the pushes and the decoder thread write (under pc_mutex); the
// host replies, the player and the GUI coordination read it at any time.
extern std::atomic<int32_t> h264_block_cnt;

// --- Which stream the ring belongs to: advanced by stop_h264 and stop_local_h264 (under
// pc_mutex); the decoder thread releases its decoder when it sees a new epoch, and a producer
// pushing with push_h264_block_in_stream is refused once the epoch it joined has ended.
extern std::atomic<uint32_t> h264_stream_epoch;

// --- 1 from the opening of the decoder to the end of its release: the decoder thread writes
// (the opening under pc_mutex); anyone may read. After a stop_h264, the decoder thread touches
// the decoder, the reserved memory and the layers no more once this reads 0.
extern std::atomic<int32_t> h264_decoder_open;

// --- Blocks the decoder thread found pushed in a stream other than the one its decoder is
// open for, and dropped: 0 unless a stop failed to empty the ring. Decoder thread writes.
extern std::atomic<uint32_t> h264_stale_blocks;

// --- 1 while a stream runs: every push sets it; every end of a stream (stop_h264,
// stop_local_h264, a break for a background switch) clears it. Polled by the decoder.
extern std::atomic<int32_t> h264_start_mark;

// --- Pictures shown, of any stream: the decoder thread counts them under pc_mutex (and
// signals pc_condp); the local player reads them to tell a file that shows nothing.
extern std::atomic<uint32_t> h264_pictures_shown;

// Queues one block of stream data (0..202,752 bytes), marks the stream running and stops the
// slideshow. On a full ring it waits up to 2 s for the decoder thread to free a slot; when
// none frees, the block is dropped with a message. A length outside 0..202,752 (or data
// missing) is refused with a message and nothing changes. Returns the number of pending
// blocks afterwards (unchanged when the block was not queued).
int push_h264_block(const uint8_t *data, int length);

// push_h264_block for a producer that belongs to one stream (the local player): refused, with
// -1 and no message, when the stream it joined (`epoch`, read from h264_stream_epoch under
// pc_mutex) has been stopped, also while the push was waiting for a slot. The check and the
// queuing are one step under pc_mutex, so no block of a stopped stream enters the ring after
// the stop.
int push_h264_block_in_stream(const uint8_t *data, int length, uint32_t epoch);

// Ends the running stream: h264_start_mark = 0 and "h264 stop " printed. Every pending block is
// dropped at once (count and both indices to 0, under pc_mutex) and the decoder thread releases
// the decoder after the units it is decoding, so the next push starts a fresh stream in slot 0.
void stop_h264();

// stop_h264 without the message (stop_local_h264 ends the stream this way).
void end_h264_stream();

// end_h264_stream only while stream `epoch` is the running one: true when it was ended. A
// producer ending its own stream this way never drops the blocks of a stream begun since.
bool end_h264_stream_of(uint32_t epoch);

// A background switch: after its next picture, stream `epoch` is ended by the decoder thread
// ("break h264"), unless it has ended before or the request is cancelled. One request at a
// time; every end of a stream clears it. Any thread.
void h264_break_after_picture(uint32_t epoch);
void h264_cancel_break();

// The decoder thread's step after each picture of stream `epoch`: counted, and true when that
// stream was asked to break off (it has then been ended and "break h264" printed).
bool h264_picture_shown(uint32_t epoch);

// Waits up to `timeout_ms` for a picture after the count `since`, ended early when stream
// `epoch` ends or is asked to break off. Any thread.
void h264_wait_picture(uint32_t since, uint32_t epoch, int timeout_ms);

// The time of day in whole seconds.
int64_t get_now_s();

// The consumer: takes blocks from the ring, splits them into units, decodes each picture and
// shows it on layer 0, paced to frameTime. Opens the decoder on the first block of a stream and
// releases it when the stream stops. Started once; never returns.
void *play_h264_thread(void *);

// --- Rules of the decoder thread, pure so that they can be checked on their own.

// Microseconds to sleep before showing the next picture: lastframe_time + frameTime - now in
// 32-bit wrapping arithmetic, read as signed; slept only when 1..99,999 (a picture ready more
// than that ahead, or late, is shown at once). frame_time INT32_MAX turns pacing off (0).
uint32_t pacing_delay_us(uint32_t last_us, int32_t frame_time_us, uint32_t now_us);

// Whether a block that arrives at `now_s` comes after a pause long enough (more than 10 s
// since `previous_s`) that nothing left over from before may be decoded with it.
bool stream_gap_exceeded(int64_t previous_s, int64_t now_s);
