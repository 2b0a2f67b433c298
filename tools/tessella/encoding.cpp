#include "encoding.hpp"

#include <fmt/format.h>

namespace tessella::cli {

namespace {

int hex_digit(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool is_space(char c) noexcept {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

}  // namespace

std::string_view trim_space(std::string_view text) noexcept {
  while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
  return text;
}

std::string to_hex(ByteView bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (std::uint8_t b : bytes) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 0xf]);
  }
  return out;
}

std::optional<Bytes> from_hex(std::string_view text) {
  if (text.size() % 2 != 0) return std::nullopt;
  Bytes out(text.size() / 2);
  for (std::size_t i = 0; i < out.size(); ++i) {
    int hi = hex_digit(text[2 * i]);
    int lo = hex_digit(text[2 * i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out[i] = static_cast<std::uint8_t>(hi << 4 | lo);
  }
  return out;
}

std::string excerpt(ByteView bytes, std::size_t head, std::size_t tail) {
  if (bytes.size() <= head + tail) return fmt::format("{} ({} bytes)", to_hex(bytes), bytes.size());
  return fmt::format("{}..{} ({} bytes)", to_hex(bytes.first(head)), to_hex(bytes.last(tail)),
                     bytes.size());
}

std::expected<Rights, std::string> parse_rights(std::string_view text) {
  std::string_view trimmed = trim_space(text);
  if (!trimmed.empty() &&
      std::all_of(trimmed.begin(), trimmed.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    std::uint64_t value = 0;
    for (char c : trimmed) {
      value = value * 10 + static_cast<std::uint64_t>(c - '0');
      if (value > 0xFFFFFFFFu)
        return std::unexpected(std::string("rights number above 4294967295"));
    }
    return Rights::from_bits_retain(static_cast<std::uint32_t>(value));
  }
  auto parsed = Rights::parse(text);
  if (parsed) return *parsed;
  switch (parsed.error()) {
    case ParseError::EmptyFlag:
      return std::unexpected(std::string("empty flag between separators"));
    case ParseError::InvalidNamedFlag:
      return std::unexpected(std::string(
          "unknown right name (READ_FEATURES, READ_RAW, TRANSFER_OWNERSHIP, LICENSE_GRANT, "
          "COMPUTE_USE)"));
    case ParseError::InvalidHexFlag:
      return std::unexpected(
          std::string("invalid hexadecimal flag (0x and a hexadecimal number below 2^32)"));
  }
  return std::unexpected(std::string("invalid rights text"));
}

bool printable_text(ByteView bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    std::uint8_t b = bytes[i];
    if (b < 0x80) {
      if (b == 0x7f || (b < 0x20 && b != '\t' && b != '\n' && b != '\r')) return false;
      ++i;
      continue;
    }
    std::size_t len = (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : (b & 0xF8) == 0xF0 ? 4 : 0;
    if (len == 0 || i + len > bytes.size()) return false;
    std::uint32_t cp = b & (0x7F >> len);
    for (std::size_t k = 1; k < len; ++k) {
      if ((bytes[i + k] & 0xC0) != 0x80) return false;
      cp = cp << 6 | (bytes[i + k] & 0x3F);
    }
    static constexpr std::uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

}  // namespace tessella::cli
