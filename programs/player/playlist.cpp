#include "player/playlist.h"

#include <charconv>
#include <cmath>
#include <utility>

#include "text/ascii.h"
#include "text/utf8.h"

namespace playlist {
namespace {

constexpr std::string_view blanks = " \t";
// Sums of written decimals are inexact: "play 0.1s" three times reaches 0.3.
constexpr double time_tolerance = 1e-6;

std::string_view trim(std::string_view text) {
  const std::size_t first = text.find_first_not_of(blanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// Control characters other than the tab (a zero byte included: the
// component receives C strings).
bool has_control_character(std::string_view text) {
  for (char c : text)
    if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7F) return true;
  return false;
}

class parser {
 public:
  explicit parser(std::string_view file_name) : file_name_(file_name) {}

  void read_line(std::size_t number, std::string_view text) {
    line_ = number;
    if (!text::is_well_formed_utf8(text)) fail("not valid UTF-8");
    if (has_control_character(text)) fail("control character in the line");
    const std::string_view content = trim(text);
    if (content.empty() || content.front() == '#') return;

    const std::string_view keyword = content.substr(0, content.find_first_of(blanks));
    const std::string_view argument = trim(content.substr(keyword.size()));
    if (keyword == "update") {
      update(argument);
    } else if (content.find('=') != std::string_view::npos) {
      tag(content);
    } else {
      event(keyword, argument);
    }
  }

  parsed finish(std::size_t last_line) {
    line_ = last_line;
    close_header();
    if (result_.tracks == 0) throw error(std::string(file_name_) + ": no track in the playlist");
    if (playback_ != state::stopped) add_step(step::kind::stop).reason = stop_reason::end_of_playlist;
    return std::move(result_);
  }

 private:
  enum class state { stopped, playing, paused };

  [[noreturn]] void fail(std::string_view message) const {
    throw error(std::string(file_name_) + ":" + std::to_string(line_) + ": " + std::string(message));
  }

  step& add_step(step::kind what) {
    if (what != step::kind::update) update_open_ = false;
    step& added = result_.steps.emplace_back();
    added.what = what;
    added.line = line_;
    return added;
  }

  // A number of seconds: digits with an optional fraction, then "s", "ms" or
  // nothing (seconds).
  double seconds(std::string_view text, std::string_view what) const {
    double divisor = 1;
    std::string_view number = text;
    if (number.ends_with("ms")) {
      number.remove_suffix(2);
      divisor = 1000;
    } else if (number.ends_with("s")) {
      number.remove_suffix(1);
    }
    double value = 0;
    const bool digits_only = !number.empty() && number.find_first_not_of("0123456789.") == std::string_view::npos &&
                             number.front() != '.' && number.back() != '.';
    const auto [end, failure] =
        std::from_chars(number.data(), number.data() + number.size(), value, std::chars_format::fixed);
    if (!digits_only || failure != std::errc{} || end != number.data() + number.size())
      fail(std::string("expected ") + std::string(what) + " such as 3s, 1.5s or 250ms, not '" + std::string(text) +
           "'");
    value /= divisor;
    if (value > longest_seconds) fail(std::string(what) + " longer than 24 hours");
    return value;
  }

  // The track being described by tag lines starts playing once another kind
  // of line comes (or the file ends).
  void close_header() {
    if (!header_open_) return;
    header_open_ = false;
    step& started = add_step(step::kind::start_track);
    started.line = header_line_;
    started.state = pending_;
    started.from_stopped = playback_ == state::stopped;
    current_ = std::move(pending_);
    playback_ = state::playing;
    position_ = 0;
    ++result_.tracks;
  }

  void require_track(std::string_view keyword) const {
    if (playback_ == state::stopped) fail("`" + std::string(keyword) + "` with no track playing");
  }

  void require_no_argument(std::string_view keyword, std::string_view argument) const {
    if (!argument.empty()) fail("`" + std::string(keyword) + "` takes no argument");
  }

  // `name = value` of a tag or an update, with the name checked.
  std::pair<std::string_view, std::string_view> assignment(std::string_view text) const {
    const std::size_t equals = text.find('=');
    if (equals == std::string_view::npos) fail("expected 'name = value'");
    const std::string_view name = trim(text.substr(0, equals));
    if (name.empty()) fail("a tag needs a name before '='");
    return {name, trim(text.substr(equals + 1))};
  }

  // Adds `value` to the field called `name` (any letter case), or replaces
  // the field's values when `replace` is set; a new name goes last.
  static void set_field(track_state& track, std::string_view name, std::string_view value, bool replace) {
    for (field& known : track.fields) {
      if (!text::equals_ignoring_ascii_case(known.name, name)) continue;
      if (replace) known.values.clear();
      known.values.emplace_back(value);
      return;
    }
    track.fields.push_back({std::string(name), {std::string(value)}});
  }

  void tag(std::string_view text) {
    if (!header_open_) {
      if (result_.tracks == 0) fail("a tag line must follow a `track` line");
      fail("tags go right after `track`; use `update name = value` to change them while playing");
    }
    const auto [name, value] = assignment(text);
    if (text::equals_ignoring_ascii_case(name, "length")) {
      if (length_given_) fail("length given twice");
      length_given_ = true;
      pending_.length_seconds = seconds(value, "a length");
    } else {
      set_field(pending_, name, value, false);
    }
  }

  // Consecutive update lines make one change of the track information: the
  // first line naming a field replaces its values, later ones add to them.
  void update(std::string_view argument) {
    close_header();
    require_track("update");
    const auto [name, value] = assignment(argument);
    if (!update_open_) {
      add_step(step::kind::update).state = current_;
      update_open_ = true;
      updated_names_.clear();
    }
    track_state& changed = result_.steps.back().state;
    bool first_mention = true;
    for (const std::string& seen : updated_names_)
      first_mention = first_mention && !text::equals_ignoring_ascii_case(seen, name);
    if (first_mention) updated_names_.emplace_back(name);
    if (text::equals_ignoring_ascii_case(name, "length")) {
      if (!first_mention) fail("length given twice");
      changed.length_seconds = seconds(value, "a length");
      if (changed.length_seconds > 0 && position_ > changed.length_seconds + time_tolerance)
        fail("the new length lies before the position");
    } else {
      set_field(changed, name, value, first_mention);
    }
    current_ = changed;
  }

  void event(std::string_view keyword, std::string_view argument) {
    if (keyword == "track") {
      require_no_argument(keyword, argument);
      close_header();
      if (playback_ == state::paused) fail("playback is paused: `resume` or `stop` before the next track");
      header_open_ = true;
      header_line_ = line_;
      length_given_ = false;
      pending_ = {};
      update_open_ = false;
      return;
    }
    close_header();
    if (keyword == "play") {
      require_track(keyword);
      if (playback_ == state::paused) fail("playback is paused: `resume` first, or let time pass with `wait`");
      const double duration = seconds(argument, "a duration");
      if (current_.length_seconds > 0 && position_ + duration > current_.length_seconds + time_tolerance)
        fail("playing past the end of the track");
      step& played = add_step(step::kind::play);
      played.seconds = duration;
      played.position = position_;
      position_ += duration;
      result_.total_seconds += duration;
    } else if (keyword == "wait") {
      if (playback_ == state::playing) fail("playback is running: use `play` to let time pass");
      add_step(step::kind::wait).seconds = seconds(argument, "a duration");
      result_.total_seconds += result_.steps.back().seconds;
    } else if (keyword == "pause") {
      require_no_argument(keyword, argument);
      require_track(keyword);
      if (playback_ == state::paused) fail("playback is already paused");
      add_step(step::kind::pause);
      playback_ = state::paused;
    } else if (keyword == "resume") {
      require_no_argument(keyword, argument);
      if (playback_ != state::paused) fail("`resume` without `pause`");
      add_step(step::kind::resume);
      playback_ = state::playing;
    } else if (keyword == "seek") {
      require_track(keyword);
      const double target = seconds(argument, "a position");
      if (current_.length_seconds <= 0) fail("cannot seek in a track without a length");
      if (target > current_.length_seconds + time_tolerance) fail("seek position past the end of the track");
      add_step(step::kind::seek).position = target;
      position_ = target;
    } else if (keyword == "stop") {
      require_no_argument(keyword, argument);
      require_track(keyword);
      add_step(step::kind::stop).reason = stop_reason::user;
      playback_ = state::stopped;
    } else {
      fail("unknown line '" + std::string(keyword) +
           "': expected track, play, wait, pause, resume, seek, stop, update or 'name = value'");
    }
  }

  std::string_view file_name_;
  std::size_t line_ = 0;
  parsed result_;

  state playback_ = state::stopped;
  track_state current_;  // the track playing or paused
  double position_ = 0;

  bool header_open_ = false;  // between `track` and the first line of another kind
  std::size_t header_line_ = 0;
  bool length_given_ = false;
  track_state pending_;

  bool update_open_ = false;  // the last step is an update that later update lines join
  std::vector<std::string> updated_names_;
};

}  // namespace

parsed parse(std::string_view text, std::string_view file_name) {
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  parser reader(file_name);
  std::size_t number = 0;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (line.ends_with('\r')) line.remove_suffix(1);
    reader.read_line(++number, line);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
  }
  return reader.finish(number);
}

}  // namespace playlist
