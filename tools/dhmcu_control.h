// dhmcu's control socket: a serving dhmcu takes changes at run time from a Unix stream socket
// (scripts/sim makes it ROOT/host/mcu.ctl). A client connects, writes one line of words, gets
// one line back and the server closes:
//
//   mode N | temp N | pump N        the status fields of the periodic frames
//   wireless THEME,BRIGHT,ROT       a wireless display record in them; "wireless off" drops it
//   set OFFSET=HEX                  bytes of every frame dhmcu composes, from OFFSET on
//   unset OFFSET | unset all        drops such bytes
//   knob N                          N knob steps
//   picture FILE [packages=LIST] [size=N]
//                                   a picture in packages (in the order LIST gives, a package
//                                   left out or repeated), the end frame announcing N bytes
//   host-data HEX                   a host-data frame; the bytes also ride in bytes 35.. of
//                                   every later frame, so the host keeps reading them
//   wake                            a wake frame
//   slip                            one stray byte: the frames that follow are off by one
//   gap [MS]                        the next frame in two halves, MS apart (default 2500)
//   rate HZ                         periodic frames per second
//   state                           one JSON object: mode, temp, pump, rate, ...
//
// The answer is "ok", "error: REASON", or the JSON object.
#pragma once

#include <cstddef>
#include <deque>
#include <string>

#include "tools/dhmcu_frames.h"

// What a serving dhmcu runs with, and what the control words change.
struct ServingState {
  ControllerState controller;
  double rate = 10;
  std::deque<Outgoing> queue;  // one-shot writes, before the next periodic frame
  long frames_sent = 0;
  long messages_received = 0;
  std::optional<std::chrono::milliseconds> gap_next;  // the next frame goes out in two halves
};

// Carries out one line of control words; the answer line (without its newline).
std::string run_control_words(const std::string &line, ServingState &state);
// Queues a write, taking a pending gap.
void queue_outgoing(ServingState &state, Outgoing out);

// The listening socket at `path` (non-blocking); -1 with the reason in `error`. A stale socket
// file is replaced; one a live server answers on is not.
int control_listen(const std::string &path, std::string &error);
// One request as a client: `line` out, the answer in `reply`; false with the reason in `error`.
bool control_request(const std::string &path, const std::string &line, std::string &reply, std::string &error);
