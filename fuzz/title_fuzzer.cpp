// Two ways in from arbitrary bytes. The bytes as a window title: decoding never
// crashes, every fault lies within the title, and a decoded record written
// again is the same title. The bytes as track fields (split at zero bytes into
// name, value, name, ...): their record decodes to them, and both outputs stay
// well-formed for any field bytes: the JSON line parses back to the repaired
// UTF-8 of each field, the tune payload reads back as one line of valid XML.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "tests/reader/title_writer.h"
#include "tests/reader/tune_parser.h"
#include "tools/reader/output.h"

namespace {

void require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "title_fuzzer: %s\n", what);
  std::abort();
}

void check_outputs(const reader::now_playing& state) {
  const std::string line = reader::json_line(state);
  for (char c : line) require(c >= 0x20 && c <= 0x7E, "JSON line outside printable ASCII");
  const auto parsed = nlohmann::json::parse(line);  // throws, and so stops the run, on invalid JSON
  if (state.state == reader::player_state::playing) {
    require(parsed["fields"].size() == state.fields.size(), "JSON lost or added fields");
    for (std::size_t i = 0; i < state.fields.size(); ++i) {
      require(parsed["fields"][i][0] == reader::repair_utf8(state.fields[i].first), "JSON name differs");
      require(parsed["fields"][i][1] == reader::repair_utf8(state.fields[i].second), "JSON value differs");
    }
    require(parsed["length"].is_number(), "JSON length is not a number");
  }
  require(reader_test::parse_tune(reader::tune_payload(state)).has_value(), "tune payload is not well-formed");
}

void decode_as_title(std::string_view title) {
  const reader::decode_result result = reader::decode_title(title);
  if (const auto* error = std::get_if<reader::decode_error>(&result)) {
    require(error->offset <= title.size() && error->entry >= 1 && error->what, "fault report out of bounds");
    return;
  }
  const auto& state = std::get<reader::now_playing>(result);
  switch (state.state) {
    case reader::player_state::playing:
      require(reader_test::record_title(state.fields, state.length) == title, "record does not write back the same");
      break;
    case reader::player_state::stopped:
      require(title == "STOP", "stopped without STOP");
      break;
    default:
      require(title.empty() && state.state == reader::player_state::none, "none without the empty title");
  }
  check_outputs(state);
}

void publish_as_fields(std::string_view bytes) {
  static const char* const lengths[] = {
      "0", "-0", "215", "-1", "65535", "65536", "-9223372036854775808", "18446744073709551616"};
  reader_test::field_list fields;
  std::string_view length = lengths[0];
  if (!bytes.empty()) {
    length = lengths[static_cast<unsigned char>(bytes.front()) % std::size(lengths)];
    bytes.remove_prefix(1);
  }
  for (bool name = true; !bytes.empty(); name = !name) {
    const std::size_t end = std::min(bytes.find('\0'), bytes.size());
    if (name) {
      fields.emplace_back(bytes.substr(0, end), "");
    } else {
      fields.back().second = bytes.substr(0, end);
    }
    bytes.remove_prefix(std::min(end + 1, bytes.size()));
  }
  const reader::decode_result result = reader::decode_title(reader_test::record_title(fields, length));
  const auto* state = std::get_if<reader::now_playing>(&result);
  require(state && state->fields == fields && state->length == length, "a written record does not decode back");
  check_outputs(*state);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  decode_as_title(bytes);
  publish_as_fields(bytes);
  return 0;
}
