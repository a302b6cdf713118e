// What vek-mpris shows of a reader state, with no D-Bus in it: the
// properties that change with the player (PlaybackStatus, Metadata, CanPlay),
// whether the bus name should be owned, the track ids, and when the state is
// signalled again after the name is taken. The D-Bus adaptor only copies
// these values out.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "reading/now_playing.h"

namespace mpris {

// A D-Bus object path ("o"), kept apart from plain text ("s").
struct object_path {
  std::string text;
  bool operator==(const object_path&) const = default;
};

using metadata_value = std::variant<std::string, std::vector<std::string>, std::int32_t, std::int64_t, object_path>;
using metadata_map = std::map<std::string, metadata_value>;

// The track id of "no track". Some clients ignore an empty Metadata (as a
// reply that says nothing) and keep showing the last track; this one they
// read as "nothing plays".
inline constexpr std::string_view no_track_path = "/org/mpris/MediaPlayer2/TrackList/NoTrack";

// Metadata while no track plays: mpris:trackid no_track_path alone.
metadata_map no_track_metadata();

struct player_view {
  bool present = false;  // the player runs: the bus name is owned
  bool playing = false;  // PlaybackStatus "Playing" and CanPlay true; else "Stopped" and false
  // The track's while playing, else no_track_metadata().
  metadata_map metadata = no_track_metadata();
  bool operator==(const player_view&) const = default;
};

// Every text valid UTF-8 without NUL, which D-Bus cannot carry: ill-formed
// sequences and NUL become U+FFFD.
std::string dbus_text(std::string_view bytes);

// The Metadata of a playing track (see the help of vek-mpris for the mapping).
metadata_map track_metadata(const reading::now_playing& state, const object_path& track_id);

// The states of one run, one line at a time.
class view_mapper {
 public:
  struct changes {
    bool presence = false;    // the name is to be taken or released
    bool properties = false;  // PlaybackStatus, Metadata and CanPlay are to be signalled
  };

  changes apply(const reading::now_playing& state);
  const player_view& view() const { return view_; }

 private:
  player_view view_;
  // The last track played and its id: a track keeps its id across a stop,
  // and gets a new one when its fields or length differ.
  std::vector<std::pair<std::string, std::string>> track_fields_;
  std::string track_length_;
  unsigned long tracks_ = 0;
};

// When the state is signalled again after the name is taken. Some clients
// subscribe to a player's signals only when they see its name appear, and
// read nothing until the next signal: the signal sent with the name comes
// before their subscription, the repeats after it.
class name_repeats {
 public:
  using clock = std::chrono::steady_clock;
  using ms = std::chrono::milliseconds;
  // After taking the name, each twice the one before: a client that subscribes
  // T after it waits for the next at most T more (15 ms when quicker); all
  // within a second.
  static constexpr std::array delays{ms{15}, ms{30}, ms{60}, ms{120}, ms{240}, ms{480}, ms{960}};

  void name_taken(clock::time_point now) {
    taken_ = now;
    next_ = 0;
  }
  void name_released() { next_ = delays.size(); }
  // When take_due is next true; time_point::max() for never.
  clock::time_point next_due() const;
  // True once for each repeat, at a call at or after its time: a repeat the
  // caller comes to late is still sent, so that each taking sends them all.
  bool take_due(clock::time_point now);

 private:
  clock::time_point taken_;
  std::size_t next_ = delays.size();  // the index of the repeat to come
};

// True when `text` can follow "org.mpris.MediaPlayer2." as one element of a
// bus name: ASCII letters, digits, '_' and '-', not starting with a digit,
// the whole name within 255 characters.
bool is_name_element(std::string_view text);

inline constexpr std::string_view bus_name_prefix = "org.mpris.MediaPlayer2.";

}  // namespace mpris
