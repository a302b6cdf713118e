#include "publisher/record.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <limits>
#include <variant>
#include <string>
#include <vector>

#include "tests/host_objects/host_objects.h"
#include "tools/reader/decoder.h"

namespace {

constexpr char worked_example[] = "dGl0bGUA:U29uZwA=;YXJ0aXN0AA==:QmFuZAA=;bGVuZ3RoAA==:MjE1AA==;";

std::string encoded(std::string_view bytes) {
  test_host_string out;
  base64_encode(bytes.data(), bytes.size(), out);
  return out.text();
}

struct entry {
  std::string name, value;
};

// The record as the reading side decodes it, the length entry last.
std::vector<entry> entries_of(const std::string& record) {
  const reader::decode_result decoded = reader::decode_title(record);
  if (const auto* error = std::get_if<reader::decode_error>(&decoded)) {
    ADD_FAILURE() << reader::describe(*error) << " in " << record;
    return {};
  }
  const auto& playing = std::get<reader::now_playing>(decoded);
  EXPECT_EQ(playing.state, reader::player_state::playing) << record;
  std::vector<entry> entries;
  for (const auto& [name, value] : playing.fields) entries.push_back({name, value});
  entries.push_back({"length", playing.length});
  return entries;
}

TEST(Base64, EncodesTheStandardVectors) {
  EXPECT_EQ(encoded(""), "");
  EXPECT_EQ(encoded("f"), "Zg==");
  EXPECT_EQ(encoded("fo"), "Zm8=");
  EXPECT_EQ(encoded("foo"), "Zm9v");
  EXPECT_EQ(encoded("foob"), "Zm9vYg==");
  EXPECT_EQ(encoded("fooba"), "Zm9vYmE=");
  EXPECT_EQ(encoded("foobar"), "Zm9vYmFy");
  EXPECT_EQ(encoded(std::string_view("\0", 1)), "AA==");
  EXPECT_EQ(encoded(std::string_view("length\0", 7)), "bGVuZ3RoAA==");
  // Bytes are unsigned octets: the last two alphabet characters and high bits.
  EXPECT_EQ(encoded("\xFF\xFE\xFD"), "//79");
  EXPECT_EQ(encoded("\xFB\xFF"), "+/8=");
  EXPECT_EQ(encoded("\x80"), "gA==");
}

TEST(Base64, AppendsToWhatTheStringHolds) {
  test_host_string out("x:");
  base64_encode("foob", 4, out);
  EXPECT_EQ(out.text(), "x:Zm9vYg==");
  EXPECT_TRUE(out.set_text_calls().empty());
}

TEST(Base64, EveryLengthAndByteDecodesBack) {
  std::string bytes;  // every non-zero byte value, at every length up to 800
  for (std::size_t length = 0; length <= 800; ++length) {
    const std::string text = encoded(std::string_view(bytes.c_str(), length + 1));
    ASSERT_EQ(text.size(), (length + 3) / 3 * 4);
    const std::vector<entry> entries = entries_of(text + ":AA==;bGVuZ3RoAA==:MAA=;");
    ASSERT_EQ(entries.size(), 2u);
    ASSERT_EQ(entries[0].name, bytes) << "length " << length;
    bytes.push_back(static_cast<char>(length % 255 + 1));
  }
}

TEST(NowPlayingRecord, ReproducesTheWorkedExampleReplacingOldText) {
  const test_track_info info({{"title", {"Song"}}, {"artist", {"Band"}}}, 215.4);
  test_host_string record("an older record");
  ASSERT_TRUE(build_now_playing_record(info, record));
  EXPECT_EQ(record.text(), worked_example);
}

TEST(NowPlayingRecord, ReproducesTheWorkedExampleInTheComponentsStrings) {
  const test_track_info info({{"title", {"Song"}}, {"artist", {"Band"}}}, 215.4);
  pfc::string8 standard;
  pfc::string8_fast fast;
  standard.set_text("an older record that is a good deal longer than the one that replaces it", pfc::infinite_size);
  ASSERT_TRUE(build_now_playing_record(info, standard));
  ASSERT_TRUE(build_now_playing_record(info, fast));
  EXPECT_STREQ(standard.text_pointer(), worked_example);
  EXPECT_STREQ(fast.text_pointer(), worked_example);
  EXPECT_EQ(fast.text_length(), sizeof worked_example - 1);
}

TEST(NowPlayingRecord, NoFieldsMeansNoRecordAndNoChange) {
  const test_track_info info({}, 215.4);
  test_host_string record("kept");
  EXPECT_FALSE(build_now_playing_record(info, record));
  EXPECT_EQ(record.text(), "kept");
  EXPECT_EQ(record.other_calls(), 0u);
  EXPECT_TRUE(record.set_text_calls().empty());
}

TEST(NowPlayingRecord, PublishesTheFirstValueFoundUnderEachName) {
  const test_track_info info({{"genre", {"Rock", "Pop", "Jazz"}}, {"title", {"First"}}, {"title", {"Second"}}}, 3);
  test_host_string record;
  ASSERT_TRUE(build_now_playing_record(info, record));
  const std::vector<entry> entries = entries_of(record.text());
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[0].name, "genre");
  EXPECT_EQ(entries[0].value, "Rock");
  EXPECT_EQ(entries[1].value, "First");
  EXPECT_EQ(entries[2].name, "title");
  EXPECT_EQ(entries[2].value, "First");
  EXPECT_EQ(entries[3].name, "length");
  EXPECT_EQ(entries[3].value, "3");
  for (const test_track_info::lookup& lookup : info.lookups()) EXPECT_EQ(lookup.length, 0xFFFFFFFFu);
}

TEST(NowPlayingRecord, FieldsWithoutAValuePublishTheEmptyText) {
  const test_track_info info({{"empty", {""}}, {"none", {}}, {"lost", {"unseen"}, false}}, 0);
  test_host_string record;
  ASSERT_TRUE(build_now_playing_record(info, record));
  EXPECT_EQ(record.text(), "ZW1wdHkA:AA==;bm9uZQA=:AA==;bG9zdAA=:AA==;bGVuZ3RoAA==:MAA=;");
}

TEST(NowPlayingRecord, AnyBytesPassThroughAsPlainAscii) {
  const std::string long_value(700, '\xE2');
  const test_track_info info({{"a:b;c=", {";;::"}},
                              {"\303\234ber", {"\xE2\x99\xAB caf\xC3\xA9"}},
                              {"", {long_value}},
                              {"\x01\x7F\xFF", {"STOP"}}},
                             -1);
  test_host_string record;
  ASSERT_TRUE(build_now_playing_record(info, record));
  for (const char c : record.text()) {
    ASSERT_TRUE(std::isalnum(static_cast<unsigned char>(c)) ||
                std::string_view("+/=:;").find(c) != std::string_view::npos)
        << "character " << static_cast<int>(static_cast<unsigned char>(c));
  }
  const std::vector<entry> entries = entries_of(record.text());
  ASSERT_EQ(entries.size(), 5u);
  EXPECT_EQ(entries[0].name, "a:b;c=");
  EXPECT_EQ(entries[0].value, ";;::");
  EXPECT_EQ(entries[1].name, "\303\234ber");
  EXPECT_EQ(entries[1].value, "\xE2\x99\xAB caf\xC3\xA9");
  EXPECT_EQ(entries[2].name, "");
  EXPECT_EQ(entries[2].value, long_value);
  EXPECT_EQ(entries[3].name, "\x01\x7F\xFF");
  EXPECT_EQ(entries[4].value, "-1");
}

// --- the length entry ---

std::string published_length(double seconds) {
  const test_track_info info({{"t", {"v"}}}, seconds);
  test_host_string record;
  EXPECT_TRUE(build_now_playing_record(info, record));
  const std::vector<entry> entries = entries_of(record.text());
  return entries.empty() ? "(no record)" : entries.back().value;
}

// The runtime's own whole-number text for `seconds`.
std::string runtime_text(double seconds) {
  char text[400];
  std::snprintf(text, sizeof text, "%.0f", seconds);
#if !defined(_WIN32)
  // Where long double is wider, the "%.0Lf" text of the converted value is the same.
  char wide[400];
  std::snprintf(wide, sizeof wide, "%.0Lf", static_cast<long double>(seconds));
  EXPECT_STREQ(text, wide);
#endif
  return text;
}

TEST(LengthEntry, WholeSecondsWithTheSignKept) {
  EXPECT_EQ(published_length(215.4), "215");
  EXPECT_EQ(published_length(215.6), "216");
  EXPECT_EQ(published_length(0.4), "0");
  EXPECT_EQ(published_length(0), "0");
  EXPECT_EQ(published_length(-215.4), "-215");
  EXPECT_EQ(published_length(-0.4), "-0");
  EXPECT_EQ(published_length(86400.75), "86401");
  EXPECT_EQ(published_length(1e15), "1000000000000000");
}

TEST(LengthEntry, HalvesRoundAsTheRuntimeRounds) {
  for (const double tie : {0.5, 1.5, 2.5, 215.5, -2.5}) {
    const std::string published = published_length(tie);
    EXPECT_EQ(published, runtime_text(tie)) << tie;
    const std::string below = runtime_text(std::trunc(tie)), above = runtime_text(tie + std::copysign(0.5, tie));
    EXPECT_TRUE(published == below || published == above) << tie << " gave " << published;
  }
}

TEST(LengthEntry, UnknownWhenNotFiniteOrTooLongForTheFormat) {
  EXPECT_EQ(published_length(std::numeric_limits<double>::quiet_NaN()), "0");
  EXPECT_EQ(published_length(-std::numeric_limits<double>::quiet_NaN()), "0");
  EXPECT_EQ(published_length(std::numeric_limits<double>::infinity()), "0");
  EXPECT_EQ(published_length(-std::numeric_limits<double>::infinity()), "0");
  EXPECT_EQ(published_length(1e300), "0");
  EXPECT_EQ(published_length(-DBL_MAX), "0");

  // 254 characters still fit; 255 do not.
  const std::string longest = runtime_text(5e253);
  ASSERT_EQ(longest.size(), 254u);
  EXPECT_EQ(published_length(5e253), longest);
  ASSERT_EQ(runtime_text(-5e253).size(), 255u);
  EXPECT_EQ(published_length(-5e253), "0");
  EXPECT_EQ(published_length(5e254), "0");
}

}  // namespace
