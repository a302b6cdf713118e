// The playlist reader: the steps a hand-written file turns into, and the line
// and reason it names for a mistake.
#include "player/playlist.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <string_view>

namespace {

using namespace std::literals;

// "line:kind details" per step, then the totals.
std::string steps_of(const playlist::parsed& list) {
  static constexpr const char* names[] = {"track", "update", "play", "wait", "pause", "resume", "seek", "stop"};
  using kind = playlist::step::kind;
  std::ostringstream out;
  for (const playlist::step& step : list.steps) {
    out << step.line << ':' << names[static_cast<int>(step.what)] << (step.from_stopped ? "*" : "");
    if (step.what == kind::start_track || step.what == kind::update) {
      for (const playlist::field& field : step.state.fields) {
        out << ' ' << field.name << '{';
        for (std::size_t i = 0; i < field.values.size(); ++i) out << (i ? "|" : "") << field.values[i];
        out << '}';
      }
      out << ' ' << step.state.length_seconds << 's';
    }
    if (step.what == kind::play || step.what == kind::wait) out << ' ' << step.seconds;
    if (step.what == kind::play || step.what == kind::seek) out << '@' << step.position;
    if (step.what == kind::stop) out << (step.reason == playlist::stop_reason::user ? " user" : " end");
    out << " / ";
  }
  out << list.tracks << " tracks " << list.total_seconds << 's';
  return out.str();
}

std::string parse(std::string_view text) {
  try {
    return steps_of(playlist::parse(text, "p"));
  } catch (const playlist::error& fault) {
    return fault.what();
  }
}

TEST(playlist, valid_files_become_their_steps) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"\xEF\xBB\xBF# a comment\r\n\r\nwait 250ms\r\ntrack\r\n  title = Army of Me: Single Mix; 1995  \r\n"
       "artist = Bj\xC3\xB6rk\r\nArtist = Skunk Anansie\r\ncomment =\r\nnote = a=b # no comment\r\nLENGTH = 234.5\r\n"
       "play 1.5s\r\ntrack\ntitle = Second\nplay 2\nstop\n",
       "3:wait 0.25 / 4:track* title{Army of Me: Single Mix; 1995} artist{Bj\xC3\xB6rk|Skunk Anansie} comment{} "
       "note{a=b # no comment} 234.5s / 11:play 1.5@0 / 12:track title{Second} 0s / 14:play 2@0 / 15:stop user / "
       "2 tracks 3.75s"},
      {"track\nlength = 10\nplay 2s\npause\nwait 1s\nseek 7.5\nresume\nplay 2500ms\ntrack\nlength = 3\nplay 3s\n",
       "1:track* 10s / 3:play 2@0 / 4:pause / 5:wait 1 / 6:seek@7.5 / 7:resume / 8:play 2.5@7.5 / 9:track 3s / "
       "11:play 3@0 / 11:stop end / 2 tracks 8.5s"},
      // Consecutive updates are one change: the first line naming a field replaces it, later ones add.
      {"track\ntitle = Station\ngenre = Talk\nartist = Host\nupdate title = Song A\n# still the same group\n"
       "update artist = One\nupdate ARTIST = Two\nupdate mood = calm\nupdate length = 180\nplay 1s\n"
       "update title = Song B\nstop\ntrack\n",
       "1:track* title{Station} genre{Talk} artist{Host} 0s / 5:update title{Song A} genre{Talk} artist{One|Two} "
       "mood{calm} 180s / 11:play 1@0 / 12:update title{Song B} genre{Talk} artist{One|Two} mood{calm} 180s / "
       "13:stop user / 14:track* 0s / 14:stop end / 2 tracks 1s"},
      // Sums of decimals are inexact: 0.1 three times still fits 0.3.
      {"track\nlength = 0.3\nplay 0.1\nplay 100ms\nplay 0.1",
       "1:track* 0.3s / 3:play 0.1@0 / 4:play 0.1@0.1 / 5:play 0.1@0.2 / 5:stop end / 1 tracks 0.3s"},
  };
  for (const auto& [text, steps] : cases) EXPECT_EQ(parse(text), steps) << text;
}

TEST(playlist, mistakes_name_their_line_and_reason) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"# only\nwait 1s\n", "p: no track in the playlist"},
      {"title = x\n", "p:1: a tag line must follow a `track` line"},
      {"track\nplay 1s\ntitle = x\n",
       "p:3: tags go right after `track`; use `update name = value` to change them while playing"},
      {"track\nlength = 3\nLength = 4\n", "p:3: length given twice"},
      {"track\nfly 3s\n",
       "p:2: unknown line 'fly': expected track, play, wait, pause, resume, seek, stop, update or 'name = value'"},
      {"track\nstop\nstop\n", "p:3: `stop` with no track playing"},
      {"track\nwait 1s\n", "p:2: playback is running: use `play` to let time pass"},
      {"track\npause\nplay 1s\n", "p:3: playback is paused: `resume` first, or let time pass with `wait`"},
      {"track\nlength = 5\nplay 3s\nplay 2001ms\n", "p:4: playing past the end of the track"},
      {"track\nlength = 5\nplay 4s\nupdate length = 3\n", "p:4: the new length lies before the position"},
      {"track\nseek 1\n", "p:2: cannot seek in a track without a length"},
      {"track\nplay 1e3s\n", "p:2: expected a duration such as 3s, 1.5s or 250ms, not '1e3s'"},
      {"track\nplay 86400.001\n", "p:2: a duration longer than 24 hours"},
      {"track\ntitle = \xED\xA0\x80\n", "p:2: not valid UTF-8"},
      {"track\ntitle = a\0z\n"sv, "p:2: control character in the line"},
  };
  for (const auto& [text, message] : cases) EXPECT_EQ(parse(text), message) << text;
}

}  // namespace
