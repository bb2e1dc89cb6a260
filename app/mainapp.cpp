// displayhead: the main application of the cooling unit's display head.
//
// main is the whole life of the process. It allocates the long-lived buffers, brings up what
// the device has, and then serves the host on the gadget serial port for as long as the
// process runs, closing and reopening the port whenever a packet read fails. Nothing is torn
// down; the process ends only when the host port cannot be (re)opened or closed.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <pthread.h>
#include <string>
#include <unistd.h>

#include "app/globals.h"
#include "app/handlers.h"
#include "app/host_link.h"
#include "app/handler_state.h"
#include "crypto/host_packet.h"
#include "disp/disp.h"
#include "disp/image.h"
#include "h264/h264.h"
#include "h264/local_player.h"
#include "mcu/gui_shm.h"
#include "mcu/mcu.h"
#include "platform/root_path.h"
#include "screen/player.h"
#include "screen/screen.h"
#include "storage/storage.h"
#include "storage/util.h"
#include "storage/version.h"
#include "tty/tty.h"
#include "usb_state/usb_state.h"

namespace {
// Created (or emptied) at every start, so the device image can tell the application came up.
// Only a regular file is made or emptied there; anything else at the name is left alone.
void mark_boot() {
  const int fd = open_regular_file("/usr/data/boot.sign", O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd >= 0) close(fd);
}

// An init system may start the daemon with standard input, output or error closed. Each one
// closed is opened onto /dev/null before anything else is opened, so that neither port ever
// lands on descriptor 0, 1 or 2. Taken in order, the lowest free descriptor is the one closed.
void open_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    if (open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) != fd) {
      fprintf(stderr, "descriptor %d could not be opened onto /dev/null\n", fd);
    }
  }
}

uint8_t *allocate(size_t size, const char *what) {
  auto *block = static_cast<uint8_t *>(calloc(1, size));
  if (block == nullptr) fprintf(stderr, "cannot allocate the %s (%zu bytes)\n", what, size);
  return block;
}
}  // namespace

int main() {
  open_standard_descriptors();
  // People and tests read the messages live, also those without a line end.
  setvbuf(stdout, nullptr, _IONBF, 0);
  setvbuf(stderr, nullptr, _IONBF, 0);
  // A write past the file-size limit must fail like a full disk (EFBIG, reported where it
  // happens), not end the process.
  signal(SIGXFSZ, SIG_IGN);
  // A reader that leaves (a FIFO the host stored into, a logger on standard output) must make
  // the write fail with EPIPE, reported or dropped where it happens, not end the process.
  signal(SIGPIPE, SIG_IGN);
  gui_helper_start();  // forks: before any thread starts

  reply_buf = allocate(cmd_len, "reply buffer");
  puts("main start!");
  version_info = check_dev_version();
  r_buf = allocate(max_packet_len, "receive buffer");
  if (reply_buf == nullptr || r_buf == nullptr || version_info == nullptr) return -1;
  if (init_disp() < 0) return -1;  // no display: nothing else runs

  setVersion();
  mark_boot();
  remove_upload_leftovers();
  ReadConfig();
  set_rotation(cfg.local_rotation);  // before any picture is drawn
  QuerryStorage();
  uart_r_buf = allocate(uart_r_buf_len, "controller receive buffer");
  if (uart_r_buf == nullptr) return -1;

  // The worker threads run for the life of the process; one that cannot start is done without.
  struct Worker {
    void *(*routine)(void *);
    void *arg;
  };
  for (Worker w : {Worker{mcu_uart_thread, uart_r_buf}, Worker{play_h264_thread, nullptr},
                   Worker{usb_state_thread, nullptr}}) {
    pthread_t worker;
    if (pthread_create(&worker, nullptr, w.routine, w.arg) == 0) pthread_detach(worker);
  }

  playBootAnnimation();
  playPresetMode();
  ReadLVGLConfig();
  // Taken once, before the controller thread's save check may store another theme. The theme
  // indices, the GUI state, the frame rate and the saved theme's background change in one
  // request to the screen owner: the controller thread may follow the theme at any moment.
  screen_gui_loaded(lvgl_theme_index());
  dir_page_offset = 0;

  for (;;) {
    if (init_tty() != 0) return -1;
    host_command_loop(reply_buf);
    puts("uart_read null ");  // an upload still open survives the reopen
    if (uart_close(tty_fd) == -1) {
      fputs("close failed!\n", stderr);
      exit(1);
    }
  }
}
