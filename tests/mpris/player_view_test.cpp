// What vek-mpris shows, without D-Bus: what a run of reader states shows and when it
// is signalled, with no bus. The bus itself is mpris_test.sh's and
// listener_test.sh's.
#include "mpris/player_view.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace std::chrono_literals;
using mpris::metadata_map;
using mpris::object_path;
using mpris::view_mapper;
using reading::now_playing;
using reading::player_state;

now_playing playing(std::vector<std::pair<std::string, std::string>> fields, std::string length = "200") {
  return {player_state::playing, std::move(fields), std::move(length)};
}
now_playing in(player_state state) { return {state, {}, {}}; }

const metadata_map no_track{{"mpris:trackid", object_path{"/org/mpris/MediaPlayer2/TrackList/NoTrack"}}};

std::string track_id(const view_mapper& mapper) {
  return std::get<object_path>(mapper.view().metadata.at("mpris:trackid")).text;
}

// Each line's changes (presence, properties) and the track ids: a repeated
// line changes nothing, a track keeps its id across a stop and an absence,
// and any other track, or the same tags with another length, gets a new one.
TEST(mpris_view_mapper, signals_each_change_once_and_keeps_a_track_id_while_the_track_is_the_same) {
  const auto a = playing({{"title", "A"}});
  const auto b = playing({{"title", "B"}});
  view_mapper mapper;
  EXPECT_EQ(mapper.view().metadata, no_track) << "before the first line";

  struct step {
    now_playing state;
    bool presence, properties;
    const char* id;  // the track id while playing
  };
  const step steps[] = {
      {in(player_state::none), true, false, nullptr},  // the name taken, nothing else changes
      {a, false, true, "/org/vek_ipc/track/1"},
      {a, false, false, "/org/vek_ipc/track/1"},
      {in(player_state::stopped), false, true, nullptr},
      {a, false, true, "/org/vek_ipc/track/1"},  // the same track again
      {in(player_state::stopped), false, true, nullptr},
      {in(player_state::absent), true, false, nullptr},  // only the name goes
      {in(player_state::none), true, false, nullptr},
      {a, false, true, "/org/vek_ipc/track/1"},
      {b, false, true, "/org/vek_ipc/track/2"},
      {a, false, true, "/org/vek_ipc/track/3"},  // back to A: a new track, not the first
      {playing({{"title", "A"}}, "201"), false, true, "/org/vek_ipc/track/4"},
      {playing({{"title", "A"}, {"genre", "x"}}, "201"), false, true, "/org/vek_ipc/track/5"},
      {in(player_state::absent), true, true, nullptr},
  };
  int line = 0;
  for (const auto& [state, presence, properties, id] : steps) {
    ++line;
    const auto changes = mapper.apply(state);
    EXPECT_EQ(changes.presence, presence) << "line " << line;
    EXPECT_EQ(changes.properties, properties) << "line " << line;
    const auto& view = mapper.view();
    EXPECT_EQ(view.present, state.state != player_state::absent) << "line " << line;
    EXPECT_EQ(view.playing, id != nullptr) << "line " << line;
    if (id) {
      EXPECT_EQ(track_id(mapper), id) << "line " << line;
    } else {
      EXPECT_EQ(view.metadata, no_track) << "line " << line << ": not playing is the NoTrack id alone";
    }
  }
}

// The tags: the first of a name counts in any letter case, even when empty;
// numbers and lengths only when they are whole and fit.
TEST(mpris_track_metadata, takes_the_first_tag_of_each_name_and_only_valid_numbers_and_lengths) {
  const object_path id{"/org/vek_ipc/track/7"};
  const auto metadata = mpris::track_metadata(playing({{"Title", "First"},
                                                       {"title", "Second"},
                                                       {"ARTIST", "Band"},
                                                       {"artist", "Other band"},
                                                       {"album", ""},
                                                       {"album", "Later album"},
                                                       {"comment", std::string("a\0b\xff", 4)},
                                                       {"uri", "file:///u"},
                                                       {"url", "http://l"},
                                                       {"tracknumber", "3/12"},
                                                       {"discnumber", "0"}},
                                                      "234"),
                                              id);
  const metadata_map expected{
      {"mpris:trackid", id},
      {"mpris:length", std::int64_t{234'000'000}},
      {"xesam:title", std::string("First")},
      {"xesam:artist", std::vector<std::string>{"Band"}},
      {"xesam:comment", std::vector<std::string>{"a\xEF\xBF\xBD"
                                                 "b\xEF\xBF\xBD"}},
      {"xesam:url", std::string("http://l")},  // url before uri, whatever their order
      {"xesam:trackNumber", std::int32_t{3}},
  };
  EXPECT_EQ(metadata, expected);
  EXPECT_EQ(mpris::track_metadata(playing({{"uri", "file:///u"}, {"tracknumber", "two"}}), id).at("xesam:url"),
            mpris::metadata_value(std::string("file:///u")));

  constexpr std::int64_t longest = std::numeric_limits<std::int64_t>::max() / 1'000'000;
  for (const auto& [length, microseconds] :
       std::vector<std::pair<std::string, std::int64_t>>{{"1", 1'000'000},
                                                         {std::to_string(longest), longest * 1'000'000},
                                                         {std::to_string(longest + 1), 0},
                                                         {"0", 0},
                                                         {"-5", 0},
                                                         {"", 0}}) {
    const auto shown = mpris::track_metadata(playing({{"title", "T"}}, length), id);
    if (microseconds) {
      EXPECT_EQ(shown.at("mpris:length"), mpris::metadata_value(microseconds)) << "length " << length;
    } else {
      EXPECT_FALSE(shown.contains("mpris:length")) << "length " << length;
    }
  }
}

// The repeats after taking the name, on a clock the test sets: each due once,
// not before its time; dense at first, then each no further from the one
// before than that one is from the taking (a client waits for the next no
// longer than it took to subscribe), all within a second and nothing after.
// A release cancels what is left, a new taking starts over from its own
// time, and a caller that comes late still gets every one.
TEST(mpris_name_repeats, follow_each_taking_of_the_name_until_the_last_or_a_release) {
  using clock = mpris::name_repeats::clock;
  const clock::time_point t0 = clock::time_point{} + 1h;
  constexpr auto never = clock::time_point::max();
  mpris::name_repeats repeats;
  EXPECT_EQ(repeats.next_due(), never) << "before the name is taken";
  EXPECT_FALSE(repeats.take_due(t0 + 1h));

  // A loop that sleeps until next_due, as the event loop does.
  repeats.name_taken(t0);
  std::vector<clock::duration> sent;  // after the taking
  for (auto due = repeats.next_due(); due != never && sent.size() < 100; due = repeats.next_due()) {
    EXPECT_FALSE(repeats.take_due(due - 1us)) << "repeat " << sent.size() + 1 << " early";
    EXPECT_TRUE(repeats.take_due(due)) << "repeat " << sent.size() + 1 << " not due at its time";
    sent.push_back(due - t0);
  }
  ASSERT_GE(sent.size(), 3u);
  EXPECT_LE(sent.front(), 20ms) << "a client that subscribes within milliseconds waits for the first";
  for (std::size_t i = 1; i < sent.size(); ++i) {
    EXPECT_GT(sent[i], sent[i - 1]) << "repeat " << i + 1;
    EXPECT_LE(sent[i] - sent[i - 1], sent[i - 1])
        << "a client subscribed just after repeat " << i << " waits for the next longer than it took";
  }
  EXPECT_LE(sent.back(), 1s) << "all within a second of taking the name";
  EXPECT_FALSE(repeats.take_due(t0 + 1h)) << "nothing after the last";

  const clock::time_point t1 = t0 + 10s;
  repeats.name_taken(t1);
  EXPECT_EQ(repeats.next_due(), t1 + sent[0]) << "a new taking starts over";
  EXPECT_TRUE(repeats.take_due(t1 + sent[0]));
  EXPECT_EQ(repeats.next_due(), t1 + sent[1]);
  repeats.name_released();
  EXPECT_EQ(repeats.next_due(), never) << "released";
  EXPECT_FALSE(repeats.take_due(t1 + 1h)) << "released: the rest cancelled";

  repeats.name_taken(t1);
  std::size_t late = 0;
  while (late < 100 && repeats.take_due(t1 + 1h)) ++late;
  EXPECT_EQ(late, sent.size()) << "a caller that comes late gets each repeat once";
  EXPECT_EQ(repeats.next_due(), never);
}

}  // namespace
