// dhgui: the GUI process's side of the shared block, as a line printer. It maps the block
// (DIR/dev/shm/demo_shm under DISPLAYHEAD_ROOT=DIR, else /dev/shm/demo_shm), waits on its
// condition variable under its mutex and prints each record the daemon publishes, one line
// each:
//   data mode=M temperature=T pump=P theme=N
//   pause | resume | command XX XX XX | record kind XX
// It takes the new-data flag back to 0 after reading, so every publish shows once; publishes
// that follow each other before it reads show as the last one.
//
// It never creates the block: while it is absent it waits for it, checking every 100 ms.
//
//   dhgui [--once] [--timeout SECONDS]
// --once ends after the first record; --timeout ends after SECONDS (status 1 when no record
// came). SIGINT and SIGTERM end it cleanly.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "mcu/gui_shm_file.h"
#include "mcu/gui_shm_layout.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int wait_slice_ms = 200;  // the longest a wait goes without looking at the signals
constexpr auto poll_period = std::chrono::milliseconds(100);

volatile sig_atomic_t stop_requested = 0;

void on_signal(int) { stop_requested = 1; }

struct Options {
  bool once = false;
  bool has_deadline = false;
  Clock::time_point deadline;
};

bool should_stop(const Options &options) {
  return stop_requested != 0 || (options.has_deadline && Clock::now() >= options.deadline);
}

[[noreturn]] void usage() {
  fprintf(stderr, "usage: dhgui [--once] [--timeout SECONDS]\n");
  exit(2);
}

Options parse_options(int argc, char **argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--once") == 0) {
      options.once = true;
    } else if (strcmp(argv[i], "--timeout") == 0 && i + 1 < argc) {
      char *end = nullptr;
      const double seconds = strtod(argv[++i], &end);
      if (end == argv[i] || *end != '\0' || !(seconds >= 0) || seconds > 1e6) usage();
      options.has_deadline = true;
      options.deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                            std::chrono::duration<double>(seconds));
    } else {
      usage();
    }
  }
  return options;
}

// Maps the block once it is there and whole. One that appears while we wait is taken only
// when it was whole at two checks in a row, so the daemon has set up its mutex meanwhile.
GuiSharedBlock *wait_for_block(const Options &options) {
  const std::string name = gui_block_name();
  bool waited = false;
  int whole_checks = 0;
  int last_error = 0;
  while (!should_stop(options)) {
    const int fd = open_gui_block(O_RDWR, 0);
    if (fd >= 0) {
      struct stat st {};
      const bool whole = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                         st.st_size >= off_t(gui_block_size);
      whole_checks = whole ? whole_checks + 1 : 0;
      if (whole && (!waited || whole_checks >= 2)) {
        GuiSharedBlock *block = map_gui_block(fd);
        const int map_error = errno;
        close(fd);
        if (block != nullptr) return block;
        fprintf(stderr, "dhgui: cannot map %s: %s\n", name.c_str(), strerror(map_error));
        return nullptr;
      }
      close(fd);
    } else if (errno != last_error) {
      last_error = errno;
      if (errno == ENOENT) {
        printf("dhgui: waiting for %s\n", name.c_str());
        fflush(stdout);
      } else {
        fprintf(stderr, "dhgui: cannot open %s: %s (still trying)\n", name.c_str(),
                strerror(errno));
      }
    }
    waited = true;
    std::this_thread::sleep_for(poll_period);
  }
  return nullptr;
}

void print_record(const uint8_t *record) {
  const uint8_t kind = record[gui_record::kind];
  const uint8_t *code = record + gui_record::command_code;
  if (kind == gui_kind_data) {
    const unsigned pump = unsigned(record[gui_record::pump_speed_high]) << 8 |
                          record[gui_record::pump_speed_low];
    printf("data mode=%u temperature=%u pump=%u theme=%u\n", record[gui_record::control_mode],
           record[gui_record::water_temp], pump, record[gui_record::theme_index]);
  } else if (kind == gui_kind_command &&
             memcmp(code, gui_pause_command, gui_record::command_code_size) == 0) {
    printf("pause\n");
  } else if (kind == gui_kind_command &&
             memcmp(code, gui_resume_command, gui_record::command_code_size) == 0) {
    printf("resume\n");
  } else if (kind == gui_kind_command) {
    printf("command %02x %02x %02x\n", code[0], code[1], code[2]);
  } else {
    printf("record kind %02x\n", kind);
  }
  fflush(stdout);
}

// Waits, with the mutex held, for the flag; copies the record and clears the flag. Returns
// whether a record came; `locked` tells whether the mutex is still held.
bool take_record(GuiSharedBlock *block, const Options &options, uint8_t *record, bool &locked) {
  while (!should_stop(options)) {
    if (block->new_data != 0) {
      memcpy(record, block->record, gui_record::size);
      block->new_data = 0;
      return true;
    }
    const struct timespec until = gui_deadline_after(wait_slice_ms);
    const int result = pthread_cond_timedwait(&block->cond, &block->mutex, &until);
    if (result == EOWNERDEAD) {
      pthread_mutex_consistent(&block->mutex);
      fprintf(stderr, "dhgui: last holder of the mutex died, mutex recovered\n");
    } else if (result != 0 && result != ETIMEDOUT) {
      fprintf(stderr, "dhgui: wait failed: %s\n", strerror(result));
      locked = result != ENOTRECOVERABLE;
      return false;
    }
  }
  return false;
}

}  // namespace

int main(int argc, char **argv) {
  const Options options = parse_options(argc, argv);
  struct sigaction action {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  GuiSharedBlock *block = wait_for_block(options);
  int records = 0;
  int last_lock_error = 0;
  while (block != nullptr && !should_stop(options)) {
    int result = lock_gui_block(block, wait_slice_ms);
    if (result == EOWNERDEAD) {
      fprintf(stderr, "dhgui: last holder of the mutex died, mutex recovered\n");
      result = 0;
    }
    if (result == ETIMEDOUT) continue;
    if (result != 0) {
      // Unusable until the daemon sets it up again at its next publish.
      if (result != last_lock_error) fprintf(stderr, "dhgui: lock failed: %s\n", strerror(result));
      last_lock_error = result;
      std::this_thread::sleep_for(poll_period);
      continue;
    }
    last_lock_error = 0;
    uint8_t record[gui_record::size];
    bool locked = true;
    const bool got = take_record(block, options, record, locked);
    if (locked) pthread_mutex_unlock(&block->mutex);
    if (!got) continue;
    print_record(record);
    ++records;
    if (options.once) return 0;
  }
  if (stop_requested == 0 && records == 0) {
    fprintf(stderr, "dhgui: no record before the time-out\n");
    return 1;
  }
  return 0;
}
