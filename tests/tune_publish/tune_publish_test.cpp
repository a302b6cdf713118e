// The publisher's pure parts: the reader's lines read back into the same tune
// payload the reader prints, and the pacing of publishes over a fake clock.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/reader/output.h"
#include "tools/tune_publish/publish_pacer.h"
#include "tools/tune_publish/state_line.h"

namespace {

using namespace std::chrono_literals;
using reader::now_playing;
using reader::player_state;
using tune_publish::malformed_line;
using tune_publish::parse_state_line;
using tune_publish::publish_pacer;
using tune_publish::steady_clock;

// What the publisher makes of the reader's line for `state`.
std::string payload_through_line(const now_playing& state, const std::string& line_end = "") {
  const auto parsed = parse_state_line(reader::json_line(state) + line_end);
  if (const auto* bad = std::get_if<malformed_line>(&parsed)) return "malformed: " + bad->reason;
  return reader::tune_payload(std::get<now_playing>(parsed));
}

TEST(tune_publish, the_readers_lines_give_the_payload_the_reader_prints) {
  const std::vector<now_playing> states = {
      {player_state::playing,
       {{"TITLE", "Army <of> Me & \"you\""},
        {"Artist", "Bj\xC3\xB6rk"},
        {"album", "Post"},
        {"tracknumber", "1"},
        {"rating", "4"},
        {"uri", "file:///m\xFF\xFEsic"},
        {"title", "second title"}},
       "234"},
      {player_state::playing, {{"title", "line\nbreak\ttab\x01"}, {"artist", ""}, {"rating", "11"}}, "65536"},
      {player_state::playing, {{"title", "huge"}}, "1" + std::string(30, '0')},  // printed as a double
      {player_state::playing, {{"title", "negative"}}, "-5"},
      {player_state::playing, {}, "0"},
      {player_state::stopped, {}, ""},
      {player_state::none, {}, ""},
      {player_state::absent, {}, ""},
  };
  for (const auto& state : states) {
    const std::string expected = reader::tune_payload(state);
    EXPECT_EQ(payload_through_line(state), expected) << reader::json_line(state);
    EXPECT_EQ(payload_through_line(state, "\r"), expected) << "with a Windows line end";
  }
  // The first state really carries elements, so the comparison above is not
  // only between empty tunes.
  EXPECT_NE(payload_through_line(states[0]).find("<source>Post</source>"), std::string::npos);
}

TEST(tune_publish, lines_not_in_the_readers_form_are_malformed) {
  for (const char* line : {"", "not json", "[1,2]", "{\"fields\":[]}", "{\"state\":7}", "{\"state\":\"paused\"}",
                           "{\"state\":\"playing\",\"length\":1}", "{\"state\":\"playing\",\"fields\":{},\"length\":1}",
                           "{\"state\":\"playing\",\"fields\":[[\"a\"]],\"length\":1}",
                           "{\"state\":\"playing\",\"fields\":[[\"a\",2]],\"length\":1}",
                           "{\"state\":\"playing\",\"fields\":[],\"length\":\"215\"}", "{\"state\":\"stopped\"} x"}) {
    EXPECT_TRUE(std::holds_alternative<malformed_line>(parse_state_line(line))) << line;
  }
  // What the reader might add later is no reason to refuse a line.
  EXPECT_FALSE(std::holds_alternative<malformed_line>(parse_state_line("{\"state\":\"stopped\",\"since\":3}")));
}

TEST(tune_publish, publishes_changes_at_most_once_a_second_ending_on_the_latest) {
  publish_pacer pacer;
  const steady_clock::time_point t0{};
  EXPECT_FALSE(pacer.take_due(t0)) << "nothing known yet";

  pacer.offer("A");
  EXPECT_EQ(pacer.take_due(t0), "A") << "the first state goes out at once";
  pacer.offer("A");
  EXPECT_FALSE(pacer.take_due(t0 + 2s)) << "no change, no publish";

  // A burst: one publish right away, then the last state once the second has passed.
  const steady_clock::time_point burst = t0 + 10s;
  pacer.offer("B1");
  EXPECT_EQ(pacer.take_due(burst), "B1");
  for (int i = 2; i <= 100; ++i) {
    pacer.offer("B" + std::to_string(i));
    EXPECT_FALSE(pacer.take_due(burst + i * 5ms));
  }
  EXPECT_EQ(pacer.next_due(), burst + 1s);
  EXPECT_FALSE(pacer.take_due(burst + 999ms));
  EXPECT_EQ(pacer.take_due(burst + 1s), "B100");
  EXPECT_FALSE(pacer.next_due());

  // Back to what was published before the interval passed: nothing to do.
  pacer.offer("C");
  pacer.offer("B100");
  EXPECT_FALSE(pacer.next_due());
  EXPECT_FALSE(pacer.take_due(burst + 5s));
}

TEST(tune_publish, a_new_session_gets_the_current_state_once_and_nothing_older) {
  publish_pacer pacer;
  const steady_clock::time_point t0{};
  pacer.offer("A");
  EXPECT_EQ(pacer.take_due(t0), "A");
  // The link is down: states come and go.
  pacer.offer("B");
  pacer.offer("C");
  pacer.session_started();
  EXPECT_EQ(pacer.take_due(t0 + 5s), "C");
  EXPECT_FALSE(pacer.take_due(t0 + 10s));
  // Even an unchanged state goes out again: the server may have lost it.
  pacer.session_started();
  EXPECT_EQ(pacer.take_due(t0 + 20s), "C");

  // The last publish does not wait for the interval, and is skipped when the
  // server has it already.
  EXPECT_EQ(pacer.take_final("E"), "E");
  EXPECT_FALSE(pacer.take_final("E"));
}

TEST(tune_publish, reconnection_backs_off_to_a_minute_and_starts_over_after_a_session) {
  tune_publish::reconnect_backoff backoff;
  std::vector<long> delays;
  for (int i = 0; i < 9; ++i)
    delays.push_back(std::chrono::duration_cast<std::chrono::seconds>(backoff.next()).count());
  EXPECT_EQ(delays, (std::vector<long>{1, 2, 4, 8, 16, 32, 60, 60, 60}));
  backoff.reset();
  EXPECT_EQ(backoff.next(), 1s);
}

}  // namespace
