// Still pictures.
//
// A JPEG whose markers show a full size, a decode memory or a number of scans beyond what the
// largest panel can use (disp/jpeg_header.h) is refused before it reaches the decoder.
// Otherwise it is decoded by the hardware decoder straight into layer 0's buffer and presented
// through the layer's user configuration; the decoder instance lives for one picture. The whole
// decode and the pan happen under layer_lock, which also keeps the decoder globals to one
// picture at a time and keeps set_rotation from replacing the layer underneath.
//
// A PNG is read by libpng one row at a time into a single row buffer and copied into layer 1,
// clipped to the layer: at most the layer's width less the panel's column offset, rows past
// the layer's last row read and dropped. Only 8-bit, non-interlaced RGB and RGBA are copied;
// any other image leaves the layer as it was, and the layer is panned all the same. libpng
// reports errors by longjmp, so the function that calls setjmp is written in plain C style
// with nothing in it that has a destructor; the stream and the lock are held by its caller.
//
// The slideshow is one detached thread walking the SD card's image folder, one picture a
// second, until ImgPlaying is cleared. Starts are serialised: a start while one is on its way
// or running is refused, and a thread started later retires an older one that is still
// finishing its last wait, so at most one ever shows pictures. A stop that comes while a start
// is on its way ends that start: its thread shows nothing.
#include "disp/image.h"

#include <dirent.h>
#include <fcntl.h>
#include <png.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "disp/disp.h"
#include "disp/jpeg_header.h"
#include "platform/owners.h"
#include "platform/root_path.h"
#include "storage/util.h"

JpegDecoder *decoder_jpeg = nullptr;
JpegJob config{};
JpegOutput output{};
pthread_t local_jpg_player{};

namespace {

constexpr const char *slideshow_folder = "/tmp/sdcard/mmcblk0p1/img/";
constexpr const char *logo_path = "/media/logo.jpg";
// Larger files are no picture for this panel; refusing them keeps a stray file on the card
// from taking the memory the video needs.
constexpr off_t max_jpeg_file_bytes = 64 * 1024 * 1024;
// The 424x960 panel shows a 368-pixel window starting at this column when not upside down.
constexpr int narrow_panel_column_offset = 56;

// --- Slideshow starts. slideshow_starting (under slideshow_start_lock): a thread has been
// created and has not yet opened its folder. slideshow_generation: bumped by each thread that
// starts playing; a thread whose number is no longer current stops.
std::mutex slideshow_start_lock;
bool slideshow_starting = false;
// ImgPlaying from a start until its thread has opened the folder.
constexpr int32_t slideshow_starts = 2;
std::atomic<uint32_t> slideshow_generation{0};
std::atomic<int> slideshow_threads{0};

// Copies one image row into a layer row as 0xAARRGGBB words (bytes B, G, R, A): RGBA as it
// comes, RGB as opaque pixels.
void copy_row(const uint8_t *source, int bytes_per_pixel, uint8_t *target, int64_t pixels) {
  for (int64_t i = 0; i < pixels; ++i) {
    const uint8_t *in = source + i * bytes_per_pixel;
    uint8_t *out = target + i * 4;
    out[0] = in[2];
    out[1] = in[1];
    out[2] = in[0];
    out[3] = bytes_per_pixel == 4 ? in[3] : 0xFF;
  }
}

// Reads the PNG on `stream` (its 8 signature bytes already read and checked) into layer 1 and
// pans the layer. libpng's errors longjmp back into this frame: nothing here has a destructor,
// and what changes after setjmp and is needed after the jump is volatile. On an error the
// structures are released and the layer is not panned. The caller holds layer_lock.
void read_png_into_layer1(FILE *stream) {
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, NULL, NULL, NULL);
  if (png == NULL) return;
  png_infop info = png_create_info_struct(png);
  if (info == NULL) {
    png_destroy_read_struct(&png, NULL, NULL);
    return;
  }
  png_bytep volatile row = NULL;
  if (setjmp(png_jmpbuf(png))) {
    if (row != NULL) png_free(png, row);
    png_destroy_read_struct(&png, &info, NULL);
    return;
  }

  png_init_io(png, stream);
  png_set_sig_bytes(png, 8);
  png_read_info(png, info);
  const png_uint_32 width = png_get_image_width(png, info);
  const png_uint_32 height = png_get_image_height(png, info);
  const int colour_type = png_get_color_type(png, info);
  printf("width:%d,height:%d\n", int(width), int(height));
  printf("color type:%d\n", colour_type);

  row = static_cast<png_bytep>(png_malloc(png, png_get_rowbytes(png, info)));

  int bytes_per_pixel = 0;
  if (png_get_bit_depth(png, info) == 8 && png_get_interlace_type(png, info) == PNG_INTERLACE_NONE) {
    if (colour_type == PNG_COLOR_TYPE_RGB_ALPHA) bytes_per_pixel = 4;
    if (colour_type == PNG_COLOR_TYPE_RGB) bytes_per_pixel = 3;
  }
  // The layer must be open and hold 4-byte pixels; rows are line_length bytes apart.
  const int64_t layer_width = fb1_info.width;
  const int64_t layer_rows = fb1_info.yres;
  const int64_t line_length = fb1_info.line_length;
  const bool layer_usable = fb1_info.vaddr != NULL && layer_width > 0 && layer_rows > 0 &&
                            line_length >= layer_width * 4;
  const int column_offset = (dev_type == 2 && rotation == 0) ? narrow_panel_column_offset : 0;
  const int64_t pixels = layer_usable ? std::min<int64_t>(width, layer_width - column_offset) : 0;

  // An image the copy does not handle is read no further than its header: finishing it
  // without its rows would only make libpng report the unread image data.
  if (bytes_per_pixel != 0) {
    png_bytep rows[1] = {row};
    for (png_uint_32 i = 0; i < height; ++i) {
      png_read_rows(png, rows, NULL, 1);
      const int64_t target_row = int64_t(i) + dev_y;
      if (pixels <= 0 || target_row < 0 || target_row >= layer_rows) continue;
      copy_row(row, bytes_per_pixel,
               fb1_info.vaddr + target_row * line_length + int64_t(column_offset) * 4, pixels);
    }
    png_read_end(png, NULL);
  }
  if (fb1_fd >= 0) fb_pan_display(fb1_fd, &fb1_info, 0);

  png_free(png, row);
  row = NULL;
  png_destroy_read_struct(&png, &info, NULL);
}

}  // namespace

int show_jpg_buffer(const uint8_t *data, int length) {
  const bool takeable = length >= 0 && (data != nullptr || length == 0);
  // A picture that costs more than any panel can use is refused before the decoder sees it.
  if (takeable && length > 0) {
    char why[320];
    if (!jpeg_within_bounds(jpeg_cost(data, size_t(length)), why, sizeof why)) {
      fprintf(stderr, "jpeg picture refused: %s\n", why);
      return -1;
    }
  }
  std::lock_guard<std::recursive_mutex> hold(layer_lock);
  decoder_jpeg = takeable ? jpegd_decoder_open(data, length) : nullptr;
  if (decoder_jpeg == nullptr) {
    fprintf(stderr, "Unable to open jpeg decoder\n");
    return -1;
  }
  auto fail = [](const char *message) {
    fputs(message, stderr);
    jpegd_decoder_close(decoder_jpeg);
    decoder_jpeg = nullptr;
    return -1;
  };

  config = JpegJob{};
  config.length = uint32_t(length);
  config.width = uint32_t(dev_width);
  config.height = uint32_t(dev_height);
  config.format = jpeg_format_argb8888;
  config.data = data;
  printf("width=%d height=%d\n", dev_width, dev_height);
  printf("fb_info.frame_size %d\n", fb_info.frame_size);

  // The decoder writes the packed picture from the start of layer 0's buffer: it must fit.
  const int64_t size = int64_t(dev_width) * dev_height * 4;
  const bool fits = fb_info.vaddr != nullptr && dev_width > 0 && dev_height > 0 &&
                    size <= int64_t(fb_info.line_length) * fb_info.yres && size <= INT_MAX;
  if (!fits || jpegd_decoder_set_output_mem(decoder_jpeg, &config, fb_info.vaddr, fb_info.paddr,
                                            int(size)) < 0) {
    return fail("jpeg decoder set output memory failed.\n");
  }
  if (jpegd_decoder_get(decoder_jpeg, &config, &output) != 0) {
    return fail("jpeg decoder acquire failed.\n");
  }
  fb_display(fb_fd, dev_width, dev_height, &fb_info, fb_info.paddr);
  jpegd_decoder_put(decoder_jpeg, &output);
  jpegd_decoder_close(decoder_jpeg);
  decoder_jpeg = nullptr;
  lastframe_time = now_us();
  return 0;
}

namespace {
int show_jpg_file(const char *path);
}  // namespace

// A picture that cannot have the memory it needs is not shown; the caller goes on.
int show_jpg_local(const char *path) {
  try {
    return show_jpg_file(path);
  } catch (const std::bad_alloc &) {
    fprintf(stderr, "Failed to alloc input_mem: %s not shown\n", path != nullptr ? path : "");
    return 0;
  }
}

namespace {
int show_jpg_file(const char *path) {
  if (path == nullptr) path = "";
  // Only a regular file is read: a FIFO or a device (one of the daemon's own ports, say) is
  // refused like a missing file, without waiting on it.
  UniqueFd fd(open_regular_file(path, O_RDONLY));
  if (fd.get() < 0) {
    const int error = errno;
    fprintf(stderr, "Failed to open src file: %s: %s\n", strerror(error), path);
    return -1;
  }
  const off_t size = lseek(fd.get(), 0, SEEK_END);
  if (size < 0 || lseek(fd.get(), 0, SEEK_SET) < 0) {
    fprintf(stderr, "Failed to take the size of src file %s\n", path);
    return 0;
  }
  if (size > max_jpeg_file_bytes) {
    fprintf(stderr, "src file too large: %s (%lld bytes)\n", path, static_cast<long long>(size));
    return 0;
  }
  std::unique_ptr<uint8_t, FreeDeleter> input(static_cast<uint8_t *>(malloc(size_t(size) + 1)));
  if (!input) {
    fprintf(stderr, "Failed to alloc input_mem\n");
    return 0;
  }
  // One read may return less than asked: read until the end.
  off_t got = 0;
  while (got < size) {
    ssize_t n = read(fd.get(), input.get() + got, size_t(size - got));
    if (n < 0) {
      if (errno == EINTR) continue;
      perror("Failed to read src file");
      return 0;
    }
    if (n == 0) break;  // the file shrank meanwhile: show what there is
    got += n;
  }
  show_jpg_buffer(input.get(), int(got));
  return 0;
}
}  // namespace

void decode_png(const uint8_t *data, int length) {
  std::unique_ptr<FILE, FileCloser> stream(
      data != nullptr && length >= 0
          ? fmemopen(const_cast<uint8_t *>(data), size_t(length), "r")
          : nullptr);
  if (!stream) {
    fprintf(stderr, "fmemopen open fail!!!\n");
    return;
  }
  png_byte signature[8];
  if (fread(signature, 1, sizeof signature, stream.get()) != sizeof signature ||
      png_sig_cmp(signature, 0, sizeof signature) != 0) {
    fprintf(stderr, "The file is not PNG\n");
    return;
  }
  std::lock_guard<std::recursive_mutex> hold(layer_lock);
  read_png_into_layer1(stream.get());
}

int play_local_jpg_async() {
  clean_fb1();
  std::lock_guard<std::mutex> hold(slideshow_start_lock);
  if (ImgPlaying == 1 || slideshow_starting) return 0;
  slideshow_starting = true;
  // A stop that comes before the thread has opened its folder clears this, and the thread
  // then does not begin.
  ImgPlaying = slideshow_starts;
  int result = pthread_create(&local_jpg_player, nullptr, play_local_jpg_thread, nullptr);
  if (result == 0) {
    pthread_detach(local_jpg_player);
  } else {
    slideshow_starting = false;
    int32_t starts = slideshow_starts;
    ImgPlaying.compare_exchange_strong(starts, 0);
  }
  return result;
}

void *play_local_jpg_thread(void *) {
  ++slideshow_threads;
  struct Leave {
    ~Leave() { --slideshow_threads; }
  } leave;

  puts("jpg thread start ");
  const std::string folder = root_path(slideshow_folder);
  std::unique_ptr<DIR, DirCloser> dir(folder.empty() ? nullptr : opendir(folder.c_str()));
  uint32_t generation = 0;
  {
    std::lock_guard<std::mutex> hold(slideshow_start_lock);
    // Started by play_local_jpg_async (not called directly): ImgPlaying still says so unless
    // a stop has come since. The check and the change are one step, so no stop is lost.
    const bool started = slideshow_starting;
    slideshow_starting = false;
    int32_t starts = slideshow_starts;
    const bool stopped = started && !ImgPlaying.compare_exchange_strong(starts, dir ? 1 : 0);
    if (!dir) {
      puts("Open dir error... \r");
      return reinterpret_cast<void *>(intptr_t(-1));
    }
    if (stopped) {
      puts("jpg thread stopped before its first picture");
      return reinterpret_cast<void *>(intptr_t(1));
    }
    ImgPlaying = 1;
    generation = ++slideshow_generation;
  }

  int shown = 0;
  bool waited_this_pass = false;
  while (ImgPlaying == 1 && slideshow_generation == generation) {
    const dirent *entry = readdir(dir.get());
    if (entry == nullptr) {
      rewinddir(dir.get());
      if (shown == 0) {
        puts("StartImgPlayer no file exit \r");
        break;
      }
      // Every entry has gone since the last pass: wait rather than spin on an empty folder.
      if (!waited_this_pass) sleep(1);
      waited_this_pass = false;
      continue;
    }
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    if (entry->d_type == DT_REG) {
      char path[256];
      const int needed = snprintf(path, sizeof path, "%s/%s", slideshow_folder, entry->d_name);
      if (needed < 0 || size_t(needed) >= sizeof path) {
        printf("jpg name too long, skipped: %s\n", entry->d_name);
      } else {
        show_jpg_local(path);
        ++shown;
      }
    }
    sleep(1);
    waited_this_pass = true;
  }
  dir.reset();
  puts("jpg thread end");
  return reinterpret_cast<void *>(intptr_t(1));
}

int slideshow_thread_count() { return slideshow_threads; }

bool slideshow_on() {
  // A thread is counted before it takes its start's 2 to 1, so a running one is never missed.
  const int32_t playing = ImgPlaying;
  return playing == slideshow_starts || (playing == 1 && slideshow_threads > 0);
}

void playBootAnnimation() { playXyzAnnimation(); }

void playXyzAnnimation() { show_jpg_local(logo_path); }
