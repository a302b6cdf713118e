// The object /org/mpris/MediaPlayer2 on a bus connection: the MPRIS root and
// player interfaces over a player_view, which only shows and never controls.
// Properties and Introspectable come with sd-bus.
#pragma once

#include <sdbus-c++/sdbus-c++.h>

#include <memory>
#include <string>

#include "mpris/player_view.h"

namespace mpris {

class mpris_object {
 public:
  mpris_object(sdbus::IConnection& connection, std::string identity);

  // Shows `view` from now on. With `changes.properties`, sends one
  // PropertiesChanged holding PlaybackStatus, Metadata and CanPlay; when the
  // name was just taken, sends it again at each of name_repeats::delays
  // later (see run_due), whatever is shown then, until the name is released.
  void show(const player_view& view, const view_mapper::changes& changes);

  // What the event loop calls: when run_due next has something to do
  // (time_point::max() for never), and doing it.
  name_repeats::clock::time_point next_due() const { return repeats_.next_due(); }
  void run_due(name_repeats::clock::time_point now);

 private:
  void signal_properties();

  std::unique_ptr<sdbus::IObject> object_;
  std::string identity_;
  player_view view_;
  name_repeats repeats_;
};

}  // namespace mpris
