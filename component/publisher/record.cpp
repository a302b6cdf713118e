#include "publisher/record.h"

#include <cmath>
#include <cstdint>
#include <cstring>

#include "platform/platform.h"
#include "support/errors.h"
#include "wire/format.h"

namespace {

using wire::base64_alphabet;

// The two characters of every 12-bit value: a group of three bytes takes two
// lookups instead of four.
struct base64_pair_table {
  char pairs[4096][2];
};
constexpr base64_pair_table make_pair_table() {
  base64_pair_table table{};
  for (unsigned value = 0; value < 4096; ++value) {
    table.pairs[value][0] = base64_alphabet[value >> 6];
    table.pairs[value][1] = base64_alphabet[value & 0x3F];
  }
  return table;
}
constexpr base64_pair_table base64_pairs = make_pair_table();

std::size_t encoded_size(std::size_t count) {
  if (count > (SIZE_MAX - 2) / 4 * 3) pfc::raise_bad_alloc();
  return (count + 2) / 3 * 4;
}

// Writes the encoding of `count` bytes, encoded_size(count) characters, at `out`.
char* encode_into(const unsigned char* in, std::size_t count, char* out) {
  for (; count >= 3; in += 3, count -= 3, out += 4) {
    const unsigned group = static_cast<unsigned>(in[0]) << 16 | static_cast<unsigned>(in[1]) << 8 | in[2];
    std::memcpy(out, base64_pairs.pairs[group >> 12], 2);
    std::memcpy(out + 2, base64_pairs.pairs[group & 0xFFF], 2);
  }
  if (count > 0) {
    const unsigned b0 = in[0], b1 = count > 1 ? in[1] : 0;
    out[0] = base64_alphabet[b0 >> 2];
    out[1] = base64_alphabet[(b0 & 0x03) << 4 | b1 >> 4];
    out[2] = count > 1 ? base64_alphabet[(b1 & 0x0F) << 2] : wire::base64_padding;
    out[3] = wire::base64_padding;
    out += 4;
  }
  return out;
}

// Room for the length text and its zero: at most 254 characters.
constexpr std::size_t length_text_size = 255;

// The length of a tag text, counted here: tags are short, and the runtime's
// strlen is a call into another module for each of them.
std::size_t text_length(const char* text) {
  const char* end = text;
  while (*end) ++end;
  return static_cast<std::size_t>(end - text);
}

// One entry, in one growth of the record: each text is encoded with its zero
// byte, so a piece is never empty.
void append_entry(const char* name, const char* value, pfc::string8_fast& record) {
  const std::size_t name_bytes = text_length(name) + 1, value_bytes = text_length(value) + 1;
  const std::size_t name_size = encoded_size(name_bytes), value_size = encoded_size(value_bytes);
  char* out = record.extend(name_size + 1 + value_size + 1);  // sizes of real texts: no overflow
  out = encode_into(reinterpret_cast<const unsigned char*>(name), name_bytes, out);
  *out++ = wire::name_end;
  out = encode_into(reinterpret_cast<const unsigned char*>(value), value_bytes, out);
  *out = wire::entry_end;
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

// The decimal digits of `value` at `out`; returns the end.
template <class Unsigned>
char* write_digits(Unsigned value, char* out) {
  char digits[20];
  std::size_t count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (count > 0) *out++ = digits[--count];
  return out;
}

// Whole seconds as the C runtime the module links writes "%.0f" of them. A
// length below 2^52 that is not an exact half has one correct text, which
// every conforming formatter writes, so it is written here without a call;
// halves, whose rounding is each runtime's own rule, and larger lengths go to
// the runtime. A length that is not finite, or whose text would not fit, is
// unknown and published as "0".
void format_length(double seconds, char (&text)[length_text_size]) {
  if (!std::isfinite(seconds)) {
    std::memcpy(text, "0", 2);
    return;
  }
  const double magnitude = std::fabs(seconds), whole = std::trunc(magnitude);
  if (magnitude < 0x1p52 && magnitude - whole != 0.5) {
    const std::uint64_t rounded = static_cast<std::uint64_t>(whole) + (magnitude - whole > 0.5 ? 1 : 0);
    char* out = text;
    if (std::signbit(seconds)) *out++ = '-';  // "-0" too, as the formatter writes it
    // 64-bit division is a library call on 32-bit x86; track lengths fit in 32 bits.
    out = rounded <= UINT32_MAX ? write_digits(static_cast<std::uint32_t>(rounded), out) : write_digits(rounded, out);
    *out = '\0';
    return;
  }
  const int written = platform::format_whole_seconds(seconds, text, sizeof text);
  if (written <= 0 || static_cast<std::size_t>(written) >= sizeof text) std::memcpy(text, "0", 2);
}

}  // namespace

void base64_encode(const void* bytes, std::size_t count, pfc::string8_fast& out) {
  encode_into(static_cast<const unsigned char*>(bytes), count, out.extend(encoded_size(count)));
}

bool build_now_playing_record(const track_info& info, pfc::string8_fast& record) {
  const std::uint32_t fields = info.field_count();
  if (fields == 0) return false;
  record.shorten(0);
  for (std::uint32_t field = 0; field < fields; ++field) {
    const char* name = text_or_empty(info.field_name(field));
    append_entry(name, first_value(info, fields, name), record);
  }
  char length_text[length_text_size];
  format_length(info.length_seconds(), length_text);
  append_entry(wire::length_name, length_text, record);
  return true;
}
