#include "mpris/player_view.h"

#include <charconv>
#include <limits>
#include <optional>

#include "text/utf8.h"

namespace mpris {
namespace {

// The first tag of a name, as every output reads it, as D-Bus text.
std::optional<std::string> first_value(const reading::now_playing& state, std::string_view name) {
  const std::string* value = reading::first_tag(state, name);
  return value ? std::optional(dbus_text(*value)) : std::nullopt;
}

// "3" or "3/12" gives 3; anything else, or a number below 1, gives nothing.
std::optional<std::int32_t> position_number(std::string_view text) {
  const std::string_view number = text.substr(0, text.find('/'));
  std::int32_t value;
  const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
  if (number.empty() || error != std::errc{} || end != number.data() + number.size() || value < 1) return std::nullopt;
  return value;
}

// The known length in microseconds; nothing beyond 64 bits of them.
std::optional<std::int64_t> length_microseconds(const reading::now_playing& state) {
  constexpr std::int64_t per_second = 1'000'000;
  const auto seconds = reading::known_length(state);
  if (!seconds || *seconds > std::numeric_limits<std::int64_t>::max() / per_second) return std::nullopt;
  return *seconds * per_second;
}

}  // namespace

std::string dbus_text(std::string_view bytes) {
  std::string text = text::repair_utf8(bytes);
  for (std::size_t at = text.find('\0'); at != std::string::npos; at = text.find('\0', at)) {
    text.replace(at, 1, "\xEF\xBF\xBD");
  }
  return text;
}

metadata_map no_track_metadata() { return {{"mpris:trackid", object_path{std::string(no_track_path)}}}; }

metadata_map track_metadata(const reading::now_playing& state, const object_path& track_id) {
  metadata_map metadata;
  metadata["mpris:trackid"] = track_id;
  if (auto length = length_microseconds(state)) metadata["mpris:length"] = *length;
  for (const auto& [key, tag] : {std::pair{"xesam:title", "title"}, {"xesam:album", "album"}}) {
    if (auto value = first_value(state, tag)) metadata[key] = *value;
  }
  // The reader passes on the player's tag names; "uri" is the name the tune uses.
  if (auto url = first_value(state, "url")) {
    metadata["xesam:url"] = *url;
  } else if (auto uri = first_value(state, "uri")) {
    metadata["xesam:url"] = *uri;
  }
  for (const auto& [key, tag] : {std::pair{"xesam:artist", "artist"},
                                 {"xesam:albumArtist", "album artist"},
                                 {"xesam:genre", "genre"},
                                 {"xesam:composer", "composer"},
                                 {"xesam:comment", "comment"}}) {
    if (auto value = first_value(state, tag)) metadata[key] = std::vector{std::move(*value)};
  }
  for (const auto& [key, tag] : {std::pair{"xesam:trackNumber", "tracknumber"}, {"xesam:discNumber", "discnumber"}}) {
    if (auto value = first_value(state, tag)) {
      if (auto number = position_number(*value)) metadata[key] = *number;
    }
  }
  return metadata;
}

view_mapper::changes view_mapper::apply(const reading::now_playing& state) {
  player_view next;
  next.present = state.state != reading::player_state::absent;
  next.playing = state.state == reading::player_state::playing;
  if (next.playing) {
    if (tracks_ == 0 || state.fields != track_fields_ || state.length != track_length_) {
      ++tracks_;
      track_fields_ = state.fields;
      track_length_ = state.length;
    }
    next.metadata = track_metadata(state, object_path{"/org/vek_ipc/track/" + std::to_string(tracks_)});
  }
  changes made;
  made.presence = next.present != view_.present;
  made.properties = next.playing != view_.playing || next.metadata != view_.metadata;
  view_ = std::move(next);
  return made;
}

name_repeats::clock::time_point name_repeats::next_due() const {
  return next_ < delays.size() ? taken_ + delays[next_] : clock::time_point::max();
}

bool name_repeats::take_due(clock::time_point now) {
  if (now < next_due()) return false;
  ++next_;
  return true;
}

bool is_name_element(std::string_view text) {
  constexpr std::size_t longest_name = 255;
  if (text.empty() || text.size() > longest_name - bus_name_prefix.size()) return false;
  if (text.front() >= '0' && text.front() <= '9') return false;
  for (const char c : text) {
    const bool allowed =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
    if (!allowed) return false;
  }
  return true;
}

}  // namespace mpris
