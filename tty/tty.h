// The serial port layer under both links: raw termios set-up, exact-count reads with time
// limits, complete writes that wait for transmission. Keeps no state beyond the two port
// descriptors. Messages go to standard error, except the "done" lines on standard output.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>

// --- Port descriptors: written by their set-up function (the result of the open, -1 included).
// Host port: the main thread opens, reads, writes and closes it.
extern int tty_fd;                    // 0 until init_tty runs
// Controller port: the controller thread opens and reads it; the main thread writes to it
// when it forwards host commands.
extern std::atomic<int> tty_fd_mcu;   // -2 until init_mcu_tty runs

// Read timing: the first byte of a read may take this long...
constexpr int uart_first_byte_timeout_s = 15;
// ...then the driver returns after this much silence (VTIME in tenths of a second, VMIN 0).
constexpr int uart_silence_deciseconds = 20;

// Opens read-write, not as controlling terminal, blocking. -1 with "uart open failed!".
int uart_open(const char *pathname);

// Raw mode at `speed` (one of the 30 standard rates), flow 'N'/'n' or 'H'/'h', 5..8 data bits,
// parity 'N' 'O' 'E' 'S' (either case), 1 or 2 stop bits. Every argument is checked before
// anything is applied: a refused one leaves the port untouched. Flushes both queues.
int uart_config(int fd, int speed, char flow, int data_bits, char parity, int stop_bits);

// Reads exactly `count` bytes; -1 when the driver returns nothing (2 s of silence) or an error.
// Bytes already read stay in `buffer`.
int safe_read(int fd, void *buffer, size_t count);

// Writes all `count` bytes (writability polled without waiting), then waits for transmission.
int safe_write(int fd, const void *data, size_t count);

// Writes all `count` bytes to a non-blocking descriptor, waiting for room as it goes, then
// waits for its output queue to empty; neither wait goes past `deadline`. The count when all
// went out and was drained; -1 with a message (how many bytes went out) otherwise.
int write_before(int fd, const void *data, size_t count,
                 std::chrono::steady_clock::time_point deadline);

// Waits up to 15 s for the port to become readable, then safe_read of `count` bytes.
int uart_read(int fd, void *buffer, size_t count);

// Closes; 0 or -1. A zero descriptor is a programming error.
int uart_close(int fd);

// The two links: host "/dev/ttyGS0" at 115200 8N1, controller "/dev/ttyS5" at 460800 8N1,
// both under the sandbox root when one is set.
int init_tty();
int init_mcu_tty();
