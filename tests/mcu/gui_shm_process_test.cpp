// The block between processes: a restart of the daemon while the GUI process holds the mutex,
// holders that die, a mutex left unusable, native objects written over, blocks that are new,
// empty, cut short or cannot be made, and the GUI side as tools/dhgui sees it. The other
// processes are forked children (or dhgui itself); each child ends with _exit and reports
// through its exit status.
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "mcu/gui_shm.h"
#include "mcu/mcu.h"
#include "usb_state/usb_state.h"
#include "tests/mcu/gui_block_view.h"
#include "tests/mcu/gui_sandbox.h"
#include "tests/support/target.h"
#include "tools/dhgui_layout.h"

namespace {

using namespace std::chrono_literals;

// Runs `body` in a child process, which exits with its result. A child that hangs is ended
// by an alarm, which its status then shows.
template <class Body>
pid_t fork_child(Body body) {
  const pid_t pid = fork();
  if (pid == 0) {
    alarm(10);
    _exit(body());
  }
  return pid;
}

// The child's exit status; -signal when a signal ended it.
int wait_child(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1000;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

bool still_running(pid_t pid) {
  int status = 0;
  return waitpid(pid, &status, WNOHANG) == 0;
}

// An absolute CLOCK_REALTIME time `ms` from now, for the timed pthread calls.
timespec deadline_after(int ms) {
  timespec deadline{};
  clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_sec += ms / 1000;
  deadline.tv_nsec += long(ms % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  return deadline;
}

// The GUI side's lock: 0, or EOWNERDEAD already made consistent, or the error.
int lock_view(GuiSharedBlock *view, int timeout_ms) {
  const timespec deadline = deadline_after(timeout_ms);
  const int result = pthread_mutex_timedlock(&view->mutex, &deadline);
  if (result == EOWNERDEAD) pthread_mutex_consistent(&view->mutex);
  return result;
}

// A one-way signal between two processes.
class Signal {
 public:
  Signal() { EXPECT_EQ(pipe(fds_), 0); }
  ~Signal() {
    close(fds_[0]);
    close(fds_[1]);
  }
  void raise() { EXPECT_EQ(write(fds_[1], "x", 1), 1); }
  bool wait(int timeout_ms) {
    pollfd ready{fds_[0], POLLIN, 0};
    char byte;
    return poll(&ready, 1, timeout_ms) == 1 && read(fds_[0], &byte, 1) == 1;
  }

 private:
  int fds_[2] = {-1, -1};
};

// A child that locks the GUI's view of the mutex and dies holding it.
void die_holding(GuiSharedBlock *view) {
  const pid_t holder = fork_child([view] { return pthread_mutex_lock(&view->mutex) == 0 ? 0 : 1; });
  ASSERT_EQ(wait_child(holder), 0);
}

// A child, the GUI process, that takes the GUI's view of the mutex, raises `locked` and holds
// the mutex until `release`. It exits with its unlock's result: a mutex set up again under the
// holder would refuse that unlock (EPERM).
pid_t hold_until_released(GuiSharedBlock *view, Signal &locked, Signal &release) {
  return fork_child([&] {
    if (pthread_mutex_lock(&view->mutex) != 0) return 10;
    locked.raise();
    release.wait(5000);
    return pthread_mutex_unlock(&view->mutex);
  });
}

// A process's state letter from /proc (Z: a zombie), and this process's children that have
// not been waited for, zombies included.
char state_of(const std::filesystem::path &process, pid_t *parent = nullptr) {
  std::ifstream stat(process / "stat");
  std::string line;
  char state = '?';
  int ppid = 0;
  if (std::getline(stat, line) && line.rfind(')') != std::string::npos) {
    sscanf(line.c_str() + line.rfind(')') + 1, " %c %d", &state, &ppid);
  }
  if (parent != nullptr) *parent = ppid;
  return state;
}

std::vector<pid_t> children(pid_t of = getpid()) {
  std::vector<pid_t> found;
  for (const auto &entry : std::filesystem::directory_iterator("/proc")) {
    pid_t parent = 0;
    state_of(entry.path(), &parent);
    if (parent == of) found.push_back(pid_t(std::stoi(entry.path().filename().string())));
  }
  return found;
}

class GuiBlockProcess : public testing::Test {
 protected:
  void SetUp() override {
    view = fresh_block();
    ASSERT_NE(view, nullptr);
  }
  GuiSharedBlock *view = nullptr;
};

TEST_F(GuiBlockProcess, RestartWhileTheGuiHoldsTheMutexCorruptsNothing) {
  ASSERT_TRUE(publish());
  ASSERT_EQ(view->new_data, 1);

  Signal locked, release;
  const pid_t gui = hold_until_released(view, locked, release);
  ASSERT_TRUE(locked.wait(5000));

  // The next start of the daemon finds the block in use: it keeps the objects as they are,
  // sets the flag to 0, and each publish is skipped until the GUI process lets go, instead of
  // taking the mutex from under it.
  const std::string out = stdout_of([] {
    gui_shm_create();
    for (int frame = 0; frame < 5; ++frame) EXPECT_FALSE(publish());
  });
  EXPECT_EQ(out.find("setting"), std::string::npos) << out;
  EXPECT_EQ(view->new_data, 0);
  const int tried = pthread_mutex_trylock(&view->mutex);
  EXPECT_EQ(tried, EBUSY);
  if (tried == 0) pthread_mutex_unlock(&view->mutex);

  release.raise();
  EXPECT_EQ(wait_child(gui), 0);  // its unlock worked: nothing was set up under it
  EXPECT_TRUE(publish());
  EXPECT_EQ(view->new_data, 1);
  ASSERT_EQ(lock_view(view, 1000), 0);
  EXPECT_EQ(pthread_mutex_unlock(&view->mutex), 0);
}

TEST_F(GuiBlockProcess, AHolderThatDiedIsTakenOver) {
  SKIP_WITHOUT_DEAD_HOLDER_REPORTS();
  die_holding(view);
  const std::string out = stdout_of([] { EXPECT_TRUE(publish()); });
  EXPECT_NE(out.find("last holder of the mutex died"), std::string::npos) << out;
  EXPECT_EQ(view->new_data, 1);
  EXPECT_EQ(stdout_of([] { EXPECT_TRUE(publish()); }), "");

  // The GUI side takes over from a daemon that died in the middle of a publish as well.
  const pid_t daemon = fork_child([&] { return lock_view(view, 1000); });
  ASSERT_EQ(wait_child(daemon), 0);
  EXPECT_EQ(pthread_mutex_trylock(&view->mutex), EOWNERDEAD);
  EXPECT_EQ(pthread_mutex_consistent(&view->mutex), 0);
  EXPECT_EQ(pthread_mutex_unlock(&view->mutex), 0);
}

TEST_F(GuiBlockProcess, AnUnusableMutexIsSetUpAgain) {
  SKIP_WITHOUT_DEAD_HOLDER_REPORTS();
  die_holding(view);
  // A GUI process that takes the dead holder's mutex over but never marks it consistent
  // leaves it unusable for every process.
  const pid_t careless = fork_child([&] {
    if (pthread_mutex_lock(&view->mutex) != EOWNERDEAD) return 1;
    return pthread_mutex_unlock(&view->mutex);
  });
  ASSERT_EQ(wait_child(careless), 0);

  const std::string out = stdout_of([] { EXPECT_TRUE(publish()); });
  EXPECT_NE(out.find("mutex unusable"), std::string::npos) << out;
  EXPECT_EQ(view->new_data, 1);
  const pid_t gui = fork_child([&] {
    if (pthread_mutex_lock(&view->mutex) != 0) return 1;
    return pthread_mutex_unlock(&view->mutex);
  });
  EXPECT_EQ(wait_child(gui), 0);
}

// The GUI process is built apart and finds the native objects by their offsets: the mutex at
// 136 and, on the 32-bit board, the condition variable at 160. A publish wakes a GUI process
// that waits on exactly those bytes.
TEST_F(GuiBlockProcess, TheGuiFindsTheMutexAndConditionVariableByTheirOffsets) {
  const size_t cond_at = sizeof(void *) == 4 ? 160 : gui_cond_offset;
  EXPECT_EQ(offsetof(GuiSharedBlock, mutex), 136u);
  EXPECT_EQ(offsetof(GuiSharedBlock, cond), cond_at);
  uint8_t *bytes = reinterpret_cast<uint8_t *>(view);
  auto *mutex = reinterpret_cast<pthread_mutex_t *>(bytes + 136);
  auto *cond = reinterpret_cast<pthread_cond_t *>(bytes + cond_at);

  Signal waiting;
  const pid_t gui = fork_child([&] {
    if (pthread_mutex_lock(mutex) != 0) return 1;
    waiting.raise();
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += 5;
    int result = 0;
    while (view->new_data == 0 && result == 0) result = pthread_cond_timedwait(cond, mutex, &deadline);
    pthread_mutex_unlock(mutex);
    return result;
  });
  ASSERT_TRUE(waiting.wait(5000));
  // Publishes are skipped until the GUI process waits, which lets go of the mutex.
  EXPECT_TRUE(wait_until([] { return publish(); }, 5000ms));
  EXPECT_EQ(wait_child(gui), 0);
}

TEST_F(GuiBlockProcess, WhileTheGuiHoldsTheMutexPublishesAreSkippedAndCarriedByTheNext) {
  Signal locked, release;
  const pid_t gui = hold_until_released(view, locked, release);
  ASSERT_TRUE(locked.wait(5000));
  // A second GUI thread of its own waits for the mutex: a C library may count it in a word of
  // the mutex that no uncontended lock touches, and the mutex is no less held for it.
  const pid_t waiter = fork_child([&] {
    return pthread_mutex_lock(&view->mutex) == 0 && pthread_mutex_unlock(&view->mutex) == 0 ? 0 : 1;
  });
  const std::filesystem::path waiting = "/proc/" + std::to_string(waiter);
  ASSERT_TRUE(wait_until([&] { return state_of(waiting) == 'S'; }, 5000ms));
  water_temp = 61;
  stdout_of([] { lvgl_pause(); });
  const std::string out = stdout_of([] {
    for (int i = 0; i < 20; ++i) EXPECT_FALSE(publish());
  });
  const size_t skipped = out.find("publish skipped");
  EXPECT_NE(skipped, std::string::npos) << out;
  EXPECT_EQ(out.find("publish skipped", skipped + 1), std::string::npos) << "said once\n" << out;
  EXPECT_EQ(out.find("setting it up again"), std::string::npos) << out;  // a live holder
  EXPECT_EQ(view->new_data, 0);
  EXPECT_EQ(data_update_type, 2);  // the pause is still to be told

  release.raise();
  EXPECT_EQ(wait_child(gui), 0);  // its unlock worked: nothing was set up under it
  EXPECT_EQ(wait_child(waiter), 0);
  ASSERT_TRUE(publish());
  EXPECT_EQ(view->record[1], gui_kind_command);
  EXPECT_EQ(data_update_type, 0);
  ASSERT_TRUE(publish());
  EXPECT_EQ(view->record[4], 61);
  EXPECT_EQ(view->new_data, 1);
  wait_for_players();
}

TEST_F(GuiBlockProcess, BytesOfASkippedPublishGoWithTheNextOneAndNoOthers) {
  // A wireless record skipped under the holder, then an offline publish: the block gets the
  // skipped display record and the later fields, and the bytes nobody wrote stay as they were.
  memset(view->record, 0xEE, gui_record::size);
  Signal locked, release;
  const pid_t gui = hold_until_released(view, locked, release);
  ASSERT_TRUE(locked.wait(5000));
  usb_connect_state = 1;
  control_mode = 1;
  uint8_t frame[controller_frame_len] = {0xAA, 0x55, frame_status};
  for (int i = frame_at::record; i < frame_at::record + frame_at::record_len; ++i) frame[i] = 0x77;
  frame[frame_at::theme] = 2;
  stdout_of([&] { publish_gui_data(frame); });
  EXPECT_TRUE(gui_block_pending(publish_answer_ms));
  release.raise();
  EXPECT_EQ(wait_child(gui), 0);

  control_mode = 0;
  water_temp = 12;
  ASSERT_TRUE(publish());
  for (size_t i = 0; i < gui_record::size; ++i) {
    uint8_t expected = 0xEE;
    if (i >= gui_record::display_record_first && i < gui_record::display_record_end) {
      expected = 0x77;
    }
    if (i == gui_record::start_marker) expected = gui_record_start_byte;
    if (i == gui_record::kind) expected = gui_kind_data;
    if (i == gui_record::control_mode || i == gui_record::pump_speed_high ||
        i == gui_record::pump_speed_low) {
      expected = 0;
    }
    if (i == gui_record::water_temp) expected = 12;
    if (i == gui_record::theme_index) expected = 2;
    if (i == gui_record::end_marker) expected = gui_record_end_byte;
    EXPECT_EQ(view->record[i], expected) << "byte " << i;
  }
  usb_connect_state = 0;
}

TEST_F(GuiBlockProcess, BlocksThatWereNeverSetUpAreSetUp) {
  SKIP_WITHOUT_DEAD_HOLDER_REPORTS();
  // Left by a creator that died before it sized the object, or after it sized it but before
  // it set up the mutex: both get a robust, process-shared mutex.
  for (const std::string &left : {std::string(), std::string(gui_block_size, '\0')}) {
    remove_device_file(block_device_path);
    write_device_file(block_device_path, left);
    gui_shm_create();
    view = view_block();
    ASSERT_NE(view, nullptr);
    die_holding(view);
    const std::string out = stdout_of([] { EXPECT_TRUE(publish()); });
    EXPECT_NE(out.find("last holder of the mutex died"), std::string::npos) << out;
    EXPECT_EQ(view->new_data, 1);
  }
}

TEST_F(GuiBlockProcess, ABlockCutShortIsMadeWholeBeforeItIsTouched) {
  // A byte only some publishes write (theme data), in the block before the cut: the cut takes
  // it, and the next publish brings it back.
  ::GuiRecord *record = gui_publish_begin();
  gui_record_put(record, gui_record::theme_data_first, 0x5A);
  gui_record_step(record);
  ASSERT_FALSE(gui_block_pending(publish_answer_ms));
  ASSERT_EQ(view->record[gui_record::theme_data_first], 0x5A);

  ASSERT_EQ(truncate(under_root(block_device_path).c_str(), 0), 0);
  const std::string out = stdout_of([] { EXPECT_TRUE(publish()); });
  EXPECT_NE(out.find("cut to 0 bytes"), std::string::npos) << out;
  EXPECT_EQ(std::filesystem::file_size(under_root(block_device_path)), gui_block_size);
  EXPECT_EQ(view->new_data, 1);
  EXPECT_EQ(view->record[127], 0xB1);
  EXPECT_EQ(view->record[gui_record::theme_data_first], 0x5A);

  // Cut and made whole again between two publishes (a GUI process that creates the block
  // anew as it starts): the worker finds it whole and new. It gets the daemon's bytes all the
  // same; the one the GUI process wrote since stays.
  ASSERT_EQ(truncate(under_root(block_device_path).c_str(), 0), 0);
  ASSERT_EQ(truncate(under_root(block_device_path).c_str(), off_t(gui_block_size)), 0);
  view->record[gui_record::display_record_end] = 0x77;
  EXPECT_TRUE(publish());
  EXPECT_EQ(view->record[gui_record::theme_data_first], 0x5A);
  EXPECT_EQ(view->record[gui_record::display_record_end], 0x77);
  EXPECT_EQ(view->record[gui_record::theme_data_first + 1], 0);  // never written
  EXPECT_EQ(view->record[127], 0xB1);

  // Removed (a GUI process that unlinks it as it ends): the log says so, not that it was cut.
  remove_device_file(block_device_path);
  const std::string removed = stdout_of([] { EXPECT_TRUE(publish()); });
  EXPECT_NE(removed.find("gui shm: block removed, making it again"), std::string::npos) << removed;
  EXPECT_EQ(removed.find("cut to"), std::string::npos) << removed;
  view = view_block();
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(view->record[gui_record::theme_data_first], 0x5A);
  EXPECT_EQ(view->new_data, 1);
}

TEST_F(GuiBlockProcess, WithoutABlockNothingIsWrittenAndTheStateStillChanges) {
  remove_device_file(block_device_path);
  std::filesystem::create_directories(under_root(block_device_path));  // cannot be opened
  const std::string out = stdout_of([] { gui_shm_create(); });
  EXPECT_NE(out.find("gui shm: cannot open"), std::string::npos) << out;
  gui_record_step(nullptr);

  lvgl_state = 1;
  stdout_of([] { lvgl_pause(); });
  EXPECT_FALSE(publish());
  EXPECT_EQ(lvgl_state, 0);
  EXPECT_EQ(data_update_type, 2);
  remove_device_file(block_device_path);

  // A FIFO in its place: opened without waiting for a writer, and refused.
  ASSERT_EQ(mkfifo(under_root(block_device_path).c_str(), 0666), 0);
  const std::string fifo = stdout_of([] { gui_shm_create(); });
  EXPECT_NE(fifo.find("gui shm: cannot open"), std::string::npos) << fifo;
  EXPECT_FALSE(publish());
  remove_device_file(block_device_path);

  // A link in its place, to a file the daemon has no business with: not followed.
  write_device_file("/tmp/not_the_block", "kept");
  ASSERT_EQ(symlink(under_root("/tmp/not_the_block").c_str(),
                    under_root(block_device_path).c_str()), 0);
  const std::string link = stdout_of([] { gui_shm_create(); });
  EXPECT_NE(link.find("gui shm: cannot open"), std::string::npos) << link;
  EXPECT_FALSE(publish());
  EXPECT_TRUE(read_device_file("/tmp/not_the_block") == "kept") << "the link's target written";
  remove_device_file(block_device_path);
  remove_device_file("/tmp/not_the_block");
}

// --- A GUI process that writes over the native objects or cuts the block short.

// Bytes written over the object at `at`: all ones, or a pseudo-random run from `seed`.
void scribble(void *at, size_t size, unsigned seed) {
  auto *bytes = static_cast<uint8_t *>(at);
  for (size_t i = 0; i < size; ++i) bytes[i] = seed == 0 ? 0xFF : uint8_t((i + 1) * seed * 37 + 11);
}

// Publishes until one lands, each waiting for the helper's answer; what they printed.
std::string publish_until_it_lands() {
  return stdout_of([] { EXPECT_TRUE(wait_until([] { return publish(); }, 30000ms)); });
}

// A GUI process that waits for the next record on the condition variable; 0 when woken for it.
pid_t wait_for_a_record(GuiSharedBlock *view, Signal &waiting) {
  view->new_data = 0;
  return fork_child([view, &waiting] {
    if (pthread_mutex_lock(&view->mutex) != 0) return 1;
    waiting.raise();
    const timespec deadline = deadline_after(9000);
    int result = 0;
    while (view->new_data == 0 && result == 0) {
      result = pthread_cond_timedwait(&view->cond, &view->mutex, &deadline);
    }
    pthread_mutex_unlock(&view->mutex);
    return result;
  });
}

TEST_F(GuiBlockProcess, NativeObjectsWrittenOverAreSetUpAgainAndPublishesGoOn) {
  // Whatever the C library makes of them (an error, a call that never returns, the helper
  // stopped), the daemon's thread goes on, and publishes land once they are set up again.
  for (unsigned seed : {0u, 5u, 11u}) {
    scribble(&view->mutex, sizeof view->mutex, seed);
    std::string out = publish_until_it_lands();
    EXPECT_NE(out.find("setting"), std::string::npos) << "mutex, seed " << seed << "\n" << out;
    scribble(&view->cond, sizeof view->cond, seed);
    out = publish_until_it_lands();
    EXPECT_EQ(view->new_data, 1);
    water_temp = uint8_t(seed);
    EXPECT_TRUE(publish());
    EXPECT_EQ(view->record[gui_record::water_temp], seed);
  }

  // Set up as the daemon's own: a GUI process can take the mutex, and one waiting on the
  // condition variable is woken by the next publish.
  const pid_t gui = fork_child([&] {
    if (lock_view(view, 1000) != 0) return 1;
    return pthread_mutex_unlock(&view->mutex);
  });
  EXPECT_EQ(wait_child(gui), 0);
  Signal waiting;
  const pid_t reader = wait_for_a_record(view, waiting);
  ASSERT_TRUE(waiting.wait(5000));
  EXPECT_TRUE(wait_until([] { return publish(); }, 10000ms));
  EXPECT_EQ(wait_child(reader), 0);
}

TEST_F(GuiBlockProcess, AHelperThatNeverAnswersIsReplacedAndTheLinkKeepsItsPace) {
  // A condition variable whose wake-up never returns holds the helper; the daemon's publishes
  // each cost at most the answer wait, and after the limit a new helper sets it up again.
  scribble(&view->cond, sizeof view->cond, 0);
  int publishes = 0;
  const std::string out = stdout_of([&] {
    const auto until = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < until) {
      gui_record_step(gui_publish_begin());
      ++publishes;
      if (!gui_block_pending()) break;
      std::this_thread::sleep_for(50ms);  // the controller's pause between frames
    }
  });
  EXPECT_FALSE(gui_block_pending()) << out;
  EXPECT_NE(out.find("gui shm: helper process stuck"), std::string::npos) << out;
  EXPECT_GT(publishes, 1);  // the controller thread went on meanwhile
  RecordProperty("publishes_until_it_landed", publishes);
  Signal waiting;
  const pid_t reader = wait_for_a_record(view, waiting);
  ASSERT_TRUE(waiting.wait(5000));
  EXPECT_TRUE(wait_until([] { return publish(); }, 10000ms));
  EXPECT_EQ(wait_child(reader), 0);
}

TEST_F(GuiBlockProcess, APublishMadeWhileTheHelperIsStuckLandsWithoutAnotherOne) {
  // The controller's last frame may come while the answer to the one before is still out:
  // its record must reach the block all the same, though no frame follows to carry it.
  scribble(&view->cond, sizeof view->cond, 0);
  std::string out = stdout_of([] {
    water_temp = 41;
    gui_record_step(gui_publish_begin());
    water_temp = 42;
    gui_record_step(gui_publish_begin());
  });
  EXPECT_TRUE(wait_until([&] { return view->record[gui_record::water_temp] == 42; }, 20000ms))
      << "water temperature in the block: " << int(view->record[gui_record::water_temp]);
  out += stdout_of([] { EXPECT_FALSE(gui_block_pending(publish_answer_ms)); });
  EXPECT_NE(out.find("gui shm: helper process stuck"), std::string::npos) << out;
  EXPECT_EQ(view->new_data, 1);
}

TEST_F(GuiBlockProcess, ALateAnswerClearsNoCommandAskedAfterALaterOne) {
  // A pause whose answer is late, a resume published after it, then a pause again: the pause
  // landing first must not clear the newer pause, which the resume then hides.
  scribble(&view->cond, sizeof view->cond, 0);
  std::string out = stdout_of([] {
    data_update_type = 2;
    gui_record_step(gui_publish_begin());
    data_update_type = 3;
    gui_record_step(gui_publish_begin());
    data_update_type = 2;
  });
  out += stdout_of([] { EXPECT_FALSE(gui_block_pending(publish_answer_ms)); });
  ASSERT_NE(out.find("gui shm: helper process stuck"), std::string::npos) << out;
  EXPECT_EQ(view->record[gui_record::command_code], gui_resume_command[0]);  // landed last
  EXPECT_EQ(data_update_type, 2) << "the pause asked last was never published";
  ASSERT_TRUE(publish());
  EXPECT_EQ(view->record[gui_record::command_code], gui_pause_command[0]);
}

// A process that cuts the block at `path` to nothing as fast as it can until `stop`; -1 when it
// did not start.
pid_t cut_again_and_again(const std::string &path, Signal &stop) {
  Signal started;
  const pid_t cutter = fork_child([&] {
    const int fd = open(path.c_str(), O_RDWR);
    started.raise();
    while (!stop.wait(0)) {
      if (ftruncate(fd, 0) != 0) return 1;
    }
    return 0;
  });
  return started.wait(5000) ? cutter : -1;
}

TEST_F(GuiBlockProcess, ABlockCutShortAgainAndAgainCostsOnlyPublishes) {
  // Another process cuts the block to nothing as fast as it can, while the daemon publishes:
  // a cut in the middle of a publish ends the helper, never the daemon.
  const std::string path = under_root(block_device_path);
  Signal stop;
  const pid_t cutter = cut_again_and_again(path, stop);
  ASSERT_GT(cutter, 0);
  int landed = 0;
  const std::string out = stdout_of([&] {
    const auto until = std::chrono::steady_clock::now() + 500ms;
    while (std::chrono::steady_clock::now() < until) {
      gui_record_step(gui_publish_begin());
      landed += gui_block_pending() ? 0 : 1;
    }
  });
  EXPECT_NE(out.find("cut to 0 bytes"), std::string::npos) << out.substr(0, 2000);
  // Every message whole, on a line of its own, however many a request gathered.
  for (size_t at = 0, end; at < out.size(); at = end + 1) {
    end = out.find('\n', at);
    const std::string line = out.substr(at, end - at);
    EXPECT_TRUE(line.rfind("gui shm: ", 0) == 0 && line.find("gui shm: ", 1) == std::string::npos)
        << line;
    if (end == std::string::npos) break;
  }
  stop.raise();
  EXPECT_EQ(wait_child(cutter), 0);
  water_temp = 66;
  publish_until_it_lands();
  EXPECT_EQ(std::filesystem::file_size(path), gui_block_size);
  EXPECT_EQ(view->record[4], 66);
  EXPECT_EQ(view->new_data, 1);
  EXPECT_EQ(stdout_of([] { EXPECT_TRUE(publish()); }), "");
  RecordProperty("publishes_landed", landed);
}

TEST_F(GuiBlockProcess, AStartWhileTheBlockIsCutAgainAndAgainStillPublishesOnceItStops) {
  // The cutter may end the worker in the middle of the start's request: the block is still
  // the daemon's.
  const std::string path = under_root(block_device_path);
  Signal stop;
  const pid_t cutter = cut_again_and_again(path, stop);
  ASSERT_GT(cutter, 0);
  std::string out;
  for (int start = 0; start < 20 && out.find("nothing is published") == std::string::npos;
       ++start) {
    out = stdout_of([] { gui_shm_create(); });
  }
  stop.raise();
  EXPECT_EQ(wait_child(cutter), 0);
  water_temp = 67;
  out += publish_until_it_lands();
  ASSERT_EQ(std::filesystem::file_size(path), gui_block_size) << out.substr(0, 3000);
  EXPECT_EQ(view->record[gui_record::water_temp], 67);
}

TEST_F(GuiBlockProcess, AWorkerLeavesNoCoreFile) {
  // A GUI process that cuts the block again and again ends a worker with SIGBUS each time: on
  // a device with core files on, each would leave one, until the card is full.
  ASSERT_TRUE(publish());
  const std::vector<pid_t> helpers = children();
  ASSERT_EQ(helpers.size(), 1u);
  const std::vector<pid_t> workers = children(helpers[0]);
  ASSERT_EQ(workers.size(), 1u);
  std::ifstream limits("/proc/" + std::to_string(workers[0]) + "/limits");
  std::string line;
  while (std::getline(limits, line) && line.rfind("Max core file size", 0) != 0) {
  }
  std::istringstream fields(line.substr(strlen("Max core file size")));
  std::string soft, hard;
  fields >> soft >> hard;
  EXPECT_EQ(soft, "0") << line;
  EXPECT_EQ(hard, "0") << line;
}

TEST_F(GuiBlockProcess, AHelperThatDiedIsWaitedFor) {
  // It dies between two publishes: the next one finds it gone.
  const std::vector<pid_t> helpers = children();
  ASSERT_EQ(helpers.size(), 1u);
  ASSERT_EQ(kill(helpers[0], SIGKILL), 0);
  const std::filesystem::path helper = "/proc/" + std::to_string(helpers[0]);
  ASSERT_TRUE(wait_until([&] { return state_of(helper) == 'Z'; }, 10000ms));
  // Its worker is its child until the helper's last thread is gone (a sanitizer's runtime may
  // have one), and goes on serving until then.
  ASSERT_TRUE(wait_until([&] { return children(helpers[0]).empty(); }, 10000ms));
  const std::string out = stdout_of([] { EXPECT_FALSE(publish()); });
  EXPECT_NE(out.find("the helper process is gone"), std::string::npos) << out;
  EXPECT_EQ(children(), std::vector<pid_t>{}) << "left a zombie";
  stdout_of([] {  // a new helper for the tests that follow
    gui_helper_start();
    gui_shm_create();
  });
  EXPECT_TRUE(publish());
}

TEST_F(GuiBlockProcess, AWorkerEndedBetweenRequestsIsReplacedAndSaysSo) {
  // Ended from outside (the kernel's out-of-memory killer, say) with no request in hand, while
  // the GUI process holds the mutex: the log says why, and the new worker finds the objects as
  // the old one left them, so it sets nothing up under the holder and skips the publish.
  water_temp = 30;
  ASSERT_TRUE(publish());
  const std::vector<pid_t> helpers = children();
  ASSERT_EQ(helpers.size(), 1u);
  const std::vector<pid_t> workers = children(helpers[0]);
  ASSERT_EQ(workers.size(), 1u);
  Signal locked, release;
  const pid_t gui = hold_until_released(view, locked, release);
  ASSERT_TRUE(locked.wait(5000));
  ASSERT_EQ(kill(workers[0], SIGKILL), 0);
  ASSERT_TRUE(wait_until([&] { return children(helpers[0]) != workers; }, 10000ms));
  water_temp = 31;
  const std::string out = stdout_of([] { EXPECT_FALSE(publish()); });
  EXPECT_NE(out.find("gui shm: helper process ended (Killed)\n"), std::string::npos) << out;
  EXPECT_NE(out.find("publish skipped"), std::string::npos) << out;
  release.raise();
  EXPECT_EQ(wait_child(gui), 0);  // its unlock worked: nothing was set up under it
  EXPECT_TRUE(publish());
  EXPECT_EQ(view->record[gui_record::water_temp], 31);
  EXPECT_EQ(lock_view(view, 1000), 0);
  EXPECT_EQ(pthread_mutex_unlock(&view->mutex), 0);
}

// --- tools/dhgui against the daemon's side.

class Dhgui {
 public:
  explicit Dhgui(std::vector<std::string> args) {
    int out[2];
    EXPECT_EQ(pipe(out), 0);
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      close(out[0]);
      close(out[1]);
      std::vector<std::string> words = program_words(DH_BUILD_DIR "/dhgui", args);
      std::vector<char *> argv = argv_of(words);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    fd_ = out[0];
  }
  ~Dhgui() {
    if (pid_ > 0 && still_running(pid_)) {
      kill(pid_, SIGKILL);
      wait_child(pid_);
    }
    close(fd_);
  }

  // The next line it printed, without the line end; "<none>" when none came in time.
  std::string line(int timeout_ms = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      const size_t end = buffer_.find('\n');
      if (end != std::string::npos) {
        std::string text = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        return text;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd ready{fd_, POLLIN, 0};
      if (left.count() <= 0 || poll(&ready, 1, int(left.count())) != 1) return "<none>";
      char chunk[256];
      const ssize_t got = read(fd_, chunk, sizeof chunk);
      if (got <= 0) return "<none>";
      buffer_.append(chunk, size_t(got));
    }
  }

  int finish() {
    const int status = wait_child(pid_);
    pid_ = -1;
    return status;
  }
  void stop() { kill(pid_, SIGTERM); }

 private:
  pid_t pid_ = -1;
  int fd_ = -1;
  std::string buffer_;
};

TEST_F(GuiBlockProcess, DhguiPrintsEachRecordAndTakesTheFlag) {
  control_mode = 1;
  water_temp = 31;
  pump_speed = 2400;
  current_theme_index = 5;
  // Each record is published only once dhgui has taken the flag of the one before, so none
  // replaces another unseen, however slowly the machine runs it.
  Dhgui gui({"--brief", "--timeout", "60"});
  ASSERT_TRUE(publish());
  EXPECT_EQ(gui.line(30000), "data mode=1 temperature=31 pump=2400 theme=5");
  EXPECT_TRUE(wait_until([&] { return view->new_data == 0; }, 30000ms));

  stdout_of([] { lvgl_pause(); });
  ASSERT_TRUE(publish());
  EXPECT_EQ(gui.line(30000), "pause");
  EXPECT_TRUE(wait_until([&] { return view->new_data == 0; }, 30000ms));

  stdout_of([] { lvgl_resume(); });
  ASSERT_TRUE(publish());
  EXPECT_EQ(gui.line(30000), "resume");

  gui.stop();
  EXPECT_EQ(gui.finish(), 0);
  wait_for_players();
}

TEST_F(GuiBlockProcess, DhguiWaitsForTheBlockToAppear) {
  remove_device_file(block_device_path);
  Dhgui gui({"--brief", "--once", "--timeout", "20"});
  EXPECT_EQ(gui.line().rfind("dhgui: waiting for ", 0), 0u);
  EXPECT_FALSE(std::filesystem::exists(under_root(block_device_path)));  // it made none

  water_temp = 42;
  gui_shm_create();
  ASSERT_TRUE(publish());
  EXPECT_EQ(gui.line(), "data mode=0 temperature=42 pump=0 theme=0");
  EXPECT_EQ(gui.finish(), 0);
}

// dhgui's own idea of the block, from the documented interface, against the daemon's.
static_assert(dhgui_layout::block_size == gui_block_size);
static_assert(dhgui_layout::record_size == gui_record::size);
static_assert(dhgui_layout::flag_offset == offsetof(GuiSharedBlock, new_data));
static_assert(dhgui_layout::mutex_offset == offsetof(GuiSharedBlock, mutex));
static_assert(dhgui_layout::cond_offset == offsetof(GuiSharedBlock, cond));
static_assert(dhgui_layout::kind == gui_record::kind && dhgui_layout::mode == gui_record::control_mode &&
              dhgui_layout::temperature == gui_record::water_temp &&
              dhgui_layout::pump_high == gui_record::pump_speed_high &&
              dhgui_layout::pump_low == gui_record::pump_speed_low &&
              dhgui_layout::theme == gui_record::theme_index &&
              dhgui_layout::command == gui_record::command_code &&
              dhgui_layout::end_marker == gui_record::end_marker);

std::string hex_of(const uint8_t *bytes, size_t count) {
  std::string text;
  char part[3];
  for (size_t i = 0; i < count; ++i) {
    snprintf(part, sizeof part, "%02x", bytes[i]);
    text += part;
  }
  return text;
}

// The value of a number or string field of dhgui's one-line JSON ("" when absent).
std::string field(const std::string &line, const std::string &name) {
  const std::string key = "\"" + name + "\":";
  const size_t at = line.find(key);
  if (at == std::string::npos) return "";
  size_t begin = at + key.size(), end;
  if (line[begin] == '"') {
    end = line.find('"', ++begin);
  } else {
    end = line.find_first_of(",}", begin);
  }
  return line.substr(begin, end - begin);
}

TEST_F(GuiBlockProcess, DhguiShowsTheWholeRecordOfEachPublishNumbered) {
  control_mode = 2;
  water_temp = 27;
  pump_speed = 0x1234;
  current_theme_index = 11;
  view->record[70] = 0x5C;  // beyond the fields: shown as it is
  Dhgui gui({"--json", "--timeout", "20"});
  ASSERT_TRUE(publish());
  std::string line = gui.line();
  EXPECT_EQ(field(line, "seq"), "1");
  EXPECT_EQ(field(line, "kind"), "data");
  EXPECT_EQ(field(line, "mode"), "2");
  EXPECT_EQ(field(line, "temperature"), "27");
  EXPECT_EQ(field(line, "pump"), "4660");
  EXPECT_EQ(field(line, "theme"), "11");
  EXPECT_EQ(field(line, "markers_ok"), "true");
  EXPECT_EQ(field(line, "record"), hex_of(view->record, gui_record::size)) << line;

  stdout_of([] { lvgl_pause(); });
  ASSERT_TRUE(publish());
  line = gui.line();
  EXPECT_EQ(field(line, "seq"), "2");
  EXPECT_EQ(field(line, "kind"), "pause");
  EXPECT_EQ(field(line, "record"), hex_of(view->record, gui_record::size));

  // A record whose end marker is wrong is shown, and said to be wrong.
  ASSERT_EQ(lock_view(view, 1000), 0);
  view->record[gui_record::end_marker] = 0x00;
  view->new_data = 1;
  pthread_cond_signal(&view->cond);
  pthread_mutex_unlock(&view->mutex);
  line = gui.line();
  EXPECT_EQ(field(line, "markers_ok"), "false");
  EXPECT_EQ(field(line, "markers"), "end 00 (not b1)");
  gui.stop();
  EXPECT_EQ(gui.finish(), 0);
  wait_for_players();
}

TEST_F(GuiBlockProcess, DhguiPrintsTheRecordInHexWithItsNumberAndMarkers) {
  water_temp = 33;
  Dhgui gui({"--once", "--timeout", "20"});
  ASSERT_TRUE(publish());
  const std::string head = gui.line();
  EXPECT_EQ(head.rfind("#1 +", 0), 0u) << head;
  EXPECT_NE(head.find(" ms markers ok  data mode=0 temperature=33 pump=0 theme=0"), std::string::npos)
      << head;
  for (size_t row = 0; row < gui_record::size; row += 16) {
    char expected[80];
    int n = snprintf(expected, sizeof expected, "  %03zu:", row);
    for (size_t i = row; i < row + 16; ++i) {
      n += snprintf(expected + n, sizeof expected - size_t(n), " %02x", view->record[i]);
    }
    EXPECT_EQ(gui.line(), expected);
  }
  EXPECT_EQ(gui.finish(), 0);
}

TEST_F(GuiBlockProcess, DhguiMapsTheBlockAgainWhenItsFileIsReplaced) {
  Dhgui gui({"--brief", "--timeout", "20"});
  water_temp = 1;
  ASSERT_TRUE(publish());
  EXPECT_EQ(gui.line(), "data mode=0 temperature=1 pump=0 theme=0");

  // The daemon starts again on a new file: the old one is gone.
  remove_device_file(block_device_path);
  gui_shm_create();
  EXPECT_NE(gui.line().find("was replaced; mapping it again"), std::string::npos);
  water_temp = 2;
  ASSERT_TRUE(publish());
  EXPECT_EQ(gui.line(), "data mode=0 temperature=2 pump=0 theme=0");
  gui.stop();
  EXPECT_EQ(gui.finish(), 0);
}

}  // namespace
