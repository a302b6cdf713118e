#include "reading/state_line.h"

#include <nlohmann/json.hpp>
#include <utility>

namespace reading {
namespace {

using json = nlohmann::json;

bool is_pair_of_strings(const json& field) {
  return field.is_array() && field.size() == 2 && field[0].is_string() && field[1].is_string();
}

}  // namespace

std::variant<now_playing, malformed_line> parse_state_line(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  const json parsed = json::parse(line, nullptr, /*allow_exceptions=*/false);
  if (parsed.is_discarded()) return malformed_line{"not JSON"};
  if (!parsed.is_object()) return malformed_line{"not a JSON object"};
  const auto state = parsed.find("state");
  if (state == parsed.end() || !state->is_string()) return malformed_line{"no \"state\" text"};

  now_playing playing;
  const std::string& name = state->get_ref<const std::string&>();
  if (const auto named = state_named(name)) {
    playing.state = *named;
  } else {
    std::string shown = json(name).dump(-1, ' ', true, json::error_handler_t::replace);
    if (shown.size() > 40) shown = shown.substr(0, 36) + "...\"";
    return malformed_line{"unknown state " + shown};
  }
  if (playing.state != player_state::playing) return playing;

  const auto fields = parsed.find("fields");
  if (fields == parsed.end() || !fields->is_array()) return malformed_line{"no \"fields\" array"};
  playing.fields.reserve(fields->size());
  for (const json& field : *fields) {
    if (!is_pair_of_strings(field)) return malformed_line{"\"fields\" holds something other than [name, value] texts"};
    playing.fields.emplace_back(field[0].get<std::string>(), field[1].get<std::string>());
  }
  // The reader prints the length as an integer, or as the nearest double when
  // it is beyond 64 bits; either way its text is what the tune mapping reads.
  const auto length = parsed.find("length");
  if (length == parsed.end() || !length->is_number()) return malformed_line{"no numeric \"length\""};
  playing.length = length->dump();
  return playing;
}

}  // namespace reading
