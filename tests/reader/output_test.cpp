#include "tools/reader/output.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tests/reader/title_writer.h"
#include "tests/reader/tune_parser.h"

namespace {

using reader::json_line;
using reader::now_playing;
using reader::player_state;
using reader::tune_payload;
using reader_test::field_list;
using reader_test::parse_tune;
using reader_test::tune_children;

constexpr std::string_view empty_tune = "<tune xmlns='http://jabber.org/protocol/tune'/>";

now_playing playing(field_list fields, std::string length = "215") {
  return {player_state::playing, std::move(fields), std::move(length)};
}

bool printable_ascii(std::string_view line) {
  for (char c : line) {
    if (c < 0x20 || c > 0x7E) return false;
  }
  return true;
}

// Ill-formed UTF-8 next to its repair: one U+FFFD per maximal subpart.
const std::pair<std::string_view, std::string_view> utf8_repairs[] = {
    {"\x80", "\uFFFD"},
    {"a\xE2\x82", "a\uFFFD"},  // cut three-byte sequence
    {"\xE2\x82!", "\uFFFD!"},
    {"\xC0\xAF", "\uFFFD\uFFFD"},  // overlong
    {"\xE0\x80\xAF", "\uFFFD\uFFFD\uFFFD"},
    {"\xF0\x80\x80\xAF", "\uFFFD\uFFFD\uFFFD\uFFFD"},
    {"\xED\xA0\x80", "\uFFFD\uFFFD\uFFFD"},            // surrogate
    {"\xF4\x90\x80\x80", "\uFFFD\uFFFD\uFFFD\uFFFD"},  // beyond U+10FFFF
    {"\xF0\x9F\x8E", "\uFFFD"},
    {"\xFF\xFE", "\uFFFD\uFFFD"},
    {"caf\xC3\xA9 \xF0\x9F\x8E\xB5", "caf\xC3\xA9 \xF0\x9F\x8E\xB5"},  // well-formed stays
};

TEST(reader_output, repairs_ill_formed_utf8) {
  for (const auto& [broken, repaired] : utf8_repairs) EXPECT_EQ(reader::repair_utf8(broken), repaired) << broken;
}

TEST(reader_output, prints_each_state_as_one_json_object) {
  EXPECT_EQ(json_line(playing({{"title", "Song"}, {"artist", "Band"}})),
            R"({"state":"playing","fields":[["title","Song"],["artist","Band"]],"length":215})");
  EXPECT_EQ(json_line({player_state::stopped, {}, {}}), R"({"state":"stopped"})");
  EXPECT_EQ(json_line({player_state::none, {}, {}}), R"({"state":"none"})");
  EXPECT_EQ(json_line({player_state::absent, {}, {}}), R"({"state":"absent"})");
  EXPECT_EQ(json_line(playing({}, "-0")), R"({"state":"playing","fields":[],"length":0})");
}

TEST(reader_output, json_escapes_awkward_text_into_ascii) {
  EXPECT_EQ(
      json_line(playing({{"q\"b\\", "a\x01\n\t\x7F"}, {"caf\xC3\xA9", "\xF0\x9F\x8E\xB5"}}, "-17")),
      R"({"state":"playing","fields":[["q\"b\\","a\u0001\n\t\u007f"],["caf\u00e9","\ud83c\udfb5"]],"length":-17})");
  for (const auto& [broken, repaired] : utf8_repairs) {
    const std::string line = json_line(playing({{std::string(broken), "<&>"}}));
    ASSERT_TRUE(printable_ascii(line)) << line;
    const auto parsed = nlohmann::json::parse(line);
    EXPECT_EQ(parsed["fields"][0][0], repaired);
  }
}

TEST(reader_output, json_length_is_a_number_of_any_size) {
  auto length_of = [](std::string length) {
    return nlohmann::json::parse(json_line(playing({}, std::move(length))))["length"];
  };
  EXPECT_EQ(length_of("9223372036854775807"), INT64_MAX);
  EXPECT_EQ(length_of("-9223372036854775808"), INT64_MIN);
  const auto beyond = length_of("18446744073709551616");  // 2^64, exactly a double
  ASSERT_TRUE(beyond.is_number_float());
  EXPECT_EQ(beyond.get<double>(), 18446744073709551616.0);
  const auto huge = length_of("1" + std::string(253, '0'));
  ASSERT_TRUE(huge.is_number_float());
  EXPECT_EQ(huge.get<double>(), 1e253);
}

TEST(reader_output, tune_gives_the_known_fields_in_element_order) {
  const now_playing song = playing({{"URI", "http://example.org/?a=1&b=2"},
                                    {"TrackNumber", "07"},
                                    {"title", "Song"},
                                    {"Rating", "8"},
                                    {"album", "Disc"},
                                    {"comment", "not in a tune"},
                                    {"ARTIST", "Band"},
                                    {"artist", "second artist is ignored"}});
  EXPECT_EQ(tune_payload(song),
            "<tune xmlns='http://jabber.org/protocol/tune'><artist>Band</artist><length>215</length>"
            "<rating>8</rating><source>Disc</source><title>Song</title><track>07</track>"
            "<uri>http://example.org/?a=1&amp;b=2</uri></tune>");
  for (player_state state : {player_state::absent, player_state::none, player_state::stopped}) {
    EXPECT_EQ(tune_payload({state, {}, {}}), empty_tune);
  }
  EXPECT_EQ(tune_payload(playing({{"comment", "x"}, {"title", ""}}, "0")), empty_tune);
}

TEST(reader_output, tune_gives_length_and_rating_only_where_the_element_can_hold_them) {
  auto children = [](field_list fields, std::string length) {
    return parse_tune(tune_payload(playing(std::move(fields), std::move(length)))).value_or(tune_children{});
  };
  EXPECT_EQ(children({}, "65535"), (tune_children{{"length", "65535"}}));
  for (std::string_view length : {"0", "-0", "-5", "65536", "18446744073709551616"}) {
    EXPECT_EQ(children({{"title", "x"}}, std::string(length)), (tune_children{{"title", "x"}})) << length;
  }
  EXPECT_EQ(children({{"rating", "1"}}, "0"), (tune_children{{"rating", "1"}}));
  EXPECT_EQ(children({{"rating", "10"}}, "0"), (tune_children{{"rating", "10"}}));
  for (std::string_view rating : {"0", "11", "4.5", "5 stars", "", "-3"}) {
    EXPECT_EQ(children({{"rating", std::string(rating)}, {"title", "x"}}, "0"), (tune_children{{"title", "x"}}))
        << rating;
  }
}

TEST(reader_output, tune_escapes_any_text_into_one_line_of_ascii) {
  const std::string awkward =
      "<a href=\"x\">&amp;'</a>\t\r\n\x01\x1F\x7F caf\xC3\xA9 \xEF\xBF\xBE \xF0\x9F\x8E\xB5 ]]>";
  const std::string payload = tune_payload(playing({{"title", awkward}}));
  EXPECT_EQ(payload,
            "<tune xmlns='http://jabber.org/protocol/tune'><length>215</length><title>"
            "&lt;a href=&quot;x&quot;&gt;&amp;amp;&apos;&lt;/a&gt;&#x9;&#xd;&#xa;&#xfffd;&#xfffd;&#x7f; "
            "caf&#xe9; &#xfffd; &#x1f3b5; ]]&gt;</title></tune>");
  for (const auto& [broken, repaired] : utf8_repairs) {
    const auto children = parse_tune(tune_payload(playing({{"artist", std::string(broken)}})));
    ASSERT_TRUE(children.has_value()) << broken;
    EXPECT_EQ(children->front(), (std::pair<std::string, std::string>{"artist", std::string(repaired)}));
  }
}

}  // namespace
