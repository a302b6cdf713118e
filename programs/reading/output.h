// What the reader prints for a player state: one line (without the line
// break) of JSON, an XEP-0118 User Tune payload, or readable text. JSON and
// the payload are pure ASCII for any field bytes, so they survive every
// console code page and pipe: invalid UTF-8 becomes U+FFFD and everything
// outside printable ASCII is escaped. The text is UTF-8 for people to read.
// Every function here is pure: it reads the state it is given, returns a
// string of its own, and fails only by throwing std::bad_alloc.
#pragma once

#include <cstddef>
#include <limits>
#include <string>
#include <string_view>

// What is printed is most often what was just decoded: one include for both.
#include "reading/decoder.h"
#include "reading/now_playing.h"
#include "text/utf8.h"

namespace reading {

enum class output_format { json, tune, text };

// The JSON lines as every program's --help describes them, below `heading`
// (one line, no line break); the "absent" state only `with_absent`, for the
// programs that can see that the player is not running. ASCII.
std::string json_lines_help(std::string_view heading, bool with_absent);

// {"state":"playing","fields":[["title","Song"],...],"length":215}, or
// {"state":"stopped"}, {"state":"none"}, {"state":"absent"}. The length is an
// integer within the 64-bit range and the nearest double beyond it, which is
// exact for every length the player can publish (it prints a double).
std::string json_line(const now_playing& state);

// <tune xmlns='http://jabber.org/protocol/tune'>...</tune> with artist, length,
// rating, source (album), title, track (tracknumber) and uri, each where the
// first field of that name (any letter case) is not empty and, for length and
// rating, where the value fits the element (1..65535 seconds, 1..10). Any other
// state, or no element to give, yields the empty <tune .../>.
// `text_budget` bounds each element's escaped text in bytes: a longer one is
// cut after a whole character and ends with U+2026, the ellipsis (escaped), all within
// the budget.
std::string tune_payload(const now_playing& state, std::size_t text_budget = std::numeric_limits<std::size_t>::max());

// The budget for items that every server takes: the seven elements at most
// (five of free text) come to about 21 KiB even when every character needs
// the longest reference (10 bytes), far below the 256 KiB Prosody and
// ejabberd accept by default, and below the 64 KiB some servers are set to.
// Plain ASCII keeps 4,096 characters of a field, any text at least 408.
constexpr std::size_t tune_text_budget = 4096;

// One line for a person checking the set-up, in valid UTF-8 without control
// characters: "\u25B6 Band \u2014 Song (3:35)", "\u25A0 stopped",
// "nothing played yet" or "player not running"; `text_help` gives the rules.
std::string text_line(const now_playing& state);

// The --text part of a program's help: what the lines look like and how they
// are made, "player not running" included where the program can see that.
// ASCII, so that help reads right on every console code page.
std::string text_help(bool with_absent);

std::string render(const now_playing& state, output_format format);

// The text with each maximal ill-formed UTF-8 subsequence replaced by U+FFFD.
using text::repair_utf8;

}  // namespace reading
