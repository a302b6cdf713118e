// Windows only: UTF-8 to and from the system's UTF-16, as the wide API and
// the console take it. Nothing is refused: an unpaired surrogate or an
// ill-formed UTF-8 subsequence becomes U+FFFD.
#pragma once

#include <string>
#include <string_view>

namespace text {

std::string utf8_from_utf16(std::wstring_view text);
std::wstring utf16_from_utf8(std::string_view text);

}  // namespace text
