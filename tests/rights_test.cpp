// Rights: the flag table, set operations, formatting, and the text form against the reference
// reader and writer of fuzz/rights_model.hpp, which the rights fuzz target holds its corpus to.
#include <random>
#include <sstream>
#include <string>
#include <tuple>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "rights_model.hpp"
#include "tessella/capabilities.hpp"
#include "tessella/fmt.hpp"
#include "vectors.hpp"

namespace tessella {
namespace {

using namespace std::string_literals;
using rights_model::kNames;

Rights R(std::uint32_t bits) { return Rights::from_bits_retain(bits); }
std::string hex_of(std::string_view text) { return test::to_hex(test::bytes_of(text)); }

// A parse result as short text: "ok 0x12", "Empty", "Named" or "Hex".
std::string outcome(const std::expected<Rights, ParseError>& r) {
  constexpr const char* kErrors[] = {"?", "Empty", "Named", "Hex"};
  return r ? fmt::format("ok {:#x}", r->bits()) : kErrors[static_cast<int>(r.error())];
}
std::string parse_outcome(std::string_view text) { return outcome(Rights::parse(text)); }

std::string utf8(char32_t c) {
  if (c < 0x80) return std::string(1, static_cast<char>(c));
  const int n = c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
  std::string out(static_cast<std::size_t>(n), '\0');
  for (int i = n - 1; i > 0; --i, c >>= 6) out[i] = static_cast<char>(0x80 | (c & 0x3F));
  out[0] = static_cast<char>((0xF00 >> n) | c);  // lead byte 110xxxxx, 1110xxxx or 11110xxx
  return out;
}

TEST(Rights, FlagTableAndExactNames) {
  ASSERT_EQ(Rights::table().size(), std::size(kNames));
  for (std::size_t i = 0; i < std::size(kNames); ++i) {
    EXPECT_EQ(Rights::table()[i].name, kNames[i]);
    EXPECT_EQ(Rights::table()[i].value, R(1u << i));
    EXPECT_EQ(Rights::from_name(kNames[i]), R(1u << i));
  }
  for (std::string_view text : {"read_raw"s, "READ_RAW_"s, " READ_RAW"s, "0x2"s, "READ_RAW\0"s})
    EXPECT_FALSE(Rights::from_name(text).has_value()) << hex_of(text);
}

TEST(Rights, SetOperations) {
  // a, b, a contains b, a intersects b, a | b, a - b: unnamed bits take part like named ones.
  const std::tuple<std::uint32_t, std::uint32_t, bool, bool, std::uint32_t, std::uint32_t> cases[] = {
      {0, 0, true, false, 0, 0}, {1, 3, false, true, 3, 0}, {3, 1, true, true, 3, 2},
      {0x101, 0x100, true, true, 0x101, 1}, {~0x1Fu, 0x1F, false, false, ~0u, ~0x1Fu}};
  for (const auto& [x, y, contains, intersects, unite, without] : cases) {
    const Rights a = R(x), b = R(y);
    Rights ins = a, rem = a;
    ins.insert(b);
    rem.remove(b);
    EXPECT_EQ(std::tuple(a.contains(b), a.intersects(b), (a & b).bits(), (a | b).bits(), ins.bits(),
                         (a - b).bits(), rem.bits()),
              std::tuple(contains, intersects, x & y, unite, unite, without, without))
        << x << " " << y;
  }
}

// Text format strings format the display (with '?', the diagnostic) form as a string would;
// numeric ones format the bits as a std::uint32_t would.
TEST(Rights, FormatStringsMatchStringAndNumberFormatting) {
  for (const std::uint32_t v : {0u, 97u, 0xDEADBEEFu}) {
    EXPECT_EQ(fmt::format("{:*^50}", R(v)), fmt::format("{:*^50}", R(v).to_string()));
    EXPECT_EQ(fmt::format("{:_<7?}", R(v)), fmt::format("{:_<7}", R(v).to_diagnostic()));
    for (const char* form : {"{:b}", "{:o}", "{:X}", "{:d}", "{:#010x}", "{:<#34b}"})
      EXPECT_EQ(fmt::format(fmt::runtime(form), R(v)), fmt::format(fmt::runtime(form), v)) << form;
  }
  EXPECT_EQ((std::ostringstream() << R(42)).str(), "READ_RAW | LICENSE_GRANT | 0x20");
  // Dynamic widths: the nested "{}" is not the end of the field, and the width is its own argument.
  EXPECT_EQ(fmt::format("{:{}x}", R(0x12), 10), fmt::format("{:{}x}", 0x12u, 10));
  EXPECT_EQ(fmt::format(fmt::runtime("{:_>{}?}|{}"), R(0), 5, 7), "__0x0|7");
}

// Every code point, alone and around a name: only the White_Space ones are trimmed.
TEST(Rights, OnlyWhiteSpaceCodePointsAreTrimmed) {
  int mismatches = 0;
  for (char32_t c = 0; c <= 0x10FFFF && mismatches < 20; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    const std::string s = utf8(c), other = c == '|' ? "Empty" : "Named";
    const bool ws = rights_model::is_white_space(c);
    const std::string around = parse_outcome(s + "READ_RAW" + s), alone = parse_outcome(s);
    if (around != (ws ? "ok 0x2" : other) || alone != (ws ? "ok 0x0" : other)) {
      ADD_FAILURE() << fmt::format("U+{:04X}: around {}, alone {}", std::uint32_t{c}, around, alone);
      ++mismatches;
    }
  }
}

// Texts built from names, hex pieces, separators, white space and malformed UTF-8, and texts of
// arbitrary bytes, parsed by the library and by the reference reader.
TEST(Rights, ParseAgreesWithTheModelOnRandomTexts) {
  std::mt19937_64 rng(test::test_seed());
  const std::string pieces[] = {
      "READ_FEATURES", "READ_RAW", "COMPUTE_USE", "READ", "0x", "0X", "0", "f", "g", "+",
      "100000000", "ffffffff", "|", "|", " ", "\t", "\xC2\x85", "\xE2\x80\xA8", "\xE3\x80\x80",
      "\xE2\x80\x8B", "\xC2", "\xE2\x80", "\x85", "\xC0\xA0", "\xFF", "\xED\xA0\x80", "\0"s};
  for (int i = 0; i < 40000; ++i) {
    std::string text;
    for (std::size_t n = rng() % 9; n > 0; --n)
      text += i % 2 ? pieces[rng() % std::size(pieces)] : std::string(1, static_cast<char>(rng()));
    ASSERT_EQ(parse_outcome(text), outcome(rights_model::reference_parse(text))) << hex_of(text);
  }
}

}  // namespace
}  // namespace tessella
