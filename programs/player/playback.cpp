#include "player/playback.h"

#include <cmath>
#include <cstdio>
#include <exception>
#include <iterator>
#include <utility>

#include "platform/exception_bridge.h"

namespace player {
namespace {

constexpr const char* event_names[] = {"playback_starting", "new_track",     "playback_stopped", "seek",
                                       "pause_changed",     "track_edited",  "dynamic_info",     "dynamic_info_track",
                                       "time_tick",         "volume_changed"};

std::string seconds_text(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", seconds);
  return text;
}

}  // namespace

const char* event_name(event what) { return event_names[static_cast<unsigned>(what)]; }

std::string event_list(std::uint32_t mask) {
  std::string names;
  for (unsigned bit = 0; bit < std::size(event_names); ++bit)
    if (mask >> bit & 1) names += (names.empty() ? "" : ", ") + std::string(event_names[bit]);
  return names.empty() ? "none" : names;
}

elapsed pace::length_of(double playlist_seconds) const {
  return each_step ? *each_step : elapsed(playlist_seconds * 1000 / factor);
}

playback::playback(const std::vector<playlist::step>& steps, handler_list handlers, pace speed, playback_report report)
    : steps_(steps), handlers_(std::move(handlers)), speed_(speed), report_(std::move(report)) {}

std::optional<elapsed> playback::advance(elapsed now) {
  switch (waiting_) {
    case waiting::finished:
      return std::nullopt;
    case waiting::not_started:
      return run_to_next_wait();
    case waiting::tick:
    case waiting::step_end:
      break;
  }
  if (now < due_) return due_;
  if (waiting_ == waiting::step_end) {
    ++step_;
    return run_to_next_wait();
  }
  const playlist::step& step = steps_[step_];
  const double tick = tick_;
  deliver(event::time_tick, seconds_text(tick), [tick](play_callback* handler) { handler->time_tick(tick); });
  tick_ += 1;
  if (tick_ <= step.position + step.seconds) return due_ = tick_moment();
  return end_step(step.seconds);
}

void playback::interrupt() {
  if (waiting_ == waiting::finished) return;
  if (playing_) stop(playlist::stop_reason::user);
  waiting_ = waiting::finished;
}

std::int32_t playback::kept_track_references() const {
  std::int32_t kept = 0;
  for (const player_track_handle& handle : track_handles_) kept += handle.balance();
  return kept;
}

std::optional<elapsed> playback::run_to_next_wait() {
  using kind = playlist::step::kind;
  for (; step_ < steps_.size(); ++step_) {
    const playlist::step& step = steps_[step_];
    if (step.what == kind::play) {
      // A tick at each whole second of the track reached while playing.
      tick_ = std::floor(step.position) + 1;
      if (tick_ > step.position + step.seconds) return end_step(step.seconds);
      waiting_ = waiting::tick;
      return due_ = tick_moment();
    }
    if (step.what == kind::wait) return end_step(step.seconds);
    perform_instant(step);
  }
  waiting_ = waiting::finished;
  return std::nullopt;
}

elapsed playback::tick_moment() const {
  const playlist::step& step = steps_[step_];
  return step_begin_ + speed_.length_of(step.seconds) * (tick_ - step.position) / step.seconds;
}

elapsed playback::end_step(double playlist_seconds) {
  step_begin_ += speed_.length_of(playlist_seconds);
  waiting_ = waiting::step_end;
  return due_ = step_begin_;
}

template <class Call>
void playback::deliver(event what, const std::string& detail, Call call) {
  const std::size_t line = steps_[step_].line;
  bool announced = !report_.event;
  for (const player_callback_registry::registration& registered : handlers_) {
    if (!(registered.event_mask >> static_cast<unsigned>(what) & 1)) continue;
    if (!announced) {
      report_.event("line " + std::to_string(line) + ": " + event_name(what) + (detail.empty() ? "" : " " + detail));
      announced = true;
    }
    // A player reports a failing handler and goes on with the next one.
    try {
      platform::call_player([&] { call(registered.handler); });
    } catch (const std::exception& error) {
      if (report_.failure) report_.failure("line " + std::to_string(line) + ": the component failed: " + error.what());
    }
  }
}

void playback::deliver_info(event what, const playlist::track_state& track) {
  std::vector<player_field> fields;
  std::string detail;
  for (const playlist::field& field : track.fields) {
    fields.push_back({field.name, field.values});
    detail += field.name + "=";
    for (std::size_t i = 0; i < field.values.size(); ++i) detail += (i ? "|" : "") + field.values[i];
    detail += "; ";
  }
  detail += "length " + seconds_text(track.length_seconds) + " s";
  const player_track_info info(std::move(fields), track.length_seconds);
  deliver(what, detail, [&info, what](play_callback* handler) {
    if (what == event::dynamic_info) {
      handler->dynamic_info(&info);
    } else {
      handler->dynamic_info_track(&info);
    }
  });
}

void playback::stop(playlist::stop_reason reason) {
  const auto code = static_cast<std::uint32_t>(reason);
  deliver(event::playback_stopped, reason == playlist::stop_reason::user ? "user" : "end of playlist",
          [code](play_callback* handler) { handler->playback_stopped(code); });
  playing_ = false;
}

void playback::perform_instant(const playlist::step& step) {
  using kind = playlist::step::kind;
  switch (step.what) {
    case kind::start_track: {
      if (step.from_stopped)
        deliver(event::playback_starting, "", [](play_callback* handler) { handler->playback_starting(0, false); });
      player_track_handle& track = track_handles_.emplace_back();
      deliver(event::new_track, "", [&track](play_callback* handler) {
        track.add_reference();  // the handler owns this one
        handler->new_track(&track);
      });
      deliver_info(event::dynamic_info, step.state);
      playing_ = true;
      return;
    }
    case kind::update:
      deliver_info(event::dynamic_info, step.state);
      deliver_info(event::dynamic_info_track, step.state);
      return;
    case kind::pause:
    case kind::resume: {
      const bool paused = step.what == kind::pause;
      deliver(event::pause_changed, paused ? "paused" : "resumed",
              [paused](play_callback* handler) { handler->pause_changed(paused); });
      return;
    }
    case kind::seek:
      deliver(event::seek, seconds_text(step.position) + " s",
              [&step](play_callback* handler) { handler->seek(step.position); });
      return;
    case kind::stop:
      stop(step.reason);
      return;
    case kind::play:
    case kind::wait:
      return;  // timed steps are carried out by run_to_next_wait and advance
  }
}

}  // namespace player
