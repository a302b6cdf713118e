// A strict reader of the tune payloads the reader prints: one line of
// printable ASCII, the tune element with its namespace, and text-only children
// in XEP-0118 order, each at most once. Entity and character references are
// resolved (to UTF-8) and must name characters XML allows.
#pragma once

#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace reader_test {

using tune_children = std::vector<std::pair<std::string, std::string>>;

inline void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += {static_cast<char>(0xC0 | c >> 6), static_cast<char>(0x80 | (c & 0x3F))};
  } else if (c < 0x10000) {
    out += {static_cast<char>(0xE0 | c >> 12), static_cast<char>(0x80 | (c >> 6 & 0x3F)),
            static_cast<char>(0x80 | (c & 0x3F))};
  } else {
    out += {static_cast<char>(0xF0 | c >> 18), static_cast<char>(0x80 | (c >> 12 & 0x3F)),
            static_cast<char>(0x80 | (c >> 6 & 0x3F)), static_cast<char>(0x80 | (c & 0x3F))};
  }
}

// Resolves the text of one element; nothing if it holds markup or a bad reference.
inline std::optional<std::string> tune_text(std::string_view text) {
  std::string out;
  while (!text.empty()) {
    const char c = text.front();
    if (c == '<' || c == '>' || c == '"' || c == '\'') return std::nullopt;  // the writer escapes these
    if (c != '&') {
      out += c;
      text.remove_prefix(1);
      continue;
    }
    const std::size_t semicolon = text.find(';');
    if (semicolon == std::string_view::npos) return std::nullopt;
    const std::string_view name = text.substr(1, semicolon - 1);
    text.remove_prefix(semicolon + 1);
    if (name == "lt")
      out += '<';
    else if (name == "gt")
      out += '>';
    else if (name == "amp")
      out += '&';
    else if (name == "apos")
      out += '\'';
    else if (name == "quot")
      out += '"';
    else {
      std::uint32_t code = 0;
      if (name.size() < 3 || name.size() > 8 || name.substr(0, 2) != "#x") return std::nullopt;
      const auto [end, error] = std::from_chars(name.data() + 2, name.data() + name.size(), code, 16);
      if (error != std::errc{} || end != name.data() + name.size()) return std::nullopt;
      const bool xml_char = code == 0x9 || code == 0xA || code == 0xD || (code >= 0x20 && code <= 0xD7FF) ||
                            (code >= 0xE000 && code <= 0xFFFD) || (code >= 0x10000 && code <= 0x10FFFF);
      if (!xml_char) return std::nullopt;
      append_utf8(out, code);
    }
  }
  return out;
}

inline std::optional<tune_children> parse_tune(std::string_view payload) {
  constexpr std::string_view start = "<tune xmlns='http://jabber.org/protocol/tune'";
  constexpr std::string_view order[] = {"artist", "length", "rating", "source", "title", "track", "uri"};
  for (char c : payload) {
    if (c < 0x20 || c > 0x7E) return std::nullopt;
  }
  if (payload.substr(0, start.size()) != start) return std::nullopt;
  payload.remove_prefix(start.size());
  tune_children children;
  if (payload == "/>") return children;
  if (payload.size() < 8 || payload.front() != '>' || payload.substr(payload.size() - 7) != "</tune>") {
    return std::nullopt;
  }
  payload = payload.substr(1, payload.size() - 8);
  std::size_t next_allowed = 0;
  while (!payload.empty()) {
    if (payload.front() != '<') return std::nullopt;
    const std::size_t name_end = payload.find('>');
    if (name_end == std::string_view::npos) return std::nullopt;
    const std::string_view name = payload.substr(1, name_end - 1);
    std::size_t rank = next_allowed;
    while (rank < std::size(order) && order[rank] != name) ++rank;
    if (rank == std::size(order)) return std::nullopt;  // unknown, repeated or out of order
    next_allowed = rank + 1;
    const std::string close = "</" + std::string(name) + ">";
    const std::size_t close_at = payload.find(close, name_end);
    if (close_at == std::string_view::npos) return std::nullopt;
    std::optional<std::string> text = tune_text(payload.substr(name_end + 1, close_at - name_end - 1));
    if (!text || text->empty()) return std::nullopt;
    children.emplace_back(name, std::move(*text));
    payload.remove_prefix(close_at + close.size());
  }
  if (children.empty()) return std::nullopt;  // the writer uses the short form then
  return children;
}

}  // namespace reader_test
