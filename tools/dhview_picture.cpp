// dhview's live picture (see dhview_picture.h). The watcher is the only composer; frames are
// immutable once published, so a stream handler sends its copy without holding any lock.
#include "tools/dhview_picture.h"

#include <png.h>
#include <turbojpeg.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>


namespace {

constexpr auto watch_period = std::chrono::milliseconds(10);
constexpr auto idle_period = std::chrono::milliseconds(100);

// --- The watcher's shared state.
std::mutex frame_mutex;
std::condition_variable frame_ready;
std::shared_ptr<const ViewFrame> newest_frame;  // guarded by frame_mutex
bool watch_stopping = false;                    // guarded by frame_mutex
std::thread watcher;
std::atomic<int> viewers{0};
std::atomic<uint64_t> composed{0};

void publish(const PanelPicture &picture, std::string jpeg) {
  auto frame = std::make_shared<ViewFrame>();
  frame->width = picture.width;
  frame->height = picture.height;
  frame->jpeg = std::move(jpeg);
  {
    std::lock_guard lock(frame_mutex);
    frame->number = newest_frame ? newest_frame->number + 1 : 1;
    newest_frame = std::move(frame);
  }
  frame_ready.notify_all();
}

void watch(std::string device_root, int quality) {
  uint64_t shown = 0;  // the change count of the newest frame
  bool have_frame = false;
  std::string last_error;
  for (;;) {
    {
      std::unique_lock lock(frame_mutex);
      auto period = viewers.load() > 0 ? watch_period : idle_period;
      if (frame_ready.wait_for(lock, period, [] { return watch_stopping; })) return;
    }
    if (viewers.load() == 0) continue;
    uint64_t count = 0;
    std::string error;
    const bool counted = panel_change_count(device_root, count, error);
    if (counted && have_frame && count == shown) continue;
    PanelPicture picture;
    if (!compose_as_seen(device_root, picture, error)) {
      if (error != last_error) fprintf(stderr, "dhview: %s\n", error.c_str());
      last_error = error;
      continue;
    }
    last_error.clear();
    composed.fetch_add(1);
    std::string jpeg;
    if (!encode_jpeg(picture, quality, jpeg, error)) {
      fprintf(stderr, "dhview: %s\n", error.c_str());
      continue;
    }
    // A count taken before composing: a change during the composition is seen next time.
    shown = count;
    have_frame = counted;
    publish(picture, std::move(jpeg));
  }
}

}  // namespace

bool compose_as_seen(const std::string &device_root, PanelPicture &picture, std::string &error) {
  return compose_panel_seen(device_root, picture, error, true);
}

bool encode_jpeg(const PanelPicture &picture, int quality, std::string &out, std::string &error) {
  if (picture.width <= 0 || picture.height <= 0 ||
      picture.pixels.size() != size_t(picture.width) * size_t(picture.height)) {
    error = "no picture to encode";
    return false;
  }
  tjhandle handle = tjInitCompress();
  if (handle == nullptr) {
    error = "JPEG encoder: cannot start";
    return false;
  }
  unsigned char *data = nullptr;
  unsigned long size = 0;
  // 0xAARRGGBB words lie in memory as B, G, R, A.
  const int result = tjCompress2(handle, reinterpret_cast<const unsigned char *>(picture.pixels.data()),
                                 picture.width, picture.width * 4, picture.height, TJPF_BGRX,
                                 &data, &size, TJSAMP_420, quality, TJFLAG_FASTDCT);
  if (result == 0) {
    out.assign(reinterpret_cast<const char *>(data), size);
  } else {
    error = std::string("JPEG encoder: ") + tjGetErrorStr2(handle);
  }
  tjFree(data);
  tjDestroy(handle);
  return result == 0;
}

bool encode_png(const PanelPicture &picture, std::string &out, std::string &error) {
  if (picture.width <= 0 || picture.height <= 0 ||
      picture.pixels.size() != size_t(picture.width) * size_t(picture.height)) {
    error = "no picture to encode";
    return false;
  }
  std::vector<uint8_t> rgb(picture.pixels.size() * 3);
  for (size_t i = 0; i < picture.pixels.size(); ++i) {
    rgb[i * 3] = uint8_t(picture.pixels[i] >> 16);
    rgb[i * 3 + 1] = uint8_t(picture.pixels[i] >> 8);
    rgb[i * 3 + 2] = uint8_t(picture.pixels[i]);
  }
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = png_uint_32(picture.width);
  image.height = png_uint_32(picture.height);
  image.format = PNG_FORMAT_RGB;
  png_alloc_size_t size = 0;
  if (!png_image_write_get_memory_size(image, size, 0, rgb.data(), picture.width * 3, nullptr)) {
    error = std::string("PNG encoder: ") + image.message;
    png_image_free(&image);
    return false;
  }
  out.resize(size);
  if (!png_image_write_to_memory(&image, out.data(), &size, 0, rgb.data(), picture.width * 3,
                                 nullptr)) {
    error = std::string("PNG encoder: ") + image.message;
    png_image_free(&image);
    return false;
  }
  out.resize(size);
  return true;
}

void picture_watch_start(const std::string &device_root, int quality) {
  watcher = std::thread(watch, device_root, quality);
}

void picture_watch_stop() {
  {
    std::lock_guard lock(frame_mutex);
    watch_stopping = true;
  }
  frame_ready.notify_all();
  if (watcher.joinable()) watcher.join();
}

void picture_viewer_enter() { viewers.fetch_add(1); }
void picture_viewer_leave() { viewers.fetch_sub(1); }

std::shared_ptr<const ViewFrame> picture_wait_newer(uint64_t after,
                                                    std::chrono::milliseconds timeout) {
  std::unique_lock lock(frame_mutex);
  frame_ready.wait_for(lock, timeout, [after] {
    return watch_stopping || (newest_frame && newest_frame->number > after);
  });
  if (watch_stopping || !newest_frame || newest_frame->number <= after) return nullptr;
  return newest_frame;
}

uint64_t pictures_composed() { return composed.load(); }
