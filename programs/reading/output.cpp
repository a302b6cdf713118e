#include "reading/output.h"

#include <array>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <optional>

#include "text/utf8.h"

namespace reading {
namespace {

using text::append_utf8;
using text::code_point;
using text::next_code_point;
using text::replacement_character;

// --- tune ---

constexpr std::string_view tune_start = "<tune xmlns='http://jabber.org/protocol/tune'";

bool is_xml_char(char32_t c) {
  return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
         (c >= 0x10000 && c <= 0x10FFFF);
}

// One character as character data in printable ASCII: markup characters as
// entities, the rest outside 0x20..0x7E as character references (line breaks
// included, so a payload stays on one line); characters XML cannot carry
// become U+FFFD.
void append_xml_char(std::string& out, char32_t c) {
  switch (c) {
    case '<':
      out += "&lt;";
      return;
    case '>':
      out += "&gt;";
      return;
    case '&':
      out += "&amp;";
      return;
    case '\'':
      out += "&apos;";
      return;
    case '"':
      out += "&quot;";
      return;
  }
  if (c >= 0x20 && c <= 0x7E) {
    out += static_cast<char>(c);
    return;
  }
  std::array<char, 8> hex;
  const auto end = std::to_chars(hex.data(), hex.data() + hex.size(),
                                 static_cast<std::uint32_t>(is_xml_char(c) ? c : replacement_character), 16)
                       .ptr;
  out += "&#x";
  out.append(hex.data(), end);
  out += ';';
}

// The mark of a cut text: U+2026 HORIZONTAL ELLIPSIS, escaped.
constexpr std::string_view cut_mark = "&#x2026;";

// The text as character data (see append_xml_char), at most `budget` bytes of
// it: a longer text keeps the whole characters that fit with the cut mark
// after them, so a cut never splits a character or its reference.
void append_xml_text(std::string& out, std::string_view text, std::size_t budget) {
  const std::size_t start = out.size();
  std::size_t fits_with_mark = start;  // the end of the characters that leave room for the mark
  for (std::size_t pos = 0; pos < text.size();) {
    const code_point c = next_code_point(text, pos);
    pos += c.size;
    append_xml_char(out, c.value);
    const std::size_t used = out.size() - start;
    if (used > budget) {
      out.resize(fits_with_mark);
      out += cut_mark;
      return;
    }
    if (used + cut_mark.size() <= budget) fits_with_mark = out.size();
  }
}

// The whole number in `text` when all of it is one within [low, high].
std::optional<long> whole_number_within(std::string_view text, long low, long high) {
  long number;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (error != std::errc{} || end != text.data() + text.size() || number < low || number > high) return std::nullopt;
  return number;
}

// --- text ---

// The text as it may reach a terminal: line breaks and tabs as spaces (a line
// stays one line), every other control character, C1 included, and every
// ill-formed subsequence as U+FFFD, so no escape sequence gets through.
void append_readable(std::string& out, std::string_view text) {
  for (std::size_t pos = 0; pos < text.size();) {
    const code_point c = next_code_point(text, pos);
    pos += c.size;
    if ((c.value >= 0x9 && c.value <= 0xD) || c.value == 0x2028 || c.value == 0x2029) {
      out += ' ';
    } else if (c.value < 0x20 || (c.value >= 0x7F && c.value <= 0x9F)) {
      append_utf8(out, replacement_character);
    } else {
      append_utf8(out, c.value);
    }
  }
}

// The first tag of the first of `names` that has one.
const std::string* first_set(const now_playing& state, std::initializer_list<std::string_view> names) {
  for (const std::string_view name : names) {
    if (const std::string* value = first_tag(state, name)) return value;
  }
  return nullptr;
}

// "3:35" or "1:02:05"; empty when the length is not known.
std::string readable_length(const now_playing& state) {
  const auto known = known_length(state);
  if (!known) return {};
  const auto seconds = static_cast<std::uint64_t>(*known);
  std::string text;
  auto two_digits = [&text](std::uint64_t n) {
    text += static_cast<char>('0' + n / 10);
    text += static_cast<char>('0' + n % 10);
  };
  if (seconds >= 3600) {
    text += std::to_string(seconds / 3600) + ':';
    two_digits(seconds / 60 % 60);
  } else {
    text += std::to_string(seconds / 60);
  }
  text += ':';
  two_digits(seconds % 60);
  return text;
}

}  // namespace

std::string json_lines_help(std::string_view heading, bool with_absent) {
  return std::string(heading) +
         "\n"
         "  {\"state\":\"playing\",\"fields\":[[\"title\",\"Song\"],[\"artist\",\"Band\"]],\"length\":215}\n"
         "                        a track is playing (or paused): its tags as [name, value]\n"
         "                        in the player's order, and its length in whole seconds\n"
         "                        (0: unknown, as for a stream)\n"
         "  {\"state\":\"stopped\"}   playback was stopped\n"
         "  {\"state\":\"none\"}      the player runs but nothing has played yet\n" +
         (with_absent ? "  {\"state\":\"absent\"}    the player is not running\n" : "") +
         "  JSON is pure ASCII; invalid UTF-8 in a tag becomes U+FFFD.\n";
}

std::string text_help(bool with_absent) {
  return std::string(
             "--text prints one line per state for a person checking the set-up, in UTF-8\n"
             "(in Unicode when standard output is a Windows console), e.g.:\n"
             "  U+25B6 Band U+2014 Song (3:35)   playing (or paused)\n"
             "  U+25A0 stopped\n"
             "  nothing played yet\n") +
         (with_absent ? "  player not running\n" : "") +
         "  The artist is the first tag named artist, else album artist (names in any\n"
         "  letter case; an empty first tag counts as none); without one the line\n"
         "  shows the title alone. The title is the first title tag, else the album,\n"
         "  else the uri, else \"untitled track\". The length shows as M:SS or H:MM:SS,\n"
         "  and not at all when it is 0 (a stream). Line breaks and tabs in a tag\n"
         "  show as spaces, other control characters and invalid UTF-8 as U+FFFD.\n";
}

std::string text_line(const now_playing& state) {
  switch (state.state) {
    case player_state::absent:
      return "player not running";
    case player_state::none:
      return "nothing played yet";
    case player_state::stopped:
      return "\u25A0 stopped";
    case player_state::playing:
      break;
  }
  std::string line = "\u25B6 ";
  if (const std::string* artist = first_set(state, {"artist", "album artist"})) {
    append_readable(line, *artist);
    line += " \u2014 ";
  }
  if (const std::string* title = first_set(state, {"title", "album", "uri"})) {
    append_readable(line, *title);
  } else {
    line += "untitled track";
  }
  if (const std::string length = readable_length(state); !length.empty()) line += " (" + length + ")";
  return line;
}

std::string json_line(const now_playing& state) {
  nlohmann::ordered_json line;
  line["state"] = std::string(state_name(state.state));
  if (state.state == player_state::playing) {
    auto fields = nlohmann::ordered_json::array();
    for (const auto& [name, value] : state.fields) {
      fields.push_back(nlohmann::ordered_json::array({repair_utf8(name), repair_utf8(value)}));
    }
    line["fields"] = std::move(fields);
    std::int64_t whole;
    const char* const end = state.length.data() + state.length.size();
    const auto [stop, error] = std::from_chars(state.length.data(), end, whole);
    if (error == std::errc{} && stop == end) {
      line["length"] = whole;
    } else {
      line["length"] = std::strtod(state.length.c_str(), nullptr);
    }
  }
  // Every string is valid UTF-8 by now: a failure here is a fault of this code.
  return line.dump(-1, ' ', true, nlohmann::ordered_json::error_handler_t::strict);
}

std::string tune_payload(const now_playing& state, std::size_t text_budget) {
  if (text_budget < cut_mark.size()) text_budget = cut_mark.size();
  std::string payload(tune_start);
  const std::size_t empty_size = payload.size();
  auto add = [&payload, empty_size, text_budget](std::string_view element, std::string_view text) {
    if (payload.size() == empty_size) payload += '>';
    payload += '<';
    payload += element;
    payload += '>';
    append_xml_text(payload, text, text_budget);
    payload += "</";
    payload += element;
    payload += '>';
  };
  auto add_field = [&](std::string_view element, std::string_view tag) {
    if (const std::string* value = first_tag(state, tag)) add(element, *value);
  };
  if (state.state == player_state::playing) {
    // The order in which XEP-0118 lists the elements.
    add_field("artist", "artist");
    if (auto seconds = known_length(state); seconds && *seconds <= 65535) add("length", std::to_string(*seconds));
    if (const std::string* rating = first_tag(state, "rating")) {
      if (auto score = whole_number_within(*rating, 1, 10)) add("rating", std::to_string(*score));
    }
    add_field("source", "album");
    add_field("title", "title");
    add_field("track", "tracknumber");
    add_field("uri", "uri");
  }
  payload += payload.size() == empty_size ? "/>" : "</tune>";
  return payload;
}

std::string render(const now_playing& state, output_format format) {
  switch (format) {
    case output_format::tune:
      return tune_payload(state);
    case output_format::text:
      return text_line(state);
    case output_format::json:
      break;
  }
  return json_line(state);
}

}  // namespace reading
