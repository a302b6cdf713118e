// The now-playing record: the text written into the window title for the
// reading process, in the format of wire/format.h. One entry per metadata
// field, in the order the track information enumerates them, then the length
// entry.
#pragma once

#include <cstddef>

#include "host/interfaces.h"
#include "support/strings.h"

// Appends the base64 encoding of `count` bytes (wire::base64_alphabet and
// wire::base64_padding) to `out`. Allocates nothing beyond the growth of `out`.
void base64_encode(const void* bytes, std::size_t count, pfc::string8_fast& out);

// Sets `record` to the record for `info`. False, with `record` untouched, when
// `info` has no metadata fields. A null text from `info` counts as the empty
// text, and a find_field answer beyond the fields as no field. An error may
// leave part of a record behind.
bool build_now_playing_record(const track_info& info, pfc::string8_fast& record);
