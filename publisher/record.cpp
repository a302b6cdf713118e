#include "publisher/record.h"

#include <cmath>
#include <cstdint>
#include <cstring>

#include "platform/platform.h"

namespace {

constexpr char base64_alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Room for the length text and its zero: at most 254 characters.
constexpr std::size_t length_text_size = 255;

// The zero byte is encoded with the text, so a piece is never empty.
void append_encoded_text(const char* text, pfc::string_base& out) { base64_encode(text, std::strlen(text) + 1, out); }

void append_entry(const char* name, const char* value, pfc::string_base& record) {
  append_encoded_text(name, record);
  record.append_text(":", 1);
  append_encoded_text(value, record);
  record.append_text(";", 1);
}

// The player's text, with a null pointer read as the empty text.
const char* text_or_empty(const char* text) { return text ? text : ""; }

// The first value of the field found under `name`; the empty text when the
// lookup finds no field (an answer beyond the fields counts as none) or the
// field holds no value.
const char* first_value(const track_info& info, std::uint32_t fields, const char* name) {
  const std::uint32_t field = info.find_field(name, 0xFFFFFFFF);
  if (field >= fields || info.field_value_count(field) == 0) return "";
  return text_or_empty(info.field_value(field, 0));
}

// Whole seconds as the C runtime the module links writes "%.0f" of them. A
// length that is not finite, or whose text would not fit, is unknown and
// published as "0".
void format_length(double seconds, char (&text)[length_text_size]) {
  if (std::isfinite(seconds)) {
    const int written = platform::format_whole_seconds(seconds, text, sizeof text);
    if (written > 0 && static_cast<std::size_t>(written) < sizeof text) return;
  }
  std::memcpy(text, "0", 2);
}

}  // namespace

void base64_encode(const void* bytes, std::size_t count, pfc::string_base& out) {
  const auto* in = static_cast<const unsigned char*>(bytes);
  char chunk[256];  // whole groups of four, handed to `out` in few appends
  std::size_t used = 0;
  while (count > 0) {
    const std::size_t taken = count < 3 ? count : 3;
    const unsigned b0 = in[0];
    const unsigned b1 = taken > 1 ? in[1] : 0;
    const unsigned b2 = taken > 2 ? in[2] : 0;
    chunk[used++] = base64_alphabet[b0 >> 2];
    chunk[used++] = base64_alphabet[(b0 & 0x03) << 4 | b1 >> 4];
    chunk[used++] = taken > 1 ? base64_alphabet[(b1 & 0x0F) << 2 | b2 >> 6] : '=';
    chunk[used++] = taken > 2 ? base64_alphabet[b2 & 0x3F] : '=';
    in += taken;
    count -= taken;
    if (used == sizeof chunk || count == 0) {
      out.append_text(chunk, used);
      used = 0;
    }
  }
}

bool build_now_playing_record(const track_info& info, pfc::string_base& record) {
  const std::uint32_t fields = info.field_count();
  if (fields == 0) return false;
  record.shorten(0);
  for (std::uint32_t field = 0; field < fields; ++field) {
    const char* name = text_or_empty(info.field_name(field));
    append_entry(name, first_value(info, fields, name), record);
  }
  char length_text[length_text_size] = {};
  format_length(info.length_seconds(), length_text);
  append_entry("length", length_text, record);
  return true;
}
