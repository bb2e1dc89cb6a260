// What the tests need to know about the build they test: how its own executables start
// (displayhead, dhhost, dhshot, dhmcu, dhgui), and what its platform cannot do.
//
// On the build machine the executables run directly. In a cross build they run under the
// cross-compiling emulator, since the build machine cannot run the target's programs itself:
// DH_EMULATOR holds the emulator's words, space-separated, empty on a native build;
// DH_H264_DECODES is 0 in a build whose H.264 decoder stand-in decodes no pictures (both from
// tests/CMakeLists.txt).
#pragma once

#include <sys/syscall.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

// The emulator's words; none on a native build.
inline std::vector<std::string> emulator_words() {
  std::vector<std::string> words;
  std::istringstream split(DH_EMULATOR);
  for (std::string word; split >> word;) words.push_back(word);
  return words;
}

// The words that run `program` with `args`, for posix_spawn or exec: the first is a full path.
inline std::vector<std::string> program_words(const std::string &program,
                                              const std::vector<std::string> &args = {}) {
  std::vector<std::string> words = emulator_words();
  words.push_back(program);
  words.insert(words.end(), args.begin(), args.end());
  return words;
}

// The command that runs `program`, for a shell command line (popen, system): each word
// quoted; the caller appends the arguments.
inline std::string program_command(const std::string &program) {
  std::string line;
  for (const std::string &word : program_words(program)) {
    if (!line.empty()) line += ' ';
    line += '\'' + word + '\'';
  }
  return line;
}

// Null-terminated pointers to `words`, for argv; valid while `words` is unchanged.
inline std::vector<char *> argv_of(std::vector<std::string> &words) {
  std::vector<char *> argv;
  for (std::string &word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  return argv;
}

// The death test style for a process with threads of its own: "threadsafe", which runs the
// test program afresh for the child. A cross build's test program cannot run itself again
// (the child would need the emulator), so there the child is forked ("fast").
inline const char *death_test_style_for_threads() {
  return emulator_words().empty() ? "threadsafe" : "fast";
}

// Whether a process that dies holding a robust mutex is reported to the next one that locks
// it (EOWNERDEAD): the kernel walks the dead thread's robust futex list. A user-mode emulator
// keeps no such list, so there the mutex simply stays held.
inline bool dead_holders_are_reported() {
  void *head = nullptr;
  size_t length = 0;
  return syscall(SYS_get_robust_list, 0, &head, &length) == 0;
}
#define SKIP_WITHOUT_DEAD_HOLDER_REPORTS()                                                   \
  if (!dead_holders_are_reported())                                                         \
  GTEST_SKIP() << "no robust futex list here (a user-mode emulator): a process that dies " \
                  "holding a mutex is not reported"

// For tests that look at decoded video pictures: skipped where the build's H.264 decoder
// stand-in decodes none.
#define SKIP_WITHOUT_H264_PICTURES()                                                   \
  if (!DH_H264_DECODES)                                                                \
  GTEST_SKIP() << "this build has no H.264 decoder (built without libavcodec): it shows " \
                  "no video pictures"
