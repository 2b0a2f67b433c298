#include "tessella/rights.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <ostream>

namespace tessella {

namespace {

constexpr std::array<NamedRight, 5> kTable = {{
    {"READ_FEATURES", Rights::from_bits_retain(0x1)},
    {"READ_RAW", Rights::from_bits_retain(0x2)},
    {"TRANSFER_OWNERSHIP", Rights::from_bits_retain(0x4)},
    {"LICENSE_GRANT", Rights::from_bits_retain(0x8)},
    {"COMPUTE_USE", Rights::from_bits_retain(0x10)},
}};

// The UTF-8 encodings of the characters with the Unicode White_Space property.
constexpr std::array<std::string_view, 25> kWhiteSpace = {
    "\t", "\n", "\v", "\f", "\r", " ",
    "\xC2\x85",                                  // U+0085
    "\xC2\xA0",                                  // U+00A0
    "\xE1\x9A\x80",                              // U+1680
    "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82", "\xE2\x80\x83", "\xE2\x80\x84",
    "\xE2\x80\x85", "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89",
    "\xE2\x80\x8A",                              // U+2000 to U+200A
    "\xE2\x80\xA8", "\xE2\x80\xA9",              // U+2028, U+2029
    "\xE2\x80\xAF",                              // U+202F
    "\xE2\x81\x9F",                              // U+205F
    "\xE3\x80\x80",                              // U+3000
};

// Every encoding above starts with an ASCII byte or a lead byte, never a continuation byte, so
// a match at either end is a whole character however malformed the rest of the text is.
std::string_view trim(std::string_view s) noexcept {
  bool changed = true;
  while (changed && !s.empty()) {
    changed = false;
    for (std::string_view ws : kWhiteSpace) {
      if (s.starts_with(ws)) {
        s.remove_prefix(ws.size());
        changed = true;
        break;
      }
    }
  }
  changed = true;
  while (changed && !s.empty()) {
    changed = false;
    for (std::string_view ws : kWhiteSpace) {
      if (s.ends_with(ws)) {
        s.remove_suffix(ws.size());
        changed = true;
        break;
      }
    }
  }
  return s;
}

int hex_digit(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Digits after "0x": at least one, hexadecimal only (no sign), value below 2^32.
std::optional<std::uint32_t> parse_hex(std::string_view digits) noexcept {
  if (digits.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : digits) {
    int d = hex_digit(c);
    if (d < 0) return std::nullopt;
    value = (value << 4) | static_cast<std::uint64_t>(d);
    if (value > 0xFFFFFFFFu) return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

}  // namespace

const std::array<NamedRight, 5>& Rights::table() noexcept { return kTable; }

std::optional<Rights> Rights::from_name(std::string_view name) noexcept {
  for (const auto& flag : kTable) {
    if (flag.name == name) return flag.value;
  }
  return std::nullopt;
}

std::vector<NamedRight> Rights::iter_names() const {
  std::vector<NamedRight> out;
  for (const auto& flag : kTable) {
    if (contains(flag.value)) out.push_back(flag);
  }
  return out;
}

Rights Rights::Iterator::operator*() const noexcept {
  for (const auto& flag : kTable) {
    if ((remaining_ & flag.value.bits()) != 0) return flag.value;
  }
  return from_bits_retain(remaining_);  // only unnamed bits are left
}

Rights::Iterator& Rights::Iterator::operator++() noexcept {
  remaining_ &= ~(**this).bits();
  return *this;
}

// The longest display form: every name, a separator before each of the six pieces but the
// first, and "0x" with eight hex digits.
static_assert([] {
  std::size_t n = 5 * 3 + 10;
  for (const auto& flag : kTable) n += flag.name.size();
  return n;
}() == Rights::kMaxDisplayLen);

std::size_t Rights::write_display(std::span<char, kMaxDisplayLen> out) const noexcept {
  std::size_t n = 0;
  auto append = [&](std::string_view piece) {
    if (n != 0) {
      std::memcpy(out.data() + n, " | ", 3);
      n += 3;
    }
    std::memcpy(out.data() + n, piece.data(), piece.size());
    n += piece.size();
  };
  std::uint32_t remaining = bits_;
  for (const auto& flag : kTable) {
    if (remaining == 0) break;
    if ((remaining & flag.value.bits()) != 0) {
      append(flag.name);
      remaining &= ~flag.value.bits();
    }
  }
  if (remaining != 0) {
    char hex[10] = {'0', 'x'};
    const auto end = std::to_chars(hex + 2, hex + sizeof hex, remaining, 16).ptr;
    append(std::string_view(hex, static_cast<std::size_t>(end - hex)));
  }
  return n;
}

std::string Rights::to_string() const {
  std::array<char, kMaxDisplayLen> text;
  return std::string(text.data(), write_display(text));
}

std::string Rights::to_diagnostic() const { return bits_ == 0 ? std::string("0x0") : to_string(); }

std::expected<Rights, ParseError> Rights::parse(std::string_view text) noexcept {
  if (trim(text).empty()) return Rights();
  Rights result;
  for (;;) {
    const std::size_t bar = text.find('|');
    std::string_view piece = trim(text.substr(0, bar));
    if (piece.empty()) return std::unexpected(ParseError::EmptyFlag);
    if (piece.starts_with("0x")) {
      auto value = parse_hex(piece.substr(2));
      if (!value) return std::unexpected(ParseError::InvalidHexFlag);
      result.insert(from_bits_retain(*value));
    } else if (auto named = from_name(piece)) {
      result.insert(*named);
    } else {
      return std::unexpected(ParseError::InvalidNamedFlag);
    }
    if (bar == std::string_view::npos) break;
    text.remove_prefix(bar + 1);
  }
  return result;
}

std::ostream& operator<<(std::ostream& os, Rights rights) { return os << rights.to_string(); }

}  // namespace tessella
