// The settings files: first start, what a save leaves in an older or longer file, short and
// odd files on load, the theme index's range, the version marker.
#include "storage/util.h"
#include "storage/version.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "tests/storage/sandbox.h"

namespace {

using namespace std::string_literals;

const std::string app_cfg = "/usr/data/app.cfg";
const std::string lvgl_cfg_file = "/usr/data/lvgl_app.cfg";

// Each case starts from the program image's records and an empty /usr/data.
class Settings : public testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::remove_all(under_root("/usr/data"));
    std::filesystem::create_directories(under_root("/usr/data"));
    cfg = AppConfig{0, 0, 0, 0, 0, 0, {}, 132};
    lvgl_cfg = GuiConfig{0, 13, 16};
  }
};
using SettingsTheme = Settings;
using SettingsVersion = Settings;

// 132 stored bytes: six fields, then 126 bytes of path.
std::string app_cfg_image(const std::string &fields, const std::string &path_bytes) {
  std::string image = fields + path_bytes;
  image.resize(132, '\0');
  return image;
}

TEST_F(Settings, FirstStartRebuildsAndSavesTheDefaults) {
  int result = -1;
  std::string out = stdout_of([&] { result = ReadConfig(); });
  EXPECT_EQ(result, 1);
  EXPECT_EQ(out, "ReadConfig open app.cfg err,rebuild"
                 "SaveConfig success | local_rotation:0\n");
  EXPECT_EQ(read_file(app_cfg), app_cfg_image("\x80\0\0\0\0\0"s, "file://test\0"s));
  EXPECT_EQ(cfg.brightness, 128);
  EXPECT_STREQ(cfg.local_path, "file://test");
  EXPECT_EQ(cfg.size, 132);

  // The next start loads what was saved.
  cfg.brightness = 0;
  out = stdout_of([&] { result = ReadConfig(); });
  EXPECT_EQ(result, 0);
  EXPECT_EQ(out, "ReadConfig bright:128 mode:0  local_rotation:0 \n");
  EXPECT_EQ(cfg.brightness, 128);
}

TEST_F(Settings, RebuildKeepsKeepOnAndThePathTail) {
  cfg.keep_on = 1;
  memset(cfg.local_path, 'q', 20);
  stdout_of([] { ReadConfig(); });
  EXPECT_EQ(cfg.keep_on, 1);
  EXPECT_EQ(std::string(cfg.local_path, 20), "file://test\0qqqqqqqq"s);
  EXPECT_EQ(read_file(app_cfg).substr(5, 21), "\1file://test\0qqqqqqqq"s);
}

TEST_F(Settings, SaveWritesTheRecordAndKeepsALongerFilesTail) {
  std::string old(200, '\0');
  for (size_t i = 0; i < old.size(); ++i) old[i] = static_cast<char>(i * 7 + 1);
  write_file(app_cfg, old);
  cfg = AppConfig{10, 2, 0, 1, 0, 1, "/media/v.h264", 132};

  EXPECT_EQ(stdout_of(SaveConfig), "SaveConfig success | local_rotation:1\n");
  const std::string saved = read_file(app_cfg);
  ASSERT_EQ(saved.size(), 200u);
  EXPECT_EQ(saved.substr(0, 132), app_cfg_image("\x0a\x02\x00\x01\x00\x01"s, "/media/v.h264"));
  EXPECT_EQ(saved.substr(132), old.substr(132));
}

TEST_F(Settings, SaveWithoutTheDirectoryReportsAndCreatesNothing) {
  std::filesystem::remove_all(under_root("/usr/data"));
  EXPECT_EQ(stdout_of(SaveConfig), "SaveConfig open app.cfg err");
  int result = -1;
  EXPECT_EQ(stdout_of([&] { result = ReadConfig(); }),
            "ReadConfig open app.cfg err,rebuildSaveConfig open app.cfg err");
  EXPECT_EQ(result, 1);
  EXPECT_FALSE(exists(app_cfg));
}

TEST_F(Settings, SavesTheDiskRefusesAreNotReportedAsSuccesses) {
  // The disk takes no file past 100 bytes: both records are cut short.
  lvgl_cfg.file_size = 200;
  std::string out, err;
  with_file_size_limit(100, [&] {
    err = stderr_of([&] { out = stdout_of([] { SaveConfig(); SaveLVGLConfig(); }); });
  });
  EXPECT_EQ(out, "");
  EXPECT_EQ(err, "\n/usr/data/app.cfg not stored: File too large\n"
                 "\n/usr/data/lvgl_app.cfg not stored: File too large\n");
}

TEST_F(Settings, ShortFileReplacesOnlyTheBytesItHolds) {
  cfg = AppConfig{7, 7, 7, 7, 7, 7, "/media/kept.h264", 132};
  write_file(app_cfg, "\x01\x02\x03"s);
  EXPECT_EQ(stdout_of(ReadConfig), "ReadConfig bright:1 mode:2  local_rotation:7 \n");
  EXPECT_EQ(cfg.aux2, 3);
  EXPECT_EQ(cfg.aux4, 7);
  EXPECT_STREQ(cfg.local_path, "/media/kept.h264");
  EXPECT_EQ(cfg.size, 132);

  write_file(app_cfg, "");
  EXPECT_EQ(ReadConfig(), 0);
  EXPECT_EQ(cfg.brightness, 1);
  EXPECT_STREQ(cfg.local_path, "/media/kept.h264");
}

TEST_F(Settings, LongFileNeverReachesSize) {
  write_file(app_cfg, std::string(300, '\x7f'));
  stdout_of(ReadConfig);
  EXPECT_EQ(cfg.size, 132);
  EXPECT_EQ(cfg.brightness, 0x7f);
}

TEST_F(Settings, LoadedPathIsAlwaysTerminated) {
  // A stored path without its end, over a record whose unstored bytes hold text too.
  memset(cfg.local_path, 'y', sizeof cfg.local_path);
  write_file(app_cfg, app_cfg_image("\0\0\0\0\0\0"s, std::string(126, 'x')));
  stdout_of(ReadConfig);
  ASSERT_NE(memchr(cfg.local_path, '\0', sizeof cfg.local_path), nullptr);
  EXPECT_EQ(std::string(cfg.local_path).substr(0, 126), std::string(126, 'x'));

  // From the program image's zeros, the 126 stored characters come back whole.
  cfg = AppConfig{0, 0, 0, 0, 0, 0, {}, 132};
  stdout_of(ReadConfig);
  EXPECT_EQ(std::string(cfg.local_path), std::string(126, 'x'));
}

TEST_F(SettingsTheme, MissingFileIsRebuiltWithThemeZero) {
  lvgl_cfg.theme_index = 4;
  int result = -1;
  EXPECT_EQ(stdout_of([&] { result = ReadLVGLConfig(); }),
            "ReadConfig open lvgl app.cfg err,rebuildSaveConfig success \n");
  EXPECT_EQ(result, 1);
  EXPECT_EQ(lvgl_cfg.theme_index, 0);
  EXPECT_EQ(read_file(lvgl_cfg_file), std::string(16, '\0'));
}

TEST_F(SettingsTheme, StoredIndexLoadsAndOnlyByteZeroCounts) {
  write_file(lvgl_cfg_file, "\x05\x01\x02\x03"s + std::string(12, '\x09'));
  int result = -1;
  EXPECT_EQ(stdout_of([&] { result = ReadLVGLConfig(); }), "ReadConfig theme index: 5 \n");
  EXPECT_EQ(result, 0);
  EXPECT_EQ(lvgl_cfg.theme_index, 5);
  EXPECT_EQ(lvgl_cfg.theme_count, 13);
  EXPECT_EQ(lvgl_cfg.file_size, 16);
}

TEST_F(SettingsTheme, IndexOutsideTheThemesLoadsAsZero) {
  for (int stored : {12, 13, 200, 255}) {
    SCOPED_TRACE(stored);
    write_file(lvgl_cfg_file, std::string(1, static_cast<char>(stored)) + std::string(15, '\0'));
    const std::string out = stdout_of(ReadLVGLConfig);
    const int expected = stored < 13 ? stored : 0;
    EXPECT_EQ(lvgl_cfg.theme_index, expected);
    EXPECT_NE(out.find("ReadConfig theme index: " + std::to_string(expected) + " \n"),
              std::string::npos);
    EXPECT_EQ(out.find("out of range") != std::string::npos, stored >= 13) << out;
  }
}

TEST_F(SettingsTheme, EmptyFileKeepsTheCurrentIndex) {
  lvgl_cfg.theme_index = 3;
  write_file(lvgl_cfg_file, "");
  EXPECT_EQ(ReadLVGLConfig(), 0);
  EXPECT_EQ(lvgl_cfg.theme_index, 3);
}

TEST_F(SettingsTheme, SaveRewritesTheFirstSixteenBytesOnly) {
  write_file(lvgl_cfg_file, std::string(20, '\x55'));
  lvgl_cfg.theme_index = 9;
  EXPECT_EQ(stdout_of(SaveLVGLConfig), "SaveConfig success \n");
  EXPECT_EQ(read_file(lvgl_cfg_file), "\x09"s + std::string(15, '\0') + std::string(4, '\x55'));

  std::filesystem::remove_all(under_root("/usr/data"));
  EXPECT_EQ(stdout_of(SaveLVGLConfig), "SaveConfig open app.cfg err");
}

TEST_F(SettingsVersion, MarkerIsFourBytesAndOverwritesInPlace) {
  EXPECT_EQ(stdout_of(setVersion), "");
  EXPECT_EQ(read_file("/usr/data/version"), "1.1\0"s);

  write_file("/usr/data/version", "9.9.9-old");
  setVersion();
  EXPECT_EQ(read_file("/usr/data/version"), "1.1\0"s + "9-old");

  std::filesystem::remove_all(under_root("/usr/data"));
  EXPECT_EQ(stdout_of(setVersion), "setVersion open version err \n");
}

TEST_F(SettingsVersion, IdentityIsAFreshEighteenCharacterCopy) {
  char *first = check_dev_version();
  char *second = check_dev_version();
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(first, second);
  EXPECT_EQ(strlen(first), 18u);
  EXPECT_STREQ(first, device_identity);
  free(first);
  free(second);
}

}  // namespace
