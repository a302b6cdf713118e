#include "reading/output.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>

#include "harness/title_writer.h"
#include "text/utf8.h"

namespace {

using reading::json_line;
using reading::player_state;
using reading::tune_payload;
using reader_test::field_list;

const std::string tune_start = "<tune xmlns='http://jabber.org/protocol/tune'";
const std::string empty_tune = tune_start + "/>";

reading::now_playing playing(field_list fields, std::string length = "215") {
  return {player_state::playing, std::move(fields), std::move(length)};
}

TEST(reader_output, json_line_escapes_into_ascii_and_repairs_utf8) {
  EXPECT_EQ(json_line(playing({{"q\"b\\", "a\x01\n\t\x7F"}, {"caf\xC3\xA9", "\xF0\x9F\x8E\xB5"}}, "-0")),
            R"({"state":"playing","fields":[["q\"b\\","a\u0001\n\t\u007f"],["caf\u00e9","\ud83c\udfb5"]],"length":0})");

  auto length_of = [](std::string length) { return nlohmann::json::parse(json_line(playing({}, length)))["length"]; };
  EXPECT_EQ(length_of("9223372036854775807"), INT64_MAX);
  EXPECT_EQ(length_of("-9223372036854775808"), INT64_MIN);
  EXPECT_EQ(length_of("18446744073709551616").get<double>(), 18446744073709551616.0);  // 2^64
  EXPECT_EQ(length_of("1" + std::string(253, '0')).get<double>(), 1e253);

  // One U+FFFD per maximal ill-formed subpart: stray, overlong, surrogate, too high, cut (last at the end).
  const std::string broken =
      "\x80|\xC0\xAF|\xE0\x80\xAF|\xF0\x80\x80\xAF|\xED\xA0\x80|\xF4\x90\x80\x80|\xFF\xFE|\xE2\x82!|"
      "caf\xC3\xA9 \xF4\x8F\xBF\xBF|\xF0\x9F\x8E";
  const auto line = nlohmann::json::parse(json_line(playing({{"name", broken}})));
  EXPECT_EQ(line["fields"][0][1],
            "\uFFFD|\uFFFD\uFFFD|\uFFFD\uFFFD\uFFFD|\uFFFD\uFFFD\uFFFD\uFFFD|\uFFFD\uFFFD\uFFFD|"
            "\uFFFD\uFFFD\uFFFD\uFFFD|\uFFFD\uFFFD|\uFFFD!|caf\xC3\xA9 \xF4\x8F\xBF\xBF|\uFFFD");

  // The check agrees with the repair: every broken piece fails it, what the
  // repair made passes, U+FFFD itself included.
  EXPECT_TRUE(text::is_well_formed_utf8(reading::repair_utf8(broken)));
  for (std::size_t start = 0, end; start < broken.size(); start = end + 1) {
    end = std::min(broken.find('|', start), broken.size());
    const std::string piece = broken.substr(start, end - start);
    EXPECT_EQ(text::is_well_formed_utf8(piece), piece.starts_with("caf")) << piece;
  }
}

TEST(reader_output, tune_gives_known_fields_in_element_order_escaped) {
  EXPECT_EQ(tune_payload(playing({{"URI", "http://example.org/?a=1&b=2"},
                                  {"TrackNumber", "07"},
                                  {"title", "Song"},
                                  {"Rating", "8"},
                                  {"album", "Disc"},
                                  {"ARTIST", "Band"},
                                  {"artist", "second artist is ignored"}})),
            tune_start +
                "><artist>Band</artist><length>215</length><rating>8</rating><source>Disc</source>"
                "<title>Song</title><track>07</track><uri>http://example.org/?a=1&amp;b=2</uri></tune>");
  EXPECT_EQ(tune_payload(playing({{"comment", "x"}, {"title", ""}}, "0")), empty_tune);
  EXPECT_EQ(
      tune_payload(playing({{"title", "<a href=\"x\">&amp;'</a>\t\r\n\x01\x7F caf\xC3\xA9 \xC0\xEF\xBF\xBE ]]>"}})),
      tune_start +
          "><length>215</length><title>&lt;a href=&quot;x&quot;&gt;&amp;amp;&apos;&lt;/a&gt;&#x9;&#xd;&#xa;"
          "&#xfffd;&#x7f; caf&#xe9; &#xfffd;&#xfffd; ]]&gt;</title></tune>");

  // Length and rating only where the element holds them.
  auto tune = [](field_list fields, std::string length) { return tune_payload(playing(std::move(fields), length)); };
  EXPECT_EQ(tune({}, "65535"), tune_start + "><length>65535</length></tune>");
  EXPECT_EQ(tune({{"rating", "1"}}, "1"), tune_start + "><length>1</length><rating>1</rating></tune>");
  EXPECT_EQ(tune({{"rating", "10"}}, "0"), tune_start + "><rating>10</rating></tune>");
  EXPECT_EQ(tune({{"rating", "11"}}, "65536"), empty_tune);
  for (std::string bad : {"0", "-0", "-5", "65536", "18446744073709551616", "4.5", "5 stars", ""}) {
    EXPECT_EQ(tune({{"rating", bad}, {"title", "x"}}, bad), tune_start + "><title>x</title></tune>") << bad;
  }
}

TEST(reader_output, text_reads_for_people_and_keeps_the_terminal_safe) {
  struct {
    reading::now_playing state;
    std::string line;
  } const cases[] = {
      {{player_state::absent, {}, {}}, "player not running"},
      {{player_state::none, {}, {}}, "nothing played yet"},
      {{player_state::stopped, {}, {}}, "\u25A0 stopped"},
      {playing({{"Title", "Hopp\xC3\xADpolla"}, {"ARTIST", "Sigur R\xC3\xB3s"}, {"artist", "J\xC3\xB3nsi"}}, "268"),
       "\u25B6 Sigur R\xC3\xB3s \u2014 Hopp\xC3\xADpolla (4:28)"},
      // Lengths: m:ss, h:mm:ss, left out when 0, negative or beyond 64 bits.
      {playing({{"title", "t"}}, "59"), "\u25B6 t (0:59)"},
      {playing({{"title", "t"}}, "3600"), "\u25B6 t (1:00:00)"},
      {playing({{"title", "t"}}, "360005"), "\u25B6 t (100:00:05)"},
      {playing({{"title", "t"}}, "0"), "\u25B6 t"},
      {playing({{"title", "t"}}, "-5"), "\u25B6 t"},
      {playing({{"title", "t"}}, "18446744073709551616"), "\u25B6 t"},
      // Stand-ins: album artist, then album, uri; an empty first tag counts as none.
      {playing({{"artist", ""}, {"artist", "second"}, {"Album Artist", "Various"}, {"album", "Disc"}}, "0"),
       "\u25B6 Various \u2014 Disc"},
      {playing({{"title", ""}, {"uri", "http://radio.example/live"}}, "0"), "\u25B6 http://radio.example/live"},
      {playing({{"artist", "Band"}, {"genre", "Rock"}}, "61"), "\u25B6 Band \u2014 untitled track (1:01)"},
      {playing({}, "0"), "\u25B6 untitled track"},
      // Breaks and tabs become spaces; ESC, DEL, C1 controls and bad UTF-8 become U+FFFD.
      {playing({{"title",
                 "a\tb\r\nc\xE2\x80\xA8"
                 "d"},
                {"artist",
                 "\x1B[31mred\x7F\xC2\x9B"
                 "2J\xFF"}},
               "0"),
       "\u25B6 \uFFFD[31mred\uFFFD\uFFFD2J\uFFFD \u2014 a b  c d"},
  };
  for (const auto& c : cases) EXPECT_EQ(reading::render(c.state, reading::output_format::text), c.line);
}

}  // namespace
