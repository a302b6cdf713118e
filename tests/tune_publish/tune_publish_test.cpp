// The publisher's pure parts: the reader's lines read back into the same tune
// payload the reader prints, the pacing of publishes over a fake clock, and
// the --server forms the publisher and the test contact share.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "reading/output.h"
#include "reading/state_line.h"
#include "tune_publish/publish_pacer.h"
#include "xmpp_account/account_options.h"

namespace {

using namespace std::chrono_literals;
using reader::malformed_line;
using reader::now_playing;
using reader::parse_state_line;
using reader::player_state;
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
                           "{\"state\":\"playing\",\"fields\":[],\"length\":\"215\"}", "{\"state\":\"stopped\"} x",
                           "{\"state\":\"playing\",\"fields\":[[\"title\",\"\xFF\"]],\"length\":1}"}) {
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
  pacer.session_started(t0 + 4s);
  // Not before the contacts' presence has had a second to reach the session.
  EXPECT_FALSE(pacer.take_due(t0 + 4s + 999ms));
  EXPECT_EQ(pacer.next_due(), t0 + 5s);
  EXPECT_EQ(pacer.take_due(t0 + 5s), "C");
  EXPECT_FALSE(pacer.take_due(t0 + 10s));
  // Even an unchanged state goes out again: the server may have lost it.
  pacer.session_started(t0 + 19s);
  EXPECT_EQ(pacer.take_due(t0 + 20s), "C");

  // The server dropped the session over the last item: never again, but the
  // next state goes out.
  pacer.offer("Huge");
  EXPECT_EQ(pacer.take_due(t0 + 30s), "Huge");
  pacer.refuse_last_taken();
  pacer.session_started(t0 + 39s);
  EXPECT_FALSE(pacer.take_due(t0 + 40s));
  pacer.offer("D");
  EXPECT_EQ(pacer.take_due(t0 + 41s), "D");

  // The last publish does not wait for the interval, and is skipped when the
  // server has it already.
  EXPECT_EQ(pacer.take_final("E"), "E");
  EXPECT_FALSE(pacer.take_final("E"));
}

TEST(tune_publish, reconnection_waits_grow_to_at_most_a_minute_and_start_over_only_after_a_proven_session) {
  tune_publish::reconnect_backoff backoff;
  const steady_clock::duration first = backoff.next();
  std::vector<steady_clock::duration> waits{first};
  for (int i = 0; i < 12; ++i) {
    // Every attempt logs in, then the session dies short of a minute.
    backoff.session_ended(59s);
    waits.push_back(backoff.next());
  }
  for (std::size_t i = 1; i < waits.size(); ++i) {
    EXPECT_TRUE(waits[i] == std::min(2 * waits[i - 1], waits.back())) << "wait " << i << " neither doubled nor capped";
  }
  EXPECT_GT(waits.back(), 8 * first) << "the waits did not grow";
  EXPECT_LE(waits.back(), 1min);
  backoff.session_ended(1min);
  EXPECT_EQ(backoff.next(), first) << "a session of a minute starts the waits over";
}

TEST(tune_publish, the_server_option_takes_names_ipv4_and_bracketed_ipv6_with_or_without_a_port) {
  auto parsed = [](std::string_view text) {
    auto result = xmpp_account::parse_server(text);
    if (const auto* problem = std::get_if<std::string>(&result)) return *problem;
    const auto& server = std::get<xmpp_account::server_address>(result);
    return server.host + " " + std::to_string(server.port);
  };
  EXPECT_EQ(parsed("xmpp.example"), "xmpp.example 0");
  EXPECT_EQ(parsed("127.0.0.1:5223"), "127.0.0.1 5223");
  EXPECT_EQ(parsed("[::1]:5222"), "::1 5222");
  EXPECT_EQ(parsed("[fe80::1%eth0]"), "fe80::1%eth0 0");
  EXPECT_EQ(parsed("::1"), "::1 0") << "two colons without brackets: an address, no port";
  EXPECT_EQ(parsed("h:65535"), "h 65535");
  // Each refusal names the option; the command-line test sees the words.
  for (const char* bad : {"h:", "h:0", "h:65536", "h:5x", "h:000001", "[::1]:", "[::1", "[::1]x", ":5222", "[]"}) {
    EXPECT_TRUE(parsed(bad).starts_with("--server: ")) << bad << " gave " << parsed(bad);
  }
}

// The publisher's items: each element's text cut on a character boundary and
// marked, so that the worst item stays far below what servers accept.
TEST(tune_publish, long_fields_are_cut_on_a_character_boundary_within_the_budget) {
  const std::size_t budget = reader::tune_text_budget;
  const std::string e_acute = "\xC3\xA9", euro = "\xE2\x82\xAC", clef = "\xF0\x9D\x84\x9E";
  std::string title;
  for (int i = 0; i < 50000; ++i) title += e_acute + euro + clef;  // 150,000 characters
  const now_playing long_title{player_state::playing, {{"title", title}, {"artist", "Band"}}, "200"};

  const std::string cut = reader::tune_payload(long_title, budget);
  const std::string open = "<title>", close = "</title>";
  const auto start = cut.find(open) + open.size();
  const std::string text = cut.substr(start, cut.find(close) - start);
  EXPECT_LE(text.size(), budget);
  EXPECT_GT(text.size(), budget - 10) << "the cut keeps all that fits";
  // Whole references of the title's characters in order, then the mark.
  const std::string cycle = "&#xe9;&#x20ac;&#x1d11e;", mark = "&#x2026;";
  ASSERT_TRUE(text.ends_with(mark)) << text.substr(text.size() - 40);
  const std::string kept = text.substr(0, text.size() - mark.size());
  std::string expected_prefix;
  while (expected_prefix.size() < kept.size()) expected_prefix += cycle;
  EXPECT_EQ(kept, expected_prefix.substr(0, kept.size()));
  const std::size_t last_reference = kept.rfind("&#x");
  EXPECT_TRUE(kept.ends_with(";") && kept.find(';', last_reference) == kept.size() - 1) << "a reference was split";
  EXPECT_NE(cut.find("<artist>Band</artist>"), std::string::npos) << "the other elements stay";

  // A text that fits exactly is left whole; the reader's output is never cut.
  const now_playing exact{player_state::playing, {{"title", std::string(budget, 'x')}}, "1"};
  EXPECT_EQ(reader::tune_payload(exact, budget), reader::tune_payload(exact));
  const now_playing one_more{player_state::playing, {{"title", std::string(budget + 1, 'x')}}, "1"};
  EXPECT_NE(reader::tune_payload(one_more).find(std::string(budget + 1, 'x')), std::string::npos);

  // The worst item: every element present and long, every character needing
  // the longest escape or reference, ill-formed bytes among them.
  std::string heavy;
  for (int i = 0; i < 20000; ++i) heavy += i % 3 ? "\xF4\x8F\xBF\xBD" : (i % 2 ? "'" : "\x01\xFF");
  const now_playing worst{
      player_state::playing,
      {{"artist", heavy}, {"album", heavy}, {"title", heavy}, {"tracknumber", heavy}, {"uri", heavy}, {"rating", "10"}},
      "65535"};
  const std::string item = reader::tune_payload(worst, budget);
  EXPECT_LE(item.size(), 5 * budget + 300);
  EXPECT_LT(item.size(), 24u * 1024) << "well under the 64 KiB a strict server may allow";
  EXPECT_NE(item.find("&#x2026;</title>"), std::string::npos);
}

}  // namespace
