// The playlist reader: what a hand-written file turns into, and the line and
// reason it names for each kind of mistake.
#include "tools/player/playlist.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

using kind = playlist::step::kind;

std::vector<kind> kinds(const playlist::parsed& list) {
  std::vector<kind> found;
  for (const playlist::step& step : list.steps) found.push_back(step.what);
  return found;
}

// The message parse() raises, or "no error".
std::string error_of(std::string_view text) {
  try {
    playlist::parse(text, "p.playlist");
  } catch (const playlist::error& fault) {
    return fault.what();
  }
  return "no error";
}

using fields = std::vector<std::pair<std::string, std::vector<std::string>>>;

fields fields_of(const playlist::track_state& track) {
  fields found;
  for (const playlist::field& field : track.fields) found.emplace_back(field.name, field.values);
  return found;
}

TEST(playlist, tracks_collect_their_tags_and_start_when_the_tags_end) {
  const playlist::parsed list = playlist::parse(
      "\xEF\xBB\xBF# a comment line\r\n"
      "\r\n"
      "wait 250ms\r\n"
      "track\r\n"
      "  title = Army of Me: Single Mix; 1995  \r\n"
      "artist = Bj\xC3\xB6rk\r\n"
      "Artist = Skunk Anansie\r\n"
      "comment =\r\n"
      "note = a=b # not a comment\r\n"
      "LENGTH = 234.5\r\n"
      "play 1.5s\r\n"
      "track\n"
      "title = Second\n"
      "play 2\n"
      "stop\n",
      "p.playlist");
  ASSERT_EQ(kinds(list),
            (std::vector<kind>{kind::wait, kind::start_track, kind::play, kind::start_track, kind::play, kind::stop}));
  const playlist::step& first = list.steps[1];
  EXPECT_EQ(first.line, 4u);
  EXPECT_TRUE(first.from_stopped);
  EXPECT_EQ(fields_of(first.state), (fields{{"title", {"Army of Me: Single Mix; 1995"}},
                                            {"artist", {"Bj\xC3\xB6rk", "Skunk Anansie"}},
                                            {"comment", {""}},
                                            {"note", {"a=b # not a comment"}}}));
  EXPECT_EQ(first.state.length_seconds, 234.5);
  EXPECT_EQ(list.steps[0].seconds, 0.25);
  EXPECT_EQ(list.steps[2].seconds, 1.5);
  EXPECT_FALSE(list.steps[3].from_stopped) << "moving on from a playing track";
  EXPECT_EQ(list.steps[3].state.length_seconds, 0) << "no length given";
  EXPECT_EQ(list.steps[4].seconds, 2);
  EXPECT_EQ(list.steps[5].reason, playlist::stop_reason::user);
  EXPECT_EQ(list.tracks, 2u);
  EXPECT_EQ(list.total_seconds, 3.75);
}

TEST(playlist, playback_positions_follow_play_seek_and_new_tracks) {
  const playlist::parsed list = playlist::parse(
      "track\nlength = 10\n"
      "play 2s\npause\nwait 1s\nseek 7.5\nresume\nplay 2500ms\n"
      "track\nlength = 3\nplay 3s\n",
      "p");
  ASSERT_EQ(kinds(list), (std::vector<kind>{kind::start_track, kind::play, kind::pause, kind::wait, kind::seek,
                                            kind::resume, kind::play, kind::start_track, kind::play, kind::stop}));
  EXPECT_EQ(list.steps[1].position, 0);
  EXPECT_EQ(list.steps[4].position, 7.5);
  EXPECT_EQ(list.steps[6].position, 7.5);
  EXPECT_EQ(list.steps[6].seconds, 2.5) << "up to the very end is allowed";
  EXPECT_EQ(list.steps[8].position, 0);
  const playlist::step& end = list.steps.back();
  EXPECT_EQ(end.reason, playlist::stop_reason::end_of_playlist) << "the file ended while playing";
  EXPECT_EQ(end.line, 11u);
}

TEST(playlist, consecutive_updates_make_one_change_that_replaces_then_adds) {
  const playlist::parsed list = playlist::parse(
      "track\ntitle = Station\ngenre = Talk\nartist = Host\n"
      "update title = Song A\n"
      "# a comment keeps the group together\n"
      "update artist = One\n"
      "update ARTIST = Two\n"
      "update mood = calm\n"
      "update length = 180\n"
      "play 1s\n"
      "update title = Song B\n"
      "stop\n"
      "track\n",  // a track with neither tags nor events
      "p");
  ASSERT_EQ(kinds(list), (std::vector<kind>{kind::start_track, kind::update, kind::play, kind::update, kind::stop,
                                            kind::start_track, kind::stop}));
  const playlist::step& first = list.steps[1];
  EXPECT_EQ(first.line, 5u);
  EXPECT_EQ(fields_of(first.state),
            (fields{{"title", {"Song A"}}, {"genre", {"Talk"}}, {"artist", {"One", "Two"}}, {"mood", {"calm"}}}));
  EXPECT_EQ(first.state.length_seconds, 180);
  EXPECT_EQ(fields_of(list.steps[3].state),
            (fields{{"title", {"Song B"}}, {"genre", {"Talk"}}, {"artist", {"One", "Two"}}, {"mood", {"calm"}}}))
      << "a later change starts from the track as changed";
  EXPECT_TRUE(list.steps[5].from_stopped);
  EXPECT_TRUE(list.steps[5].state.fields.empty());
}

TEST(playlist, mistakes_name_their_line_and_reason) {
  const std::pair<const char*, const char*> cases[] = {
      {"", "p.playlist: no track in the playlist"},
      {"# only\n\nwait 1s\n", "p.playlist: no track in the playlist"},
      {"title = x\n", "p.playlist:1: a tag line must follow a `track` line"},
      {"track\nplay 1s\ntitle = x\n",
       "p.playlist:3: tags go right after `track`; use `update name = value` to change them while playing"},
      {"track\n = x\n", "p.playlist:2: a tag needs a name before '='"},
      {"track\nlength = 3\nLength = 4\n", "p.playlist:3: length given twice"},
      {"track\nlength = three\n", "p.playlist:2: expected a length such as 3s, 1.5s or 250ms, not 'three'"},
      {"track\nfly 3s\n",
       "p.playlist:2: unknown line 'fly': expected track, play, wait, pause, resume, seek, stop, update or 'name = "
       "value'"},
      {"track 2\n", "p.playlist:1: `track` takes no argument"},
      {"track\nstop now\n", "p.playlist:2: `stop` takes no argument"},
      {"play 1s\n", "p.playlist:1: `play` with no track playing"},
      {"update title = x\n", "p.playlist:1: `update` with no track playing"},
      {"track\nstop\nstop\n", "p.playlist:3: `stop` with no track playing"},
      {"track\nstop\nseek 1\n", "p.playlist:3: `seek` with no track playing"},
      {"track\nwait 1s\n", "p.playlist:2: playback is running: use `play` to let time pass"},
      {"track\npause\nplay 1s\n", "p.playlist:3: playback is paused: `resume` first, or let time pass with `wait`"},
      {"track\npause\npause\n", "p.playlist:3: playback is already paused"},
      {"track\nresume\n", "p.playlist:2: `resume` without `pause`"},
      {"track\npause\ntrack\n", "p.playlist:3: playback is paused: `resume` or `stop` before the next track"},
      {"track\nlength = 5\nplay 3s\nplay 2001ms\n", "p.playlist:4: playing past the end of the track"},
      {"track\nseek 1\n", "p.playlist:2: cannot seek in a track without a length"},
      {"track\nlength = 5\nseek 5.5\n", "p.playlist:3: seek position past the end of the track"},
      {"track\nlength = 5\nplay 4s\nupdate length = 3\n", "p.playlist:4: the new length lies before the position"},
      {"track\nupdate length = 3\nupdate length = 4\n", "p.playlist:3: length given twice"},
      {"track\nplay 90000s\n", "p.playlist:2: a duration longer than 24 hours"},
      {"track\ntitle = \xC3\n", "p.playlist:2: not valid UTF-8"},
      {"track\ntitle = \xE0\x80\xAF\n", "p.playlist:2: not valid UTF-8"},
      {"track\ntitle = \xED\xA0\x80\n", "p.playlist:2: not valid UTF-8"},
      {"track\ntitle = a\x01z\n", "p.playlist:2: control character in the line"},
  };
  for (const auto& [text, message] : cases) EXPECT_EQ(error_of(text), message) << text;
  EXPECT_EQ(error_of(std::string_view("track\ntitle = a\0z\n", 18)), "p.playlist:2: control character in the line");
  for (const char* duration : {"-1s", "1e3s", ".5s", "5.s", "5 s", "5sec", "s", "ms", "0x10", "inf", "nan", "+1"}) {
    EXPECT_EQ(error_of("track\nplay " + std::string(duration) + "\n"),
              "p.playlist:2: expected a duration such as 3s, 1.5s or 250ms, not '" + std::string(duration) + "'");
  }
}

// The playlist that ships beside vek-player: it must parse, hold what it
// promises and keep its default run under ten seconds.
TEST(playlist, the_shipped_sample_parses_and_stays_short) {
  std::FILE* file = std::fopen(VEK_SAMPLE_PLAYLIST, "rb");
  ASSERT_TRUE(file) << VEK_SAMPLE_PLAYLIST;
  std::string text;
  char buffer[4096];
  for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;) text.append(buffer, got);
  std::fclose(file);
  const playlist::parsed list = playlist::parse(text, "sample.playlist");
  EXPECT_LT(list.total_seconds, 10);
  auto last = list.steps.rbegin();
  while (last != list.steps.rend() && last->what == kind::wait) ++last;
  ASSERT_NE(last, list.steps.rend());
  EXPECT_EQ(last->what, kind::stop);
  EXPECT_EQ(last->reason, playlist::stop_reason::user) << "ends with its own stop";
  std::size_t updates = 0, seeks = 0, pauses = 0, multi_valued = 0;
  for (const playlist::step& step : list.steps) {
    updates += step.what == kind::update;
    seeks += step.what == kind::seek;
    pauses += step.what == kind::pause;
    for (const playlist::field& field : step.state.fields) multi_valued += field.values.size() > 1;
  }
  EXPECT_EQ(updates, 2u);
  EXPECT_GE(seeks, 1u);
  EXPECT_GE(pauses, 1u);
  EXPECT_GE(multi_valued, 1u);
}

}  // namespace
