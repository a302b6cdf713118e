#include "reading/decoder.h"

#include <gtest/gtest.h>

#include <tuple>

#include "harness/title_writer.h"

namespace {

using namespace std::string_literals;
using reading::player_state;
using reader_test::field_list;
using reader_test::title_entry;

// describe() of the fault, or "decoded".
std::string fault(std::string_view title) {
  const reading::decode_result result = reading::decode_title(title);
  const auto* error = std::get_if<reading::decode_error>(&result);
  return error ? reading::describe(*error) : "decoded";
}

auto decoded(std::string_view title) {
  EXPECT_EQ(fault(title), "decoded") << title.substr(0, 100);
  const reading::decode_result result = reading::decode_title(title);
  const auto* state = std::get_if<reading::now_playing>(&result);
  return state ? std::tuple(state->state, state->fields, state->length)
               : std::tuple(player_state::none, field_list{}, ""s);
}

TEST(title_decoder, reads_valid_titles) {
  EXPECT_EQ(decoded(""), std::tuple(player_state::none, field_list{}, ""s));
  EXPECT_EQ(decoded("STOP"), std::tuple(player_state::stopped, field_list{}, ""s));
  EXPECT_EQ(decoded("dGl0bGUA:U29uZwA=;YXJ0aXN0AA==:QmFuZAA=;bGVuZ3RoAA==:MjE1AA==;"),
            std::tuple(player_state::playing, field_list{{"title", "Song"}, {"artist", "Band"}}, "215"s));

  std::string every_byte;
  for (int b = 1; b < 256; ++b) every_byte += static_cast<char>(b);
  const field_list records[] = {
      {},                                                             // the length entry alone
      {{"", ""}, {"a", "ab"}, {"abc", "abcd"}, {"abcde", "abcdef"}},  // every padding case
      {{"x:y;z=", "a:b;c==;"}, {"title", "Grüße, 東京 🎵"}, {"length", "not the last"}},
      {{"bytes", every_byte}, {"comment", std::string(200000, 'x')}},
  };
  for (const field_list& fields : records) {
    for (const std::string& length : {"0"s, "-0"s, "-17"s, "18446744073709551616"s, std::string(254, '9')}) {
      EXPECT_EQ(decoded(reader_test::record_title(fields, length)), std::tuple(player_state::playing, fields, length));
    }
  }
}

TEST(title_decoder, names_the_fault_and_its_byte) {
  const std::string title = title_entry("title", "Song");   // 18 bytes, value from byte 9
  const std::string length = title_entry("length", "215");  // 22 bytes, value from byte 13
  const std::pair<std::string, std::string_view> cases[] = {
      {"stop", "entry 1, byte 4: missing ':' after the name"},
      {"dGl0bGUA;" + length, "entry 1, byte 8: missing ':' after the name"},
      {"dGl0bGUA:U29uZwA=", "entry 1, byte 17: missing ';' after the value"},
      {"dGl0b!UA:U29uZwA=;" + length, "entry 1, byte 5: invalid base64 character in the name"},
      {"dGl0bGUA:U29u ZwA=;" + length, "entry 1, byte 13: invalid base64 character in the value"},
      {title + length + "\xC3\xA9", "entry 3, byte 40: invalid base64 character in the name"},
      {title + "dGl0bGU:AA==;" + length, "entry 2, byte 18: the name's base64 text is not a multiple of 4 characters"},
      {"dG=0bGUA:U29uZwA=;" + length, "entry 1, byte 2: misplaced '=' padding in the name"},
      {"dGl0bGUA:U29u====;" + length, "entry 1, byte 13: misplaced '=' padding in the value"},
      {"dGl0bGUA:AB==;" + length, "entry 1, byte 10: non-zero bits under the '=' padding of the value"},
      {"dGl0bGUA:AAB=;" + length, "entry 1, byte 11: non-zero bits under the '=' padding of the value"},
      {":AA==;" + length, "entry 1, byte 0: empty name"},
      {title + "AA==:;", "entry 2, byte 23: empty value"},
      {"dGl0bGU=:AA==;" + length, "entry 1, byte 0: the name lacks its terminating zero byte"},
      {"dGl0bGUA:YWJjZGVmAGdoAA==;" + length, "entry 1, byte 17: zero byte inside the value before its end"},
      {length + title, "entry 2, byte 22: the final entry is not the \"length\" entry"},
      {title + title_entry("LENGTH", "215"), "entry 2, byte 18: the final entry is not the \"length\" entry"},
      {title_entry("length", std::string(255, '1')), "entry 1, byte 13: the length is longer than 254 characters"},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(fault(text), expected) << text.substr(0, 80);
  for (std::string_view bad : {"", "abc", "+5", "05", "-05", " 5", "5.0", "1e3", "-", "--5", "-nan(ind)"}) {
    EXPECT_EQ(fault(title + title_entry("length", bad)),
              "entry 2, byte 31: the length is not a whole number (optional '-', digits, no leading zero)")
        << bad;
  }
}

}  // namespace
