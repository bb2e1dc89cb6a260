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
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "app/host_packet.h"
#include "storage/storage.h"
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
