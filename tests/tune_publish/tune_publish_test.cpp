// The publisher's pure parts: the pacing of publishes over a fake clock, the
// waits between connections, and the items' size.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "reading/output.h"
#include "tune_publish/publish_pacer.h"

namespace {

using namespace std::chrono_literals;
using reading::now_playing;
using reading::player_state;
using tune_publish::publish_pacer;
using tune_publish::steady_clock;

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

// The publisher's items: each element's text cut on a character boundary and
// marked, so that the worst item stays far below what servers accept.
TEST(tune_publish, long_fields_are_cut_on_a_character_boundary_within_the_budget) {
  const std::size_t budget = reading::tune_text_budget;
  const std::string e_acute = "\xC3\xA9", euro = "\xE2\x82\xAC", clef = "\xF0\x9D\x84\x9E";
  std::string title;
  for (int i = 0; i < 50000; ++i) title += e_acute + euro + clef;  // 150,000 characters
  const now_playing long_title{player_state::playing, {{"title", title}, {"artist", "Band"}}, "200"};

  const std::string cut = reading::tune_payload(long_title, budget);
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
  EXPECT_EQ(reading::tune_payload(exact, budget), reading::tune_payload(exact));
  const now_playing one_more{player_state::playing, {{"title", std::string(budget + 1, 'x')}}, "1"};
  EXPECT_NE(reading::tune_payload(one_more).find(std::string(budget + 1, 'x')), std::string::npos);

  // The worst item: every element present and long, every character needing
  // the longest escape or reference, ill-formed bytes among them.
  std::string heavy;
  for (int i = 0; i < 20000; ++i) heavy += i % 3 ? "\xF4\x8F\xBF\xBD" : (i % 2 ? "'" : "\x01\xFF");
  const now_playing worst{
      player_state::playing,
      {{"artist", heavy}, {"album", heavy}, {"title", heavy}, {"tracknumber", heavy}, {"uri", heavy}, {"rating", "10"}},
      "65535"};
  const std::string item = reading::tune_payload(worst, budget);
  EXPECT_LE(item.size(), 5 * budget + 300);
  EXPECT_LT(item.size(), 24u * 1024) << "well under the 64 KiB a strict server may allow";
  EXPECT_NE(item.find("&#x2026;</title>"), std::string::npos);
}

}  // namespace
