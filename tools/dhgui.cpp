// dhgui: the GUI process's side of the shared block, as a printer. It maps the block
// (DIR/dev/shm/demo_shm under DISPLAYHEAD_ROOT=DIR, else /dev/shm/demo_shm, which is where
// "/demo_shm" lives), waits on its condition variable under its mutex and, at every wake-up
// with the new-data flag set, shows the whole 128-byte record with a sequence number and the
// time since it started, the markers checked:
//   #3 +1520.118 ms markers ok  data mode=0 temperature=31 pump=1500 theme=5
//     000: a1 51 00 00 1f ...   (eight lines of 16 bytes)
// --brief prints only the decoded part (data mode=M temperature=T pump=P theme=N | pause |
// resume | command XX XX XX | record kind XX); --json one JSON object per wake-up.
//
// The layout is its own (tools/dhgui_layout.h), from the interface the daemon documents. It
// takes the flag back to 0 after reading, so every publish shows once; publishes that follow
// each other before it reads show as the last one. It never creates the block: while it is
// absent it waits for it, checking every 100 ms; when the file is replaced (another inode, or
// cut short), it maps the new one.
//
//   dhgui [--once] [--timeout SECONDS] [--brief | --json]
// --once ends after the first record; --timeout ends after SECONDS (status 1 when no record
// came). SIGINT and SIGTERM end it cleanly.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>

#include "tools/dhgui_layout.h"

namespace {

namespace L = dhgui_layout;
using Clock = std::chrono::steady_clock;

constexpr int wait_slice_ms = 200;  // the longest a wait goes without looking around
constexpr auto poll_period = std::chrono::milliseconds(100);

volatile sig_atomic_t stop_requested = 0;
void on_signal(int) { stop_requested = 1; }

enum class Style { full, brief, json };

struct Options {
  bool once = false;
  double timeout_s = -1;
  Style style = Style::full;
  Clock::time_point start;
  Clock::time_point deadline;
};

const char usage_text[] =
    "usage: dhgui [--once] [--timeout SECONDS] [--brief | --json]\n"
    "  --once      end after the first record\n"
    "  --timeout   end after SECONDS (status 1 when no record came)\n"
    "  --brief     only the decoded part of each record, one line\n"
    "  --json      one JSON object per record\n";

[[noreturn]] void usage() {
  fputs(usage_text, stderr);
  exit(2);
}

bool should_stop(const Options &options) {
  return stop_requested != 0 || (options.timeout_s >= 0 && Clock::now() >= options.deadline);
}

std::string block_path() {
  const char *root = getenv("DISPLAYHEAD_ROOT");
  return std::string(root != nullptr ? root : "") + "/dev/shm/demo_shm";
}

// One mapping of the block, with what identifies its file.
struct Mapping {
  uint8_t *base = nullptr;
  dev_t dev = 0;
  ino_t ino = 0;

  pthread_mutex_t *mutex() const { return reinterpret_cast<pthread_mutex_t *>(base + L::mutex_offset); }
  pthread_cond_t *cond() const { return reinterpret_cast<pthread_cond_t *>(base + L::cond_offset); }
  volatile int32_t *flag() const { return reinterpret_cast<volatile int32_t *>(base + L::flag_offset); }
};

void unmap(Mapping &mapping) {
  if (mapping.base != nullptr) munmap(mapping.base, L::block_size);
  mapping.base = nullptr;
}

// Whether the path now names another file than the one mapped, or one too short to touch.
bool replaced(const Mapping &mapping, const std::string &path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return false;  // gone: keep what we have until one comes
  return st.st_dev != mapping.dev || st.st_ino != mapping.ino || st.st_size < off_t(L::block_size);
}

// Maps the block once it is there and whole. One that appears while we wait is taken only
// when it was whole at two checks in a row, so the daemon has set up its mutex meanwhile.
bool wait_for_block(const Options &options, const std::string &path, bool waited, Mapping &mapping) {
  int whole_checks = 0;
  int last_error = 0;
  while (!should_stop(options)) {
    const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd >= 0) {
      struct stat st {};
      const bool whole = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                         st.st_size >= off_t(L::block_size);
      whole_checks = whole ? whole_checks + 1 : 0;
      if (whole && (!waited || whole_checks >= 2)) {
        void *base = mmap(nullptr, L::block_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        const int map_error = errno;
        close(fd);
        if (base == MAP_FAILED) {
          fprintf(stderr, "dhgui: cannot map %s: %s\n", path.c_str(), strerror(map_error));
          return false;
        }
        mapping.base = static_cast<uint8_t *>(base);
        mapping.dev = st.st_dev;
        mapping.ino = st.st_ino;
        return true;
      }
      close(fd);
    } else if (errno != last_error) {
      last_error = errno;
      if (errno == ENOENT) {
        printf("dhgui: waiting for %s\n", path.c_str());
        fflush(stdout);
      } else {
        fprintf(stderr, "dhgui: cannot open %s: %s (still trying)\n", path.c_str(), strerror(errno));
      }
    }
    waited = true;
    std::this_thread::sleep_for(poll_period);
  }
  return false;
}

struct timespec deadline_after(int ms) {
  struct timespec t {};
  clock_gettime(CLOCK_REALTIME, &t);
  t.tv_sec += ms / 1000;
  t.tv_nsec += long(ms % 1000) * 1000000L;
  if (t.tv_nsec >= 1000000000L) {
    t.tv_sec += 1;
    t.tv_nsec -= 1000000000L;
  }
  return t;
}

std::string decoded(const uint8_t *record, std::string &kind) {
  char text[96];
  const uint8_t *code = record + L::command;
  if (record[L::kind] == L::kind_data) {
    kind = "data";
    const unsigned pump = unsigned(record[L::pump_high]) << 8 | record[L::pump_low];
    snprintf(text, sizeof text, "data mode=%u temperature=%u pump=%u theme=%u", record[L::mode],
             record[L::temperature], pump, record[L::theme]);
  } else if (record[L::kind] == L::kind_command && memcmp(code, L::pause_code, 3) == 0) {
    kind = "pause";
    snprintf(text, sizeof text, "pause");
  } else if (record[L::kind] == L::kind_command && memcmp(code, L::resume_code, 3) == 0) {
    kind = "resume";
    snprintf(text, sizeof text, "resume");
  } else if (record[L::kind] == L::kind_command) {
    kind = "command";
    snprintf(text, sizeof text, "command %02x %02x %02x", code[0], code[1], code[2]);
  } else {
    kind = "unknown";
    snprintf(text, sizeof text, "record kind %02x", record[L::kind]);
  }
  return text;
}

// The markers: 0xB1 ends every record; 0xA1 begins a data record (a command leaves byte 0 as
// the last data record left it).
std::string marker_problems(const uint8_t *record) {
  std::string problems;
  char part[64];
  if (record[L::kind] == L::kind_data && record[L::start_marker] != L::start_byte) {
    snprintf(part, sizeof part, " start %02x (not a1)", record[L::start_marker]);
    problems += part;
  }
  if (record[L::end_marker] != L::end_byte) {
    snprintf(part, sizeof part, " end %02x (not b1)", record[L::end_marker]);
    problems += part;
  }
  return problems;
}

void print_record(const Options &options, const uint8_t *record, long sequence) {
  std::string kind;
  const std::string text = decoded(record, kind);
  if (options.style == Style::brief) {
    printf("%s\n", text.c_str());
    fflush(stdout);
    return;
  }
  const double t_ms = std::chrono::duration<double, std::milli>(Clock::now() - options.start).count();
  const std::string problems = marker_problems(record);
  char hex[L::record_size * 2 + 1];
  for (size_t i = 0; i < L::record_size; ++i) snprintf(hex + 2 * i, 3, "%02x", record[i]);
  if (options.style == Style::json) {
    // Every string here is plain ASCII of our own making: nothing to escape.
    printf("{\"seq\":%ld,\"t_ms\":%.3f,\"kind\":\"%s\",\"text\":\"%s\",\"markers_ok\":%s",
           sequence, t_ms, kind.c_str(), text.c_str(), problems.empty() ? "true" : "false");
    if (kind == "data") {
      printf(",\"mode\":%u,\"temperature\":%u,\"pump\":%u,\"theme\":%u", record[L::mode],
             record[L::temperature], unsigned(record[L::pump_high]) << 8 | record[L::pump_low],
             record[L::theme]);
    }
    if (!problems.empty()) printf(",\"markers\":\"%s\"", problems.c_str() + 1);
    printf(",\"record\":\"%s\"}\n", hex);
  } else {
    // The decoded part ends the line, as --brief prints it, so a search for it finds both.
    printf("#%ld +%.3f ms markers %s  %s\n", sequence, t_ms,
           problems.empty() ? "ok" : ("wrong:" + problems).c_str(), text.c_str());
    for (size_t row = 0; row < L::record_size; row += 16) {
      printf("  %03zu:", row);
      for (size_t i = row; i < row + 16; ++i) printf(" %.2s", hex + 2 * i);
      printf("\n");
    }
  }
  fflush(stdout);
}

// Waits, with the mutex held, for the flag; copies the record and clears the flag. Returns
// whether a record came; `locked` tells whether the mutex is still held. Gives up (false) at
// the end of a slice when the block's file was replaced.
bool take_record(const Mapping &mapping, const std::string &path, const Options &options,
                 uint8_t *record, bool &locked, bool &was_replaced) {
  while (!should_stop(options)) {
    if (*mapping.flag() != 0) {
      memcpy(record, mapping.base, L::record_size);
      *mapping.flag() = 0;
      return true;
    }
    const struct timespec until = deadline_after(wait_slice_ms);
    const int result = pthread_cond_timedwait(mapping.cond(), mapping.mutex(), &until);
    if (result == EOWNERDEAD) {
      pthread_mutex_consistent(mapping.mutex());
      fprintf(stderr, "dhgui: last holder of the mutex died, mutex recovered\n");
    } else if (result != 0 && result != ETIMEDOUT) {
      fprintf(stderr, "dhgui: wait failed: %s\n", strerror(result));
      locked = result != ENOTRECOVERABLE;
      return false;
    }
    if (result == ETIMEDOUT && replaced(mapping, path)) {
      was_replaced = true;
      return false;
    }
  }
  return false;
}

}  // namespace

int main(int argc, char **argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--once") == 0) {
      options.once = true;
    } else if (strcmp(argv[i], "--brief") == 0 && options.style != Style::json) {
      options.style = Style::brief;
    } else if (strcmp(argv[i], "--json") == 0 && options.style != Style::brief) {
      options.style = Style::json;
    } else if (strcmp(argv[i], "--timeout") == 0 && i + 1 < argc) {
      char *end = nullptr;
      options.timeout_s = strtod(argv[++i], &end);
      if (end == argv[i] || *end != '\0' || !(options.timeout_s >= 0) || options.timeout_s > 1e6) usage();
    } else if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
      printf("%s", usage_text);
      return 0;
    } else {
      usage();
    }
  }
  options.start = Clock::now();
  options.deadline = options.start + std::chrono::duration_cast<Clock::duration>(
                                         std::chrono::duration<double>(std::max(0.0, options.timeout_s)));

  struct sigaction action {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  const std::string path = block_path();
  Mapping mapping;
  bool mapped = wait_for_block(options, path, false, mapping);
  long records = 0;
  int last_lock_error = 0;
  while (mapped && !should_stop(options)) {
    if (replaced(mapping, path)) {
      unmap(mapping);
      printf("dhgui: %s was replaced; mapping it again\n", path.c_str());
      fflush(stdout);
      mapped = wait_for_block(options, path, true, mapping);
      continue;
    }
    const struct timespec until = deadline_after(wait_slice_ms);
    int result = pthread_mutex_timedlock(mapping.mutex(), &until);
    if (result == EOWNERDEAD) {
      pthread_mutex_consistent(mapping.mutex());
      fprintf(stderr, "dhgui: last holder of the mutex died, mutex recovered\n");
      result = 0;
    }
    if (result == ETIMEDOUT) continue;
    if (result != 0) {
      // Unusable until the daemon sets it up again at its next start.
      if (result != last_lock_error) fprintf(stderr, "dhgui: lock failed: %s\n", strerror(result));
      last_lock_error = result;
      std::this_thread::sleep_for(poll_period);
      continue;
    }
    last_lock_error = 0;
    uint8_t record[L::record_size];
    bool locked = true, was_replaced = false;
    const bool got = take_record(mapping, path, options, record, locked, was_replaced);
    if (locked) pthread_mutex_unlock(mapping.mutex());
    if (!got) continue;
    print_record(options, record, ++records);
    if (options.once) return 0;
  }
  unmap(mapping);
  if (stop_requested == 0 && records == 0) {
    fprintf(stderr, "dhgui: no record before the time-out\n");
    return 1;
  }
  return 0;
}
