// dh_bench_floor: the least each measured path needs, as a program of its own, so that its CPU
// time is taken the same way as the daemon's. Each mode does its work once and then writes one
// line to descriptor 3: "ready" once loaded (a peer may start then), then "CPU_SECONDS WALL_SECONDS COUNT", the process's CPU time over the work
// alone (setup left out), the wall time of it and what it counted (pictures, entries, files).
// The start-up mode reports the CPU time since exec instead, as the daemon's start-up is taken.
//
//   link ROUNDS REQUEST CODE         on descriptor 0 (a raw pty): read REQUEST bytes, decipher
//                                    the first 504, answer 512 bytes carrying CODE, drain
//   upload ROUNDS REQUEST CODE FILE  the same, and write the rest of each request into FILE,
//                                    synced to disk chunk by chunk as a stored upload must be
//   h264 FILE                        decode the stream with libavcodec alone, one thread
//   jpeg FILE COUNT                  decode the picture COUNT times with libturbojpeg alone
//   startup LOGO                     the pauses the start-up must make, then one logo decode
//   readdir DIR                      read every entry of the directory
//   unlink DIR                       remove every regular file below DIR, keeping the folders
//   picture FRAMES FILE              on descriptor 0: read FRAMES frames of 224 bytes, keep the
//                                    220 data bytes of each, then store FILE and decode it
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "bench/h264_packets.h"
#include "crypto/crypto.h"
#include "tools/host_client.h"

namespace {

constexpr int report_fd = 3;
constexpr size_t packet_len = 512;
constexpr size_t enciphered_len = 504;
constexpr uint8_t reply_ok = 0xC8;

double cpu_now() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

double wall_now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

bool read_exact(int fd, uint8_t *buffer, size_t count) {
  size_t done = 0;
  while (done < count) {
    ssize_t n = read(fd, buffer + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

bool write_all(int fd, const uint8_t *bytes, size_t count) {
  size_t done = 0;
  while (done < count) {
    ssize_t n = write(fd, bytes + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

std::vector<uint8_t> file_bytes(const char *path) {
  std::vector<uint8_t> bytes;
  FILE *in = fopen(path, "rb");
  if (in == nullptr) return bytes;
  uint8_t piece[65536];
  size_t got = 0;
  while ((got = fread(piece, 1, sizeof piece, in)) > 0) bytes.insert(bytes.end(), piece, piece + got);
  fclose(in);
  return bytes;
}

// The packet exchange, with the block of each request stored into `store_fd` when it is open.
long exchange(int rounds, size_t request_len, uint8_t code, int store_fd, double &cpu_start,
              double &wall_start) {
  std::vector<uint8_t> request(request_len);
  uint8_t reply[packet_len] = {code, reply_ok};
  // Warm, as the long-running daemon is: the cipher's code and the buffers touched once.
  const PacketBytes warm = build_packet(code, {'w', 'a', 'r', 'm'}, {});
  for (int i = 0; i < 20; ++i) free(des_decrypt(warm.data(), enciphered_len));
  cpu_start = cpu_now();
  wall_start = wall_now();
  for (int i = 0; i < rounds; ++i) {
    if (!read_exact(0, request.data(), request.size())) return -1;
    free(des_decrypt(request.data(), int(enciphered_len)));
    if (store_fd >= 0 && request_len > packet_len) {
      if (!write_all(store_fd, request.data() + packet_len, request_len - packet_len)) return -1;
      if (fsync(store_fd) != 0) return -1;
    }
    if (!write_all(0, reply, sizeof reply) || tcdrain(0) != 0) return -1;
  }
  return rounds;
}

long decode_h264(const char *path, double &cpu_start, double &wall_start) {
  const std::vector<uint8_t> stream = file_bytes(path);
  if (stream.empty()) return -1;
  // Cut into packets before the measured part: the daemon's own splitter is measured with it,
  // but a floor needs only the decode.
  std::vector<AVPacket *> packets = parse_packets(stream);

  cpu_start = cpu_now();
  wall_start = wall_now();
  AVCodecContext *context = avcodec_alloc_context3(avcodec_find_decoder(AV_CODEC_ID_H264));
  context->thread_count = 1;
  if (avcodec_open2(context, context->codec, nullptr) < 0) return -1;
  AVFrame *frame = av_frame_alloc();
  long frames = 0;
  auto drain = [&] {
    while (avcodec_receive_frame(context, frame) == 0) {
      ++frames;
      av_frame_unref(frame);
    }
  };
  for (AVPacket *packet : packets) {
    avcodec_send_packet(context, packet);
    drain();
  }
  avcodec_send_packet(context, nullptr);
  drain();
  av_frame_free(&frame);
  avcodec_free_context(&context);
  for (AVPacket *packet : packets) av_packet_free(&packet);
  return frames;
}

// Decodes a JPEG `count` times into 32-bit pixels of its own size.
long decode_jpeg(const std::vector<uint8_t> &jpeg, int count) {
  tjhandle handle = tjInitDecompress();
  int width = 0, height = 0, subsampling = 0, colours = 0;
  if (tjDecompressHeader3(handle, jpeg.data(), jpeg.size(), &width, &height, &subsampling,
                          &colours) != 0) {
    tjDestroy(handle);
    return -1;
  }
  std::vector<uint8_t> pixels(size_t(width) * size_t(height) * 4);
  long done = 0;
  for (int i = 0; i < count; ++i) {
    if (tjDecompress2(handle, jpeg.data(), jpeg.size(), pixels.data(), width, 0, height, TJPF_BGRA, 0) != 0) {
      break;
    }
    ++done;
  }
  tjDestroy(handle);
  return done == count ? done : -1;
}

long read_directory(const char *path) {
  DIR *dir = opendir(path);
  if (dir == nullptr) return -1;
  long entries = 0;
  while (readdir(dir) != nullptr) ++entries;
  closedir(dir);
  return entries;
}

long unlink_tree(const std::string &path) {
  DIR *dir = opendir(path.c_str());
  if (dir == nullptr) return -1;
  long removed = 0;
  while (dirent *entry = readdir(dir)) {
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    const std::string child = path + "/" + entry->d_name;
    struct stat info {};
    if (lstat(child.c_str(), &info) != 0) continue;
    if (S_ISDIR(info.st_mode)) {
      long below = unlink_tree(child);
      if (below > 0) removed += below;
    } else if (S_ISREG(info.st_mode) && unlink(child.c_str()) == 0) {
      ++removed;
    }
  }
  closedir(dir);
  return removed;
}

long receive_picture(int frames, const char *path) {
  std::vector<uint8_t> picture;
  uint8_t frame[224];
  for (int i = 0; i < frames; ++i) {
    if (!read_exact(0, frame, sizeof frame)) return -1;
    picture.insert(picture.end(), frame + 4, frame + 224);
  }
  FILE *out = fopen(path, "w+");
  if (out == nullptr) return -1;
  fwrite(picture.data(), 1, picture.size(), out);
  fclose(out);
  return decode_jpeg(file_bytes(path), 1);
}

}  // namespace

int main(int argc, char **argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  dprintf(report_fd, "ready\n");
  double cpu_start = cpu_now(), wall_start = wall_now();
  long count = -1;
  if (mode == "link" && argc == 5) {
    count = exchange(atoi(argv[2]), size_t(atol(argv[3])), uint8_t(atoi(argv[4])), -1, cpu_start,
                     wall_start);
  } else if (mode == "upload" && argc == 6) {
    int store = open(argv[5], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (store >= 0) {
      count = exchange(atoi(argv[2]), size_t(atol(argv[3])), uint8_t(atoi(argv[4])), store,
                       cpu_start, wall_start);
      close(store);
    }
  } else if (mode == "h264" && argc == 3) {
    count = decode_h264(argv[2], cpu_start, wall_start);
  } else if (mode == "jpeg" && argc == 4) {
    const std::vector<uint8_t> jpeg = file_bytes(argv[2]);
    cpu_start = cpu_now();
    wall_start = wall_now();
    count = jpeg.empty() ? -1 : decode_jpeg(jpeg, atoi(argv[3]));
  } else if (mode == "startup" && argc == 3) {
    // The rotation lets the display settle 50 ms and the host port's set-up lets the line
    // settle 50 ms; both are on the way to the open port.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const std::vector<uint8_t> logo = file_bytes(argv[2]);
    count = logo.empty() ? -1 : decode_jpeg(logo, 1);
    cpu_start = 0;  // the whole life of the process, as the daemon's start-up is taken
  } else if (mode == "readdir" && argc == 3) {
    count = read_directory(argv[2]);
  } else if (mode == "unlink" && argc == 3) {
    count = unlink_tree(argv[2]);
  } else if (mode == "picture" && argc == 4) {
    count = receive_picture(atoi(argv[2]), argv[3]);
  } else {
    fputs("usage: dh_bench_floor link|upload|h264|jpeg|startup|readdir|unlink|picture ARGS...\n",
          stderr);
    return 2;
  }
  if (count < 0) {
    fprintf(stderr, "dh_bench_floor %s: failed\n", mode.c_str());
    return 1;
  }
  dprintf(report_fd, "%.9f %.9f %ld\n", cpu_now() - cpu_start, wall_now() - wall_start, count);
  return 0;
}
