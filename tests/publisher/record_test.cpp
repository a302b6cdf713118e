#include "publisher/record.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <limits>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "tools/host_standin/host_standin.h"
#include "tools/reader/decoder.h"

namespace {

using entries = std::vector<std::pair<std::string, std::string>>;

// The record for `info` as the reader's strict decoder reads it, length last.
entries decoded_record(const player_track_info& info) {
  player_host_string record;
  EXPECT_TRUE(build_now_playing_record(info, record));
  const reader::decode_result decoded = reader::decode_title(record.text());
  const auto* playing = std::get_if<reader::now_playing>(&decoded);
  if (playing == nullptr) return {{"not decodable", record.text()}};
  entries result = playing->fields;
  result.emplace_back("length", playing->length);
  return result;
}

TEST(NowPlayingRecord, ReproducesTheWorkedExampleReplacingOldText) {
  const player_track_info info({{"title", {"Song"}}, {"artist", {"Band"}}}, 215.4);
  player_host_string record("an older record");
  constexpr char worked_example[] = "dGl0bGUA:U29uZwA=;YXJ0aXN0AA==:QmFuZAA=;bGVuZ3RoAA==:MjE1AA==;";
  ASSERT_TRUE(build_now_playing_record(info, record));
  EXPECT_EQ(record.text(), worked_example);
  // No fields: no record, and the string is left alone.
  EXPECT_FALSE(build_now_playing_record(player_track_info({}, 215.4), record));
  EXPECT_EQ(record.text(), worked_example);
}

TEST(NowPlayingRecord, DecodesToTheFirstValueOfEachFieldByteForByte) {
  const std::string ascii = "a:b;c=", utf8 = "\303\234ber \xE2\x99\xAB", long_value(700, '\xFB');
  const std::vector<player_field> fields{
      {"genre", {"Rock", "Pop"}}, {"t", {"1"}},    {"t", {"2"}},    {"e", {""}},       {"none", {}},
      {"lost", {"x"}, false},     {ascii, {utf8}}, {utf8, {ascii}}, {"", {long_value}}};
  const player_track_info info(fields, -215.4);
  const entries expected{{"genre", "Rock"}, {"t", "1"},    {"t", "1"},    {"e", ""},        {"none", ""},
                         {"lost", ""},      {ascii, utf8}, {utf8, ascii}, {"", long_value}, {"length", "-215"}};
  EXPECT_EQ(decoded_record(info), expected);
  for (const player_track_info::lookup& lookup : info.lookups()) EXPECT_EQ(lookup.length, 0xFFFFFFFFu);
}

// The runtime's own whole-number text for `seconds` (a double converts to
// long double exactly, so "%.0f" gives what "%.0Lf" gives).
std::string runtime_text(double seconds) {
  char text[400];
  std::snprintf(text, sizeof text, "%.0f", seconds);
  return text;
}

TEST(LengthEntry, WholeSecondsAsTheRuntimeWritesThemOrZeroWhenUnknown) {
  constexpr double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
  ASSERT_EQ(runtime_text(5e253).size(), 254u);  // the longest text that fits
  ASSERT_EQ(runtime_text(-5e253).size(), 255u);
  auto published_length = [](double seconds) {
    return decoded_record(player_track_info({{"t", {"v"}}}, seconds)).back().second;
  };
  // Halves round as the runtime rounds them.
  for (double seconds : {215.6, 0.4, 0.5, 1.5, 2.5, -2.5, 5e253}) {
    EXPECT_EQ(published_length(seconds), runtime_text(seconds)) << seconds;
  }
  for (double seconds : {nan, -nan, inf, -inf, 1e300, -5e253}) {
    EXPECT_EQ(published_length(seconds), "0") << seconds;
  }
}

}  // namespace
