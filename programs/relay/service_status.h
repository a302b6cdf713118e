// What a relay tells systemd (Type=notify) through $NOTIFY_SOCKET: READY=1
// once its source and destination have started, STOPPING=1 once it ends, and a STATUS= line a person
// reads in `systemctl --user status`: what is shown now, then what the link
// to the destination is doing, e.g.
//   "Playing: Band – Song · Connected as alice@example.org"
// Without $NOTIFY_SOCKET (not run by systemd) every call does nothing. Only
// changes are sent. One thread.
#pragma once

#include <string>

#include "reading/now_playing.h"

namespace relay {

class service_status {
 public:
  void ready();
  void stopping();
  // "Playing: ARTIST – TITLE" (or what of the two there is), "Stopped",
  // "Nothing played yet", "Player not running".
  void show(const reading::now_playing& state);
  // What the destination's link does: "Connected as ...", "Reconnecting in 30 s: ...".
  void link(std::string text);

  // The STATUS= text as of now.
  std::string text() const;

 private:
  void send(const char* extra);

  std::string shown_ = "No state yet", link_, sent_;
  bool ready_ = false, stopping_ = false;
};

// The shown part of the status for a state, one line of valid UTF-8 cut to a
// readable length.
std::string shown_text(const reading::now_playing& state);

}  // namespace relay
