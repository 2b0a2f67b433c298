// Rights, capability tokens and their binary form, issuing and verifying tokens.
#include "tessella/fmt.hpp"
#include "tessella/capabilities.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "vectors.hpp"

namespace tessella {
namespace {

using test::error_of;
using namespace std::string_literals;
using test::to_hex;

constexpr std::uint32_t kAllBits = 0xFFFFFFFFu;

Rights R(std::uint32_t bits) { return Rights::from_bits_retain(bits); }
std::string hex_of(std::string_view text) { return to_hex(test::bytes_of(text)); }

// An independent model of the rights text form: strict UTF-8, trimming by code point, from_chars.

using Flag = std::pair<std::string_view, std::uint32_t>;
constexpr Flag kFlags[] = {
    {"READ_FEATURES", 0x1}, {"READ_RAW", 0x2}, {"TRANSFER_OWNERSHIP", 0x4},
    {"LICENSE_GRANT", 0x8}, {"COMPUTE_USE", 0x10}};

// The characters with the Unicode White_Space property.
constexpr char32_t kWhiteSpace[] = {
    0x09,   0x0A,   0x0B,   0x0C,   0x0D,   0x20,   0x85,   0xA0,   0x1680, 0x2000, 0x2001, 0x2002,
    0x2003, 0x2004, 0x2005, 0x2006, 0x2007, 0x2008, 0x2009, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F,
    0x3000};

bool is_white_space(char32_t c) { return std::ranges::find(kWhiteSpace, c) != std::end(kWhiteSpace); }

std::string utf8(char32_t c) {
  if (c < 0x80) return std::string(1, static_cast<char>(c));
  const int n = c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
  std::string out(static_cast<std::size_t>(n), '\0');
  for (int i = n - 1; i > 0; --i, c >>= 6) out[i] = static_cast<char>(0x80 | (c & 0x3F));
  out[0] = static_cast<char>((0xF00 >> n) | c);  // lead byte 110xxxxx, 1110xxxx or 11110xxx
  return out;
}

// The code point starting at s[i] and its length; no code point (length 1) for a byte that
// starts no valid character: no overlong forms, surrogates or values above U+10FFFF.
std::pair<std::optional<char32_t>, std::size_t> decode_at(std::string_view s, std::size_t i) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned lead = b(i);
  if (lead < 0x80) return {lead, 1};
  const unsigned n = lead >= 0xF0 ? (lead <= 0xF4 ? 4 : 0) : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
  if (n == 0 || i + n > s.size()) return {std::nullopt, 1};
  char32_t c = lead & (0x7Fu >> n);
  for (std::size_t k = 1; k < n; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return {std::nullopt, 1};
    c = (c << 6) | (b(i + k) & 0x3F);
  }
  constexpr char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
  if (c < kMin[n] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return {std::nullopt, 1};
  return {c, n};
}

std::string_view ref_trim(std::string_view s) {
  std::vector<std::pair<std::optional<char32_t>, std::size_t>> units;
  for (std::size_t i = 0; i < s.size(); i += units.back().second) units.push_back(decode_at(s, i));
  const auto ws = [](const auto& u) { return u.first && is_white_space(*u.first); };
  auto first = units.begin(), last = units.end();
  std::size_t begin = 0, end = s.size();
  while (first != last && ws(*first)) begin += (first++)->second;
  while (last != first && ws(*(last - 1))) end -= (--last)->second;
  return s.substr(begin, end - begin);
}

std::expected<Rights, ParseError> ref_parse(std::string_view s) {
  if (ref_trim(s).empty()) return R(0);
  std::uint32_t bits = 0;
  for (std::size_t start = 0;;) {
    const std::size_t bar = s.find('|', start);
    const std::string_view piece = ref_trim(s.substr(start, bar - start));
    if (piece.empty()) return std::unexpected(ParseError::EmptyFlag);
    if (piece.starts_with("0x")) {
      const std::string_view d = piece.substr(2);
      std::uint32_t v = 0;
      const auto [end, ec] = std::from_chars(d.data(), d.data() + d.size(), v, 16);
      if (d.empty() || ec != std::errc{} || end != d.data() + d.size()) {
        return std::unexpected(ParseError::InvalidHexFlag);
      }
      bits |= v;
    } else {
      const auto* f = std::ranges::find(kFlags, piece, &Flag::first);
      if (f == std::end(kFlags)) return std::unexpected(ParseError::InvalidNamedFlag);
      bits |= f->second;
    }
    if (bar == std::string_view::npos) return R(bits);
    start = bar + 1;
  }
}

// A parse result as short text that prints readably: "ok 0x12", "Empty", "Named" or "Hex".
std::string outcome(const std::expected<Rights, ParseError>& r) {
  constexpr const char* kNames[] = {"?", "Empty", "Named", "Hex"};
  return r ? fmt::format("ok {:#x}", r->bits()) : kNames[static_cast<int>(r.error())];
}
std::string parse_outcome(std::string_view text) { return outcome(Rights::parse(text)); }

TEST(Rights, FlagTableAndExactNames) {
  ASSERT_EQ(Rights::table().size(), std::size(kFlags));
  for (std::size_t i = 0; i < std::size(kFlags); ++i) {
    EXPECT_EQ(Rights::table()[i].name, kFlags[i].first);
    EXPECT_EQ(Rights::table()[i].value, R(kFlags[i].second));
    EXPECT_EQ(Rights::from_name(kFlags[i].first), R(kFlags[i].second));
  }
  for (std::string_view text : {""s, "read_raw"s, "READ_RAW_"s, " READ_RAW"s, "0x2"s, "2"s,
                                "READ_RAW\0"s, "READ_RAW\xC2\xA0"s, "READ_FEATURES | READ_RAW"s}) {
    EXPECT_FALSE(Rights::from_name(text).has_value()) << hex_of(text);
  }
}

// Text format strings format the display (with '?', the diagnostic) form as a string would; numeric
// format strings format the bits as a std::uint32_t would.
TEST(Rights, FormatStringsMatchStringAndNumberFormatting) {
  for (const std::uint32_t v : {0u, 2u, 97u, 0x12345678u, 0xDEADBEEFu, kAllBits}) {
    SCOPED_TRACE(v);
    for (const char* form : {"{}", "{:>40}", "{:*^50}", "{:5}", "{:-<3}"}) {
      EXPECT_EQ(fmt::format(fmt::runtime(form), R(v)),
                fmt::format(fmt::runtime(form), R(v).to_string()));
    }
    for (const std::string form : {"{:?}", "{:>40?}", "{:*^50?}", "{:_<7?}", "{:2?}"}) {
      EXPECT_EQ(fmt::format(fmt::runtime(form), R(v)),
                fmt::format(fmt::runtime(form.substr(0, form.size() - 2) + "}"), R(v).to_diagnostic()));
    }
    for (const char* form : {"{:b}", "{:o}", "{:x}", "{:X}", "{:d}", "{:#B}", "{:#o}", "{:#010x}",
                             "{:*>12x}", "{:^13X}", "{:#040b}", "{:<#34b}"}) {
      EXPECT_EQ(fmt::format(fmt::runtime(form), R(v)), fmt::format(fmt::runtime(form), v)) << form;
    }
  }
  EXPECT_THROW((void)fmt::format(fmt::runtime("{:+d}"), R(1)), fmt::format_error);  // unsigned
  EXPECT_THROW((void)fmt::format(fmt::runtime("{: d}"), R(1)), fmt::format_error);
  EXPECT_EQ(fmt::format("{:#x}|{:08b}", R(0x12), R(0x12)), "0x12|00010010");
  EXPECT_EQ(fmt::format("{:>6?}", Rights::empty()), "   0x0");
  EXPECT_EQ((std::ostringstream() << R(42)).str(), "READ_RAW | LICENSE_GRANT | 0x20");
  // Dynamic widths: the formatter once took the nested "{}" for the end of its field, and the
  // diagnostic form once took its width from the wrong argument.
  EXPECT_EQ(fmt::format("{:{}x}", R(0x12), 10), fmt::format("{:{}x}", 0x12u, 10));
  EXPECT_EQ(fmt::format("{:*>{}}", R(0x12), 30), fmt::format("{:*>{}}", R(0x12).to_string(), 30));
  EXPECT_EQ(fmt::format(fmt::runtime("{:_>{}?}|{}"), R(0), 5, 7), "__0x0|7");
}

// Random and edge values against the model of the text forms and of iteration: the named flags
// in table order, then one piece holding all the unnamed bits.
TEST(Rights, TextFormsAndIterationAgreeWithTheModel) {
  std::mt19937_64 rng(test::test_seed());
  std::vector<std::uint32_t> values = {0, 1, 31, 42, 0x80000000u, 0xFFFFFFE0u, kAllBits};
  for (int i = 0; i < 3000; ++i) values.push_back(static_cast<std::uint32_t>((rng() & rng()) >> (i % 40)));
  for (const std::uint32_t v : values) {
    SCOPED_TRACE(v);
    std::vector<std::string> parts;
    std::vector<std::uint32_t> pieces, got;
    std::vector<std::pair<std::string_view, std::uint32_t>> names, got_names;
    for (const auto& [name, bit] : kFlags) {
      if (v & bit) parts.emplace_back(name), pieces.push_back(bit), names.emplace_back(name, bit);
    }
    if (v & ~0x1Fu) parts.push_back(fmt::format("0x{:x}", v & ~0x1Fu)), pieces.push_back(v & ~0x1Fu);
    const std::string display = fmt::format("{}", fmt::join(parts, " | "));
    ASSERT_EQ(R(v).to_string(), display);
    ASSERT_EQ(R(v).to_diagnostic(), v == 0 ? "0x0" : display);
    ASSERT_EQ(parse_outcome(display), fmt::format("ok {:#x}", v));
    for (const Rights piece : R(v)) got.push_back(piece.bits());
    for (const auto& named : R(v).iter_names()) got_names.emplace_back(named.name, named.value.bits());
    ASSERT_EQ(got, pieces);
    ASSERT_EQ(got_names, names);
  }
}

TEST(Rights, SetOperations) {
  // a, b, a contains b, a intersects b, a | b, a - b: unnamed bits take part like named ones.
  const std::tuple<std::uint32_t, std::uint32_t, bool, bool, std::uint32_t, std::uint32_t> cases[] = {
      {0, 0, true, false, 0, 0},          {1, 3, false, true, 3, 0},
      {3, 1, true, true, 3, 2},           {0x40, 0x41, false, true, 0x41, 0},
      {0x101, 0x100, true, true, 0x101, 1}, {kAllBits, 2, true, true, kAllBits, ~2u},
      {~0x1Fu, 0x1F, false, false, kAllBits, ~0x1Fu}};
  for (const auto& [x, y, contains, intersects, unite, without] : cases) {
    SCOPED_TRACE(fmt::format("{:#x} {:#x}", x, y));
    const Rights a = R(x), b = R(y);
    Rights ins = a, rem = a, ior = a;
    ins.insert(b), rem.remove(b), ior |= b;
    EXPECT_EQ(std::tuple(a.contains(b), a.intersects(b), (a & b).bits()),
              std::tuple(contains, intersects, x & y));
    for (const Rights u : {a.union_(b), a | b, ins, ior}) EXPECT_EQ(u.bits(), unite);
    for (const Rights d : {a.difference(b), a - b, rem}) EXPECT_EQ(d.bits(), without);
  }
}

TEST(Rights, ParseCases) {
  const std::pair<std::string, const char*> cases[] = {
      {"", "ok 0x0"}, {" \t\n\v\f\r ", "ok 0x0"}, {"|", "Empty"}, {"READ_RAW | ", "Empty"},
      {"| READ_RAW", "Empty"}, {"READ_RAW||COMPUTE_USE", "Empty"}, {"READ_RAW | \t | 0x1", "Empty"},
      {" READ_RAW|COMPUTE_USE ", "ok 0x12"}, {"READ_RAW | READ_RAW", "ok 0x2"},
      {"COMPUTE_USE | LICENSE_GRANT | TRANSFER_OWNERSHIP | READ_RAW | READ_FEATURES", "ok 0x1f"},
      {"0x2 | READ_RAW", "ok 0x2"}, {"0x60 | READ_FEATURES", "ok 0x61"}, {"read_raw", "Named"},
      {"READ_RAW_", "Named"}, {"READ", "Named"}, {"READ RAW", "Named"}, {"READ_RAW\0"s, "Named"},
      // Hex pieces: "0x" and digits only, at least one, below 2^32 however many leading zeros.
      {"0X10", "Named"}, {"10", "Named"}, {"0x" + std::string(100, '0') + "1", "ok 0x1"},
      {"0x", "Hex"}, {"  0x  ", "Hex"}, {"0x1g", "Hex"}, {"0x100000000", "Hex"},
      {"0x000000100000000", "Hex"}, {"0x10000000000000000", "Hex"}, {"0x+1", "Hex"},
      {"0x-1", "Hex"}, {"0x 1", "Hex"}, {"0x1_0", "Hex"}, {"0x0x1", "Hex"}, {"0x0", "ok 0x0"},
      {"0xFFFFFFFF", "ok 0xffffffff"}, {"0xDeadBeef", "ok 0xdeadbeef"}, {" 0x40 ", "ok 0x40"},
      // The first failing piece from the left decides.
      {"bogus | 0xg", "Named"}, {"0xg | bogus", "Hex"}, {"READ_RAW | | bogus", "Empty"},
      {"bogus | |", "Named"}, {"|0xg", "Empty"},
      // Unicode white space is trimmed, never inside a name.
      {"\xE3\x80\x80READ_RAW\xE2\x80\xA9|\xC2\x85" "COMPUTE_USE\xC2\xA0", "ok 0x12"},
      {"\xE2\x80\xA8\xC2\xA0\xE1\x9A\x80", "ok 0x0"}, {"READ\xC2\xA0RAW", "Named"},
      // Malformed UTF-8 is never white space: lone continuation and lead bytes, truncated,
      // overlong, surrogate and out-of-range forms.
      {"\x85", "Named"}, {"\x85READ_RAW", "Named"}, {"READ_RAW\xA0", "Named"}, {"\xC2", "Named"},
      {"READ_RAW\xC2", "Named"}, {"\xE2\x80", "Named"}, {"\xE2\x80READ_RAW", "Named"},
      {"READ_RAW \xE3\x80", "Named"}, {"\xC0\xA0READ_RAW", "Named"}, {"READ_RAW\xC0\x89", "Named"},
      {"\xE0\x80\xA0READ_RAW", "Named"}, {"\xF0\x80\x80\xA0READ_RAW", "Named"},
      {"\xE2\xE2\x80\x80READ_RAW", "Named"}, {"READ_RAW\xE2\xE2\x80\x80", "Named"},
      {"READ_RAW\xE2\xC2\x85", "Named"}, {"\xFF", "Named"}, {"\xED\xA0\x80", "Named"},
      {"\xF4\x90\x80\x80", "Named"}, {"READ_RAW|\x80", "Named"}, {"\x80|0xg", "Named"},
      {"\xE2\x80\xA8\x80", "Named"}, {"0x10\x80", "Hex"}, {"\xC2\x85READ_RAW\xE2\x80\xAF", "ok 0x2"}};
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(parse_outcome(text), expected) << hex_of(text);
    EXPECT_EQ(outcome(ref_parse(text)), expected) << "model, " << hex_of(text);
  }
}

// Every code point, alone and around a name: only the White_Space ones are trimmed.
TEST(Rights, OnlyWhiteSpaceCodePointsAreTrimmed) {
  int mismatches = 0;
  for (char32_t c = 0; c <= 0x10FFFF && mismatches < 20; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    const std::string s = utf8(c), other = c == '|' ? "Empty" : "Named";
    const bool ws = is_white_space(c);
    const std::string around = parse_outcome(s + "READ_RAW" + s), alone = parse_outcome(s);
    if (around != (ws ? "ok 0x2" : other) || alone != (ws ? "ok 0x0" : other)) {
      ADD_FAILURE() << fmt::format("U+{:04X}: around {}, alone {}", std::uint32_t{c}, around, alone);
      ++mismatches;
    }
    if (ws) {
      EXPECT_EQ(parse_outcome(s + s + "0x40" + s + "|" + s + "COMPUTE_USE" + s), "ok 0x50");
      EXPECT_EQ(parse_outcome("READ_RAW|" + s + "|COMPUTE_USE"), "Empty") << hex_of(s);
      EXPECT_EQ(parse_outcome("0x" + s + "40"), "Hex") << hex_of(s);
    }
  }
}

// Texts built from names, hex pieces, separators, white space and malformed UTF-8, and texts of
// arbitrary bytes, parsed by the library and by the model.
TEST(Rights, ParseAgreesWithTheModelOnRandomTexts) {
  std::mt19937_64 rng(test::test_seed());
  std::vector<std::string> pieces = {
      "READ_FEATURES", "READ_RAW", "COMPUTE_USE", "READ", "0x", "0X", "0", "f", "F", "g", "+",
      "100000000", "ffffffff", "|", "|", " ", "\t", "\xE2\x80\x8B", "\xEF\xBB\xBF", "\xC2",
      "\xE2\x80", "\x85", "\xA0", "\xC0\xA0", "\xFF", "\xED\xA0\x80", "\x80", "\xE3\x80", "\0"s};
  for (const char32_t c : kWhiteSpace) pieces.push_back(utf8(c));
  for (int i = 0; i < 40000; ++i) {
    std::string text;
    for (std::size_t n = rng() % 9; n > 0; --n) {
      text += i % 2 ? pieces[rng() % pieces.size()] : std::string(1, static_cast<char>(rng()));
    }
    const auto got = Rights::parse(text);
    ASSERT_EQ(outcome(got), outcome(ref_parse(text))) << hex_of(text);
    ASSERT_EQ(got ? parse_outcome(got->to_string()) : outcome(got), outcome(got)) << hex_of(text);
  }
}

// Writes the 180-byte little-endian binary form by hand: the layout a token must have.
struct TokenLayout {
  std::array<std::uint8_t, 32> scope{}, holder{}, issuer{};
  std::uint32_t rights = 3;
  std::uint64_t exp = 300, sig_len = 64;
  std::array<std::uint8_t, 64> sig{};

  TokenLayout() {
    for (std::uint8_t i = 0; i < 64; ++i) {
      if (i < 32) scope[i] = i, holder[i] = 0x40 + i, issuer[i] = 0x60 + i;
      sig[i] = 0x80 + i;
    }
  }
  Bytes bytes() const {
    Bytes out(scope.begin(), scope.end());
    auto le = [&](std::uint64_t v, int n) {
      for (int i = 0; i < n; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    };
    le(rights, 4);
    le(exp, 8);
    out.insert(out.end(), holder.begin(), holder.end());
    out.insert(out.end(), issuer.begin(), issuer.end());
    le(sig_len, 8);
    out.insert(out.end(), sig.begin(), sig.end());
    return out;
  }
};

Bytes prefix(ByteView b, std::size_t n) { return Bytes(b.begin(), b.begin() + std::ptrdiff_t(n)); }
Bytes encoded(const CapToken& t) {
  const auto form = cap_encode(t);
  return Bytes(form.begin(), form.end());
}

TEST(CapToken, BinaryFormIsTheLayout) {
  for (const auto& [rights, exp] : {std::pair{3u, std::uint64_t{300}}, {0u, std::uint64_t{0}},
                                    {kAllBits, ~std::uint64_t{0}}, {1u << 31, std::uint64_t{1} << 63}}) {
    TokenLayout layout;
    layout.rights = rights, layout.exp = exp;
    const Bytes form = layout.bytes();
    const auto token = cap_decode(form);
    ASSERT_TRUE(token.has_value());
    EXPECT_EQ(*token, (CapToken{layout.scope, R(rights), exp, layout.holder, layout.issuer, layout.sig}));
    EXPECT_EQ(encoded(*token), form);
    const Bytes signed_bytes = cap_signed_bytes(*token);
    EXPECT_EQ(signed_bytes, prefix(form, kCapSignedSize));
    EXPECT_EQ(signed_bytes.capacity(), kCapSignedSize);  // allocated once, at its final size
    std::array<std::uint8_t, kCapSignedSize> into{};
    cap_signed_bytes_into(*token, into);
    EXPECT_EQ(Bytes(into.begin(), into.end()), signed_bytes);
  }
  // rights READ_FEATURES | READ_RAW, exp_ts 300 and the length word, as they appear on the wire.
  const Bytes form = TokenLayout().bytes();
  EXPECT_EQ(to_hex(ByteView(form).subspan(32, 12)), "030000002c01000000000000");
  EXPECT_EQ(to_hex(ByteView(form).subspan(108, 8)), "4000000000000000");
  // Each byte belongs to one field: the signed bytes are the first 108, the signature the last 64.
  for (std::size_t i = 0; i < kCapTokenSize; ++i) {
    Bytes altered = form;
    altered[i] ^= 0x01;
    const auto token = cap_decode(altered);
    ASSERT_EQ(token.has_value(), i < 108 || i >= 116) << i;  // the length word must say 64
    if (!token) continue;
    EXPECT_EQ(encoded(*token), altered) << "byte " << i;
    EXPECT_EQ(cap_signed_bytes(*token), prefix(i < 108 ? altered : form, 108)) << "byte " << i;
  }
}

TEST(CapToken, DecodeRefusesIncompleteTokensAndOtherSignatureLengths) {
  // The length word, the input's length and the verdict.
  const std::tuple<std::uint64_t, std::size_t, const char*> cases[] = {
      {64, 0, "Truncated"}, {64, 107, "Truncated"}, {64, 115, "Truncated"}, {64, 116, "Truncated"},
      {64, 179, "Truncated"}, {64, 180, "ok"}, {64, 181, "ok"}, {64, 1000, "ok"},
      {63, 180, "SignatureLength"}, {63, 179, "SignatureLength"}, {0, 116, "SignatureLength"},
      {65, 180, "Truncated"}, {65, 181, "SignatureLength"}, {128, 400, "SignatureLength"},
      {(1ull << 32) + 64, 5000, "Truncated"}, {(1ull << 56) + 64, 180, "Truncated"},
      {~0ull, 180, "Truncated"}};
  for (const auto& [sig_len, length, expected] : cases) {
    SCOPED_TRACE(fmt::format("length word {}, {} bytes", sig_len, length));
    TokenLayout layout;
    layout.sig_len = sig_len;
    Bytes form = layout.bytes();
    form.resize(length, 0x5A);
    const auto token = cap_decode(form);
    constexpr const char* kErrors[] = {"Truncated", "SignatureLength"};
    EXPECT_STREQ(token ? "ok" : kErrors[static_cast<int>(token.error())], expected);
    if (!token) continue;
    EXPECT_EQ(encoded(*token), prefix(form, kCapTokenSize));
  }
}

// RFC 8032 section 7.1, TEST 1 and TEST 2: seeds and their public keys.
constexpr const char* kIssuerSeedHex = "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60";
constexpr const char* kIssuerPubHex = "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a";
constexpr const char* kOtherSeedHex = "4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb";
constexpr const char* kOtherPubHex = "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c";

// The error of a result, or nothing when it succeeded.
class CapIssue : public ::testing::Test {
 protected:
  const Seed issuer_seed{test::array_from_hex<32>(kIssuerSeedHex)};
  const PublicKey issuer_pub{test::array_from_hex<32>(kIssuerPubHex)};
  const PublicKey holder_pub{test::array_from_hex<32>(kOtherPubHex)};
  const Cid scope{test::array_from_hex<32>(
      "5c5c5c5c5c5c5c5c00112233445566778899aabbccddeeff0123456789abcdef")};

  CapToken issue(Rights rights = R(0x80000012u), std::uint64_t exp = 1'900'000'000) const {
    auto token = cap_issue(issuer_seed, issuer_pub, scope, rights, exp, holder_pub);
    EXPECT_TRUE(token.has_value());
    return token.value_or(CapToken{});
  }
};

// The signature is the issuer's Ed25519 signature over the hand-written layout's first 108
// bytes, as Python's cryptography makes it. Expiry and rights are not cap_verify's concern.
TEST_F(CapIssue, SignsTheLayoutAsPythonCryptographyDoes) {
  std::vector<std::string> args = {kIssuerSeedHex};
  std::string expected;
  for (const auto& [rights, exp] : {std::pair{R(0x80000012u), std::uint64_t{1'900'000'000}},
                                    {R(0), std::uint64_t{0}}, {R(kAllBits), ~std::uint64_t{0}}}) {
    const CapToken token = issue(rights, exp);
    EXPECT_EQ(token, (CapToken{scope, rights, exp, holder_pub, issuer_pub, token.signature}));
    EXPECT_EQ(error_of(cap_verify(token, holder_pub)), std::nullopt);
    TokenLayout layout;
    layout.scope = scope, layout.rights = rights.bits(), layout.exp = exp;
    layout.holder = holder_pub, layout.issuer = issuer_pub;
    args.push_back(to_hex(prefix(layout.bytes(), 108)));
    expected += to_hex(token.signature) + "\n";
  }
  if (!test::python_present()) GTEST_SKIP() << test::kPython << " is absent";
  const std::string script = R"(import sys
try:
    from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey
except ImportError:
    sys.exit(print("missing"))
key = Ed25519PrivateKey.from_private_bytes(bytes.fromhex(sys.argv[1]))
for m in sys.argv[2:]: print(key.sign(bytes.fromhex(m)).hex())
)";
  std::string out;
  ASSERT_TRUE(test::run_python(script, args, out));
  if (out == "missing\n") GTEST_SKIP() << "Python's cryptography package is absent";
  EXPECT_EQ(out, expected);
}

// Only the named holder may present a token; that is checked before the signature.
TEST_F(CapIssue, AnyOtherPresenterIsRefused) {
  CapToken token = issue();
  std::vector<PublicKey> presenters = {issuer_pub, PublicKey{}};
  for (std::size_t i = 0; i < 64; ++i) {
    presenters.push_back(holder_pub);
    presenters.back()[i / 2] ^= i % 2 ? 0x80 : 0x01;
  }
  for (const Signature sig : {token.signature, Signature{}}) {
    token.signature = sig;
    for (const PublicKey& presenter : presenters) {
      EXPECT_EQ(error_of(cap_verify(token, presenter)), TessellaError(ErrorKind::CapabilityInvalid))
          << to_hex(presenter);
    }
  }
  EXPECT_EQ(error_of(cap_verify(token, holder_pub)), TessellaError(ErrorKind::SignatureInvalid));
}

// Three bits of every byte of every field, altered in the binary form.
TEST_F(CapIssue, EveryAlteredFieldIsRefused) {
  const auto form = cap_encode(issue());
  for (std::size_t i = 0; i < kCapTokenSize; ++i) {
    if (i >= 108 && i < 116) continue;  // the length word: see BinaryFormIsTheLayout
    const bool in_holder = i >= 44 && i < 76;
    for (const std::uint8_t bit : {0x01, 0x10, 0x80}) {
      SCOPED_TRACE(fmt::format("byte {} bit {:#x}", i, bit));
      auto altered = form;
      altered[i] ^= bit;
      const auto token = cap_decode(altered);
      ASSERT_TRUE(token.has_value());
      // Presented by the original holder, then by whoever the altered token names.
      EXPECT_EQ(error_of(cap_verify(*token, holder_pub)),
                TessellaError(in_holder ? ErrorKind::CapabilityInvalid : ErrorKind::SignatureInvalid));
      EXPECT_EQ(error_of(cap_verify(*token, token->holder_pub)),
                TessellaError(ErrorKind::SignatureInvalid));
    }
  }
}

// issuer_pub is taken as passed; a token verifies only if it names the key that signed it.
TEST_F(CapIssue, IssuerKeyMustBeTheSignersPoint) {
  // y = 2 has no x; y = p is not canonical; then a valid key of another seed.
  for (const char* hex : {"0200000000000000000000000000000000000000000000000000000000000000",
                          "edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
                          kOtherPubHex}) {
    const PublicKey pub{test::array_from_hex<32>(hex)};
    const auto token = cap_issue(issuer_seed, pub, scope, R(1), 1, holder_pub);
    ASSERT_TRUE(token.has_value()) << hex;
    EXPECT_EQ(token->issuer_pub, pub);
    EXPECT_EQ(error_of(cap_verify(*token, holder_pub)), TessellaError(ErrorKind::SignatureInvalid));
  }
  const auto own = cap_issue(Seed{test::array_from_hex<32>(kOtherSeedHex)},
                             PublicKey{test::array_from_hex<32>(kOtherPubHex)}, scope, R(1), 1, holder_pub);
  ASSERT_TRUE(own.has_value());
  EXPECT_EQ(error_of(cap_verify(*own, holder_pub)), std::nullopt);
}

}  // namespace
}  // namespace tessella
