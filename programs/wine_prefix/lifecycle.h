// When Wine runs for the relays, decided here and nowhere else, on a clock
// the caller passes in (tests drive it by hand). No Wine process may run for
// them while no Wine program of the player's prefix runs:
//   - the relay waits, without Wine, until the prefix's wineserver runs;
//   - it then runs vek-ipc-read.exe --watch under Wine, which ends by itself
//     once nothing but Wine's own processes has run in the prefix for
//     `idle_watch::idle_time`;
//   - it waits until the wineserver ends (Wine's own processes end a few
//     seconds after the last program), then waits for the next one. A
//     wineserver that outlives its programs by `reader_schedule::first_linger`
//     serves a program started meanwhile (the player restarted) or was told
//     to persist: the reader runs again, and the next linger is twice as
//     long, up to `longest_linger`, so that a persistent server is looked at
//     ever more rarely rather than in a loop;
//   - a reader that dies (killed, Wine crashed) while the wineserver still
//     runs is run again at once; if it keeps dying, after a delay that
//     doubles up to `longest_restart_delay`.
// Portable: the reader (Windows) and the relays (Linux) both build it.
#pragma once

#include <chrono>
#include <string_view>

namespace wine_prefix {

using clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Processes that Wine runs in every prefix for as long as any program runs
// there; they end by themselves once the last one has. Lower case.
inline constexpr std::string_view own_processes[] = {"services.exe", "explorer.exe",       "plugplay.exe",
                                                     "rpcss.exe",    "svchost.exe",        "winedevice.exe",
                                                     "conhost.exe",  "winemenubuilder.exe"};

// Whether an executable's file name (any ASCII letter case; wide or narrow)
// is one of Wine's own processes.
template <class Char>
bool is_own_process(std::basic_string_view<Char> name) {
  for (const std::string_view own : own_processes) {
    if (own.size() != name.size()) continue;
    bool same = true;
    for (std::size_t at = 0; at < own.size() && same; ++at) {
      const auto c = name[at];
      const auto lower = c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c;
      same = lower == static_cast<decltype(lower)>(own[at]);
    }
    if (same) return true;
  }
  return false;
}

// The reader's side: whether its watch may end because the prefix is idle.
class idle_watch {
 public:
  // Also covers a player's start, which may show no process of its own at first.
  static constexpr clock::duration idle_time = 5s;

  // One look: `busy` when the player's window exists or a program other than
  // Wine's own processes (and the reader with its children) runs. True once
  // the prefix has been idle for idle_time at every look.
  bool idle_long_enough(clock::time_point now, bool busy);

 private:
  clock::time_point idle_since_ = clock::time_point::max();
};

// The relay's side: what to do with Wine next.
class reader_schedule {
 public:
  static constexpr clock::duration first_linger = 6s, longest_linger = 10min;
  // Wine has ended the reader of a killed wineserver before the server
  // itself: the first restart looks a moment later whether the server stays.
  static constexpr clock::duration first_restart_delay = 250ms, longest_restart_delay = 30s;
  // A reader that ran this long before it died starts the delays over.
  static constexpr clock::duration steady_run = 1min;

  enum class step {
    wait_for_server,      // no wineserver: wait for one, without Wine
    run_reader,           // run the reader now
    reading,              // the reader runs
    wait_for_server_end,  // the reader is done: wait until `until()` for the server to end
    wait_to_restart,      // the reader died: run it again at `until()` if the server still runs
  };

  step next() const { return next_; }
  clock::time_point until() const { return until_; }

  // What was seen; each sets next().
  void server_running(clock::time_point now);  // in wait_for_server, or when a restart is due
  void server_gone();                          // no wineserver (at any step)
  void reader_started(clock::time_point now);  // in run_reader
  // The reader ended: `idle` when it ended its watch because the prefix was
  // idle (status 0), else it died or could not start.
  void reader_ended(clock::time_point now, bool idle);
  void server_outlived_linger(clock::time_point now);  // until() passed in wait_for_server_end

 private:
  step next_ = step::wait_for_server;
  clock::time_point until_ = clock::time_point::max();
  clock::duration linger_ = first_linger;
  clock::duration restart_delay_ = clock::duration::zero();
  clock::time_point reader_start_{};
};

}  // namespace wine_prefix
