// vek-player's playlist: a line-based UTF-8 text (see PLAYLIST.md)
// read strictly into the steps the player performs in order. Every rule of
// playback (nothing to pause while stopped, no seeking past the end, ...) is
// checked here, so the player only carries the steps out.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace playlist {

struct field {
  std::string name;
  std::vector<std::string> values;  // never empty
};

// What the player tells the component about the current track.
struct track_state {
  std::vector<field> fields;  // in the order written
  double length_seconds = 0;  // 0: unknown, as for a radio stream
};

// How a stop came about, passed as playback_stopped's reason code.
enum class stop_reason : unsigned { user = 0, end_of_playlist = 1 };

struct step {
  enum class kind {
    start_track,  // `track` and its tag lines; `state` is the new track
    update,       // one group of `update` lines; `state` is the track as changed
    play,         // time passes while playing; `seconds` long from `position`
    wait,         // time passes without playback (stopped or paused)
    pause,
    resume,
    seek,  // to `position`
    stop,  // `reason`
  };
  kind what;
  std::size_t line;      // 1-based line that produced the step
  track_state state;     // start_track and update only
  bool from_stopped{};   // start_track: playback starts afresh rather than moving on
  double seconds{};      // play and wait
  double position{};     // play: where it starts; seek: where it lands
  stop_reason reason{};  // stop
};

struct parsed {
  std::vector<step> steps;  // ends stopped: a final stop is added if needed
  std::size_t tracks = 0;
  double total_seconds = 0;  // sum of play and wait
};

// "file:line: message", or "file: message" for the file as a whole.
class error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Parses `text`; `file_name` only names the file in error messages.
parsed parse(std::string_view text, std::string_view file_name);

// The longest time one `play`, `wait` or seek position may take.
inline constexpr double longest_seconds = 24 * 60 * 60;

}  // namespace playlist
