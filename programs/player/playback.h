// Playing a parsed playlist to the component's playback handlers: which events
// reach which handler, in what order, and when. It keeps no clock and never
// waits: it names the moment it needs next, the caller waits for it however
// it likes and passes the time in, so it runs as well on a fake clock.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <optional>
#include <string>
#include <vector>

#include "player/playlist.h"
#include "player_side/lent_services.h"

namespace player {

// The playback events in handler slot order. vek-player's registry reads an
// event mask as one bit per event, bit n for slot n, so the component's 0xD6
// asks for new_track, playback_stopped, pause_changed, dynamic_info and
// dynamic_info_track.
// clang-format off
enum class event : unsigned {
  playback_starting, new_track, playback_stopped, seek, pause_changed,
  track_edited, dynamic_info, dynamic_info_track, time_tick, volume_changed
};
// clang-format on

const char* event_name(event what);
// The events a mask asks for, as "new_track, seek", or "none".
std::string event_list(std::uint32_t mask);

// Wall time since playback began.
using elapsed = std::chrono::duration<double, std::milli>;

// How playlist time becomes wall time.
struct pace {
  double factor = 1;                 // play this many times as fast as written
  std::optional<elapsed> each_step;  // or let every play and wait step last this
  elapsed length_of(double playlist_seconds) const;
};

// What playback tells a person; either may be left empty.
struct playback_report {
  std::function<void(const std::string&)> event;    // "line N: EVENT [detail]" for each event delivered
  std::function<void(const std::string&)> failure;  // a handler failed; the others still get the event
};

class playback {
 public:
  using handler_list = std::vector<player_callback_registry::registration>;

  // The handlers as registered now: a registration during an event does not
  // change whom that event reaches. `steps` must outlive the playback.
  playback(const std::vector<playlist::step>& steps, handler_list handlers, pace speed, playback_report report);

  // Once `now` has reached the moment named last (at first, the start),
  // delivers the events up to the next moment playback must wait for and
  // names it; before then, delivers nothing and names the same moment again.
  // Nothing once the playlist has been played to its end. The schedule is
  // kept from the start, so a late caller does not push later events back.
  std::optional<elapsed> advance(elapsed now);

  // Ends playback early: the handlers hear it stop, if it was playing.
  void interrupt();

  // Track references the handlers took and did not give back.
  std::int32_t kept_track_references() const;

 private:
  enum class waiting { not_started, tick, step_end, finished };

  template <class Call>
  void deliver(event what, const std::string& detail, Call call);
  void deliver_info(event what, const playlist::track_state& track);
  void stop(playlist::stop_reason reason);
  void perform_instant(const playlist::step& step);
  // From steps_[next_step_] on, everything up to the next moment to wait for.
  std::optional<elapsed> run_to_next_wait();
  elapsed tick_moment() const;
  elapsed end_step(double playlist_seconds);

  const std::vector<playlist::step>& steps_;
  const handler_list handlers_;
  const pace speed_;
  const playback_report report_;

  waiting waiting_ = waiting::not_started;
  std::size_t step_ = 0;  // the step being carried out
  elapsed step_begin_{};  // when the current play or wait step began
  elapsed due_{};         // the moment waited for
  double tick_ = 0;       // the track second of the next tick
  bool playing_ = false;
  std::list<player_track_handle> track_handles_;  // stay put while handlers may hold them
};

}  // namespace player
