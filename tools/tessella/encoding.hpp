// Text forms the tool reads and writes: hexadecimal, rights values, printable text.
#ifndef TESSELLA_TOOL_ENCODING_HPP
#define TESSELLA_TOOL_ENCODING_HPP

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include <tessella/tessella.hpp>

#include "failure.hpp"

namespace tessella::cli {

/// trim_space drops ASCII white space at both ends.
std::string_view trim_space(std::string_view text) noexcept;

/// to_hex writes lower-case hexadecimal, two digits per byte.
std::string to_hex(ByteView bytes);
/// from_hex reads an even number of hexadecimal digits (either case, nothing else).
std::optional<Bytes> from_hex(std::string_view text);
/// excerpt is a short hexadecimal view for narration: the first `head` and last `tail` bytes
/// around "..", followed by the length; short inputs are shown whole.
std::string excerpt(ByteView bytes, std::size_t head = 8, std::size_t tail = 4);
/// hex_array converts text already checked by the hex_value check into a fixed array.
template <std::size_t N>
std::array<std::uint8_t, N> hex_array(std::string_view text) {
  auto bytes = from_hex(text);
  if (!bytes || bytes->size() != N) {
    throw Failure("expected " + std::to_string(N * 2) +
                  " hexadecimal digits: " + std::string(text));
  }
  std::array<std::uint8_t, N> out{};
  std::copy(bytes->begin(), bytes->end(), out.begin());
  return out;
}

/// The typed forms of hex_array for public keys and content identifiers.
inline PublicKey hex_public_key(std::string_view text) { return PublicKey{hex_array<32>(text)}; }
inline Cid hex_cid(std::string_view text) { return Cid{hex_array<32>(text)}; }

/// parse_rights reads a rights value: decimal digits (the number itself) or the text form
/// ("READ_RAW | COMPUTE_USE", "0x12"). The error is a sentence for the user.
std::expected<Rights, std::string> parse_rights(std::string_view text);

/// now_seconds is the system clock in seconds since 1970-01-01T00:00:00Z.
std::uint64_t now_seconds();
/// parse_time reads a time as the tool takes it: seconds since 1970 (decimal digits), an
/// RFC 3339 date-time ("2026-01-01T00:00:00Z", "2026-01-01 09:30:00+02:00", fractions of a
/// second dropped), or a duration from `now`: "+" and a number with a unit s, m, h, d or w
/// ("+90d", "+1h"). The error is a sentence for the user.
std::expected<std::uint64_t, std::string> parse_time(std::string_view text, std::uint64_t now);
/// format_time writes seconds since 1970 as an RFC 3339 date-time in UTC
/// ("2026-01-01T00:00:00Z"); times past the year 9999 as "N seconds since 1970".
std::string format_time(std::uint64_t seconds);

/// printable_text tells whether bytes read well as text: valid UTF-8 without control characters
/// other than tab and line breaks.
bool printable_text(ByteView bytes);

}  // namespace tessella::cli

#endif
