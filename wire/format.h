// What the module writes and its readers read: the title of a message-only
// window of one class, in every process of the desktop. The title is empty
// (nothing published yet), the stop text, or a record of entries
//   base64(name + zero byte) ":" base64(value + zero byte) ";"
// whose final entry is named "length" and holds the track length in whole
// seconds. Written once here for the module, the readers and the tests.
// Nothing but constants: the freestanding test player includes it too.
#pragma once

namespace wire {

// The class of the window whose title carries the state.
inline constexpr wchar_t window_class[] = L"{C228F795-8913-40ec-A81B-486BB773FF5F}";

// The whole title while playback is stopped.
inline constexpr char stop_text[] = "STOP";

// The record's punctuation: between a name and its value, and after each value.
inline constexpr char name_end = ':';
inline constexpr char entry_end = ';';
// The name of the final entry, whose value is the length.
inline constexpr char length_name[] = "length";

// Standard base64 (RFC 4648 section 4), padded with '='.
inline constexpr char base64_alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
inline constexpr char base64_padding = '=';

}  // namespace wire
