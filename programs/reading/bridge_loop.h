// The one event loop of both bridges (Linux only): on one thread it waits on
// SIGINT and SIGTERM, standard input and the bridge's own descriptors
// together, hands each state line of the input to the bridge, and lets the
// bridge do what is due. The bridge supplies only what differs: its library's
// descriptors and deadlines, what a state does, and how it ends.
#pragma once

#include <poll.h>

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <variant>

#include "reading/now_playing.h"

namespace reading {

// What a bridge adds to the loop. Every call comes from the loop's thread.
class bridge {
 public:
  using clock = std::chrono::steady_clock;

  // What to wait on besides the signals and the input: up to two
  // descriptors (fd -1: none) and a deadline (max: none).
  struct wait {
    pollfd descriptors[2] = {{-1, 0, 0}, {-1, 0, 0}};
    clock::time_point until = clock::time_point::max();
  };

  // Does what is due now (the library's events included), then says what to
  // wait on, or returns the status to exit with. `ending` is true from the
  // first turn after the input ended or a signal came: the bridge then
  // finishes in order and returns its status.
  virtual std::variant<wait, int> turn(bool ending) = 0;

  // A state line from the input, in order, between two turns.
  virtual void take(const now_playing& state) = 0;

 protected:
  ~bridge() = default;
};

// How the bridge takes its input: everything there is at each wake-up, or
// one chunk of 64 KiB, so that a flood still leaves turns to the library.
enum class input_pace { drain, chunk };

// Runs `bridge` on standard input until it returns a status, which this
// returns. A malformed line, and a failure of the loop itself (status 1),
// are reported as "PROGRAM: ...".
int run_bridge(std::string_view program, bridge& bridge, input_pace pace);

// Runs a program's body; an exception that escapes it is reported as
// "PROGRAM: failed: WHAT", status 1.
int run_reporting_failure(std::string_view program, const std::function<int()>& body);

// "PROGRAM: TEXT" on standard error: the bridges' one form of message.
void say(std::string_view program, std::string_view text);

// The local time of day, "12:00:01", for the bridges' --verbose lines.
std::string clock_time();

}  // namespace reading
