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
  // name was just taken, sends it once more late_repeat::delay later (see
  // run_due), whatever is shown then.
  void show(const player_view& view, const view_mapper::changes& changes);

  // What the event loop calls: when run_due next has something to do
  // (time_point::max() for never), and doing it.
  late_repeat::clock::time_point next_due() const { return repeat_.next_due(); }
  void run_due(late_repeat::clock::time_point now);

 private:
  void signal_properties();

  std::unique_ptr<sdbus::IObject> object_;
  std::string identity_;
  player_view view_;
  late_repeat repeat_;
};

}  // namespace mpris
