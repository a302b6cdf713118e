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

  // Shows `view` from now on; with `signal`, sends one PropertiesChanged
  // holding PlaybackStatus, Metadata and CanPlay.
  void show(const player_view& view, bool signal);

 private:
  std::unique_ptr<sdbus::IObject> object_;
  std::string identity_;
  player_view view_;
};

}  // namespace mpris
