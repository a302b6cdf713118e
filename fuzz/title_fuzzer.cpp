// Bytes as a title: decoding never crashes, faults lie within it, a decoded state
// writes back as the same title. Bytes as fields (split at zero bytes): their record
// decodes back. Outputs stay printable ASCII; the JSON gives the repaired fields.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "harness/title_writer.h"
#include "reading/output.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();  // the fuzzer's stack trace names the check
}

void check_outputs(const reading::now_playing& state) {
  const std::string line = reading::json_line(state);
  for (char c : line + reading::tune_payload(state)) require(c >= 0x20 && c <= 0x7E);
  if (state.state != reading::player_state::playing) return;
  const auto parsed = nlohmann::json::parse(line);  // throws, and so stops the run, on invalid JSON
  require(parsed["fields"].size() == state.fields.size() && parsed["length"].is_number());
  for (std::size_t i = 0; i < state.fields.size(); ++i) {
    const auto& [name, value] = state.fields[i];
    require(parsed["fields"][i] == std::vector{reading::repair_utf8(name), reading::repair_utf8(value)});
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const reading::decode_result result = reading::decode_title(bytes);
  if (const auto* error = std::get_if<reading::decode_error>(&result)) {
    require(error->offset <= size && error->entry >= 1);
  } else {
    const auto& state = std::get<reading::now_playing>(result);
    std::string written;  // the title of this state
    if (state.state == reading::player_state::playing) written = reader_test::record_title(state.fields, state.length);
    if (state.state == reading::player_state::stopped) written = "STOP";
    require(written == bytes);
    check_outputs(state);
  }

  static const char* const lengths[] = {"0", "-0", "215", "65536", "-9223372036854775808", "18446744073709551616"};
  const std::string_view length = size ? lengths[data[0] % std::size(lengths)] : "0";  // the first byte picks it
  bytes.remove_prefix(std::min<std::size_t>(size, 1));
  reader_test::field_list fields;
  for (bool name = true; !bytes.empty(); name = !name) {
    const std::string_view piece = bytes.substr(0, bytes.find('\0'));
    bytes.remove_prefix(std::min(piece.size() + 1, bytes.size()));
    (name ? fields.emplace_back().first : fields.back().second) = piece;
  }
  const reading::decode_result record = reading::decode_title(reader_test::record_title(fields, length));
  const auto* state = std::get_if<reading::now_playing>(&record);
  require(state && state->fields == fields && state->length == length);
  check_outputs(*state);
  return 0;
}
