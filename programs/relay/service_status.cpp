#include "relay/service_status.h"

#include <systemd/sd-daemon.h>

#include "reading/output.h"

namespace relay {
namespace {

// A tag's text for a one-line status: valid UTF-8, control characters as
// spaces, cut after a whole character.
std::string one_line(const std::string& bytes, std::size_t most) {
  std::string text = reading::repair_utf8(bytes);
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
  }
  if (text.size() <= most) return text;
  std::size_t cut = most;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return text.substr(0, cut) + "\u2026";
}

}  // namespace

std::string shown_text(const reading::now_playing& state) {
  switch (state.state) {
    case reading::player_state::absent:
      return "Player not running";
    case reading::player_state::none:
      return "Nothing played yet";
    case reading::player_state::stopped:
      return "Stopped";
    case reading::player_state::playing:
      break;
  }
  constexpr std::size_t most = 120;
  const std::string* artist = reading::first_tag(state, "artist");
  const std::string* title = reading::first_tag(state, "title");
  if (artist && title) return "Playing: " + one_line(*artist, most) + " \u2013 " + one_line(*title, most);
  if (title) return "Playing: " + one_line(*title, most);
  if (artist) return "Playing: " + one_line(*artist, most);
  return "Playing";
}

std::string service_status::text() const { return link_.empty() ? shown_ : shown_ + " \u00b7 " + link_; }

void service_status::ready() {
  if (ready_) return;
  ready_ = true;
  send("READY=1\n");
}

void service_status::stopping() {
  if (stopping_) return;
  stopping_ = true;
  send("STOPPING=1\n");
}

void service_status::show(const reading::now_playing& state) {
  shown_ = shown_text(state);
  if (ready_) send("");
}

void service_status::link(std::string text) {
  link_ = std::move(text);
  if (ready_) send("");
}

void service_status::send(const char* extra) {
  const std::string status = text();
  if (*extra == '\0' && status == sent_) return;
  sent_ = status;
  // Not under systemd, this does nothing; a failure to tell it is no reason to stop.
  sd_notify(0, (extra + ("STATUS=" + status)).c_str());
}

}  // namespace relay
