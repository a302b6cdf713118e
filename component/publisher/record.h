// The now-playing record: the text written into the window title for the
// reading process. One entry per metadata field, in the order the track
// information enumerates them, then a "length" entry; each entry is
// base64(name + zero byte) ":" base64(value + zero byte) ";".
#pragma once

#include <cstddef>

#include "host/interfaces.h"
#include "support/strings.h"

// Title text while playback is stopped; holds neither ':' nor ';', so a reader
// tells it apart from any record.
inline constexpr char stop_marker[] = "STOP";

// Appends the base64 encoding of `count` bytes (RFC 4648, standard alphabet,
// '=' padding) to `out`. Allocates nothing beyond the growth of `out`.
void base64_encode(const void* bytes, std::size_t count, pfc::string8_fast& out);

// Sets `record` to the record for `info`. False, with `record` untouched, when
// `info` has no metadata fields. A null text from `info` counts as the empty
// text, and a find_field answer beyond the fields as no field. An error may
// leave part of a record behind.
bool build_now_playing_record(const track_info& info, pfc::string8_fast& record);
