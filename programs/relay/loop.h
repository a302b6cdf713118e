// The one event loop of both relays (vek-tune-publish, vek-mpris; Linux
// only). A relay takes the player's states from a source (standard input, or
// the reader it runs under Wine) and hands them to its destination (the XMPP
// account, the session bus). On one thread the loop waits on SIGINT and
// SIGTERM, the source's descriptors and the destination's together, with the
// earliest deadline either names; nothing else in a relay waits.
#pragma once

#include <poll.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "reading/now_playing.h"
#include "reading/state_input.h"
#include "relay/service_status.h"

namespace relay {

using clock = std::chrono::steady_clock;

// What to wait on until the next turn: descriptors and the earliest deadline.
class wait_list {
 public:
  static constexpr int most = 8;
  // Ignores fd -1. Throws std::length_error past `most` (a programming error).
  void watch(int fd, short events);
  void until(clock::time_point deadline) {
    if (deadline < until_) until_ = deadline;
  }

  pollfd* descriptors() { return descriptors_; }
  int count() const { return count_; }
  clock::time_point deadline() const { return until_; }

 private:
  pollfd descriptors_[most] = {};
  int count_ = 0;
  clock::time_point until_ = clock::time_point::max();
};

// Where the states go. Every call comes from the loop's thread.
class destination {
 public:
  // Does what is due now (its library's events included) and adds what to
  // wait on; or, once it has ended, returns the status to exit with.
  // `ending` is true from the first turn after the source ended or a signal
  // came: it then finishes in order (still through turns) and returns its status.
  virtual std::optional<int> turn(bool ending, wait_list& wait) = 0;
  // A state from the source, in order, between two turns.
  virtual void take(const reading::now_playing& state) = 0;

 protected:
  ~destination() = default;
};

// Where the states come from. Every call comes from the loop's thread.
class source {
 public:
  enum class progress { going, ended, failed };
  // Does what is due now, handing each state to `take`, and adds what to
  // wait on. `ending`: a signal came or the destination ended; the source
  // winds down (still through turns) and then says `ended`. `failed`: it
  // cannot go on (it has said why); the relay then ends with status 1.
  virtual progress turn(bool ending, wait_list& wait, const std::function<void(const reading::now_playing&)>& take) = 0;

 protected:
  ~source() = default;
};

// The states on standard input, as the reader prints them (JSON lines). It
// ends at the end of the input. `chunked`: one chunk of 64 KiB a turn, so
// that a flood still leaves turns to the destination; else all there is.
class input_source final : public source {
 public:
  input_source(std::string_view program, bool chunked);
  progress turn(bool ending, wait_list& wait, const std::function<void(const reading::now_playing&)>& take) override;

 private:
  bool chunked_;
  bool open_ = true;
  reading::state_input lines_;
};

// No states at all, for a run that reads no input (vek-tune-publish
// --check): it ends when the loop ends.
class no_input final : public source {
 public:
  progress turn(bool ending, wait_list&, const std::function<void(const reading::now_playing&)>&) override {
    return ending ? progress::ended : progress::going;
  }
};

// Runs until both have ended; returns the destination's status (1 when the
// source failed and the destination ended well). Tells systemd through
// `status`: ready once running, each state shown, stopping once ending. A
// failure of the loop itself is reported as "PROGRAM: ..." and returns 1.
int run(std::string_view program, source& from, destination& to, service_status& status);

// Runs a program's body; an exception that escapes it is reported as
// "PROGRAM: failed: WHAT", status 1.
int run_reporting_failure(std::string_view program, const std::function<int()>& body);

// "PROGRAM: TEXT" on standard error: the relays' one form of message.
void say(std::string_view program, std::string_view text);

// The local time of day, "12:00:01", for the relays' --verbose lines.
std::string clock_time();

}  // namespace relay
