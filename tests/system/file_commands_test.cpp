// The file commands and the settings, through the host link of the real daemon.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>

#include "crypto/host_packet.h"
#include "storage/storage.h"
#include "tests/system/daemon_harness.h"

namespace fs = std::filesystem;

namespace {

bool all_zero(const ReplyBytes &reply, size_t from) {
  for (size_t i = from; i < reply.size(); ++i) {
    if (reply[i] != 0) return false;
  }
  return true;
}

void write_file(const std::string &path, const std::string &content) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

}  // namespace

TEST(FileCommands, FirstStartWritesTheSettingsFilesAndMarkers) {
  DaemonUnderTest daemon;
  std::string data = daemon.root() + "/usr/data/";
  std::string app_cfg = read_file(data + "app.cfg");
  std::string expected(132, '\0');
  expected[0] = char(0x80);
  memcpy(expected.data() + 6, "file://test", 12);
  EXPECT_EQ(app_cfg, expected);
  EXPECT_EQ(read_file(data + "lvgl_app.cfg"), std::string(16, '\0'));
  EXPECT_EQ(read_file(data + "version"), std::string("1.1\0", 4));
  EXPECT_TRUE(fs::exists(data + "boot.sign"));
  EXPECT_EQ(fs::file_size(data + "boot.sign"), 0u);
  std::string out = daemon.output();
  EXPECT_NE(out.find("ReadConfig open app.cfg err,rebuild"), std::string::npos) << out;
  EXPECT_NE(out.find("ReadConfig open lvgl app.cfg err,rebuild"), std::string::npos) << out;
}

TEST(FileCommands, StoredSettingsSurviveARestart) {
  std::string root = make_temp_root();
  {
    DaemonUnderTest daemon(HostPort::pty, root);
    const uint8_t settings[] = {0x64, 0x02, 0x00, 0x01, 0x00, 0x01};
    ReplyBytes reply{};
    ASSERT_EQ(daemon.transact(CMD_SET_CONFIG, settings, reply), ReplyCheck::ok);
    EXPECT_TRUE(all_zero(reply, 6));
    EXPECT_TRUE(daemon.wait_for("SaveConfig success | local_rotation:1"));
  }
  write_file(root + "/usr/data/lvgl_app.cfg", std::string(1, '\x05') + std::string(15, '\0'));
  {
    DaemonUnderTest daemon(HostPort::pty, root);
    EXPECT_TRUE(daemon.wait_for("ReadConfig bright:100 mode:2  local_rotation:1 ")) << daemon.output();
    EXPECT_TRUE(daemon.wait_for("ReadConfig theme index: 5 ")) << daemon.output();
    std::string app_cfg = read_file(root + "/usr/data/app.cfg");
    ASSERT_EQ(app_cfg.size(), 132u);
    EXPECT_EQ(app_cfg.substr(0, 6), std::string("\x64\x02\x00\x01\x00\x01", 6));
  }
  fs::remove_all(root);
}

TEST(FileCommands, UploadInChunksAndItsEdges) {
  DaemonUnderTest daemon;
  std::string remote = "/tmp/sdcard/mmcblk0p1/clip.bin";
  fs::create_directories(daemon.root() + "/tmp/sdcard/mmcblk0p1");
  ReplyBytes reply{};

  // A chunk with no upload open is taken off the port and dropped.
  std::string stray(3000, 's');
  ASSERT_EQ(daemon.transact(CMD_SAVE_FILE_BUFFER, bytes_of(chunk_payload(3000, 3000, 0)), reply, bytes_of(stray)),
            ReplyCheck::ok);
  EXPECT_TRUE(daemon.wait_for("no upload open"));

  ASSERT_EQ(daemon.transact(CMD_CREATE_FILE, bytes_of(name_payload(remote)), reply), ReplyCheck::ok);
  EXPECT_EQ(reply[8], 0xC8);
  std::string first(4096, 'a'), second(1000, 'b');
  ASSERT_EQ(daemon.transact(CMD_SAVE_FILE_BUFFER, bytes_of(chunk_payload(4096, 4096, 0)), reply, bytes_of(first)),
            ReplyCheck::ok);
  // On the card after each chunk, under a hidden temporary name until the last one.
  const std::string temp = daemon.root() + "/tmp/sdcard/mmcblk0p1/" + upload_temp_name("clip.bin");
  EXPECT_EQ(read_file(temp), first);
  EXPECT_FALSE(fs::exists(daemon.root() + remote));

  // A new upload while this one is open discards it: nothing of it is put in place.
  std::string other = "/tmp/sdcard/mmcblk0p1/other.bin";
  ASSERT_EQ(daemon.transact(CMD_CREATE_FILE, bytes_of(name_payload(other)), reply), ReplyCheck::ok);
  ASSERT_EQ(daemon.transact(CMD_SAVE_FILE_BUFFER, bytes_of(chunk_payload(1000, 1000, 1)), reply, bytes_of(second)),
            ReplyCheck::ok);
  EXPECT_FALSE(fs::exists(daemon.root() + remote));
  EXPECT_FALSE(fs::exists(temp));
  EXPECT_EQ(read_file(daemon.root() + other), second);
  EXPECT_TRUE(daemon.wait_for("close file"));  // the daemon prints before it replies, but the
  EXPECT_EQ(daemon.count("close file"), 1);     // printed text may reach us after the reply

  // After the last chunk no upload is open.
  ASSERT_EQ(daemon.transact(CMD_SAVE_FILE_BUFFER, bytes_of(chunk_payload(10, 10, 1)), reply, bytes_of(std::string(10, 'x'))),
            ReplyCheck::ok);
  EXPECT_EQ(read_file(daemon.root() + other), second);

  // A file in a directory that does not exist: the failure layout.
  ASSERT_EQ(daemon.transact(CMD_CREATE_FILE, bytes_of(name_payload("/no/such/dir/f")), reply), ReplyCheck::ok);
  const uint8_t failed[] = {0x5F, 0x66, 0x61, 0x69, 0x6C, 0x65, 0x64, 0x00};
  EXPECT_EQ(0, memcmp(reply.data() + 6, failed, 8));
  EXPECT_EQ(reply[8], 0x61);
}

TEST(FileCommands, SizeStorageAndDeletion) {
  DaemonUnderTest daemon;
  std::string card = daemon.root() + "/tmp/sdcard/mmcblk0p1";
  write_file(card + "/a/b/c.jpg", std::string(70000, 'c'));
  write_file(card + "/a/d.jpg", "d");
  ReplyBytes reply{};

  ASSERT_EQ(daemon.transact(CMD_GET_FILE_SIZE, bytes_of(name_payload("/tmp/sdcard/mmcblk0p1/a/b/c.jpg")), reply),
            ReplyCheck::ok);
  const uint8_t size_70000[] = {0x70, 0x11, 0x01, 0x00};
  EXPECT_EQ(0, memcmp(reply.data() + 8, size_70000, 4));
  ASSERT_EQ(daemon.transact(CMD_GET_FILE_SIZE, bytes_of(name_payload("/tmp/sdcard/mmcblk0p1/none")), reply),
            ReplyCheck::ok);
  EXPECT_TRUE(all_zero(reply, 6));

  ASSERT_EQ(daemon.transact(CMD_QUERY_STORAGE, {}, reply), ReplyCheck::ok);
  uint32_t total = read_le32(reply.data() + 8), used = read_le32(reply.data() + 12),
           avail = read_le32(reply.data() + 16);
  EXPECT_GT(total, 0u);
  EXPECT_EQ(used, total - avail);
  EXPECT_TRUE(all_zero(reply, 20));

  ASSERT_EQ(daemon.transact(CMD_DELETE_FILE, bytes_of(name_payload("/tmp/sdcard/mmcblk0p1/a")), reply), ReplyCheck::ok);
  EXPECT_TRUE(fs::is_directory(card + "/a/b"));
  EXPECT_FALSE(fs::exists(card + "/a/b/c.jpg"));
  EXPECT_FALSE(fs::exists(card + "/a/d.jpg"));

  // Climbing out of the root reaches only the root's own files.
  write_file(daemon.root() + "/etc/keep", "keep");
  ASSERT_EQ(daemon.transact(CMD_DELETE_FILE, bytes_of(name_payload("/tmp/../../../../etc/keep")), reply),
            ReplyCheck::ok);
  EXPECT_FALSE(fs::exists(daemon.root() + "/etc/keep"));

  // An empty name names nothing, as on the device: it does not stand for the root.
  write_file(card + "/e.jpg", "e");
  ASSERT_EQ(daemon.transact(CMD_DELETE_FILE, bytes_of(name_payload("")), reply), ReplyCheck::ok);
  EXPECT_TRUE(fs::exists(card + "/e.jpg"));
  EXPECT_TRUE(fs::exists(daemon.root() + "/usr/data/app.cfg"));
}

TEST(FileCommands, ListingComesInTwentyPagesAndTheTwentyFirstReadsAfresh) {
  DaemonUnderTest daemon;
  std::string card = daemon.root() + "/tmp/sdcard/mmcblk0p1";
  write_file(card + "/DCIM/x", "");
  write_file(card + "/a.jpg", "");
  std::string payload = name_payload("/tmp/sdcard/mmcblk0p1");

  std::string text;
  for (int page = 0; page < 20; ++page) {
    daemon.send(build_packet(CMD_QUERY_DIR, {1, 2, 3, uint8_t(page)}, bytes_of(payload)));
    ReplyBytes reply{};
    ASSERT_TRUE(daemon.read_reply(reply, 3000)) << "page " << page;
    text.append(reinterpret_cast<const char *>(reply.data()), reply.size());
  }
  EXPECT_EQ(text.size(), 10240u);
  EXPECT_EQ(std::string(text.c_str()), "result:dir:DCIM/file:a.jpg/");
  EXPECT_EQ(text.find_first_not_of('\0', strlen(text.c_str())), std::string::npos);

  write_file(card + "/b.jpg", "");
  daemon.send(build_packet(CMD_QUERY_DIR, {1, 2, 3, 21}, bytes_of(payload)));
  ReplyBytes reply{};
  ASSERT_TRUE(daemon.read_reply(reply, 3000));
  std::string fresh(reinterpret_cast<const char *>(reply.data()));
  EXPECT_NE(fresh.find("b.jpg/"), std::string::npos) << fresh;
  EXPECT_TRUE(daemon.wait_for("querry name: /tmp/sdcard/mmcblk0p1 ", 2));
  EXPECT_EQ(daemon.count("querry name: /tmp/sdcard/mmcblk0p1 "), 2);
}

TEST(FileCommands, RefusedNamesAndBlocksKeepTheLinkAligned) {
  DaemonUnderTest daemon;
  std::string card = daemon.root() + "/tmp/sdcard/mmcblk0p1";
  write_file(card + "/keep.jpg", "keep");
  ReplyBytes reply{};

  // A name longer than 480 bytes: no action, an all-zero result.
  std::string payload = name_payload("/tmp/sdcard/mmcblk0p1/keep.jpg");
  write_be32(reinterpret_cast<uint8_t *>(payload.data()), 481);
  ASSERT_EQ(daemon.transact(CMD_DELETE_FILE, bytes_of(payload), reply), ReplyCheck::ok);
  EXPECT_TRUE(all_zero(reply, 6));
  EXPECT_TRUE(fs::exists(card + "/keep.jpg"));
  ASSERT_EQ(daemon.transact(CMD_GET_FILE_SIZE, bytes_of(payload), reply), ReplyCheck::ok);
  EXPECT_TRUE(all_zero(reply, 6));

  // A block longer than r_buf: read off the port and dropped, nothing written.
  std::string big(size_t(max_packet_len) + 4000, 'z');
  ASSERT_EQ(daemon.transact(CMD_SAVE_SMALL_FILE,
                            bytes_of(name_and_length("/tmp/sdcard/mmcblk0p1/big.bin", uint32_t(big.size()))),
                            reply, bytes_of(big), 20000),
            ReplyCheck::ok);
  EXPECT_TRUE(all_zero(reply, 6));
  EXPECT_FALSE(fs::exists(card + "/big.bin"));

  // A small file with a refused name still has its block taken off the port.
  std::string bad_name = name_and_length("/tmp/sdcard/mmcblk0p1/x.bin", 700);
  write_be32(reinterpret_cast<uint8_t *>(bad_name.data()), 100000);
  ASSERT_EQ(daemon.transact(CMD_SAVE_SMALL_FILE, bytes_of(bad_name), reply, bytes_of(std::string(700, 'q'))),
            ReplyCheck::ok);

  // The link is still aligned: a small file arrives whole.
  ASSERT_EQ(daemon.transact(CMD_SAVE_SMALL_FILE, bytes_of(name_and_length("/tmp/sdcard/mmcblk0p1/s.txt", 5)),
                            reply, bytes_of(std::string("hello"))),
            ReplyCheck::ok);
  EXPECT_EQ(read_file(card + "/s.txt"), "hello");
}

TEST(FileCommands, ABlockThatStopsComingWritesNothingAndTheNextSessionIsServed) {
  DaemonUnderTest daemon;
  std::string card = daemon.root() + "/tmp/sdcard/mmcblk0p1";
  fs::create_directories(card);
  daemon.send(build_packet(CMD_SAVE_SMALL_FILE, {7, 7, 7, 7},
                           bytes_of(name_and_length("/tmp/sdcard/mmcblk0p1/cut.bin", 4096))));
  daemon.send(bytes_of(std::string(100, 'c')));
  EXPECT_TRUE(daemon.silent_for(2500));  // no reply to an abandoned command
  ASSERT_TRUE(daemon.wait_for("init_tty done!", 2, 3000)) << daemon.output();
  EXPECT_FALSE(fs::exists(card + "/cut.bin"));

  ReplyBytes reply{};
  ASSERT_EQ(daemon.transact(CMD_GET_VERSION, {}, reply), ReplyCheck::ok);
}

TEST(FileCommands, DeviceImageCommandsRunOnlyFromTheSandbox) {
  DaemonUnderTest daemon;
  ReplyBytes reply{};
  ASSERT_EQ(daemon.transact(CMD_REBOOT, {}, reply), ReplyCheck::ok);
  EXPECT_TRUE(daemon.wait_for("reboot: not in the sandbox root's sbin, not run"));

  std::string halt = daemon.root() + "/sbin/halt";
  write_file(halt, "#!/bin/sh\ntouch \"$(dirname \"$0\")/halted\"\n");
  chmod(halt.c_str(), 0755);
  ASSERT_EQ(daemon.transact(CMD_HALT, {}, reply), ReplyCheck::ok);
  EXPECT_TRUE(fs::exists(daemon.root() + "/sbin/halted"));  // done before the reply

  ASSERT_EQ(daemon.transact(CMD_MARK_USB_DISPLAY, {}, reply), ReplyCheck::ok);
  EXPECT_TRUE(fs::exists(daemon.root() + "/usr/data/usb_display"));
}
