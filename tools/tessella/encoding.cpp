#include "encoding.hpp"

#include <chrono>
#include <limits>

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

std::uint64_t now_seconds() {
  auto since = std::chrono::system_clock::now().time_since_epoch();
  auto secs = std::chrono::duration_cast<std::chrono::seconds>(since).count();
  return secs < 0 ? 0 : static_cast<std::uint64_t>(secs);
}

namespace {

// Reads exactly `width` decimal digits at `at`, or fails.
std::optional<int> digits(std::string_view text, std::size_t at, std::size_t width) {
  if (at + width > text.size()) return std::nullopt;
  int value = 0;
  for (std::size_t i = at; i < at + width; ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

std::optional<std::uint64_t> decimal(std::string_view text) {
  if (text.empty() || text.size() > 20) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    auto d = static_cast<std::uint64_t>(c - '0');
    if (value > (UINT64_MAX - d) / 10) return std::nullopt;
    value = value * 10 + d;
  }
  return value;
}

// RFC 3339: full-date "T" full-time, where full-time is HH:MM:SS, an optional fraction and
// "Z" or an offset +HH:MM / -HH:MM. "t", "z" and a space for "T" are accepted.
std::optional<std::uint64_t> rfc3339(std::string_view text) {
  auto year = digits(text, 0, 4), month = digits(text, 5, 2), day = digits(text, 8, 2);
  auto hour = digits(text, 11, 2), minute = digits(text, 14, 2), second = digits(text, 17, 2);
  if (!year || !month || !day || !hour || !minute || !second || text[4] != '-' ||
      text[7] != '-' || (text[10] != 'T' && text[10] != 't' && text[10] != ' ') ||
      text[13] != ':' || text[16] != ':') {
    return std::nullopt;
  }
  std::size_t at = 19;
  if (at < text.size() && text[at] == '.') {
    std::size_t start = ++at;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
    if (at == start) return std::nullopt;
  }
  std::int64_t offset = 0;
  if (at < text.size() && (text[at] == 'Z' || text[at] == 'z') && at + 1 == text.size()) {
    offset = 0;
  } else if (at < text.size() && (text[at] == '+' || text[at] == '-') && at + 6 == text.size() &&
             text[at + 3] == ':') {
    auto oh = digits(text, at + 1, 2), om = digits(text, at + 4, 2);
    if (!oh || !om || *oh > 23 || *om > 59) return std::nullopt;
    offset = (text[at] == '+' ? 1 : -1) * (*oh * 3600 + *om * 60);
  } else {
    return std::nullopt;
  }
  using namespace std::chrono;
  const year_month_day date{std::chrono::year{*year}, std::chrono::month{static_cast<unsigned>(*month)},
                            std::chrono::day{static_cast<unsigned>(*day)}};
  // A leap second (:60) is read as the second after :59.
  if (!date.ok() || *hour > 23 || *minute > 59 || *second > 60) return std::nullopt;
  std::int64_t secs = sys_days(date).time_since_epoch().count() * 86400LL + *hour * 3600LL +
                      *minute * 60LL + *second - offset;
  if (secs < 0) return std::nullopt;
  return static_cast<std::uint64_t>(secs);
}

}  // namespace

std::expected<std::uint64_t, std::string> parse_time(std::string_view text, std::uint64_t now) {
  if (auto seconds = decimal(text)) return *seconds;
  if (!text.empty() && text.front() == '+') {
    static constexpr std::pair<char, std::uint64_t> kUnits[] = {
        {'s', 1}, {'m', 60}, {'h', 3600}, {'d', 86400}, {'w', 604800}};
    for (auto [unit, size] : kUnits) {
      if (text.size() < 3 || text.back() != unit) continue;
      auto count = decimal(text.substr(1, text.size() - 2));
      if (!count || *count > (UINT64_MAX - now) / size) break;
      return now + *count * size;
    }
    return std::unexpected(fmt::format(
        "\"{}\" is not a duration: write + and a number with a unit s, m, h, d or w (+90d)", text));
  }
  if (auto seconds = rfc3339(text)) return *seconds;
  return std::unexpected(fmt::format(
      "\"{}\" is not a time: write seconds since 1970, an RFC 3339 date-time "
      "(2026-01-01T00:00:00Z) or a duration from now (+90d, +1h)",
      text));
}

std::string format_time(std::uint64_t seconds) {
  using namespace std::chrono;
  static constexpr std::uint64_t kYear10000 = 253402300800ULL;  // 10000-01-01T00:00:00Z
  if (seconds >= kYear10000) return fmt::format("{} seconds since 1970", seconds);
  const auto days = static_cast<std::int64_t>(seconds / 86400);
  const std::uint64_t rest = seconds % 86400;
  const year_month_day date{sys_days{std::chrono::days{days}}};
  return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}Z", static_cast<int>(date.year()),
                     static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                     rest / 3600, rest / 60 % 60, rest % 60);
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
