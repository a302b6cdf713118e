// The player's text checks, kept apart so that shared ones can replace them.
#pragma once

#include <string_view>

namespace player_text {

// Well-formed UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF.
bool is_utf8(std::string_view text);

// Equal when A-Z and a-z are taken as the same; every other byte as it is.
bool equal_ignoring_ascii_case(std::string_view a, std::string_view b);

}  // namespace player_text
