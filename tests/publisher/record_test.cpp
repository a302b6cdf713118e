#include "publisher/record.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "harness/player_fakes.h"
#include "reading/decoder.h"

namespace {

using entries = std::vector<std::pair<std::string, std::string>>;

// The record for `info` as the reader's strict decoder reads it, length last.
entries decoded_record(const player_track_info& info) {
  pfc::string8_fast record;
  EXPECT_TRUE(build_now_playing_record(info, record));
  const reading::decode_result decoded = reading::decode_title(std::string(record.text_pointer()));
  const auto* playing = std::get_if<reading::now_playing>(&decoded);
  if (playing == nullptr) return {{"not decodable", std::string(record.text_pointer())}};
  entries result = playing->fields;
  result.emplace_back("length", playing->length);
  return result;
}

TEST(NowPlayingRecord, ReproducesTheWorkedExampleReplacingOldText) {
  const player_track_info info({{"title", {"Song"}}, {"artist", {"Band"}}}, 215.4);
  pfc::string8_fast record;
  record.set_text("an older record", pfc::infinite_size);
  constexpr char worked_example[] = "dGl0bGUA:U29uZwA=;YXJ0aXN0AA==:QmFuZAA=;bGVuZ3RoAA==:MjE1AA==;";
  ASSERT_TRUE(build_now_playing_record(info, record));
  EXPECT_EQ(std::string(record.text_pointer()), worked_example);
  // No fields: no record, and the string is left alone.
  EXPECT_FALSE(build_now_playing_record(player_track_info({}, 215.4), record));
  EXPECT_EQ(std::string(record.text_pointer()), worked_example);
}

TEST(NowPlayingRecord, DecodesToTheFirstValueOfEachFieldByteForByte) {
  const std::string ascii = "a:b;c=", utf8 = "\303\234ber \xE2\x99\xAB", long_value(700, '\xFB');
  const std::vector<test_field> fields{
      {"genre", {"Rock", "Pop"}}, {"t", {"1"}},    {"t", {"2"}},    {"e", {""}},       {"none", {}},
      {"lost", {"x"}, false},     {ascii, {utf8}}, {utf8, {ascii}}, {"", {long_value}}};
  const recording_track_info info(fields, -215.4);
  const entries expected{{"genre", "Rock"}, {"t", "1"},    {"t", "1"},    {"e", ""},        {"none", ""},
                         {"lost", ""},      {ascii, utf8}, {utf8, ascii}, {"", long_value}, {"length", "-215"}};
  EXPECT_EQ(decoded_record(info), expected);
  for (const recording_track_info::lookup& lookup : info.lookups()) EXPECT_EQ(lookup.length, 0xFFFFFFFFu);
}

// Track information from a careless player: null texts, and a lookup that
// answers each field's `found_at`, which may lie beyond the fields. Reads out
// of range throw.
class careless_track_info final : public track_info {
 public:
  struct field {
    const char* name;
    const char* value;
    std::uint32_t found_at;
  };
  explicit careless_track_info(std::vector<field> fields) : fields_(std::move(fields)) {}
  double length_seconds() const override { return 1; }
  void unused_slot_1() override {}
  void unused_slot_2() override {}
  void unused_slot_3() override {}
  std::uint32_t field_count() const override { return static_cast<std::uint32_t>(fields_.size()); }
  const char* field_name(std::uint32_t field) const override { return fields_.at(field).name; }
  std::uint32_t field_value_count(std::uint32_t field) const override {
    (void)fields_.at(field);
    return 1;
  }
  const char* field_value(std::uint32_t field, std::uint32_t) const override { return fields_.at(field).value; }
  std::uint32_t find_field(const char* name, std::uint32_t) const override {
    for (const field& f : fields_)
      if (name && std::string_view(f.name ? f.name : "") == name) return f.found_at;
    return no_field;
  }

 private:
  std::vector<field> fields_;
};

TEST(NowPlayingRecord, NullTextsAreEmptyAndLookupsBeyondTheFieldsFindNothing) {
  const careless_track_info info({{"title", "Song", 0},
                                  {nullptr, "nameless", 1},
                                  {"artist", nullptr, 2},
                                  {"album", "at the count", 5},
                                  {"genre", "far beyond", 0xFFFFFFFE}});
  pfc::string8_fast record;
  ASSERT_TRUE(build_now_playing_record(info, record));
  const reading::decode_result decoded = reading::decode_title(std::string(record.text_pointer()));
  ASSERT_TRUE(std::holds_alternative<reading::now_playing>(decoded)) << std::string(record.text_pointer());
  const entries expected{{"title", "Song"}, {"", "nameless"}, {"artist", ""}, {"album", ""}, {"genre", ""}};
  EXPECT_EQ(std::get<reading::now_playing>(decoded).fields, expected);
}

// The C library's text for a length that is not a tie. Runtimes differ only on
// exact halves; tests/dll/publishing_test.cpp checks those against the
// Universal CRT itself.
std::string reference_text(double seconds) {
  char text[400];
  std::snprintf(text, sizeof text, "%.0f", seconds);
  return text;
}

TEST(LengthEntry, WholeSecondsOrZeroWhenUnknown) {
  constexpr double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
  ASSERT_EQ(reference_text(5e253).size(), 254u);  // the longest text that fits
  ASSERT_EQ(reference_text(-5e253).size(), 255u);
  auto published_length = [](double seconds) {
    return decoded_record(player_track_info({{"t", {"v"}}}, seconds)).back().second;
  };
  for (double seconds : {215.6, 0.4, -215.4, -0.3, -0.0, 0.49999999999999994, 4503599627370494.75, 5e253}) {
    EXPECT_EQ(published_length(seconds), reference_text(seconds)) << seconds;
  }
  // Lengths of every magnitude the record writes without the runtime, and the
  // doubles next to halves, agree with the C library's text.
  std::mt19937_64 generator(215);
  for (int i = 0; i < 20000; ++i) {
    const double scale = std::ldexp(1.0, static_cast<int>(generator() % 60) - 6);
    double seconds = std::uniform_real_distribution<double>(-scale, scale)(generator);
    if (i % 4 == 0) seconds = std::nextafter(std::round(seconds) + 0.5, i % 8 ? 0.0 : 1e300);
    if (std::fabs(seconds - std::trunc(seconds)) == 0.5) continue;
    ASSERT_EQ(published_length(seconds), reference_text(seconds)) << std::hexfloat << seconds;
  }
  for (double seconds : {nan, -nan, inf, -inf, 1e300, -5e253}) {
    EXPECT_EQ(published_length(seconds), "0") << seconds;
  }
}

}  // namespace
