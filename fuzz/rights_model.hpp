// A reference reader and writer of the rights text form, written from its rules rather than from
// the library: UTF-8 decoded, Unicode White_Space trimmed, pieces split at "|". The fuzz target
// and the unit tests both hold the library to it.
#ifndef TESSELLA_FUZZ_RIGHTS_MODEL_HPP
#define TESSELLA_FUZZ_RIGHTS_MODEL_HPP

#include <cstdint>
#include <cstdio>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tessella/capabilities.hpp"

namespace rights_model {

using tessella::ParseError;
using tessella::Rights;

inline constexpr std::string_view kNames[5] = {"READ_FEATURES", "READ_RAW", "TRANSFER_OWNERSHIP",
                                        "LICENSE_GRANT", "COMPUTE_USE"};

inline bool is_white_space(std::uint32_t cp) {
  return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
         (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
         cp == 0x205F || cp == 0x3000;
}

// One unit of the text: a well-formed UTF-8 character, or a single byte that does not start one
// (which is never white space).
struct Unit {
  std::size_t begin, end;
  std::optional<std::uint32_t> cp;
};

inline std::vector<Unit> decode(std::string_view s) {
  std::vector<Unit> out;
  std::size_t i = 0;
  while (i < s.size()) {
    const auto b = static_cast<unsigned char>(s[i]);
    std::size_t len = 0;
    std::uint32_t cp = 0, min = 0;
    if (b < 0x80) {
      len = 1, cp = b;
    } else if (b >= 0xC0 && b < 0xE0) {
      len = 2, cp = b & 0x1Fu, min = 0x80;
    } else if (b >= 0xE0 && b < 0xF0) {
      len = 3, cp = b & 0x0Fu, min = 0x800;
    } else if (b >= 0xF0 && b < 0xF8) {
      len = 4, cp = b & 0x07u, min = 0x10000;
    }
    bool ok = len != 0 && i + len <= s.size();
    for (std::size_t k = 1; ok && k < len; ++k) {
      const auto c = static_cast<unsigned char>(s[i + k]);
      if ((c & 0xC0) != 0x80) ok = false;
      cp = (cp << 6) | (c & 0x3Fu);
    }
    if (ok && (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) ok = false;
    if (ok) {
      out.push_back({i, i + len, cp});
      i += len;
    } else {
      out.push_back({i, i + 1, std::nullopt});
      i += 1;
    }
  }
  return out;
}

inline std::string_view trim(std::string_view s) {
  const auto units = decode(s);
  std::size_t first = 0, last = units.size();
  while (first < last && units[first].cp && is_white_space(*units[first].cp)) ++first;
  while (last > first && units[last - 1].cp && is_white_space(*units[last - 1].cp)) --last;
  if (first == last) return {};
  return s.substr(units[first].begin, units[last - 1].end - units[first].begin);
}

inline int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

inline std::expected<Rights, ParseError> reference_parse(std::string_view text) {
  if (trim(text).empty()) return Rights::empty();
  std::uint32_t bits = 0;
  std::size_t from = 0;
  for (;;) {
    const std::size_t bar = text.find('|', from);
    const std::string_view piece =
        trim(text.substr(from, bar == std::string_view::npos ? std::string_view::npos : bar - from));
    if (piece.empty()) return std::unexpected(ParseError::EmptyFlag);
    if (piece.size() >= 2 && piece[0] == '0' && piece[1] == 'x') {
      std::string_view digits = piece.substr(2);
      if (digits.empty()) return std::unexpected(ParseError::InvalidHexFlag);
      for (char c : digits) {
        if (hex_value(c) < 0) return std::unexpected(ParseError::InvalidHexFlag);
      }
      while (digits.size() > 1 && digits[0] == '0') digits.remove_prefix(1);
      if (digits.size() > 8) return std::unexpected(ParseError::InvalidHexFlag);
      std::uint32_t v = 0;
      for (char c : digits) v = (v << 4) | static_cast<std::uint32_t>(hex_value(c));
      bits |= v;
    } else {
      bool found = false;
      for (std::size_t i = 0; i < 5; ++i) {
        if (piece == kNames[i]) {
          bits |= 1u << i;
          found = true;
        }
      }
      if (!found) return std::unexpected(ParseError::InvalidNamedFlag);
    }
    if (bar == std::string_view::npos) break;
    from = bar + 1;
  }
  return Rights::from_bits_retain(bits);
}

inline std::string reference_display(std::uint32_t bits) {
  std::string out;
  for (std::size_t i = 0; i < 5; ++i) {
    if ((bits & (1u << i)) == 0) continue;
    if (!out.empty()) out += " | ";
    out += kNames[i];
  }
  if (const std::uint32_t rest = bits & ~0x1Fu; rest != 0) {
    if (!out.empty()) out += " | ";
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%x", rest);
    out += hex;
  }
  return out;
}

}  // namespace rights_model

#endif
