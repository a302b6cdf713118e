#include "reading/decoder.h"

#include <array>
#include <optional>

#include "wire/format.h"

namespace reading {
namespace {

constexpr std::string_view length_name = wire::length_name;
// The length is printed from a double into a 255-byte buffer.
constexpr std::size_t max_length_text = 254;

constexpr signed char not_base64 = -1;
constexpr std::array<signed char, 256> sextets = [] {
  std::array<signed char, 256> table{};
  table.fill(not_base64);
  constexpr std::string_view alphabet = wire::base64_alphabet;
  for (std::size_t i = 0; i < alphabet.size(); ++i)
    table[static_cast<unsigned char>(alphabet[i])] = static_cast<signed char>(i);
  return table;
}();

int sextet(char c) { return sextets[static_cast<unsigned char>(c)]; }

// The faults of one piece, worded for the name or for the value.
struct piece_faults {
  const char* invalid_character;
  const char* misplaced_padding;
  const char* bad_size;
  const char* padding_bits;
  const char* empty;
  const char* zero_inside;
  const char* no_terminator;
};

constexpr piece_faults name_faults{
    "invalid base64 character in the name",
    "misplaced '=' padding in the name",
    "the name's base64 text is not a multiple of 4 characters",
    "non-zero bits under the '=' padding of the name",
    "empty name",
    "zero byte inside the name before its end",
    "the name lacks its terminating zero byte",
};

constexpr piece_faults value_faults{
    "invalid base64 character in the value",
    "misplaced '=' padding in the value",
    "the value's base64 text is not a multiple of 4 characters",
    "non-zero bits under the '=' padding of the value",
    "empty value",
    "zero byte inside the value before its end",
    "the value lacks its terminating zero byte",
};

// An optional "-" and digits without leading zeros ("-0" is what a negative
// length under half a second prints as).
bool is_whole_number(std::string_view text) {
  if (!text.empty() && text.front() == '-') text.remove_prefix(1);
  if (text.empty() || (text.front() == '0' && text.size() > 1)) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

class record_parser {
 public:
  explicit record_parser(std::string_view title) : title_(title) {}

  decode_result parse() {
    now_playing record{player_state::playing, {}, {}};
    std::size_t last_entry_start = 0;
    std::size_t last_value_start = 0;
    while (pos_ < title_.size()) {
      ++entry_;
      last_entry_start = pos_;
      // Separators are checked before the pieces are decoded, so that a cut
      // title is reported as such.
      if (!scan_piece(name_faults)) return error_;
      if (!at(wire::name_end)) return fail(pos_, "missing ':' after the name");
      const std::size_t name_end = pos_;
      last_value_start = ++pos_;
      if (!scan_piece(value_faults)) return error_;
      if (!at(wire::entry_end)) return fail(pos_, "missing ';' after the value");
      std::optional<std::string> name = decode_piece(last_entry_start, name_end, name_faults);
      if (!name) return error_;
      std::optional<std::string> value = decode_piece(last_value_start, pos_, value_faults);
      if (!value) return error_;
      ++pos_;
      record.fields.emplace_back(std::move(*name), std::move(*value));
    }
    // A non-empty title that got here holds at least one entry.
    auto& [name, length] = record.fields.back();
    if (name != length_name) return fail(last_entry_start, "the final entry is not the \"length\" entry");
    if (length.size() > max_length_text) return fail(last_value_start, "the length is longer than 254 characters");
    if (!is_whole_number(length)) {
      return fail(last_value_start, "the length is not a whole number (optional '-', digits, no leading zero)");
    }
    record.length = std::move(length);
    record.fields.pop_back();
    return record;
  }

 private:
  bool at(char c) const { return pos_ < title_.size() && title_[pos_] == c; }

  decode_error fail(std::size_t offset, const char* what) {
    error_ = {offset, entry_, what};
    return error_;
  }

  // Moves pos_ over the characters of a piece up to the next ':' or ';' or
  // the end; false on a character that cannot be in a base64 piece there.
  bool scan_piece(const piece_faults& faults) {
    std::size_t padding_start = std::string_view::npos;
    for (; pos_ < title_.size() && title_[pos_] != wire::name_end && title_[pos_] != wire::entry_end; ++pos_) {
      if (title_[pos_] == wire::base64_padding) {
        if (padding_start == std::string_view::npos) padding_start = pos_;
      } else if (sextet(title_[pos_]) == not_base64) {
        fail(pos_, faults.invalid_character);
        return false;
      } else if (padding_start != std::string_view::npos) {
        fail(padding_start, faults.misplaced_padding);
        return false;
      }
    }
    return true;
  }

  // Decodes the scanned piece [begin, end) and returns its bytes without the
  // terminating zero.
  std::optional<std::string> decode_piece(std::size_t begin, std::size_t end, const piece_faults& faults) {
    const std::size_t size = end - begin;
    if (size == 0) return failed(begin, faults.empty);
    if (size % 4 != 0) return failed(begin, faults.bad_size);
    std::size_t padding = 0;
    while (padding < size && title_[end - 1 - padding] == wire::base64_padding) ++padding;
    if (padding > 2) return failed(end - padding, faults.misplaced_padding);

    // '=' occurs only as the last one or two characters, so every group
    // starts with two data characters.
    std::string bytes;
    bytes.reserve(size / 4 * 3);
    for (std::size_t group = begin; group < end; group += 4) {
      const int a = sextet(title_[group]), b = sextet(title_[group + 1]);
      bytes += static_cast<char>(a << 2 | b >> 4);
      if (title_[group + 2] == wire::base64_padding) {
        if ((b & 0x0F) != 0) return failed(group + 1, faults.padding_bits);
        break;
      }
      const int c = sextet(title_[group + 2]);
      bytes += static_cast<char>((b & 0x0F) << 4 | c >> 2);
      if (title_[group + 3] == wire::base64_padding) {
        if ((c & 0x03) != 0) return failed(group + 2, faults.padding_bits);
        break;
      }
      bytes += static_cast<char>((c & 0x03) << 6 | sextet(title_[group + 3]));
    }

    const std::size_t zero = bytes.find('\0');
    if (zero == std::string::npos) return failed(begin, faults.no_terminator);
    // Point at the group of four characters that holds the stray zero.
    if (zero != bytes.size() - 1) return failed(begin + zero / 3 * 4, faults.zero_inside);
    bytes.pop_back();
    return bytes;
  }

  std::optional<std::string> failed(std::size_t offset, const char* what) {
    fail(offset, what);
    return std::nullopt;
  }

  std::string_view title_;
  std::size_t pos_ = 0;
  std::size_t entry_ = 0;
  decode_error error_{};
};

}  // namespace

decode_result decode_title(std::string_view title) {
  if (title.empty()) return now_playing{player_state::none, {}, {}};
  if (title == wire::stop_text) return now_playing{player_state::stopped, {}, {}};
  return record_parser(title).parse();
}

std::string describe(const decode_error& error) {
  return "entry " + std::to_string(error.entry) + ", byte " + std::to_string(error.offset) + ": " + error.what;
}

}  // namespace reading
