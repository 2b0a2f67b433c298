// Rights, capability tokens and their binary form, issuing and verifying tokens.
#include "tessella/capabilities.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "tessella/error.hpp"
#include "tessella/sign.hpp"
#include "vectors.hpp"

namespace tessella {
namespace {

using test::from_hex;
using test::to_hex;

constexpr std::uint32_t kAllBits = 0xFFFFFFFFu;

Rights R(std::uint32_t bits) { return Rights::from_bits_retain(bits); }

std::uint32_t seed_from_device(const char* what) {
  const auto seed = std::random_device{}();
  std::printf("%s random seed: %u\n", what, seed);
  return seed;
}

// ---------------------------------------------------------------------------------------------
// Independent models of the rights text form, used as oracles.

constexpr std::pair<std::string_view, std::uint32_t> kFlags[] = {
    {"READ_FEATURES", 0x1}, {"READ_RAW", 0x2}, {"TRANSFER_OWNERSHIP", 0x4},
    {"LICENSE_GRANT", 0x8}, {"COMPUTE_USE", 0x10},
};

// The characters with the Unicode White_Space property.
constexpr char32_t kWhiteSpace[] = {
    0x09,   0x0A,   0x0B,   0x0C,   0x0D,   0x20,   0x85,   0xA0,   0x1680,
    0x2000, 0x2001, 0x2002, 0x2003, 0x2004, 0x2005, 0x2006, 0x2007, 0x2008,
    0x2009, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000,
};

bool is_white_space(char32_t c) {
  return std::find(std::begin(kWhiteSpace), std::end(kWhiteSpace), c) != std::end(kWhiteSpace);
}

std::string utf8(char32_t c) {
  std::string out;
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
  return out;
}

// One decoded unit of a UTF-8 text: a valid character, or one byte that starts no valid
// character (never white space).
struct Unit {
  bool valid;
  char32_t c;
  std::size_t size;
};

// Strict UTF-8 (RFC 3629): no overlong forms, no surrogates, nothing above U+10FFFF.
Unit decode_at(std::string_view s, std::size_t i) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char lead = b(i);
  if (lead < 0x80) return {true, lead, 1};
  std::size_t n;
  char32_t c, min;
  if (lead >= 0xC2 && lead <= 0xDF) {
    n = 2, c = lead & 0x1F, min = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    n = 3, c = lead & 0x0F, min = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    n = 4, c = lead & 0x07, min = 0x10000;
  } else {
    return {false, 0, 1};
  }
  if (i + n > s.size()) return {false, 0, 1};
  for (std::size_t k = 1; k < n; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return {false, 0, 1};
    c = (c << 6) | (b(i + k) & 0x3F);
  }
  if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return {false, 0, 1};
  return {true, c, n};
}

std::string_view ref_trim(std::string_view s) {
  std::vector<Unit> units;
  for (std::size_t i = 0; i < s.size();) {
    units.push_back(decode_at(s, i));
    i += units.back().size;
  }
  std::size_t first = 0, last = units.size(), begin = 0, end = s.size();
  while (first < last && units[first].valid && is_white_space(units[first].c)) {
    begin += units[first++].size;
  }
  while (last > first && units[last - 1].valid && is_white_space(units[last - 1].c)) {
    end -= units[--last].size;
  }
  return s.substr(begin, end - begin);
}

std::expected<std::uint32_t, ParseError> ref_parse(std::string_view s) {
  if (ref_trim(s).empty()) return 0u;
  std::uint32_t bits = 0;
  std::size_t start = 0;
  for (;;) {
    const std::size_t bar = s.find('|', start);
    const std::string_view piece =
        ref_trim(s.substr(start, bar == std::string_view::npos ? std::string_view::npos : bar - start));
    if (piece.empty()) return std::unexpected(ParseError::EmptyFlag);
    if (piece.substr(0, 2) == "0x") {
      const std::string_view digits = piece.substr(2);
      if (digits.empty()) return std::unexpected(ParseError::InvalidHexFlag);
      std::uint64_t value = 0;
      for (char ch : digits) {
        const auto pos = std::string_view("0123456789abcdef").find(
            static_cast<char>(ch >= 'A' && ch <= 'F' ? ch - 'A' + 'a' : ch));
        if (pos == std::string_view::npos) return std::unexpected(ParseError::InvalidHexFlag);
        value = value * 16 + pos;
        if (value > kAllBits) return std::unexpected(ParseError::InvalidHexFlag);
      }
      bits |= static_cast<std::uint32_t>(value);
    } else {
      const auto* it = std::find_if(std::begin(kFlags), std::end(kFlags),
                                    [&](const auto& f) { return f.first == piece; });
      if (it == std::end(kFlags)) return std::unexpected(ParseError::InvalidNamedFlag);
      bits |= it->second;
    }
    if (bar == std::string_view::npos) return bits;
    start = bar + 1;
  }
}

std::string ref_display(std::uint32_t v) {
  std::string out;
  for (const auto& [name, bit] : kFlags) {
    if (v & bit) {
      if (!out.empty()) out += " | ";
      out += name;
    }
  }
  if (const std::uint32_t rest = v & ~0x1Fu; rest != 0) {
    if (!out.empty()) out += " | ";
    std::ostringstream hex;
    hex << std::hex << rest;
    out += "0x" + hex.str();
  }
  return out;
}

const char* error_name(ParseError e) {
  switch (e) {
    case ParseError::EmptyFlag:
      return "EmptyFlag";
    case ParseError::InvalidNamedFlag:
      return "InvalidNamedFlag";
    case ParseError::InvalidHexFlag:
      return "InvalidHexFlag";
  }
  return "unknown ParseError";
}

// A parse result as text, so that mismatches print readably: "ok 0x12" or the error's name.
std::string outcome(const std::expected<Rights, ParseError>& r) {
  return r ? fmt::format("ok {:#x}", r->bits()) : error_name(r.error());
}
std::string outcome(const std::expected<std::uint32_t, ParseError>& r) {
  return r ? fmt::format("ok {:#x}", *r) : error_name(r.error());
}
std::string parse_outcome(std::string_view text) { return outcome(Rights::parse(text)); }

// ---------------------------------------------------------------------------------------------
// Rights: constants and names.

TEST(Rights, FlagTableHasTheFiveFlagsInOrder) {
  const auto& table = Rights::table();
  ASSERT_EQ(table.size(), std::size(kFlags));
  std::uint32_t all = 0;
  for (std::size_t i = 0; i < table.size(); ++i) {
    EXPECT_EQ(table[i].name, kFlags[i].first);
    EXPECT_EQ(table[i].value.bits(), kFlags[i].second);
    all |= table[i].value.bits();
  }
  EXPECT_EQ(all, Rights::kNamedMask);
  EXPECT_EQ(Rights::kNamedMask, 0x1Fu);
  EXPECT_EQ(Rights::READ_FEATURES.bits(), 1u);
  EXPECT_EQ(Rights::READ_RAW.bits(), 2u);
  EXPECT_EQ(Rights::TRANSFER_OWNERSHIP.bits(), 4u);
  EXPECT_EQ(Rights::LICENSE_GRANT.bits(), 8u);
  EXPECT_EQ(Rights::COMPUTE_USE.bits(), 16u);
  EXPECT_EQ(Rights::empty().bits(), 0u);
  EXPECT_EQ(Rights().bits(), 0u);
  EXPECT_TRUE(Rights::empty().is_empty());
}

TEST(Rights, FromBitsRetainKeepsEveryBit) {
  EXPECT_EQ(R(kAllBits).bits(), 4294967295u);
  for (int bit = 0; bit < 32; ++bit) {
    EXPECT_EQ(R(1u << bit).bits(), 1u << bit) << bit;
    EXPECT_FALSE(R(1u << bit).is_empty()) << bit;
  }
}

TEST(Rights, FromNameMatchesExactNamesOnly) {
  for (const auto& [name, bit] : kFlags) {
    const auto r = Rights::from_name(name);
    ASSERT_TRUE(r.has_value()) << name;
    EXPECT_EQ(r->bits(), bit) << name;
  }
  const std::string_view rejected[] = {
      "",          "read_raw",  "Read_Raw",  "READ_RAW_",  "_READ_RAW", "READ",
      " READ_RAW", "READ_RAW ", "READ RAW",  "0x2",        "0x1",       "2",
      "READ_RAW|", std::string_view("READ_RAW\0", 9),      "READ_RAW\xC2\xA0",
      "READ_FEATURES | READ_RAW", "EMPTY",    "empty",
  };
  for (std::string_view text : rejected) {
    EXPECT_FALSE(Rights::from_name(text).has_value()) << to_hex(test::bytes_of(text));
  }
}

// ---------------------------------------------------------------------------------------------
// Rights: display and diagnostic forms.

struct DisplayCase {
  std::uint32_t bits;
  const char* display;
};

const DisplayCase kDisplayCases[] = {
    {0, ""},
    {1, "READ_FEATURES"},
    {2, "READ_RAW"},
    {3, "READ_FEATURES | READ_RAW"},
    {17, "READ_FEATURES | COMPUTE_USE"},
    {18, "READ_RAW | COMPUTE_USE"},
    {31, "READ_FEATURES | READ_RAW | TRANSFER_OWNERSHIP | LICENSE_GRANT | COMPUTE_USE"},
    {42, "READ_RAW | LICENSE_GRANT | 0x20"},
    {64, "0x40"},
    {97, "READ_FEATURES | 0x60"},
    {256, "0x100"},
    {0x80000000u, "0x80000000"},
    {0xFFFFFFE0u, "0xffffffe0"},
    {0xDEADBEEFu, "READ_FEATURES | READ_RAW | TRANSFER_OWNERSHIP | LICENSE_GRANT | 0xdeadbee0"},
    {kAllBits,
     "READ_FEATURES | READ_RAW | TRANSFER_OWNERSHIP | LICENSE_GRANT | COMPUTE_USE | 0xffffffe0"},
};

class RightsDisplay : public ::testing::TestWithParam<DisplayCase> {};

TEST_P(RightsDisplay, WritesTheListedText) {
  const auto& c = GetParam();
  const Rights r = R(c.bits);
  const std::string diagnostic = c.bits == 0 ? "0x0" : c.display;
  EXPECT_EQ(r.to_string(), c.display);
  EXPECT_EQ(r.to_diagnostic(), diagnostic);
  EXPECT_EQ(fmt::format("{}", r), c.display);
  EXPECT_EQ(fmt::format("{:?}", r), diagnostic);
  std::ostringstream os;
  os << r;
  EXPECT_EQ(os.str(), c.display);
  EXPECT_EQ(parse_outcome(c.display), fmt::format("ok {:#x}", c.bits));
  EXPECT_EQ(parse_outcome(diagnostic), fmt::format("ok {:#x}", c.bits));
}

INSTANTIATE_TEST_SUITE_P(Examples, RightsDisplay, ::testing::ValuesIn(kDisplayCases),
                         [](const auto& test_info) { return fmt::format("Bits{:x}", test_info.param.bits); });

TEST(Rights, DisplayFollowsTableOrderNotInsertionOrder) {
  Rights r;
  r.insert(Rights::COMPUTE_USE);
  r.insert(Rights::READ_FEATURES);
  EXPECT_EQ(r.to_string(), "READ_FEATURES | COMPUTE_USE");
  Rights s;
  s |= R(0x100);
  s |= Rights::LICENSE_GRANT;
  EXPECT_EQ(s.to_string(), "LICENSE_GRANT | 0x100");
}

TEST(Rights, EmptyHasEmptyDisplayAndDiagnosticZero) {
  EXPECT_EQ(Rights::empty().to_string(), "");
  EXPECT_EQ(Rights::empty().to_diagnostic(), "0x0");
  EXPECT_EQ(fmt::format("[{}]", Rights::empty()), "[]");
  EXPECT_EQ(fmt::format("[{:?}]", Rights::empty()), "[0x0]");
}

TEST(Rights, DisplayAndDiagnosticRoundTripForRandomValues) {
  const auto seed = seed_from_device("Rights round trip");
  SCOPED_TRACE(::testing::Message() << "seed " << seed);
  std::mt19937 rng(seed);
  std::uniform_int_distribution<std::uint32_t> any(0, kAllBits);
  std::uniform_int_distribution<int> shape(0, 3);
  for (int i = 0; i < 20000; ++i) {
    std::uint32_t v = any(rng);
    switch (shape(rng)) {
      case 0: v &= 0x1F; break;    // named flags only
      case 1: v &= ~0x1Fu; break;  // unnamed bits only
      case 2: v &= any(rng); break;  // sparser
      default: break;
    }
    const Rights r = R(v);
    const std::string display = r.to_string();
    ASSERT_EQ(display, ref_display(v)) << "value " << v;
    ASSERT_EQ(r.to_diagnostic(), v == 0 ? "0x0" : display) << "value " << v;
    ASSERT_EQ(parse_outcome(display), fmt::format("ok {:#x}", v)) << display;
    ASSERT_EQ(parse_outcome(r.to_diagnostic()), fmt::format("ok {:#x}", v)) << display;
  }
}

TEST(Rights, DisplayAndDiagnosticApplyWidthFillAndAlignment) {
  const Rights values[] = {Rights::empty(), Rights::READ_RAW, R(97), R(kAllBits)};
  const char* specs[] = {"{:>40}", "{:<40}", "{:*^50}", "{:5}", "{:-<3}"};
  const char* diag_specs[] = {"{:>40?}", "{:*^50?}", "{:_<7?}", "{:2?}"};
  for (const Rights r : values) {
    for (const char* spec : specs) {
      EXPECT_EQ(fmt::format(fmt::runtime(spec), r), fmt::format(fmt::runtime(spec), r.to_string()))
          << spec << " " << r.bits();
    }
    for (const char* spec : diag_specs) {
      std::string plain(spec);
      plain.erase(plain.size() - 2, 1);  // the same options without the "?"
      EXPECT_EQ(fmt::format(fmt::runtime(spec), r),
                fmt::format(fmt::runtime(plain), r.to_diagnostic()))
          << spec << " " << r.bits();
    }
  }
  EXPECT_EQ(fmt::format("{:>6?}", Rights::empty()), "   0x0");
}

// ---------------------------------------------------------------------------------------------
// Rights: numeric forms.

// The formatted text, or the format error's message for a specification the type refuses.
template <class T>
std::string format_or_error(const char* spec, T value) {
  try {
    return fmt::format(fmt::runtime(spec), value);
  } catch (const fmt::format_error& e) {
    return std::string("format error: ") + e.what();
  }
}

TEST(Rights, NumericFormsFormatTheBitsAsAnUnsigned32BitInteger) {
  const std::uint32_t values[] = {0, 1, 2, 18, 31, 64, 97, 0x12345678u, 0x80000000u, 0xDEADBEEFu,
                                  kAllBits};
  const char* specs[] = {
      "{:b}",     "{:o}",      "{:x}",     "{:X}",      "{:d}",      "{:#b}",     "{:#B}",
      "{:#o}",    "{:#x}",     "{:#X}",    "{:08x}",    "{:#010x}",  "{:#010b}",  "{:010o}",
      "{:*>12x}", "{:_<12o}",  "{:^13X}",  "{:#^16b}",  "{:>3x}",    "{:+d}",     "{: d}",
      "{:40b}",   "{:040b}",   "{:#040b}", "{:x<5d}",   "{:#>12X}",  "{:0>9x}",   "{0:x}",
      "{:#34b}",  "{:<#34b}",  "{:12d}",   "{:012d}",   "{:#012X}",  "{:^#20o}",  "{:B}",
  };
  for (const std::uint32_t v : values) {
    for (const char* spec : specs) {
      EXPECT_EQ(format_or_error(spec, R(v)), format_or_error(spec, v)) << spec << " of " << v;
    }
  }
  // Sign options are refused for unsigned numbers, and so for rights.
  EXPECT_EQ(format_or_error("{:+d}", R(1)).rfind("format error: ", 0), 0u);
  EXPECT_EQ(format_or_error("{:+d}", R(1)), format_or_error("{:+d}", 1u));
  EXPECT_EQ(fmt::format("{:#x}", Rights::READ_RAW | Rights::COMPUTE_USE), "0x12");
  EXPECT_EQ(fmt::format("{:08b}", Rights::READ_RAW | Rights::COMPUTE_USE), "00010010");
  EXPECT_EQ(fmt::format("{:#X}", R(kAllBits)), "0XFFFFFFFF");
  EXPECT_EQ(fmt::format("{:o}", R(kAllBits)), "37777777777");
  EXPECT_EQ(fmt::format("{:d}", R(kAllBits)), "4294967295");
  EXPECT_EQ(fmt::format("{:#06x}", Rights::empty()), "0x0000");
}

TEST(Rights, NumericFormsTakeDynamicWidth) {
  const Rights r = Rights::READ_RAW | Rights::COMPUTE_USE;
  const std::uint32_t v = r.bits();
  EXPECT_EQ(fmt::format("{:{}x}", r, 10), fmt::format("{:{}x}", v, 10));
  EXPECT_EQ(fmt::format("{:#0{}b}", r, 12), fmt::format("{:#0{}b}", v, 12));
  EXPECT_EQ(fmt::format("{:*>{}}", r, 30), fmt::format("{:*>{}}", r.to_string(), 30));
}

TEST(Rights, NumericFormsMatchForRandomValues) {
  const auto seed = seed_from_device("Rights numeric forms");
  SCOPED_TRACE(::testing::Message() << "seed " << seed);
  std::mt19937 rng(seed);
  std::uniform_int_distribution<std::uint32_t> any(0, kAllBits);
  const char* specs[] = {"{:b}", "{:#o}", "{:x}", "{:#X}", "{:#036b}", "{:>12x}", "{:_^14X}"};
  for (int i = 0; i < 2000; ++i) {
    const std::uint32_t v = any(rng) >> (i % 32);
    for (const char* spec : specs) {
      ASSERT_EQ(fmt::format(fmt::runtime(spec), R(v)), fmt::format(fmt::runtime(spec), v))
          << spec << " of " << v;
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Rights: parsing.

struct ParseCase {
  const char* name;
  std::string text;
  const char* expected;  // "ok 0x.." or the ParseError's name
};

std::string PrintTo(const ParseCase& c) { return c.name; }

const ParseCase kParseCases[] = {
    {"EmptyText", "", "ok 0x0"},
    {"ThreeSpaces", "   ", "ok 0x0"},
    {"AsciiWhiteSpaceOnly", " \t\n\v\f\r ", "ok 0x0"},
    {"LoneBar", "|", "EmptyFlag"},
    {"SpacedBar", " | ", "EmptyFlag"},
    {"TrailingSeparator", "READ_RAW |", "EmptyFlag"},
    {"TrailingSeparatorAndSpace", "READ_RAW | ", "EmptyFlag"},
    {"LeadingSeparator", "| READ_RAW", "EmptyFlag"},
    {"AdjacentBars", "READ_RAW||COMPUTE_USE", "EmptyFlag"},
    {"BlankPieceBetweenBars", "READ_RAW | \t | COMPUTE_USE", "EmptyFlag"},
    {"NoSpacesAroundBarOuterSpaces", " READ_RAW|COMPUTE_USE ", "ok 0x12"},
    {"ReadFeatures", "READ_FEATURES", "ok 0x1"},
    {"ReadRaw", "READ_RAW", "ok 0x2"},
    {"TransferOwnership", "TRANSFER_OWNERSHIP", "ok 0x4"},
    {"LicenseGrant", "LICENSE_GRANT", "ok 0x8"},
    {"ComputeUse", "COMPUTE_USE", "ok 0x10"},
    {"AllNamesReversed",
     "COMPUTE_USE | LICENSE_GRANT | TRANSFER_OWNERSHIP | READ_RAW | READ_FEATURES", "ok 0x1f"},
    {"RepeatedName", "READ_RAW | READ_RAW", "ok 0x2"},
    {"NameAndHexOverlap", "0x2 | READ_RAW", "ok 0x2"},
    {"NameThenHex", "READ_FEATURES | 0x60", "ok 0x61"},
    {"HexThenName", "0x60 | READ_FEATURES", "ok 0x61"},
    {"HexOfNamedBits", "0x1f", "ok 0x1f"},
    {"LowerCaseName", "read_raw", "InvalidNamedFlag"},
    {"MixedCaseName", "Read_Raw", "InvalidNamedFlag"},
    {"TrailingUnderscore", "READ_RAW_", "InvalidNamedFlag"},
    {"NamePrefix", "READ", "InvalidNamedFlag"},
    {"SpaceInsideName", "READ RAW", "InvalidNamedFlag"},
    {"EmbeddedNul", std::string("READ_RAW\0", 9), "InvalidNamedFlag"},
    {"UpperCaseX", "0X10", "InvalidNamedFlag"},
    {"HexWithoutPrefix", "10", "InvalidNamedFlag"},
    {"HexLettersWithoutPrefix", "ff", "InvalidNamedFlag"},
    {"XWithoutZero", "x10", "InvalidNamedFlag"},
    {"PrefixAlone", "0x", "InvalidHexFlag"},
    {"PrefixAloneSpaced", "  0x  ", "InvalidHexFlag"},
    {"PrefixAndG", "0xg", "InvalidHexFlag"},
    {"DigitThenG", "0x1g", "InvalidHexFlag"},
    {"TwoToThe32", "0x100000000", "InvalidHexFlag"},
    {"TwoToThe32LeadingZeros", "0x000000100000000", "InvalidHexFlag"},
    {"TwoToThe64", "0x10000000000000000", "InvalidHexFlag"},
    {"FortyDigits", "0xffffffffffffffffffffffffffffffffffffffff", "InvalidHexFlag"},
    {"AllOnesUpperCase", "0xFFFFFFFF", "ok 0xffffffff"},
    {"AllOnesLowerCase", "0xffffffff", "ok 0xffffffff"},
    {"MixedCaseDigits", "0xDeadBeef", "ok 0xdeadbeef"},
    {"Zero", "0x0", "ok 0x0"},
    {"LeadingZeros", "0x0000000000000040", "ok 0x40"},
    {"ManyLeadingZeros", "0x" + std::string(100, '0') + "1", "ok 0x1"},
    {"SpacedHex", " 0x40 ", "ok 0x40"},
    {"PlusAfterPrefix", "0x+1", "InvalidHexFlag"},
    {"MinusAfterPrefix", "0x-1", "InvalidHexFlag"},
    {"SpaceAfterPrefix", "0x 1", "InvalidHexFlag"},
    {"SpaceInsideDigits", "0x1 2", "InvalidHexFlag"},
    {"UnderscoreInsideDigits", "0x1_0", "InvalidHexFlag"},
    {"DoubleX", "0xx1", "InvalidHexFlag"},
    {"DoublePrefix", "0x0x1", "InvalidHexFlag"},
    {"FirstFailureNamedBeforeHex", "bogus | 0xg", "InvalidNamedFlag"},
    {"FirstFailureHexBeforeNamed", "0xg | bogus", "InvalidHexFlag"},
    {"FirstFailureEmptyBeforeNamed", "READ_RAW | | bogus", "EmptyFlag"},
    {"FirstFailureNamedBeforeEmpty", "bogus | |", "InvalidNamedFlag"},
    {"FirstFailureHexBeforeEmpty", "0xg ||", "InvalidHexFlag"},
    {"FirstFailureEmptyBeforeHex", "|0xg", "EmptyFlag"},
    {"DisplayOfAllBits",
     "READ_FEATURES | READ_RAW | TRANSFER_OWNERSHIP | LICENSE_GRANT | COMPUTE_USE | 0xffffffe0",
     "ok 0xffffffff"},
    {"UnicodeWhiteSpaceAround",
     "\xE3\x80\x80READ_RAW\xE2\x80\xA9|\xC2\x85" "COMPUTE_USE\xC2\xA0", "ok 0x12"},
    {"UnicodeWhiteSpaceOnly", "\xE2\x80\xA8\xC2\xA0\xE1\x9A\x80", "ok 0x0"},
    {"NoBreakSpaceInsideName", "READ\xC2\xA0RAW", "InvalidNamedFlag"},
    {"ZeroWidthSpaceIsNotWhiteSpace", "\xE2\x80\x8BREAD_RAW", "InvalidNamedFlag"},
    {"ByteOrderMarkIsNotWhiteSpace", "\xEF\xBB\xBFREAD_RAW", "InvalidNamedFlag"},
    {"MongolianVowelSeparatorIsNotWhiteSpace", "READ_RAW\xE1\xA0\x8E", "InvalidNamedFlag"},
    {"UnitSeparatorIsNotWhiteSpace", "\x1FREAD_RAW", "InvalidNamedFlag"},
    {"FileSeparatorAloneIsNotWhiteSpace", "\x1C", "InvalidNamedFlag"},
    {"NulAloneIsNotWhiteSpace", std::string(1, '\0'), "InvalidNamedFlag"},
    {"FullwidthBarIsNotASeparator", "READ_RAW\xEF\xBD\x9C" "COMPUTE_USE", "InvalidNamedFlag"},
};

class RightsParse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(RightsParse, GivesTheListedResult) {
  const auto& c = GetParam();
  EXPECT_EQ(parse_outcome(c.text), c.expected) << to_hex(test::bytes_of(c.text));
  // The test's own reference parser agrees, so the table and the model check each other.
  EXPECT_EQ(outcome(ref_parse(c.text)), c.expected) << "reference parser";
}

INSTANTIATE_TEST_SUITE_P(Cases, RightsParse, ::testing::ValuesIn(kParseCases),
                         [](const auto& test_info) { return std::string(test_info.param.name); });

// Malformed UTF-8 is never taken for white space and never stops the parser.
const ParseCase kMalformedCases[] = {
    {"LoneNelContinuationByte", "\x85", "InvalidNamedFlag"},
    {"LoneNbspContinuationByte", "\xA0", "InvalidNamedFlag"},
    {"Latin1NelBeforeName", "\x85READ_RAW", "InvalidNamedFlag"},
    {"Latin1NbspAfterName", "READ_RAW\xA0", "InvalidNamedFlag"},
    {"LoneLeadByte", "\xC2", "InvalidNamedFlag"},
    {"LeadByteAfterName", "READ_RAW\xC2", "InvalidNamedFlag"},
    {"TruncatedThreeByteAlone", "\xE2\x80", "InvalidNamedFlag"},
    {"TruncatedThreeByteBeforeName", "\xE2\x80READ_RAW", "InvalidNamedFlag"},
    {"TruncatedThreeByteAfterName", "READ_RAW\xE2\x80", "InvalidNamedFlag"},
    {"TruncatedIdeographicSpaceAfterSpace", "READ_RAW \xE3\x80", "InvalidNamedFlag"},
    {"OverlongSpace", "\xC0\xA0READ_RAW", "InvalidNamedFlag"},
    {"OverlongTab", "READ_RAW\xC0\x89", "InvalidNamedFlag"},
    {"ThreeByteOverlongSpace", "\xE0\x80\xA0READ_RAW", "InvalidNamedFlag"},
    {"FourByteOverlongSpace", "\xF0\x80\x80\xA0READ_RAW", "InvalidNamedFlag"},
    {"LeadByteBeforeValidWhiteSpace", "\xE2\xE2\x80\x80READ_RAW", "InvalidNamedFlag"},
    {"ValidWhiteSpaceAfterLeadByte", "READ_RAW\xE2\xE2\x80\x80", "InvalidNamedFlag"},
    {"LeadByteThenNel", "READ_RAW\xE2\xC2\x85", "InvalidNamedFlag"},
    {"ByteFF", "\xFF", "InvalidNamedFlag"},
    {"BytesFEFF", "\xFE\xFF", "InvalidNamedFlag"},
    {"EncodedSurrogate", "\xED\xA0\x80", "InvalidNamedFlag"},
    {"AboveUnicode", "\xF4\x90\x80\x80", "InvalidNamedFlag"},
    {"StrayContinuationPiece", "READ_RAW|\x80", "InvalidNamedFlag"},
    {"StrayContinuationFirstPiece", "\x80|0xg", "InvalidNamedFlag"},
    {"WhiteSpaceThenStrayContinuation", "\xE2\x80\xA8\x80", "InvalidNamedFlag"},
    {"StrayContinuationAfterHex", "0x10\x80", "InvalidHexFlag"},
    {"ValidWhiteSpaceAroundValidName", "\xC2\x85READ_RAW\xE2\x80\xAF", "ok 0x2"},
};

INSTANTIATE_TEST_SUITE_P(MalformedUtf8, RightsParse, ::testing::ValuesIn(kMalformedCases),
                         [](const auto& test_info) { return std::string(test_info.param.name); });

TEST(Rights, EveryUnicodeWhiteSpaceCharacterIsTrimmed) {
  ASSERT_EQ(std::size(kWhiteSpace), 25u);
  for (const char32_t c : kWhiteSpace) {
    const std::string ws = utf8(c);
    SCOPED_TRACE(fmt::format("U+{:04X}", static_cast<std::uint32_t>(c)));
    EXPECT_EQ(parse_outcome(ws), "ok 0x0");
    EXPECT_EQ(parse_outcome(ws + ws + ws), "ok 0x0");
    EXPECT_EQ(parse_outcome(ws + "READ_RAW" + ws + "|" + ws + "COMPUTE_USE" + ws), "ok 0x12");
    EXPECT_EQ(parse_outcome(ws + "0x40" + ws + ws), "ok 0x40");
    EXPECT_EQ(parse_outcome("READ_RAW|" + ws + "|COMPUTE_USE"), "EmptyFlag");
    EXPECT_EQ(parse_outcome("READ" + ws + "RAW"), "InvalidNamedFlag");
    EXPECT_EQ(parse_outcome("0x" + ws + "40"), "InvalidHexFlag");
  }
}

// Every code point, placed around a name and alone: only the White_Space ones are trimmed.
TEST(Rights, OnlyWhiteSpaceCodePointsAreTrimmed) {
  int mismatches = 0;
  for (char32_t c = 0; c <= 0x10FFFF; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    const std::string s = utf8(c);
    const bool ws = is_white_space(c);
    const std::string around = parse_outcome(s + "READ_RAW" + s);
    const std::string alone = parse_outcome(s);
    const std::string want_around = ws ? "ok 0x2" : c == '|' ? "EmptyFlag" : "InvalidNamedFlag";
    const std::string want_alone = ws ? "ok 0x0" : c == '|' ? "EmptyFlag" : "InvalidNamedFlag";
    if (around != want_around || alone != want_alone) {
      ADD_FAILURE() << fmt::format("U+{:04X}: around {} (want {}), alone {} (want {})",
                                   static_cast<std::uint32_t>(c), around, want_around, alone,
                                   want_alone);
      if (++mismatches == 20) return;
    }
  }
}

// Random texts made of names, hex pieces, separators, white space, other characters and
// malformed UTF-8, parsed by the library and by the reference model.
TEST(Rights, ParseAgreesWithReferenceOnRandomTexts) {
  const auto seed = seed_from_device("Rights parse differential");
  SCOPED_TRACE(::testing::Message() << "seed " << seed);
  std::mt19937 rng(seed);
  std::vector<std::string> tokens = {
      "READ_FEATURES", "READ_RAW", "TRANSFER_OWNERSHIP", "LICENSE_GRANT", "COMPUTE_USE", "READ",
      "_RAW", "0x", "0X", "0", "1", "f", "F", "g", "x", "+", "100000000", "ffffffff", "|", "|",
      "|", " ", " ", "\t", "\n", "\xE2\x80\x8B", "\xEF\xBB\xBF", "\xC2", "\xE2\x80", "\x85",
      "\xA0", "\xC0\xA0", "\xFF", "\xED\xA0\x80", "\x80", "\xE3\x80", std::string(1, '\0'),
  };
  for (const char32_t c : kWhiteSpace) tokens.push_back(utf8(c));
  std::uniform_int_distribution<std::size_t> pick(0, tokens.size() - 1), count(0, 8);
  for (int i = 0; i < 100000; ++i) {
    std::string text;
    for (std::size_t n = count(rng); n > 0; --n) text += tokens[pick(rng)];
    const auto got = Rights::parse(text);
    ASSERT_EQ(outcome(got), outcome(ref_parse(text))) << to_hex(test::bytes_of(text));
    if (got) {
      ASSERT_EQ(parse_outcome(got->to_string()), outcome(got)) << to_hex(test::bytes_of(text));
    }
  }
}

TEST(Rights, ParseNeverStopsOnArbitraryBytes) {
  const auto seed = seed_from_device("Rights parse random bytes");
  SCOPED_TRACE(::testing::Message() << "seed " << seed);
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> byte(0, 255), len(0, 40);
  for (int i = 0; i < 100000; ++i) {
    std::string text(static_cast<std::size_t>(len(rng)), '\0');
    for (char& ch : text) ch = static_cast<char>(byte(rng));
    ASSERT_EQ(parse_outcome(text), outcome(ref_parse(text))) << to_hex(test::bytes_of(text));
  }
}

// ---------------------------------------------------------------------------------------------
// Rights: iteration and set operations.

struct IterCase {
  std::uint32_t bits;
  std::vector<std::string_view> names;
  std::vector<std::uint32_t> yielded;
};

const IterCase kIterCases[] = {
    {0, {}, {}},
    {1, {"READ_FEATURES"}, {1}},
    {18, {"READ_RAW", "COMPUTE_USE"}, {2, 16}},
    {31,
     {"READ_FEATURES", "READ_RAW", "TRANSFER_OWNERSHIP", "LICENSE_GRANT", "COMPUTE_USE"},
     {1, 2, 4, 8, 16}},
    {42, {"READ_RAW", "LICENSE_GRANT"}, {2, 8, 0x20}},
    {64, {}, {0x40}},
    {97, {"READ_FEATURES"}, {1, 0x60}},
    {0x80000000u, {}, {0x80000000u}},
    {kAllBits,
     {"READ_FEATURES", "READ_RAW", "TRANSFER_OWNERSHIP", "LICENSE_GRANT", "COMPUTE_USE"},
     {1, 2, 4, 8, 16, 0xFFFFFFE0u}},
};

class RightsIteration : public ::testing::TestWithParam<IterCase> {};

TEST_P(RightsIteration, YieldsNamedFlagsInTableOrderThenUnnamedBits) {
  const auto& c = GetParam();
  const Rights r = R(c.bits);
  std::vector<std::string_view> names;
  for (const auto& named : r.iter_names()) {
    names.push_back(named.name);
    ASSERT_TRUE(Rights::from_name(named.name).has_value()) << named.name;
    EXPECT_EQ(named.value, *Rights::from_name(named.name));
  }
  EXPECT_EQ(names, c.names);
  std::vector<std::uint32_t> yielded;
  for (const Rights piece : r) yielded.push_back(piece.bits());
  EXPECT_EQ(yielded, c.yielded);
  std::vector<std::uint32_t> post;
  for (auto it = r.begin(); it != r.end(); it++) post.push_back((*it).bits());
  EXPECT_EQ(post, c.yielded);
}

INSTANTIATE_TEST_SUITE_P(Examples, RightsIteration, ::testing::ValuesIn(kIterCases),
                         [](const auto& test_info) { return fmt::format("Bits{:x}", test_info.param.bits); });

TEST(Rights, IterationRebuildsRandomValues) {
  const auto seed = seed_from_device("Rights iteration");
  SCOPED_TRACE(::testing::Message() << "seed " << seed);
  std::mt19937 rng(seed);
  std::uniform_int_distribution<std::uint32_t> any(0, kAllBits);
  for (int i = 0; i < 5000; ++i) {
    const std::uint32_t v = any(rng) & (i % 2 ? kAllBits : any(rng));
    Rights rebuilt;
    std::uint32_t seen = 0;
    std::size_t count = 0, next_flag = 0;
    bool unnamed_seen = false;
    for (const Rights piece : R(v)) {
      ++count;
      ASSERT_FALSE(piece.is_empty()) << v;
      ASSERT_EQ(seen & piece.bits(), 0u) << "overlapping pieces of " << v;
      ASSERT_FALSE(unnamed_seen) << "a piece after the unnamed bits of " << v;
      seen |= piece.bits();
      rebuilt = rebuilt.union_(piece);
      if ((piece.bits() & 0x1F) == 0) {
        ASSERT_EQ(piece.bits(), v & ~0x1Fu) << v;
        unnamed_seen = true;
      } else {
        while (next_flag < std::size(kFlags) && kFlags[next_flag].second != piece.bits()) ++next_flag;
        ASSERT_LT(next_flag, std::size(kFlags)) << "not a single flag in order: " << piece.bits();
        ++next_flag;
      }
    }
    ASSERT_EQ(rebuilt.bits(), v);
    ASSERT_EQ(count, static_cast<std::size_t>(std::popcount(v & 0x1Fu)) + ((v & ~0x1Fu) ? 1 : 0));
    std::vector<std::string_view> names, want;
    for (const auto& n : R(v).iter_names()) names.push_back(n.name);
    for (const auto& [name, bit] : kFlags) {
      if (v & bit) want.push_back(name);
    }
    ASSERT_EQ(names, want) << v;
  }
}

struct SetCase {
  std::uint32_t a, b;
};

TEST(Rights, SetOperationsMatchBitArithmetic) {
  const auto seed = seed_from_device("Rights set operations");
  SCOPED_TRACE(::testing::Message() << "seed " << seed);
  std::mt19937 rng(seed);
  std::uniform_int_distribution<std::uint32_t> any(0, kAllBits);
  std::vector<SetCase> cases = {
      {0, 0}, {0, 1}, {1, 0}, {3, 1}, {1, 3}, {3, 3}, {0x12, 0x10}, {0x61, 0x40}, {0x40, 0x61},
      {kAllBits, 0}, {kAllBits, kAllBits}, {kAllBits, 2}, {0xFFFFFFE0u, 0x1F}, {0x80000000u, 0x80000000u},
  };
  for (int i = 0; i < 5000; ++i) cases.push_back({any(rng) & any(rng), any(rng) & any(rng)});
  for (const auto& [a, b] : cases) {
    SCOPED_TRACE(fmt::format("a={:#x} b={:#x}", a, b));
    const Rights ra = R(a), rb = R(b);
    ASSERT_EQ(ra.contains(rb), (a & b) == b);
    ASSERT_EQ(ra.intersects(rb), (a & b) != 0);
    ASSERT_EQ(ra.union_(rb).bits(), a | b);
    ASSERT_EQ(ra.difference(rb).bits(), a & ~b);
    ASSERT_EQ((ra | rb).bits(), a | b);
    ASSERT_EQ((ra & rb).bits(), a & b);
    ASSERT_EQ((ra - rb).bits(), a & ~b);
    ASSERT_EQ(ra.is_empty(), a == 0);
    ASSERT_EQ(ra == rb, a == b);
    Rights ins = ra;
    ins.insert(rb);
    ASSERT_EQ(ins.bits(), a | b);
    Rights rem = ra;
    rem.remove(rb);
    ASSERT_EQ(rem.bits(), a & ~b);
    Rights or_assign = ra;
    or_assign |= rb;
    ASSERT_EQ(or_assign.bits(), a | b);
    ASSERT_TRUE(ra.contains(Rights::empty()));
  }
}

TEST(Rights, SetOperationExamples) {
  EXPECT_TRUE(Rights::empty().contains(Rights::empty()));
  EXPECT_FALSE(Rights::empty().intersects(Rights::empty()));
  EXPECT_FALSE(Rights::READ_RAW.contains(Rights::READ_RAW | Rights::COMPUTE_USE));
  EXPECT_TRUE((Rights::READ_RAW | Rights::COMPUTE_USE).contains(Rights::READ_RAW));
  EXPECT_FALSE(R(0x40).contains(R(0x41)));
  EXPECT_TRUE(R(kAllBits).contains(R(0x80000000u)));
  // Only the argument's bits are cleared; unnamed bits survive everything else.
  Rights all = R(kAllBits);
  all.remove(Rights::READ_RAW);
  EXPECT_EQ(all.bits(), 0xFFFFFFFDu);
  EXPECT_EQ((R(0x100) | Rights::READ_RAW).bits(), 0x102u);
  EXPECT_EQ(R(0x101).difference(Rights::READ_FEATURES).bits(), 0x100u);
  EXPECT_EQ(R(0x101).difference(R(0x100)).bits(), 0x1u);
}

// ---------------------------------------------------------------------------------------------
// CapToken: binary form.

// Writes the 180-byte little-endian binary form by hand: the layout the token must have.
struct TokenLayout {
  std::array<std::uint8_t, 32> scope{}, holder{}, issuer{};
  std::uint32_t rights = 0;
  std::uint64_t exp = 0;
  std::uint64_t sig_len = 64;
  std::array<std::uint8_t, 64> sig{};

  Bytes bytes() const {
    Bytes out;
    auto le = [&](std::uint64_t v, int n) {
      for (int i = 0; i < n; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    };
    out.insert(out.end(), scope.begin(), scope.end());
    le(rights, 4);
    le(exp, 8);
    out.insert(out.end(), holder.begin(), holder.end());
    out.insert(out.end(), issuer.begin(), issuer.end());
    le(sig_len, 8);
    out.insert(out.end(), sig.begin(), sig.end());
    return out;
  }
};

TokenLayout example_layout() {
  TokenLayout t;
  for (int i = 0; i < 32; ++i) {
    t.scope[i] = static_cast<std::uint8_t>(i);
    t.holder[i] = static_cast<std::uint8_t>(0x40 + i);
    t.issuer[i] = static_cast<std::uint8_t>(0x60 + i);
  }
  for (int i = 0; i < 64; ++i) t.sig[i] = static_cast<std::uint8_t>(0x80 + i);
  t.rights = 3;
  t.exp = 300;
  return t;
}

Bytes prefix(const Bytes& b, std::size_t n) { return Bytes(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n)); }

const char* decode_outcome(const std::expected<CapToken, CapDecodeError>& r) {
  if (r) return "ok";
  return r.error() == CapDecodeError::Truncated ? "Truncated" : "SignatureLength";
}

TEST(CapToken, WorkedExampleBytes) {
  // rights READ_FEATURES | READ_RAW and exp_ts 300, as they appear in the binary form.
  const Bytes form = example_layout().bytes();
  ASSERT_EQ(form.size(), kCapTokenSize);
  const auto token = cap_decode(form);
  ASSERT_TRUE(token.has_value());
  EXPECT_EQ(token->rights, Rights::READ_FEATURES | Rights::READ_RAW);
  EXPECT_EQ(token->exp_ts, 300u);
  const auto encoded = cap_encode(*token);
  EXPECT_EQ(to_hex(ByteView(encoded).subspan(32, 4)), "03000000");
  EXPECT_EQ(to_hex(ByteView(encoded).subspan(36, 8)), "2c01000000000000");
  EXPECT_EQ(to_hex(ByteView(encoded).subspan(108, 8)), "4000000000000000");
  const Bytes signed_bytes = cap_signed_bytes(*token);
  EXPECT_EQ(to_hex(ByteView(signed_bytes).subspan(32, 12)), "030000002c01000000000000");
  EXPECT_EQ(Bytes(encoded.begin(), encoded.end()), form);
  for (int i = 0; i < 32; ++i) {
    EXPECT_EQ(token->scope_cid[i], i);
    EXPECT_EQ(token->holder_pub[i], 0x40 + i);
    EXPECT_EQ(token->issuer_pub[i], 0x60 + i);
  }
  for (int i = 0; i < 64; ++i) EXPECT_EQ(token->signature[i], 0x80 + i);
}

struct LengthCase {
  std::size_t length;
  const char* expected;
};

class CapDecodeLength : public ::testing::TestWithParam<LengthCase> {};

TEST_P(CapDecodeLength, DecodesOnlyCompleteTokens) {
  const auto& c = GetParam();
  Bytes form = example_layout().bytes();
  for (std::size_t i = form.size(); i < c.length; ++i) form.push_back(static_cast<std::uint8_t>(i));
  form.resize(c.length);
  const auto token = cap_decode(form);
  ASSERT_STREQ(decode_outcome(token), c.expected);
  if (token) {
    EXPECT_EQ(*token, *cap_decode(example_layout().bytes()));
    const auto encoded = cap_encode(*token);
    EXPECT_EQ(Bytes(encoded.begin(), encoded.end()), prefix(form, kCapTokenSize));
  }
}

INSTANTIATE_TEST_SUITE_P(Lengths, CapDecodeLength,
                         ::testing::Values(LengthCase{0, "Truncated"}, LengthCase{1, "Truncated"},
                                           LengthCase{32, "Truncated"}, LengthCase{107, "Truncated"},
                                           LengthCase{108, "Truncated"}, LengthCase{115, "Truncated"},
                                           LengthCase{116, "Truncated"}, LengthCase{179, "Truncated"},
                                           LengthCase{180, "ok"}, LengthCase{181, "ok"},
                                           LengthCase{1000, "ok"}),
                         [](const auto& test_info) { return fmt::format("Bytes{}", test_info.param.length); });

struct SigLenCase {
  const char* name;
  std::uint64_t sig_len;
  std::size_t length;  // of the whole input
  const char* expected;
};

std::string PrintTo(const SigLenCase& c) { return c.name; }

class CapDecodeSignatureLength : public ::testing::TestWithParam<SigLenCase> {};

TEST_P(CapDecodeSignatureLength, OnlySixtyFourIsAccepted) {
  const auto& c = GetParam();
  TokenLayout layout = example_layout();
  layout.sig_len = c.sig_len;
  Bytes form = layout.bytes();
  form.resize(c.length, 0x5A);
  EXPECT_STREQ(decode_outcome(cap_decode(form)), c.expected);
}

constexpr std::uint64_t kTwo32 = 0x100000000ull;

INSTANTIATE_TEST_SUITE_P(
    Cases, CapDecodeSignatureLength,
    ::testing::Values(
        SigLenCase{"Len63", 63, 180, "SignatureLength"},
        SigLenCase{"Len63ExactlyEnoughBytes", 63, 179, "SignatureLength"},
        SigLenCase{"Len65NotEnoughBytes", 65, 180, "Truncated"},
        SigLenCase{"Len65EnoughBytes", 65, 181, "SignatureLength"},
        SigLenCase{"Len65ManyBytes", 65, 400, "SignatureLength"},
        SigLenCase{"Len0", 0, 180, "SignatureLength"},
        SigLenCase{"Len0NoSignatureBytes", 0, 116, "SignatureLength"},
        SigLenCase{"Len128", 128, 400, "SignatureLength"},
        SigLenCase{"Len64ShortInput", 64, 179, "Truncated"},
        SigLenCase{"Len2To32Plus64", kTwo32 + 64, 180, "Truncated"},
        SigLenCase{"Len2To32Plus64LongInput", kTwo32 + 64, 5000, "Truncated"},
        SigLenCase{"LenHighByteSet", 0x0100000000000040ull, 180, "Truncated"},
        SigLenCase{"LenAllOnes", ~std::uint64_t{0}, 180, "Truncated"},
        SigLenCase{"Len64", 64, 180, "ok"}),
    [](const auto& test_info) { return std::string(test_info.param.name); });

TEST(CapToken, ExtremeIntegerFieldsDecodeUnchanged) {
  for (const std::uint64_t exp : {std::uint64_t{0}, ~std::uint64_t{0}, std::uint64_t{1} << 63}) {
    for (const std::uint32_t rights : {0u, kAllBits, 0x80000000u}) {
      TokenLayout layout = example_layout();
      layout.exp = exp;
      layout.rights = rights;
      const Bytes form = layout.bytes();
      const auto token = cap_decode(form);
      ASSERT_TRUE(token.has_value());
      EXPECT_EQ(token->exp_ts, exp);
      EXPECT_EQ(token->rights.bits(), rights);
      const auto encoded = cap_encode(*token);
      EXPECT_EQ(Bytes(encoded.begin(), encoded.end()), form);
    }
  }
  TokenLayout layout = example_layout();
  layout.rights = kAllBits;
  const Bytes form = layout.bytes();
  EXPECT_EQ(to_hex(ByteView(form).subspan(32, 4)), "ffffffff");
  EXPECT_EQ(cap_decode(form)->rights, R(kAllBits));
}

TEST(CapToken, SignedBytesAreTheFirst108BytesOfTheBinaryForm) {
  const Bytes form = example_layout().bytes();
  const auto token = cap_decode(form);
  ASSERT_TRUE(token.has_value());
  const Bytes signed_bytes = cap_signed_bytes(*token);
  EXPECT_EQ(signed_bytes.size(), kCapSignedSize);
  EXPECT_EQ(signed_bytes.capacity(), kCapSignedSize);  // allocated once, at its final size
  EXPECT_EQ(signed_bytes, prefix(form, 108));
  std::array<std::uint8_t, kCapSignedSize> into{};
  cap_signed_bytes_into(*token, into);
  EXPECT_EQ(Bytes(into.begin(), into.end()), signed_bytes);
}

TEST(CapToken, SignatureChangesLeaveSignedBytesAlone) {
  const Bytes form = example_layout().bytes();
  const Bytes original = cap_signed_bytes(*cap_decode(form));
  for (std::size_t i = 0; i < kCapTokenSize; ++i) {
    Bytes altered = form;
    altered[i] ^= 0x01;
    const auto token = cap_decode(altered);
    if (i >= 108 && i < 116) {
      // The length word no longer says 64.
      EXPECT_FALSE(token.has_value()) << "byte " << i;
      continue;
    }
    ASSERT_TRUE(token.has_value()) << "byte " << i;
    const Bytes signed_bytes = cap_signed_bytes(*token);
    if (i < 108) {
      EXPECT_EQ(signed_bytes, prefix(altered, 108)) << "byte " << i;
      EXPECT_NE(signed_bytes, original) << "byte " << i;
    } else {
      EXPECT_EQ(signed_bytes, original) << "byte " << i;
      EXPECT_NE(token->signature, cap_decode(form)->signature) << "byte " << i;
    }
  }
}

TEST(CapToken, RandomFormsRoundTrip) {
  const auto seed = seed_from_device("CapToken round trip");
  SCOPED_TRACE(::testing::Message() << "seed " << seed);
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> byte(0, 255), extra(0, 64);
  for (int i = 0; i < 2000; ++i) {
    Bytes form(kCapTokenSize);
    for (auto& b : form) b = static_cast<std::uint8_t>(byte(rng));
    for (std::size_t k = 108; k < 116; ++k) form[k] = k == 108 ? 64 : 0;
    Bytes longer = form;
    for (int n = extra(rng); n > 0; --n) longer.push_back(static_cast<std::uint8_t>(byte(rng)));
    const auto token = cap_decode(form);
    ASSERT_TRUE(token.has_value());
    const auto encoded = cap_encode(*token);
    ASSERT_EQ(Bytes(encoded.begin(), encoded.end()), form);
    ASSERT_EQ(cap_signed_bytes(*token), prefix(form, 108));
    const auto again = cap_decode(longer);
    ASSERT_TRUE(again.has_value());
    ASSERT_EQ(*again, *token);
  }
}

// ---------------------------------------------------------------------------------------------
// cap_issue and cap_verify.

// RFC 8032 section 7.1, TEST 1 and TEST 2: seeds and their public keys.
constexpr const char* kIssuerSeedHex = "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60";
constexpr const char* kIssuerPubHex = "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a";
constexpr const char* kOtherSeedHex = "4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb";
constexpr const char* kOtherPubHex = "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c";

// Encodings that are not Ed25519 points: y = 2 has no x; y = p is not canonical; y = 1 gives
// x = 0 with the sign bit set; all ones is y >= p.
constexpr const char* kNotPoints[] = {
    "0200000000000000000000000000000000000000000000000000000000000000",
    "edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
    "0100000000000000000000000000000000000000000000000000000000000080",
    "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff",
};

// Ed25519 through OpenSSL directly, independent of the library's signing code.
Signature openssl_sign(const Seed& seed, ByteView message) {
  Signature sig{};
  EVP_PKEY* pkey = EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed.data(), seed.size());
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  std::size_t len = sig.size();
  if (pkey == nullptr || ctx == nullptr ||
      EVP_DigestSignInit(ctx, nullptr, nullptr, nullptr, pkey) != 1 ||
      EVP_DigestSign(ctx, sig.data(), &len, message.data(), message.size()) != 1 || len != 64) {
    ADD_FAILURE() << "OpenSSL Ed25519 signing failed";
  }
  EVP_MD_CTX_free(ctx);
  EVP_PKEY_free(pkey);
  return sig;
}

bool openssl_verify(const PublicKey& pub, ByteView message, const Signature& sig) {
  EVP_PKEY* pkey = EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, pub.data(), pub.size());
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  const bool ok = pkey != nullptr && ctx != nullptr &&
                  EVP_DigestVerifyInit(ctx, nullptr, nullptr, nullptr, pkey) == 1 &&
                  EVP_DigestVerify(ctx, sig.data(), sig.size(), message.data(), message.size()) == 1;
  EVP_MD_CTX_free(ctx);
  EVP_PKEY_free(pkey);
  return ok;
}

class CapIssue : public ::testing::Test {
 protected:
  const Seed issuer_seed = test::array_from_hex<32>(kIssuerSeedHex);
  const PublicKey issuer_pub = test::array_from_hex<32>(kIssuerPubHex);
  const PublicKey holder_pub = test::array_from_hex<32>(kOtherPubHex);
  const Cid scope = test::array_from_hex<32>(
      "5c5c5c5c5c5c5c5c00112233445566778899aabbccddeeff0123456789abcdef");
  const Rights rights = Rights::READ_RAW | Rights::COMPUTE_USE | R(0x80000000u);
  const std::uint64_t exp_ts = 1'900'000'000;

  CapToken issue() const {
    auto token = cap_issue(issuer_seed, issuer_pub, scope, rights, exp_ts, holder_pub);
    EXPECT_TRUE(token.has_value());
    return token.value_or(CapToken{});
  }

  // The signed bytes as the layout says they are, written by the test.
  static Bytes layout_signed_bytes(const CapToken& t) {
    TokenLayout layout;
    layout.scope = t.scope_cid;
    layout.rights = t.rights.bits();
    layout.exp = t.exp_ts;
    layout.holder = t.holder_pub;
    layout.issuer = t.issuer_pub;
    return prefix(layout.bytes(), 108);
  }
};

TEST_F(CapIssue, IssuerKeyIsThePublishedPublicKeyOfItsSeed) {
  EXPECT_EQ(verifying_key_bytes(signing_key_from_seed(issuer_seed)), issuer_pub);
  EXPECT_EQ(verifying_key_bytes(signing_key_from_seed(test::array_from_hex<32>(kOtherSeedHex))),
            holder_pub);
}

TEST_F(CapIssue, IssuedTokenCarriesItsArgumentsAndVerifiesForItsHolder) {
  const CapToken token = issue();
  EXPECT_EQ(token.scope_cid, scope);
  EXPECT_EQ(token.rights.bits(), rights.bits());  // the unnamed bit 31 included
  EXPECT_EQ(token.exp_ts, exp_ts);
  EXPECT_EQ(token.holder_pub, holder_pub);
  EXPECT_EQ(token.issuer_pub, issuer_pub);
  EXPECT_TRUE(cap_verify(token, holder_pub).has_value());
  // The signature is the issuer's Ed25519 signature over the 108 signed bytes of the layout.
  const Bytes message = layout_signed_bytes(token);
  EXPECT_EQ(cap_signed_bytes(token), message);
  EXPECT_TRUE(openssl_verify(issuer_pub, message, token.signature));
  EXPECT_EQ(token.signature, openssl_sign(issuer_seed, message));
  // And it survives the binary form.
  const auto encoded = cap_encode(token);
  const auto decoded = cap_decode(encoded);
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(*decoded, token);
  EXPECT_TRUE(cap_verify(*decoded, holder_pub).has_value());
}

TEST_F(CapIssue, SignatureMatchesPythonCryptography) {
  if (!test::python_present()) GTEST_SKIP() << test::kPython << " is absent";
  const CapToken token = issue();
  const std::string script = R"(import sys
try:
    from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey
except ImportError:
    print("missing")
    sys.exit(0)
key = Ed25519PrivateKey.from_private_bytes(bytes.fromhex(sys.argv[1]))
print(key.sign(bytes.fromhex(sys.argv[2])).hex())
)";
  std::string out;
  ASSERT_TRUE(test::run_python(script, {kIssuerSeedHex, to_hex(layout_signed_bytes(token))}, out));
  if (out == "missing\n") GTEST_SKIP() << "Python's cryptography package is absent";
  EXPECT_EQ(out, to_hex(token.signature) + "\n");
}

TEST_F(CapIssue, AnyOtherPresenterIsRefused) {
  const CapToken token = issue();
  const TessellaError refused(ErrorKind::CapabilityInvalid);
  for (std::size_t i = 0; i < 32; ++i) {
    for (const std::uint8_t bit : {0x01, 0x80}) {
      PublicKey presenter = holder_pub;
      presenter[i] ^= bit;
      const auto r = cap_verify(token, presenter);
      ASSERT_FALSE(r.has_value()) << "byte " << i;
      EXPECT_EQ(r.error(), refused) << "byte " << i;
    }
  }
  for (const PublicKey& presenter : {issuer_pub, PublicKey{}}) {
    const auto r = cap_verify(token, presenter);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), refused);
    EXPECT_EQ(r.error().detail(), nullptr);
  }
}

TEST_F(CapIssue, HolderIsCheckedBeforeTheSignature) {
  CapToken token = issue();
  token.signature = Signature{};  // also a bad signature
  const auto wrong_holder = cap_verify(token, issuer_pub);
  ASSERT_FALSE(wrong_holder.has_value());
  EXPECT_EQ(wrong_holder.error(), TessellaError(ErrorKind::CapabilityInvalid));
  const auto right_holder = cap_verify(token, holder_pub);
  ASSERT_FALSE(right_holder.has_value());
  EXPECT_EQ(right_holder.error(), TessellaError(ErrorKind::SignatureInvalid));
  // Likewise when the issuer key is not even a point.
  token.issuer_pub = test::array_from_hex<32>(kNotPoints[0]);
  EXPECT_EQ(cap_verify(token, issuer_pub).error(), TessellaError(ErrorKind::CapabilityInvalid));
}

struct TokenField {
  const char* name;
  std::size_t offset, size;
};

std::string PrintTo(const TokenField& f) { return f.name; }

class CapVerifyTamper : public CapIssue, public ::testing::WithParamInterface<TokenField> {};

// Every byte of every field of an issued token, altered in its binary form.
TEST_P(CapVerifyTamper, AlteredByteIsRefused) {
  const auto& field = GetParam();
  const auto form = cap_encode(issue());
  const bool is_holder = std::string_view(field.name) == "holder_pub";
  for (std::size_t i = field.offset; i < field.offset + field.size; ++i) {
    for (const std::uint8_t bit : {0x01, 0x10, 0x80}) {
      auto altered = form;
      altered[i] ^= bit;
      const auto token = cap_decode(altered);
      ASSERT_TRUE(token.has_value()) << "byte " << i;
      // Presented by the original holder.
      const auto r = cap_verify(*token, holder_pub);
      ASSERT_FALSE(r.has_value()) << "byte " << i << " bit " << int{bit};
      EXPECT_EQ(r.error(), TessellaError(is_holder ? ErrorKind::CapabilityInvalid
                                                   : ErrorKind::SignatureInvalid))
          << "byte " << i << " bit " << int{bit};
      // Presented by whoever the altered token names as holder.
      const auto named = cap_verify(*token, token->holder_pub);
      ASSERT_FALSE(named.has_value()) << "byte " << i << " bit " << int{bit};
      EXPECT_EQ(named.error(), TessellaError(ErrorKind::SignatureInvalid))
          << "byte " << i << " bit " << int{bit};
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Fields, CapVerifyTamper,
                         ::testing::Values(TokenField{"scope_cid", 0, 32}, TokenField{"rights", 32, 4},
                                           TokenField{"exp_ts", 36, 8},
                                           TokenField{"holder_pub", 44, 32},
                                           TokenField{"issuer_pub", 76, 32},
                                           TokenField{"signature", 116, 64}),
                         [](const auto& test_info) { return std::string(test_info.param.name); });

TEST_F(CapIssue, IssuerKeyThatIsNotAPointIsRefused) {
  for (const char* hex : kNotPoints) {
    const PublicKey bad = test::array_from_hex<32>(hex);
    ASSERT_FALSE(VerifyingKey::from_bytes(bad).has_value()) << hex << " decodes as a point";
    const auto token = cap_issue(issuer_seed, bad, scope, rights, exp_ts, holder_pub);
    ASSERT_TRUE(token.has_value()) << hex;  // issuer_pub is taken as passed
    EXPECT_EQ(token->issuer_pub, bad);
    const auto r = cap_verify(*token, holder_pub);
    ASSERT_FALSE(r.has_value()) << hex;
    EXPECT_EQ(r.error(), TessellaError(ErrorKind::SignatureInvalid)) << hex;
  }
}

TEST_F(CapIssue, IssuerKeyOfAnotherSeedIsRefused) {
  const PublicKey other = test::array_from_hex<32>(kOtherPubHex);
  const auto token = cap_issue(issuer_seed, other, scope, rights, exp_ts, holder_pub);
  ASSERT_TRUE(token.has_value());
  EXPECT_EQ(token->issuer_pub, other);
  const auto r = cap_verify(*token, holder_pub);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), TessellaError(ErrorKind::SignatureInvalid));
  // A token signed by that other seed and naming it verifies: the token names its own issuer.
  const auto own = cap_issue(test::array_from_hex<32>(kOtherSeedHex), other, scope, rights, exp_ts,
                             holder_pub);
  ASSERT_TRUE(own.has_value());
  EXPECT_TRUE(cap_verify(*own, holder_pub).has_value());
}

TEST_F(CapIssue, ExpiryAndRightsAreNotJudgedHere) {
  for (const std::uint64_t exp : {std::uint64_t{0}, std::uint64_t{1}, ~std::uint64_t{0}}) {
    for (const Rights r : {Rights::empty(), R(kAllBits), R(0x80000000u), Rights::READ_FEATURES}) {
      const auto token = cap_issue(issuer_seed, issuer_pub, scope, r, exp, holder_pub);
      ASSERT_TRUE(token.has_value());
      EXPECT_EQ(token->rights.bits(), r.bits());
      EXPECT_EQ(token->exp_ts, exp);
      EXPECT_TRUE(cap_verify(*token, holder_pub).has_value()) << exp << " " << r.bits();
    }
  }
}

TEST_F(CapIssue, SameArgumentsGiveTheSameToken) {
  const CapToken a = issue();
  const CapToken b = issue();
  EXPECT_EQ(a, b);
  EXPECT_EQ(cap_encode(a), cap_encode(b));
}

TEST_F(CapIssue, EveryArgumentChangesTheSignature) {
  const CapToken base = issue();
  Cid other_scope = scope;
  other_scope[31] ^= 1;
  PublicKey other_holder = holder_pub;
  other_holder[0] ^= 1;
  Seed other_seed = issuer_seed;
  other_seed[5] ^= 1;
  const Result<CapToken> variants[] = {
      cap_issue(other_seed, issuer_pub, scope, rights, exp_ts, holder_pub),
      cap_issue(issuer_seed, test::array_from_hex<32>(kOtherPubHex), scope, rights, exp_ts,
                holder_pub),
      cap_issue(issuer_seed, issuer_pub, other_scope, rights, exp_ts, holder_pub),
      cap_issue(issuer_seed, issuer_pub, scope, rights | Rights::READ_FEATURES, exp_ts, holder_pub),
      cap_issue(issuer_seed, issuer_pub, scope, rights, exp_ts + 1, holder_pub),
      cap_issue(issuer_seed, issuer_pub, scope, rights, exp_ts, other_holder),
  };
  for (std::size_t i = 0; i < std::size(variants); ++i) {
    ASSERT_TRUE(variants[i].has_value()) << i;
    EXPECT_NE(variants[i]->signature, base.signature) << "variant " << i;
  }
}

TEST(CapIssueRandom, RandomKeysIssueTokensThatVerify) {
  const auto seed = seed_from_device("cap_issue random keys");
  SCOPED_TRACE(::testing::Message() << "seed " << seed);
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> byte(0, 255);
  std::uniform_int_distribution<std::uint32_t> any32(0, kAllBits);
  auto random32 = [&] {
    std::array<std::uint8_t, 32> a{};
    for (auto& b : a) b = static_cast<std::uint8_t>(byte(rng));
    return a;
  };
  for (int i = 0; i < 50; ++i) {
    const Seed issuer = random32();
    const PublicKey pub = verifying_key_bytes(signing_key_from_seed(issuer));
    const PublicKey holder = random32();
    const Cid scope = random32();
    const std::uint64_t exp = (std::uint64_t{any32(rng)} << 32) | any32(rng);
    const auto token = cap_issue(issuer, pub, scope, R(any32(rng)), exp, holder);
    ASSERT_TRUE(token.has_value());
    ASSERT_TRUE(cap_verify(*token, holder).has_value()) << "iteration " << i;
    ASSERT_TRUE(openssl_verify(pub, cap_signed_bytes(*token), token->signature));
  }
}

}  // namespace
}  // namespace tessella
