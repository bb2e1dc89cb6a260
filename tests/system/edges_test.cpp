// What the card, a name or a link can put in the daemon's way: FIFOs and devices where a
// file is read, readers that leave, names at the file system's limit, an upload that lost a
// chunk, pictures whose decode costs more than any panel needs, and memory that runs out.
// In each the host must still be served.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <set>
#include <sstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <turbojpeg.h>
#include <unistd.h>

#include "crypto/host_packet.h"
#include "storage/storage.h"
#include "tests/support/target.h"
#include "tests/support/waiting.h"
#include "tests/system/daemon_harness.h"
#include "tests/system/media.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const std::string card_path = "/tmp/sdcard/mmcblk0p1";
const std::string media_dir = std::string(DH_SOURCE_DIR) + "/media";

bool version_served(DaemonUnderTest &daemon) {
  ReplyBytes reply{};
  return daemon.transact(CMD_GET_VERSION, {}, reply) == ReplyCheck::ok &&
         std::string(reinterpret_cast<const char *>(reply.data() + reply_result)) == "morvadq7_0005_0020";
}

// A root removed with the test.
struct Root {
  std::string path = make_temp_root();
  Root() {
    fs::create_directories(path + "/usr/data");
    fs::create_directories(path + "/media");
    fs::create_directories(path + card_path);
  }
  ~Root() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
  void fifo(const std::string &device_path) const {
    fs::create_directories(fs::path(path + device_path).parent_path());
    ASSERT_EQ(mkfifo((path + device_path).c_str(), 0644), 0) << device_path << ": " << strerror(errno);
  }
  bool is_fifo(const std::string &device_path) const {
    struct stat st = {};
    return lstat((path + device_path).c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
  }
};

// A small progressive JPEG (4:2:0), as a photograph made for the web is.
std::vector<uint8_t> progressive_jpeg(int width, int height) {
  std::vector<uint8_t> pixels(size_t(width) * size_t(height) * 3);
  for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = uint8_t(i * 7);
  tjhandle handle = tjInitCompress();
  unsigned char *jpeg = nullptr;
  unsigned long size = 0;
  const int rc = tjCompress2(handle, pixels.data(), width, 0, height, TJPF_RGB, &jpeg, &size, TJSAMP_420, 90,
                             TJFLAG_PROGRESSIVE);
  std::vector<uint8_t> out;
  if (rc == 0) out.assign(jpeg, jpeg + size);
  tjFree(jpeg);
  tjDestroy(handle);
  return out;
}

size_t find_marker(const std::vector<uint8_t> &jpeg, uint8_t marker, bool last = false) {
  size_t found = std::string::npos;
  for (size_t i = 0; i + 1 < jpeg.size(); ++i) {
    if (jpeg[i] == 0xFF && jpeg[i + 1] == marker) {
      found = i;
      if (!last) break;
    }
  }
  return found;
}

// The picture with its frame header claiming another size; its data stays that of the small one.
std::vector<uint8_t> claiming(std::vector<uint8_t> jpeg, uint16_t width, uint16_t height) {
  const size_t sof = find_marker(jpeg, 0xC2);
  if (sof == std::string::npos) return {};
  jpeg[sof + 5] = uint8_t(height >> 8);
  jpeg[sof + 6] = uint8_t(height);
  jpeg[sof + 7] = uint8_t(width >> 8);
  jpeg[sof + 8] = uint8_t(width);
  return jpeg;
}

// The picture with its last scan repeated until it has `scans` of them.
std::vector<uint8_t> with_scans(const std::vector<uint8_t> &jpeg, int scans) {
  const size_t last_scan = find_marker(jpeg, 0xDA, true);
  const size_t end = find_marker(jpeg, 0xD9, true);
  int have = 0;
  for (size_t i = 0; i + 1 < jpeg.size(); ++i) have += jpeg[i] == 0xFF && jpeg[i + 1] == 0xDA;
  std::vector<uint8_t> out(jpeg.begin(), jpeg.begin() + long(end));
  for (; have < scans; ++have) out.insert(out.end(), jpeg.begin() + long(last_scan), jpeg.begin() + long(end));
  out.push_back(0xFF);
  out.push_back(0xD9);
  return out;
}

}  // namespace

// FIFOs at the logo and both settings files: start-up reads none of them, waits on none, and
// opens the host port; the FIFOs stay as they are.
TEST(Edges, FifosAtTheLogoAndTheSettingsFilesDoNotHoldStartUp) {
  Root root;
  for (const char *name : {"/media/logo.jpg", "/usr/data/app.cfg", "/usr/data/lvgl_app.cfg"}) root.fifo(name);
  DaemonUnderTest daemon(HostPort::pty, root.path);  // throws when the port never opens
  EXPECT_TRUE(daemon.wait_for("Failed to open src file: Invalid argument: /media/logo.jpg")) << daemon.output();
  EXPECT_TRUE(daemon.wait_for("ReadConfig open app.cfg err,rebuild")) << daemon.output();
  EXPECT_TRUE(daemon.wait_for("ReadConfig open lvgl app.cfg err,rebuild")) << daemon.output();
  EXPECT_TRUE(version_served(daemon));
  for (const char *name : {"/media/logo.jpg", "/usr/data/app.cfg", "/usr/data/lvgl_app.cfg"}) {
    EXPECT_TRUE(root.is_fifo(name)) << name;
  }
}

// 0x71 naming a FIFO, the controller's port or the host's own port is answered at once and
// reads nothing; 0x6E naming a FIFO or a port (and a FIFO as the theme's background) is
// refused like a missing file, so the player goes on to play what is asked next, and the
// host's packets all reach the command loop.
TEST(Edges, PicturesAndVideosNamedOnFifosOrPortsAreRefusedWithoutWaiting) {
  Root root;
  root.fifo("/media/pictures.jpg");
  root.fifo("/media/bg_h264/0_wave.h264");  // theme 0's background
  root.fifo("/usr/data/clip.h264");
  fs::copy_file(media_dir + "/bg_h264/3_Colorgradient.h264", root.path + "/media/clip.h264");
  DaemonUnderTest daemon(HostPort::pty, root.path);
  EXPECT_TRUE(daemon.wait_for("cannot open /media/bg_h264/0_wave.h264: Invalid argument")) << daemon.output();
  ReplyBytes reply{};

  for (const char *path : {"/media/pictures.jpg", "/dev/ttyS5", "/dev/ttyGS0"}) {
    ASSERT_EQ(daemon.transact(CMD_PLAY_LOCAL_JPG, bytes_of(name_payload(path)), reply), ReplyCheck::ok) << path;
    EXPECT_TRUE(daemon.wait_for(std::string("Failed to open src file: Invalid argument: ") + path)) << path;
  }

  for (const char *path : {"/usr/data/clip.h264", "/dev/ttyGS0", "/dev/ttyS5"}) {
    const int refused_before = daemon.count("open err:1");
    ASSERT_EQ(daemon.transact(CMD_PLAY_LOCAL_H264, bytes_of(name_payload(path)), reply), ReplyCheck::ok) << path;
    EXPECT_TRUE(daemon.wait_for(std::string("cannot open ") + path + ": Invalid argument")) << daemon.output();
    EXPECT_TRUE(daemon.wait_for("open err:1", refused_before + 1)) << daemon.output();
    // Every packet sent meanwhile is answered: none went to a player reading the port.
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(version_served(daemon)) << path << " packet " << i;
  }

  ASSERT_EQ(daemon.transact(CMD_PLAY_LOCAL_H264, bytes_of(name_payload("/media/clip.h264")), reply), ReplyCheck::ok);
  EXPECT_TRUE(daemon.wait_for("play_local_h264 name: /media/clip.h264 ")) << daemon.output();
  EXPECT_TRUE(daemon.wait_for("found 264 file 1")) << daemon.output();
  EXPECT_TRUE(root.is_fifo("/media/pictures.jpg"));
}

// 0x28 into a FIFO whose reader takes a little and leaves: the store fails with the failure
// layout (the write's EPIPE), and the daemon goes on.
TEST(Edges, AStoreIntoAFifoWhoseReaderLeavesFailsAndTheDaemonGoesOn) {
  DaemonUnderTest daemon;
  const std::string fifo = daemon.root() + "/usr/data/pipe";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  // The reader takes the first bytes that come and leaves.
  std::thread leaving([reader] {
    pollfd in{reader, POLLIN, 0};
    if (poll(&in, 1, 10000) == 1) {
      char some[100];
      (void)!read(reader, some, sizeof some);
    }
    close(reader);
  });
  ReplyBytes reply{};
  const std::string data(256 * 1024, 'p');  // more than a pipe holds
  const ReplyCheck answered =
      daemon.transact(CMD_SAVE_SMALL_FILE, bytes_of(name_and_length("/usr/data/pipe", uint32_t(data.size()))),
                      reply, bytes_of(data), 10000);
  leaving.join();
  ASSERT_EQ(answered, ReplyCheck::ok) << daemon.output();
  EXPECT_TRUE(reports_failure(reply));
  EXPECT_TRUE(daemon.wait_for("Broken pipe")) << daemon.output();
  EXPECT_TRUE(daemon.running());
  EXPECT_TRUE(version_served(daemon));
}

// An upload into a FIFO whose reader stalls: the chunk that cannot go out within its 2 s is
// answered as failed, and the upload is spoilt from then on even when the reader comes back,
// so that its last chunk cannot report a stream with a hole as stored.
TEST(Edges, AnUploadIntoAStalledFifoStaysFailedWhenTheReaderComesBack) {
  DaemonUnderTest daemon;
  const std::string fifo = daemon.root() + "/usr/data/pipe";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  auto drain = [reader] {
    std::string got;
    char some[4096];
    for (ssize_t n; (n = read(reader, some, sizeof some)) > 0;) got.append(some, size_t(n));
    return got;
  };
  ReplyBytes reply{};
  ASSERT_EQ(daemon.transact(CMD_CREATE_FILE, bytes_of(name_payload("/usr/data/pipe")), reply), ReplyCheck::ok);
  ASSERT_EQ(reply[reply_result], reply_status_ok);
  const std::string data(256 * 1024, 'p');  // more than a pipe holds
  ASSERT_EQ(daemon.transact(CMD_SAVE_FILE_BUFFER, bytes_of(chunk_payload(uint32_t(data.size()), uint32_t(data.size()), 0)),
                            reply, bytes_of(data), 20000),
            ReplyCheck::ok)
      << daemon.output();
  EXPECT_TRUE(reports_failure(reply));

  EXPECT_LT(drain().size(), data.size());  // the reader comes back
  ASSERT_EQ(daemon.transact(CMD_SAVE_FILE_BUFFER, bytes_of(chunk_payload(3, 3, 1)), reply, bytes_of("end")),
            ReplyCheck::ok);
  EXPECT_TRUE(reports_failure(reply));
  EXPECT_EQ(drain(), "");
  close(reader);
  EXPECT_TRUE(version_served(daemon));
}

// Standard output piped to a logger that leaves once the port is open: the messages after it
// are dropped, and the daemon goes on serving the host.
TEST(Edges, ALoggerThatLeavesCostsOnlyTheMessages) {
  Root root;
  // The logger passes standard output on to the test (through standard error) up to the
  // port's opening, then leaves; the daemon keeps the launcher's process.
  const std::vector<std::string> logger = {
      "bash", "-c",
      "exec > >(while IFS= read -r line; do printf '%s\\n' \"$line\" >&2; "
      "case $line in *'init_tty done!'*) exit 0;; esac; done); exec \"$@\"",
      "logger"};
  DaemonUnderTest daemon(HostPort::pty, root.path, logger);
  ReplyBytes reply{};
  for (int i = 0; i < 5; ++i) {
    // 0x62 prints its lines on standard output.
    ASSERT_EQ(daemon.transact(CMD_GET_FILE_SIZE, bytes_of(name_payload("/usr/data/app.cfg")), reply),
              ReplyCheck::ok)
        << "command " << i << "\n" << daemon.output();
    EXPECT_EQ(read_le32(reply.data() + reply_result), 132u);
  }
  EXPECT_TRUE(version_served(daemon));
  EXPECT_TRUE(daemon.running());
}

// A name of 250 bytes (the file system takes 255) is stored by an upload and by 0x28 and
// listed; a user's files that only resemble the store's temporary names survive a restart and
// are listed.
TEST(Edges, NamesAtTheFileSystemsLimitAreStoredAndLookAlikesAreKept) {
  Root root;
  const std::vector<std::string> look_alikes = {".dh-upload-0123456789abcdef-01234567", ".clip.bin.dh-upload"};
  for (const std::string &name : look_alikes) write_bytes(root.path + card_path + "/" + name, {'u'});
  DaemonUnderTest daemon(HostPort::pty, root.path);
  const std::string long_name(250, 'L');
  const std::string other_name = std::string(246, 'S') + ".jpg";
  ReplyBytes reply{};

  ASSERT_EQ(daemon.transact(CMD_CREATE_FILE, bytes_of(name_payload(card_path + "/" + long_name)), reply),
            ReplyCheck::ok);
  ASSERT_EQ(reply[reply_result], reply_status_ok) << daemon.output();
  const std::string data(5000, 'd');
  ASSERT_EQ(daemon.transact(CMD_SAVE_FILE_BUFFER, bytes_of(chunk_payload(4000, 4000, 0)), reply,
                            bytes_of(data.substr(0, 4000))),
            ReplyCheck::ok);
  EXPECT_FALSE(reports_failure(reply));
  ASSERT_EQ(daemon.transact(CMD_SAVE_FILE_BUFFER, bytes_of(chunk_payload(1000, 1000, 1)), reply,
                            bytes_of(data.substr(4000))),
            ReplyCheck::ok);
  EXPECT_FALSE(reports_failure(reply)) << daemon.output();
  EXPECT_EQ(read_file(root.path + card_path + "/" + long_name), data);

  ASSERT_EQ(daemon.transact(CMD_SAVE_SMALL_FILE,
                            bytes_of(name_and_length("/usr/data/" + other_name, 3)), reply, bytes_of("abc")),
            ReplyCheck::ok);
  EXPECT_FALSE(reports_failure(reply)) << daemon.output();
  EXPECT_EQ(read_file(root.path + "/usr/data/" + other_name), "abc");

  // Only the stored file and the look-alikes are there, and the listing shows them all.
  std::set<std::string> names;
  for (const auto &entry : fs::directory_iterator(root.path + card_path)) names.insert(entry.path().filename());
  std::set<std::string> expected(look_alikes.begin(), look_alikes.end());
  expected.insert(long_name);
  EXPECT_EQ(names, expected);
  std::string listing;
  const std::string payload = name_payload(card_path);
  for (int page = 0; page < 20; ++page) {  // a page comes back bare, without a reply header
    daemon.send(build_packet(CMD_QUERY_DIR, {1, 2, 3, uint8_t(page)}, bytes_of(payload)));
    ASSERT_TRUE(daemon.read_reply(reply, 5000)) << "page " << page;
    listing.append(reinterpret_cast<const char *>(reply.data()), reply.size());
  }
  for (const std::string &name : look_alikes) EXPECT_NE(listing.find(name + "/"), std::string::npos) << name;
  EXPECT_NE(listing.find(long_name + "/"), std::string::npos);
}

// A chunk longer than the receive buffer in the middle of an upload is read off the link and
// lost: it and the last chunk are answered with the failure layout, and the stored file keeps
// what it held.
TEST(Edges, AnUploadThatLostAChunkIsNotPutInPlace) {
  DaemonUnderTest daemon;
  const std::string clip = daemon.root() + card_path + "/clip.bin";
  write_bytes(clip, {'o', 'l', 'd'});
  ReplyBytes reply{};
  ASSERT_EQ(daemon.transact(CMD_CREATE_FILE, bytes_of(name_payload(card_path + "/clip.bin")), reply), ReplyCheck::ok);
  ASSERT_EQ(reply[reply_result], reply_status_ok);
  ASSERT_EQ(daemon.transact(CMD_SAVE_FILE_BUFFER, bytes_of(chunk_payload(4096, 4096, 0)), reply,
                            bytes_of(std::string(4096, '1'))),
            ReplyCheck::ok);
  EXPECT_FALSE(reports_failure(reply));
  const std::string too_long((1 << 20) + 1, '2');
  ASSERT_EQ(daemon.transact(CMD_SAVE_FILE_BUFFER, bytes_of(chunk_payload(uint32_t(too_long.size()), 4096, 0)),
                            reply, bytes_of(too_long), 30000),
            ReplyCheck::ok);
  EXPECT_TRUE(reports_failure(reply));
  ASSERT_EQ(daemon.transact(CMD_SAVE_FILE_BUFFER, bytes_of(chunk_payload(4096, 4096, 1)), reply,
                            bytes_of(std::string(4096, '3'))),
            ReplyCheck::ok);
  EXPECT_TRUE(reports_failure(reply));
  EXPECT_EQ(read_file(clip), "old");
  EXPECT_FALSE(fs::exists(daemon.root() + card_path + "/" + upload_temp_name("clip.bin")));

  // The next upload of the name goes through whole.
  ASSERT_EQ(daemon.transact(CMD_CREATE_FILE, bytes_of(name_payload(card_path + "/clip.bin")), reply), ReplyCheck::ok);
  ASSERT_EQ(daemon.transact(CMD_SAVE_FILE_BUFFER, bytes_of(chunk_payload(3, 3, 1)), reply, bytes_of("new")),
            ReplyCheck::ok);
  EXPECT_FALSE(reports_failure(reply));
  EXPECT_EQ(read_file(clip), "new");
}

// A new upload whose name is refused ends the unfinished one all the same: its chunks, sent
// by a host that took the refusal for a hiccup, must not be appended to the older file.
TEST(Edges, AnUploadRefusedForItsNameEndsTheOneBefore) {
  DaemonUnderTest daemon;
  const std::string clip = daemon.root() + card_path + "/clip.bin";
  write_bytes(clip, {'o', 'l', 'd'});
  ReplyBytes reply{};
  ASSERT_EQ(daemon.transact(CMD_CREATE_FILE, bytes_of(name_payload(card_path + "/clip.bin")), reply), ReplyCheck::ok);
  ASSERT_EQ(reply[reply_result], reply_status_ok);
  ASSERT_EQ(daemon.transact(CMD_SAVE_FILE_BUFFER, bytes_of(chunk_payload(4, 4, 0)), reply, bytes_of("half")),
            ReplyCheck::ok);
  EXPECT_FALSE(reports_failure(reply));

  std::string too_long = name_payload(card_path + "/other.bin");
  write_be32(reinterpret_cast<uint8_t *>(too_long.data()), 481);
  ASSERT_EQ(daemon.transact(CMD_CREATE_FILE, bytes_of(too_long), reply), ReplyCheck::ok);
  EXPECT_NE(reply[reply_result], reply_status_ok);
  ASSERT_EQ(daemon.transact(CMD_SAVE_FILE_BUFFER, bytes_of(chunk_payload(5, 5, 1)), reply, bytes_of("other")),
            ReplyCheck::ok);
  EXPECT_EQ(read_file(clip), "old");
  EXPECT_FALSE(fs::exists(daemon.root() + card_path + "/" + upload_temp_name("clip.bin")));
}

// Pictures whose decode costs more than any panel can use, as the logo, in the slideshow, as
// host frames and named by the host: each is refused before its pixels are decoded, with a
// message that says why, and the host is served.
TEST(Edges, PicturesThatCostMoreThanThePanelAreRefusedBeforeDecoding) {
  Root root;
  const std::vector<uint8_t> small = progressive_jpeg(64, 64);
  ASSERT_FALSE(small.empty());
  write_bytes(root.path + "/media/logo.jpg", claiming(small, 16000, 16000));
  write_bytes(root.path + card_path + "/img/a.jpg", claiming(small, 15000, 15000));
  write_bytes(root.path + "/media/named.jpg", claiming(small, 14000, 14000));
  std::string settings(132, '\0');
  settings[0] = char(128);
  settings[1] = 1;  // the slideshow while the host is attached
  write_bytes(root.path + "/usr/data/app.cfg", std::vector<uint8_t>(settings.begin(), settings.end()));
  DaemonUnderTest daemon(HostPort::pty, root.path);
  const std::string refused = "jpeg picture refused: a ";
  EXPECT_TRUE(daemon.wait_for(refused + "16000x16000 picture is larger than the largest panel")) << daemon.output();
  EXPECT_TRUE(daemon.wait_for(refused + "15000x15000 picture is larger than the largest panel")) << daemon.output();
  ReplyBytes reply{};
  ASSERT_EQ(daemon.transact(CMD_STOP_LOCAL_JPG, {}, reply), ReplyCheck::ok);

  // The host's frames: a progressive 16000x16000 of a few hundred bytes, and 400 scans.
  const std::vector<uint8_t> huge = claiming(small, 16000, 16000);
  const std::vector<uint8_t> many_scans = with_scans(claiming(small, 2000, 2000), 400);
  const int huge_before = daemon.count(refused + "16000x16000");
  for (const std::vector<uint8_t> *frame : {&huge, &many_scans}) {
    uint8_t length[4];
    write_be32(length, uint32_t(frame->size()));
    ASSERT_EQ(daemon.transact(CMD_SHOW_JPG, length, reply, *frame), ReplyCheck::ok);
  }
  EXPECT_TRUE(daemon.wait_for(refused + "16000x16000", huge_before + 1)) << daemon.output();
  EXPECT_TRUE(daemon.wait_for(refused + "2000x2000 picture in 400 scans")) << daemon.output();

  ASSERT_EQ(daemon.transact(CMD_PLAY_LOCAL_JPG, bytes_of(name_payload("/media/named.jpg")), reply), ReplyCheck::ok);
  EXPECT_TRUE(daemon.wait_for(refused + "14000x14000")) << daemon.output();

  // A picture within the bounds is still shown.
  const std::vector<uint8_t> blue = solid_jpeg(320, 240, 0x0000FF);
  uint8_t length[4];
  write_be32(length, uint32_t(blue.size()));
  ASSERT_EQ(daemon.transact(CMD_SHOW_JPG, length, reply, blue), ReplyCheck::ok);
  EXPECT_TRUE(screen_shows(root.path, 0x0000FF, 5s));
}

// With the address space capped below what the daemon uses, what needs new memory (a host
// picture, a local video, the USB monitor's poll) fails or waits with a message; the daemon goes
// on serving the host, and once memory is there again the video plays.
TEST(Edges, MemoryThatRunsOutFailsTheOperationAndTheDaemonGoesOn) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers' allocators end the process when memory runs out, by design";
#endif
  if (!emulator_words().empty()) GTEST_SKIP() << "the emulator's own memory would be capped";
  Root root;
  fs::copy_file(media_dir + "/bg_h264/3_Colorgradient.h264", root.path + "/media/clip.h264");
  // Every block of 64 KiB or more comes from a mapping of its own, never from memory the
  // daemon's heap already holds: under the cap each such allocation fails.
  setenv("MALLOC_MMAP_THRESHOLD_", "65536", 1);
  DaemonUnderTest daemon(HostPort::pty, root.path);
  unsetenv("MALLOC_MMAP_THRESHOLD_");
  ReplyBytes reply{};
  // A player run that ends at once leaves its thread's stack for the next one to reuse.
  ASSERT_EQ(daemon.transact(CMD_PLAY_LOCAL_H264, bytes_of(name_payload("/media/missing.h264")), reply),
            ReplyCheck::ok);
  ASSERT_TRUE(daemon.wait_for("open err:1", 2)) << daemon.output();  // the background's and this one's
  ASSERT_TRUE(wait_until([&] { return daemon.transact(CMD_GET_LOCAL_H264_STATE, {}, reply) == ReplyCheck::ok &&
                                      reply[reply_result] == 0; }, 30s));

  // A picture of noise: its compressed bytes alone are more than the daemon has to spare.
  std::vector<uint8_t> pixels(480 * 480 * 3);
  uint32_t seed = 12345;
  for (auto &p : pixels) p = uint8_t((seed = seed * 1103515245 + 12345) >> 16);
  tjhandle handle = tjInitCompress();
  unsigned char *jpeg = nullptr;
  unsigned long size = 0;
  ASSERT_EQ(tjCompress2(handle, pixels.data(), 480, 0, 480, TJPF_RGB, &jpeg, &size, TJSAMP_444, 100, 0), 0);
  const std::vector<uint8_t> noise(jpeg, jpeg + size);
  tjFree(jpeg);
  tjDestroy(handle);
  ASSERT_LT(noise.size(), size_t(1) << 20);

  // The cap: below what the daemon's address space holds now, so no new mapping is made.
  long vm_kib = 0;
  {
    std::istringstream status(read_file("/proc/" + std::to_string(daemon.pid()) + "/status"));
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("VmSize:", 0) == 0) vm_kib = std::stol(line.substr(7));
    }
  }
  ASSERT_GT(vm_kib, 0);
  rlimit before = {};
  ASSERT_EQ(prlimit(daemon.pid(), RLIMIT_AS, nullptr, &before), 0) << strerror(errno);
  rlimit capped = {rlim_t(vm_kib) * 1024 / 2, before.rlim_max};
  ASSERT_EQ(prlimit(daemon.pid(), RLIMIT_AS, &capped, nullptr), 0) << strerror(errno);

  uint8_t length[4];
  write_be32(length, uint32_t(noise.size()));
  EXPECT_EQ(daemon.transact(CMD_SHOW_JPG, length, reply, noise), ReplyCheck::ok) << daemon.output();
  EXPECT_EQ(daemon.transact(CMD_PLAY_LOCAL_H264, bytes_of(name_payload("/media/clip.h264")), reply), ReplyCheck::ok);
  // The USB monitor's polls need memory too: they are skipped, with a message, while it lacks.
  EXPECT_TRUE(daemon.wait_for("out of memory")) << daemon.output();
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(version_served(daemon)) << daemon.output();
  ASSERT_TRUE(daemon.running()) << daemon.output();

  // Memory back: the picture and the video work.
  ASSERT_EQ(prlimit(daemon.pid(), RLIMIT_AS, &before, nullptr), 0) << strerror(errno);
  ASSERT_TRUE(wait_until([&] { return daemon.transact(CMD_GET_LOCAL_H264_STATE, {}, reply) == ReplyCheck::ok &&
                                      reply[reply_result] == 0; }, 30s))
      << daemon.output();
  const int found_before = daemon.count("found 264 file 1");
  ASSERT_EQ(daemon.transact(CMD_PLAY_LOCAL_H264, bytes_of(name_payload("/media/clip.h264")), reply), ReplyCheck::ok);
  EXPECT_TRUE(daemon.wait_for("found 264 file 1", found_before + 1)) << daemon.output();
  EXPECT_TRUE(daemon.running());
}
