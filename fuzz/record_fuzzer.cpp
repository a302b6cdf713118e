// Builds a record from arbitrary track information (lookups that miss, any
// length bits) and reads it back: exactly the texts published, in order.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "harness/player_fakes.h"
#include "publisher/record.h"
#include "reading/decoder.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

// The first value of the first field the lookup finds under `name`, else empty.
std::string expected_value(const std::vector<test_field>& fields, const std::string& name) {
  for (const test_field& field : fields) {
    if (field.found_by_name && field.name == name) return field.values.empty() ? "" : field.values[0];
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
    // The player's texts end at their first zero byte.
    field.name = input.ConsumeRandomLengthString(64).c_str();
    for (std::string& value : field.values) value = input.ConsumeRandomLengthString(600).c_str();
  }
  pfc::string8_fast record;
  const bool built = build_now_playing_record(recording_track_info(fields, seconds), record);
  require(built != fields.empty());
  if (!built) return 0;
  // The decoder is strict: only base64 pieces, ':' and ';' get through it.
  const reading::decode_result decoded = reading::decode_title({record.text_pointer(), record.text_length()});
  const auto* playing = std::get_if<reading::now_playing>(&decoded);
  require(playing != nullptr && playing->fields.size() == fields.size());
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const std::string& name = fields[i].name;
    require(playing->fields[i].first == name && playing->fields[i].second == expected_value(fields, name));
  }
  require(playing->length == expected_length(seconds));
  return 0;
}
