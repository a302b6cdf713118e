#include "publisher/record.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cfloat>
#include <cstdio>
#include <limits>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "tests/host_objects/host_objects.h"
#include "tools/reader/decoder.h"

namespace {

using entries = std::vector<std::pair<std::string, std::string>>;

// The record built for `info` as the reading side decodes it, length entry last.
entries decoded_record(const test_track_info& info) {
  test_host_string record;
  EXPECT_TRUE(build_now_playing_record(info, record));
  for (const char c : record.text()) {
    EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(c)) || std::string_view("+/=:;").find(c) != std::string::npos);
  }
  const reader::decode_result decoded = reader::decode_title(record.text());
  if (const auto* error = std::get_if<reader::decode_error>(&decoded)) {
    ADD_FAILURE() << reader::describe(*error) << " in " << record.text();
    return {{"", "(not decodable)"}};
  }
  entries result = std::get<reader::now_playing>(decoded).fields;
  result.emplace_back("length", std::get<reader::now_playing>(decoded).length);
  return result;
}

TEST(NowPlayingRecord, ReproducesTheWorkedExampleReplacingOldText) {
  const test_track_info info({{"title", {"Song"}}, {"artist", {"Band"}}}, 215.4);
  test_host_string record("an older record");
  ASSERT_TRUE(build_now_playing_record(info, record));
  EXPECT_EQ(record.text(), "dGl0bGUA:U29uZwA=;YXJ0aXN0AA==:QmFuZAA=;bGVuZ3RoAA==:MjE1AA==;");
}

TEST(NowPlayingRecord, NoFieldsMeansNoRecordAndNoChange) {
  test_host_string record("kept");
  EXPECT_FALSE(build_now_playing_record(test_track_info({}, 215.4), record));
  EXPECT_EQ(record.text(), "kept");
  EXPECT_EQ(record.other_calls(), 0u);
}

TEST(NowPlayingRecord, PublishesTheFirstValueFoundUnderEachName) {
  const test_track_info info(
      {{"genre", {"Rock", "Pop"}}, {"title", {"First"}}, {"title", {"Second"}}, {"none", {}}, {"lost", {"x"}, false}});
  EXPECT_EQ(decoded_record(info),
            (entries{{"genre", "Rock"}, {"title", "First"}, {"title", "First"}, {"none", ""}, {"lost", ""}, {"length", "0"}}));
  for (const test_track_info::lookup& lookup : info.lookups()) EXPECT_EQ(lookup.length, 0xFFFFFFFFu);

  test_host_string record;
  ASSERT_TRUE(build_now_playing_record(test_track_info({{"e", {""}}}), record));
  EXPECT_EQ(record.text(), "ZQA=:AA==;bGVuZ3RoAA==:MAA=;");
}

TEST(NowPlayingRecord, AnyBytesPassThroughAsPlainAscii) {
  const entries fields{{"a:b;c=", ";;::"}, {"\303\234ber", "\xE2\x99\xAB caf\xC3\xA9"}, {"", std::string(700, '\xFB')}};
  std::vector<test_field> info;
  for (const auto& [name, value] : fields) info.push_back({name, {value}});
  entries expected = fields;
  expected.emplace_back("length", "-215");
  EXPECT_EQ(decoded_record(test_track_info(info, -215.4)), expected);
}

// The runtime's own whole-number text for `seconds`.
std::string runtime_text(double seconds) {
  char text[400];
  std::snprintf(text, sizeof text, "%.0f", seconds);
#if !defined(_WIN32)
  // Where long double is wider, "%.0Lf" of the converted value gives the same text.
  char wide[400];
  std::snprintf(wide, sizeof wide, "%.0Lf", static_cast<long double>(seconds));
  EXPECT_STREQ(text, wide);
#endif
  return text;
}

TEST(LengthEntry, WholeSecondsAsTheRuntimeWritesThemOrZeroWhenUnknown) {
  constexpr double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
  ASSERT_EQ(runtime_text(5e253).size(), 254u);  // the longest text that fits
  ASSERT_EQ(runtime_text(-5e253).size(), 255u);
  const std::pair<double, std::string> cases[] = {
      {215.4, "215"}, {215.6, "216"}, {0.4, "0"}, {-215.4, "-215"},
      {0.5, runtime_text(0.5)}, {1.5, runtime_text(1.5)}, {2.5, runtime_text(2.5)}, {-2.5, runtime_text(-2.5)},
      {5e253, runtime_text(5e253)}, {-5e253, "0"}, {1e300, "0"}, {-DBL_MAX, "0"},
      {nan, "0"}, {-nan, "0"}, {inf, "0"}, {-inf, "0"},
  };
  for (const auto& [seconds, text] : cases) {
    EXPECT_EQ(decoded_record(test_track_info({{"t", {"v"}}}, seconds)).back().second, text) << seconds;
  }
}

}  // namespace
