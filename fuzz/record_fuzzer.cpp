// Builds a now-playing record from arbitrary track information (lookups that
// miss, any length bits including NaN) and reads it back: plain ASCII from the
// base64 alphabet and ":;=", decoding to exactly what was published.
#include <fuzzer/FuzzedDataProvider.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "publisher/record.h"
#include "tests/host_objects/host_objects.h"
#include "tools/reader/decoder.h"

namespace {

void require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "record_fuzzer: %s\n", what);
  std::abort();
}

// The player hands out text up to its first zero byte.
std::string_view as_text(const std::string& bytes) { return bytes.c_str(); }

// The first value of the first field the lookup finds under `name`, else empty.
std::string_view expected_value(const std::vector<test_field>& fields, std::string_view name) {
  for (const test_field& field : fields) {
    if (field.found_by_name && as_text(field.name) == name) return field.values.empty() ? "" : as_text(field.values[0]);
  }
  return "";
}

std::string expected_length(double seconds) {
  char text[400];  // any finite double in fixed notation
  const int written = std::isfinite(seconds) ? std::snprintf(text, sizeof text, "%.0f", seconds) : 0;
  return written > 0 && written <= 254 ? text : "0";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const auto length_bits = input.ConsumeIntegral<std::uint64_t>();
  double seconds;
  std::memcpy(&seconds, &length_bits, sizeof seconds);
  std::vector<test_field> fields(input.ConsumeIntegralInRange<std::size_t>(0, 12));
  for (test_field& field : fields) {
    field.found_by_name = input.ConsumeIntegralInRange(0, 7) != 0;
    field.values.resize(input.ConsumeIntegralInRange(0, 3));
    field.name = input.ConsumeRandomLengthString(64);
    for (std::string& value : field.values) value = input.ConsumeRandomLengthString(600);
  }
  pfc::string8_fast record;
  record.set_text("previous", pfc::infinite_size);
  if (!build_now_playing_record(test_track_info(fields, seconds), record)) {
    require(fields.empty() && std::strcmp(record.text_pointer(), "previous") == 0, "no record for fields");
    return 0;
  }
  require(!fields.empty(), "a record for information without fields");
  const std::string_view text(record.text_pointer(), record.text_length());
  for (const char c : text) {
    const bool allowed = std::isalnum(static_cast<unsigned char>(c)) || std::string_view("+/=:;").find(c) != text.npos;
    require(allowed, "character outside the record alphabet");
  }
  const reader::decode_result decoded = reader::decode_title(text);
  const auto* playing = std::get_if<reader::now_playing>(&decoded);
  require(playing != nullptr && playing->fields.size() == fields.size(), "no entry per field");
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const std::string_view name = as_text(fields[i].name);
    require(playing->fields[i].first == name, "name differs");
    require(playing->fields[i].second == expected_value(fields, name), "value differs");
  }
  require(playing->length == expected_length(seconds), "length text differs");
  return 0;
}
