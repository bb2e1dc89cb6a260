// The H.264 block ring and the decoder thread.
//
// Producers copy each block into the five-slot ring under pc_mutex; the decoder thread takes
// the oldest one under the same lock, opens the decoder if it is closed, hands the block to the
// NAL-unit splitter and lets go of the lock. It then decodes the units that have become
// complete: parameter sets are kept in front of the next slice, each slice goes to the decoder
// together with them, and each picture is put on layer 0 and paced to frameTime.
//
// Stopping a stream empties the ring at once, under pc_mutex, and starts a new stream epoch.
// The decoder thread compares the epoch with the one it opened the decoder in: after a stop it
// breaks off its units and releases the decoder and the splitter's bytes before it feeds the
// next block, also when a new stream's first block was pushed before it noticed. Together this
// makes the first block pushed after a stop the next block the decoder thread reads, with
// nothing of the stopped stream decoded after it. The release itself leaves the ring alone (a
// new stream may already be pending). After each picture the thread counts it and, when the
// local player has asked for a break of that very stream (a background switch), ends the
// stream itself under pc_mutex, so no block of the old file meets the decoder opened for the
// new one. The request names the stream: a stop or a newer stream makes it void.
//
// A unit that does not fit the room left behind the kept parameter sets is dropped by the
// splitter, and the parameter sets with it; the units after it are still read, so that none
// stays buffered to cut the next write short.
//
// A push onto a full ring waits on pc_condp, which the decoder thread signals whenever it frees
// a slot, for 2 s at most; then the block is dropped. A pending block is never overwritten.
#include "h264/h264.h"

#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

#include "disp/disp.h"
#include "platform/nalu.h"
#include "platform/rmem.h"
#include "platform/v4l2_h264.h"

H264Block h264_block_array[h264_block_slots];
std::mutex pc_mutex;
std::condition_variable &pc_condc = *new std::condition_variable;
std::condition_variable &pc_condp = *new std::condition_variable;
int32_t h264_cur_wr_index = 0;
int32_t h264_cur_rd_index = 0;
std::atomic<int32_t> h264_block_cnt{0};
std::atomic<uint32_t> h264_stream_epoch{0};
std::atomic<int32_t> h264_start_mark{0};
std::atomic<int32_t> h264_decoder_open{0};
std::atomic<uint32_t> h264_stale_blocks{0};
std::atomic<uint32_t> h264_pictures_shown{0};

namespace {

constexpr auto full_ring_wait = std::chrono::seconds(2);
constexpr size_t min_assembly_size = 131072;
constexpr int32_t longest_pacing_sleep_us = 99999;
constexpr int64_t longest_stream_gap_s = 10;

int next_slot(int index) { return (index + 1) % h264_block_slots; }

// The stream each pending block was pushed in. pc_mutex.
uint32_t slot_epoch[h264_block_slots] = {};
// The stream to break off after its next picture (a background switch). pc_mutex.
bool break_wanted = false;
uint32_t break_epoch = 0;

// Queues a block; with `epoch`, only while that stream has not been stopped (-1 otherwise).
int queue_block(const uint8_t *data, int length, const uint32_t *epoch) {
  if (length < 0 || length > h264_block_max_length || (data == nullptr && length > 0)) {
    fprintf(stderr, "h264 block of %d bytes refused\n", length);
    return h264_block_cnt;
  }
  std::unique_lock<std::mutex> lock(pc_mutex);
  auto stream_stopped = [&] { return epoch != nullptr && *epoch != h264_stream_epoch; };
  if (stream_stopped()) return -1;
  h264_start_mark = 1;
  ImgPlaying = 0;
  const bool room = pc_condp.wait_for(lock, full_ring_wait, [&] {
    return h264_block_cnt < h264_block_slots || stream_stopped();
  });
  if (stream_stopped()) return -1;
  if (!room) {
    const int pending = h264_block_cnt;
    lock.unlock();
    fprintf(stderr, "h264 ring full: block of %d bytes dropped\n", length);
    return pending;
  }
  H264Block &slot = h264_block_array[h264_cur_wr_index];
  if (length > 0) memcpy(slot.data, data, size_t(length));
  slot.length = length;
  slot_epoch[h264_cur_wr_index] = h264_stream_epoch;
  h264_cur_wr_index = next_slot(h264_cur_wr_index);
  const int pending = ++h264_block_cnt;
  h264_start_mark = 1;  // a stop while this push waited ended the old stream; this one runs
  lock.unlock();
  pc_condc.notify_one();
  return pending;
}

// Drops every pending block. pc_mutex held.
void empty_ring_locked() {
  h264_block_cnt = 0;
  h264_cur_rd_index = 0;
  h264_cur_wr_index = 0;
}

// Ends the running stream: the ring emptied, a new epoch. pc_mutex held; the caller notifies.
void end_stream_locked() {
  h264_start_mark = 0;
  empty_ring_locked();
  ++h264_stream_epoch;
  break_wanted = false;
}

void notify_stream_end() {
  pc_condp.notify_all();
  pc_condc.notify_all();
}

}  // namespace

bool h264_picture_shown(uint32_t epoch) {
  bool broken = false;
  {
    std::lock_guard<std::mutex> lock(pc_mutex);
    ++h264_pictures_shown;
    if (break_wanted && break_epoch == epoch && h264_stream_epoch == epoch) {
      end_stream_locked();
      broken = true;
    }
  }
  if (broken) {
    puts("break h264");
    notify_stream_end();
  } else {
    pc_condp.notify_all();
  }
  return broken;
}

namespace {

size_t round_up_to_page(size_t size) { return (size + 4095) / 4096 * 4096; }

// The decoder and its two reserved NV12 buffers, open from the first block of a stream until
// the stream stops. Used by the decoder thread alone.
class DecoderSession {
 public:
  bool is_open() const { return rmem_ >= 0; }
  uint32_t epoch() const { return epoch_; }
  H264Decoder *decoder() const { return decoder_; }

  // Opens the decoder and allocates both buffers for the stream of `epoch`. On any failure,
  // everything opened so far is released again and the session stays closed.
  bool open(const H264OpenParams &wanted, uint32_t epoch) {
    H264OpenParams params = wanted;
    params.buffer_width = 0;
    params.buffer_height = 0;
    decoder_ = v4l2_h264_decoder_direct_open(&params);
    if (decoder_ == nullptr) {
      fprintf(stderr, "decoder open failed\n");
      return false;
    }
    const size_t picture = size_t(params.buffer_width) * size_t(params.buffer_height);
    const int handle = rmem_open();
    if (handle < 0) {
      fprintf(stderr, "decoder open rmem failed: %s\n", strerror(errno));
      close_decoder();
      return false;
    }
    y_size_ = round_up_to_page(picture);
    uv_size_ = round_up_to_page(picture / 2);
    y_ = picture > 0 ? rmem_alloc(handle, &y_phys_, y_size_) : nullptr;
    uv_ = y_ != nullptr ? rmem_alloc(handle, &uv_phys_, uv_size_) : nullptr;
    if (uv_ == nullptr) {
      fprintf(stderr, "decoder open rmem alloc failed: %zu bytes\n", y_size_ + uv_size_);
      if (y_ != nullptr) rmem_free(handle, y_, y_phys_, y_size_);
      y_ = nullptr;
      rmem_close(handle);
      close_decoder();
      return false;
    }
    rmem_ = handle;
    epoch_ = epoch;
    h264_decoder_open = 1;
    return true;
  }

  // Gives back the buffers and the decoder and drops the splitter's bytes.
  void release(NaluBuffer *splitter) {
    puts("free h264 resource start\r");
    keep_last_picture();
    rmem_free(rmem_, y_, y_phys_, y_size_);
    rmem_free(rmem_, uv_, uv_phys_, uv_size_);
    rmem_close(rmem_);
    close_decoder();
    if (splitter != nullptr) nalu_buf_clean(splitter);
    y_ = uv_ = nullptr;
    rmem_ = -1;
    puts("free h264 resource end\r");
    h264_decoder_open = 0;
  }

  // Puts a decoded picture on layer 0 as an NV12 frame at the picture area's position.
  void present(const H264FrameInfo &frame) const {
    if (frame.crop_right >= frame.width || frame.crop_bottom >= frame.height) return;
    // The decoder writes into the buffers it sized at open; a picture claiming more than they
    // hold is not handed to the display controller, which would read past them.
    const size_t luma = size_t(frame.width) * size_t(frame.height);
    if (luma > y_size_ || luma / 2 > uv_size_) {
      fprintf(stderr, "h264 picture %ux%u larger than its buffers\n", frame.width, frame.height);
      return;
    }
    std::lock_guard<std::recursive_mutex> hold(layer_lock);
    // A picture decoded just before its stream was stopped is not shown: whoever stopped the
    // stream (a host picture, say) may already have drawn on layer 0, and stops first.
    if (h264_stream_epoch != epoch_) return;
    layer_cfg = LayerUserConfig{};
    layer_cfg.format = layer_format_nv12;
    layer_cfg.width = frame.width - frame.crop_right;
    layer_cfg.yres = frame.height - frame.crop_bottom;
    layer_cfg.x = uint32_t(dev_x);
    layer_cfg.y = uint32_t(dev_y);
    layer_cfg.field6 = 2;
    layer_cfg.field7 = 1;
    layer_cfg.y_addr = y_phys_;
    layer_cfg.y_stride = frame.width;
    layer_cfg.uv_addr = uv_phys_;
    layer_cfg.uv_stride = frame.width;
    layer_cfg.field14 = 0x0000FF00;
    if (fb_fd < 0) return;  // layer 0 is not open (a rotation that failed)
    fb_pan_display_set_user_cfg(fb_fd, &layer_cfg);
    fb_pan_display(fb_fd, &fb_info, 0);
  }

  uint8_t *y() const { return y_; }
  uint8_t *uv() const { return uv_; }

 private:
  // Layer 0 may still scan out the last picture from the buffers about to be given back. The
  // picture moves into layer 0's own buffer first (its two planes take less room than the
  // panel's 32-bit frame), so the screen keeps it and the display controller never reads
  // memory that is no longer ours; a picture too large for that buffer gives way to black.
  void keep_last_picture() const {
    std::lock_guard<std::recursive_mutex> hold(layer_lock);
    if (layer_cfg.format != layer_format_nv12 || layer_cfg.y_addr != y_phys_ || fb_fd < 0 ||
        fb_info.vaddr == nullptr) {
      return;
    }
    const size_t rows = layer_cfg.yres;
    const size_t luma = size_t(layer_cfg.y_stride) * rows;
    const size_t chroma = size_t(layer_cfg.uv_stride) * ((rows + 1) / 2);
    if (fb_info.frame_size > 0 && luma + chroma <= size_t(fb_info.frame_size) && luma <= y_size_ &&
        chroma <= uv_size_) {
      memcpy(fb_info.vaddr, y_, luma);
      memcpy(fb_info.vaddr + luma, uv_, chroma);
      layer_cfg.y_addr = fb_info.paddr;
      layer_cfg.uv_addr = fb_info.paddr + uint32_t(luma);
      fb_pan_display_set_user_cfg(fb_fd, &layer_cfg);
      fb_pan_display(fb_fd, &fb_info, 0);
    } else {
      draw_rect(fb_info.vaddr, 0, 0, -1, -1, 0xFF000000);
      fb_display(fb_fd, dev_width, dev_height, &fb_info, fb_info.paddr);
    }
  }

  void close_decoder() {
    v4l2_h264_decoder_close(decoder_);
    decoder_ = nullptr;
  }

  H264Decoder *decoder_ = nullptr;
  int rmem_ = -1;  // -1: closed
  uint32_t epoch_ = 0;
  uint8_t *y_ = nullptr;
  uint8_t *uv_ = nullptr;
  uint32_t y_phys_ = 0;
  uint32_t uv_phys_ = 0;
  size_t y_size_ = 0;
  size_t uv_size_ = 0;
};

}  // namespace

int push_h264_block(const uint8_t *data, int length) { return queue_block(data, length, nullptr); }

int push_h264_block_in_stream(const uint8_t *data, int length, uint32_t epoch) {
  return queue_block(data, length, &epoch);
}

void end_h264_stream() {
  {
    std::lock_guard<std::mutex> lock(pc_mutex);
    end_stream_locked();
  }
  notify_stream_end();
}

bool end_h264_stream_of(uint32_t epoch) {
  {
    std::lock_guard<std::mutex> lock(pc_mutex);
    if (h264_stream_epoch != epoch) return false;
    end_stream_locked();
  }
  notify_stream_end();
  return true;
}

void h264_break_after_picture(uint32_t epoch) {
  {
    std::lock_guard<std::mutex> lock(pc_mutex);
    break_wanted = true;
    break_epoch = epoch;
  }
  pc_condp.notify_all();
}

void h264_cancel_break() {
  std::lock_guard<std::mutex> lock(pc_mutex);
  break_wanted = false;
}

void h264_wait_picture(uint32_t since, uint32_t epoch, int timeout_ms) {
  std::unique_lock<std::mutex> lock(pc_mutex);
  pc_condp.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
    return h264_pictures_shown != since || h264_stream_epoch != epoch ||
           (break_wanted && break_epoch == epoch);
  });
}

void stop_h264() {
  end_h264_stream();
  puts("h264 stop ");
}

int64_t get_now_s() {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  const int64_t us = int64_t(tv.tv_sec) * 1000000 + int64_t(tv.tv_usec);
  return us / 1000000;
}

uint32_t pacing_delay_us(uint32_t last_us, int32_t frame_time_us, uint32_t now_us) {
  if (frame_time_us == INT32_MAX) return 0;
  const int32_t delay = int32_t(last_us + uint32_t(frame_time_us) - now_us);
  return (delay >= 1 && delay <= longest_pacing_sleep_us) ? uint32_t(delay) : 0;
}

bool stream_gap_exceeded(int64_t previous_s, int64_t now_s) {
  return now_s - previous_s > longest_stream_gap_s;
}

void *play_h264_thread(void *) {
  H264OpenParams params{"/dev/video2", 0, 0, fourcc_nv12, 0, 0};
  {
    std::lock_guard<std::recursive_mutex> hold(layer_lock);
    params.width = uint32_t(std::max(dev_width, 0));
    params.height = uint32_t(std::max(dev_height, 0));
  }
  // Parameter sets and one slice side by side; at least 128 KiB whatever the picture area.
  const size_t assembly_size = std::clamp<size_t>(
      size_t(params.width) * size_t(params.height), min_assembly_size, size_t(INT_MAX));
  std::vector<uint8_t> assembly(assembly_size);
  NaluBuffer *splitter = nalu_buf_init(assembly_size);
  if (splitter == nullptr) fprintf(stderr, "h264 unit splitter init failed: video is dropped\n");
  DecoderSession session;
  int64_t previous_s = get_now_s();
  size_t kept = 0;

  for (;;) {
    std::unique_lock<std::mutex> lock(pc_mutex);
    pc_condc.wait(lock, [&] {
      return h264_block_cnt > 0 || (session.is_open() && h264_stream_epoch != session.epoch());
    });
    if (session.is_open() && h264_stream_epoch != session.epoch()) {
      // Stopped since the decoder was opened: nothing of that stream meets the next block.
      lock.unlock();
      session.release(splitter);
      continue;
    }

    if (splitter != nullptr && !session.is_open()) session.open(params, h264_stream_epoch);
    const H264Block &slot = h264_block_array[h264_cur_rd_index];
    if (session.is_open() && slot_epoch[h264_cur_rd_index] != session.epoch()) {
      // Never expected (every stop empties the ring): a block of another stream is dropped
      // rather than decoded with this one, and counted.
      ++h264_stale_blocks;
      fprintf(stderr, "h264 block of an ended stream dropped\n");
    } else if (session.is_open()) {
      const int64_t now_s = get_now_s();
      if (stream_gap_exceeded(previous_s, now_s)) {
        v4l2_h264_decoder_work_release(session.decoder());
        nalu_buf_clean(splitter);
      }
      previous_s = get_now_s();
      const int length = std::clamp<int32_t>(slot.length, 0, h264_block_max_length);
      const int taken = nalu_buf_write(splitter, slot.data, length);
      if (taken < length) printf("fread len:%d  fseek len:%d \n", length, taken);
    }
    // A block the decoder could not be opened for is taken out all the same: the ring must
    // not stall, and the next block tries the opening again.
    h264_cur_rd_index = next_slot(h264_cur_rd_index);
    --h264_block_cnt;
    lock.unlock();
    pc_condp.notify_all();
    if (!session.is_open()) continue;

    bool switching = false;
    while (h264_start_mark == 1 && h264_stream_epoch == session.epoch()) {
      NaluUnitInfo unit{};
      const int room = int(assembly_size - kept);
      const int length = nalu_buf_read_unit(splitter, &unit, assembly.data() + kept, room);
      if (length == 0) break;
      if (length < 0 || length > room) {
        // The splitter has dropped a unit too big for what is left: the parameter sets kept
        // for it go as well (a stream of nothing but parameter sets cannot fill the buffer for
        // good), and the units after it are read on.
        kept = 0;
        continue;
      }
      if (unit.type == 7 || unit.type == 8) {
        kept += size_t(length);
        continue;
      }
      if (unit.type != 1 && unit.type != 5) continue;  // SEI, delimiters...: overwritten next

      const int units_length = int(kept) + length;
      kept = 0;
      if (v4l2_h264_decoder_direct_work(session.decoder(), assembly.data(), units_length,
                                        session.y(), session.uv()) != 0) {
        fprintf(stderr, "decoder direct work failed: %s\n", strerror(errno));
        continue;
      }
      H264FrameInfo frame{};
      if (v4l2_h264_decoder_get_frame_info(session.decoder(), &frame) != 0) continue;
      session.present(frame);

      if (h264_picture_shown(session.epoch())) {
        kept = 0;
        switching = true;
        break;
      }
      const uint32_t delay = pacing_delay_us(lastframe_time, frameTime, now_us());
      if (delay > 0) usleep(delay);
      lastframe_time = now_us();
    }

    if (switching || h264_start_mark == 0 || h264_stream_epoch != session.epoch()) {
      pc_condp.notify_all();
      session.release(splitter);
    }
  }
}
