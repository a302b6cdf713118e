#include "tools/reader/decoder.h"

#include <gtest/gtest.h>

#include "tests/reader/title_writer.h"

namespace {

using reader::decode_error;
using reader::decode_title;
using reader::now_playing;
using reader::player_state;
using reader_test::base64;
using reader_test::field_list;
using reader_test::record_title;
using reader_test::title_entry;

now_playing decoded(std::string_view title) {
  const reader::decode_result result = decode_title(title);
  if (const auto* error = std::get_if<decode_error>(&result)) {
    ADD_FAILURE() << "title \"" << title.substr(0, 200) << "\": " << reader::describe(*error);
    return {};
  }
  return std::get<now_playing>(result);
}

decode_error failure(std::string_view title) {
  const reader::decode_result result = decode_title(title);
  if (!std::holds_alternative<decode_error>(result)) {
    ADD_FAILURE() << "title \"" << title.substr(0, 200) << "\" decoded";
    return {0, 0, ""};
  }
  return std::get<decode_error>(result);
}

TEST(title_decoder, reads_the_empty_title_and_the_stop_marker_exactly) {
  EXPECT_EQ(decoded("").state, player_state::none);
  EXPECT_EQ(decoded("STOP").state, player_state::stopped);
  EXPECT_TRUE(decoded("STOP").fields.empty());
  for (std::string_view near_miss : {"stop", "STOP;", " STOP", "STO"}) {
    EXPECT_TRUE(std::holds_alternative<decode_error>(decode_title(near_miss))) << near_miss;
  }
}

TEST(title_decoder, reads_a_published_record) {
  const now_playing song = decoded("dGl0bGUA:U29uZwA=;YXJ0aXN0AA==:QmFuZAA=;bGVuZ3RoAA==:MjE1AA==;");
  EXPECT_EQ(song.state, player_state::playing);
  EXPECT_EQ(song.fields, (field_list{{"title", "Song"}, {"artist", "Band"}}));
  EXPECT_EQ(song.length, "215");
}

TEST(title_decoder, round_trips_awkward_fields) {
  std::string every_byte;
  for (int b = 1; b < 256; ++b) every_byte += static_cast<char>(b);
  const std::vector<field_list> records = {
      {},                                                             // a length entry alone
      {{"", ""}, {"a", "ab"}, {"abc", "abcd"}, {"abcde", "abcdef"}},  // every padding case
      {{"x:y;z=", "a:b;c==;"}, {"title", "Grüße, 東京 🎵"}, {"length", "not the last"}},
      {{"bytes", every_byte}, {"ARTIST", "Band"}, {"artist", "Other"}},
      {{"comment", std::string(200000, 'x')}},
  };
  for (const field_list& fields : records) {
    for (std::string_view length : {"0", "-0", "215", "-17", "18446744073709551616"}) {
      const now_playing state = decoded(record_title(fields, length));
      EXPECT_EQ(state.state, player_state::playing);
      EXPECT_EQ(state.fields, fields);
      EXPECT_EQ(state.length, length);
    }
  }
  EXPECT_EQ(decoded(record_title({}, std::string(254, '9'))).length, std::string(254, '9'));
}

struct malformed_case {
  std::string title;
  std::size_t offset;
  std::size_t entry;
  std::string_view what;
};

TEST(title_decoder, names_the_fault_and_its_byte_in_malformed_titles) {
  const std::string title = title_entry("title", "Song");   // 18 bytes, value from byte 9
  const std::string length = title_entry("length", "215");  // 22 bytes, value from byte 13
  const std::vector<malformed_case> cases = {
      {"dGl0bGUA", 8, 1, "missing ':' after the name"},
      {"dGl0bGUA;" + length, 8, 1, "missing ':' after the name"},
      {"dGl0bGUA:U29uZwA=", 17, 1, "missing ';' after the value"},
      {"dGl0bGUA:U29uZwA=:" + length, 17, 1, "missing ';' after the value"},
      {"dGl0b!UA:U29uZwA=;" + length, 5, 1, "invalid base64 character in the name"},
      {"dGl0bGUA:U29u ZwA=;" + length, 13, 1, "invalid base64 character in the value"},
      {title + length + "\xC3\xA9", 40, 3, "invalid base64 character in the name"},
      {title + "dGl0bGU:AA==;" + length, 18, 2, "the name's base64 text is not a multiple of 4 characters"},
      {"dG=0bGUA:U29uZwA=;" + length, 2, 1, "misplaced '=' padding in the name"},
      {"dGl0bGUA:U29u====;" + length, 13, 1, "misplaced '=' padding in the value"},
      {"dGl0bGUA:AB==;" + length, 10, 1, "non-zero bits under the '=' padding of the value"},
      {"dGl0bGUA:AAB=;" + length, 11, 1, "non-zero bits under the '=' padding of the value"},
      {":AA==;" + length, 0, 1, "empty name"},
      {title + "AA==:;", 23, 2, "empty value"},
      {"dGl0bGU=:AA==;" + length, 0, 1, "the name lacks its terminating zero byte"},
      {"dGl0bGUA:" + base64(std::string("abcdef\0gh\0", 10)) + ";" + length, 9 + 8, 1,
       "zero byte inside the value before its end"},
      {title, 0, 1, "the final entry is not the \"length\" entry"},
      {length + title, 22, 2, "the final entry is not the \"length\" entry"},
      {title + title_entry("LENGTH", "215"), 18, 2, "the final entry is not the \"length\" entry"},
      {title + length + "STOP", 44, 3, "missing ':' after the name"},
      {title_entry("length", std::string(255, '1')), 13, 1, "the length is longer than 254 characters"},
  };
  for (const malformed_case& c : cases) {
    const decode_error error = failure(c.title);
    EXPECT_EQ(error.offset, c.offset) << c.title.substr(0, 80);
    EXPECT_EQ(error.entry, c.entry) << c.title.substr(0, 80);
    EXPECT_EQ(std::string_view(error.what), c.what) << c.title.substr(0, 80);
  }
  for (std::string_view bad :
       {"", "abc", "+5", "05", "-05", " 5", "5 ", "5.0", "1e3", "-", "--5", "inf", "-nan(ind)"}) {
    const decode_error error = failure(title + title_entry("length", bad));
    EXPECT_EQ(error.offset, 18 + 13) << bad;
    EXPECT_EQ(std::string_view(error.what).substr(0, 32), "the length is not a whole number") << bad;
  }
}

TEST(title_decoder, describes_a_fault_in_one_line) {
  EXPECT_EQ(reader::describe(failure("dGl0bGUA:U29uZwA=")), "entry 1, byte 17: missing ';' after the value");
}

}  // namespace
