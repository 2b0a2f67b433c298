// Capability tokens: the binary form, issuing and verifying. The byte layout itself is rebuilt
// independently by crosscheck.py.
#include "tessella/capabilities.hpp"

#include <cstdint>
#include <tuple>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "vectors.hpp"

namespace tessella {
namespace {

using test::error_of;
using test::to_hex;

Rights R(std::uint32_t bits) { return Rights::from_bits_retain(bits); }
Bytes encoded(const CapToken& t) {
  const auto form = cap_encode(t);
  return Bytes(form.begin(), form.end());
}
Bytes prefix(ByteView b, std::size_t n) { return Bytes(b.begin(), b.begin() + std::ptrdiff_t(n)); }

// A token whose fields hold distinct bytes.
CapToken patterned(std::uint32_t rights, std::uint64_t exp) {
  CapToken t{{}, R(rights), exp, {}, {}, {}};
  for (std::uint8_t i = 0; i < 64; ++i) {
    if (i < 32) t.scope_cid[i] = i, t.holder_pub[i] = 0x40 + i, t.issuer_pub[i] = 0x60 + i;
    t.signature[i] = 0x80 + i;
  }
  return t;
}

// Decoding gives back the encoded token; the signed bytes are the first 108; each byte belongs to
// one field, and only the length word (bytes 108 to 115) must hold one value, 64.
TEST(CapToken, BinaryFormRoundTripsByteForByte) {
  for (const auto& [rights, exp] : {std::pair{3u, std::uint64_t{300}}, {~0u, ~std::uint64_t{0}},
                                    {1u << 31, std::uint64_t{1} << 63}}) {
    const CapToken token = patterned(rights, exp);
    const Bytes form = encoded(token);
    EXPECT_EQ(cap_decode(form), token);
    EXPECT_EQ(cap_signed_bytes(token), prefix(form, kCapSignedSize));
    EXPECT_EQ(to_hex(ByteView(form).subspan(108, 8)), "4000000000000000");
    for (std::size_t i = 0; i < kCapTokenSize; ++i) {
      Bytes altered = form;
      altered[i] ^= 0x01;
      const auto decoded = cap_decode(altered);
      ASSERT_EQ(decoded.has_value(), i < 108 || i >= 116) << i;
      if (decoded) EXPECT_EQ(encoded(*decoded), altered) << "byte " << i;
    }
  }
}

TEST(CapToken, DecodeRefusesIncompleteTokensAndOtherSignatureLengths) {
  // The length word, the input's length and the verdict.
  const std::tuple<std::uint64_t, std::size_t, const char*> cases[] = {
      {64, 0, "Truncated"}, {64, 115, "Truncated"}, {64, 116, "Truncated"}, {64, 179, "Truncated"},
      {64, 180, "ok"}, {64, 1000, "ok"}, {63, 180, "SignatureLength"}, {0, 116, "SignatureLength"},
      {65, 180, "Truncated"}, {65, 181, "SignatureLength"}, {(1ull << 56) + 64, 180, "Truncated"},
      {~0ull, 180, "Truncated"}};
  for (const auto& [sig_len, length, expected] : cases) {
    Bytes form = encoded(patterned(3, 300));
    for (int i = 0; i < 8; ++i) form[108 + i] = static_cast<std::uint8_t>(sig_len >> (8 * i));
    form.resize(length, 0x5A);
    const auto token = cap_decode(form);
    constexpr const char* kErrors[] = {"Truncated", "SignatureLength"};
    EXPECT_STREQ(token ? "ok" : kErrors[static_cast<int>(token.error())], expected)
        << "length word " << sig_len << ", " << length << " bytes";
  }
}

// RFC 8032 section 7.1, TEST 1 and TEST 2: seeds and their public keys.
constexpr const char* kIssuerSeedHex = "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60";
constexpr const char* kIssuerPubHex = "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a";
constexpr const char* kOtherPubHex = "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c";

class CapIssue : public ::testing::Test {
 protected:
  const Seed issuer_seed{test::array_from_hex<32>(kIssuerSeedHex)};
  const PublicKey issuer_pub{test::array_from_hex<32>(kIssuerPubHex)};
  const PublicKey holder_pub{test::array_from_hex<32>(kOtherPubHex)};
  const Cid scope{test::array_from_hex<32>(std::string(64, '5'))};

  CapToken issue(Rights rights = R(0x80000012u), std::uint64_t exp = 1'900'000'000) const {
    auto token = cap_issue(issuer_seed, issuer_pub, scope, rights, exp, holder_pub);
    EXPECT_TRUE(token.has_value());
    return token.value_or(CapToken{});
  }
};

// The token holds what it was issued with, and only its holder may present it (checked before
// the signature); expiry and rights are not cap_verify's concern.
TEST_F(CapIssue, HoldsItsFieldsAndOnlyTheHolderMayPresentIt) {
  for (const auto& [rights, exp] : {std::pair{R(0x80000012u), std::uint64_t{1'900'000'000}},
                                    {R(0), std::uint64_t{0}}, {R(~0u), ~std::uint64_t{0}}}) {
    const CapToken token = issue(rights, exp);
    EXPECT_EQ(token, (CapToken{scope, rights, exp, holder_pub, issuer_pub, token.signature}));
    EXPECT_EQ(error_of(cap_verify(token, holder_pub)), std::nullopt);
  }
  CapToken token = issue();
  for (const Signature sig : {token.signature, Signature{}}) {
    token.signature = sig;
    for (std::size_t i = 0; i < 64; ++i) {
      PublicKey presenter = holder_pub;
      presenter[i / 2] ^= i % 2 ? 0x80 : 0x01;
      EXPECT_EQ(error_of(cap_verify(token, i == 0 ? issuer_pub : presenter)),
                TessellaError(ErrorKind::CapabilityInvalid)) << i;
    }
  }
  EXPECT_EQ(error_of(cap_verify(token, holder_pub)), TessellaError(ErrorKind::SignatureInvalid));
}

// Tamper matrix: three bits of every byte of every field, altered in the binary form, presented by
// the original holder and by whoever the altered token names.
TEST_F(CapIssue, EveryAlteredFieldIsRefused) {
  const auto form = cap_encode(issue());
  for (std::size_t i = 0; i < kCapTokenSize; ++i) {
    if (i >= 108 && i < 116) continue;  // the length word: see BinaryFormRoundTripsByteForByte
    const bool in_holder = i >= 44 && i < 76;
    for (const std::uint8_t bit : {0x01, 0x10, 0x80}) {
      SCOPED_TRACE(fmt::format("byte {} bit {:#x}", i, bit));
      auto altered = form;
      altered[i] ^= bit;
      const auto token = cap_decode(altered);
      ASSERT_TRUE(token.has_value());
      EXPECT_EQ(error_of(cap_verify(*token, holder_pub)),
                TessellaError(in_holder ? ErrorKind::CapabilityInvalid : ErrorKind::SignatureInvalid));
      EXPECT_EQ(error_of(cap_verify(*token, token->holder_pub)),
                TessellaError(ErrorKind::SignatureInvalid));
    }
  }
}

// issuer_pub is taken as passed; a token verifies only if it names the key that signed it:
// y = 2 has no x, y = p is not canonical, then a valid key of another seed.
TEST_F(CapIssue, IssuerKeyMustBeTheSignersPoint) {
  for (const char* hex : {"0200000000000000000000000000000000000000000000000000000000000000",
                          "edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
                          kOtherPubHex}) {
    const PublicKey pub{test::array_from_hex<32>(hex)};
    const auto token = cap_issue(issuer_seed, pub, scope, R(1), 1, holder_pub);
    ASSERT_TRUE(token.has_value()) << hex;
    EXPECT_EQ(error_of(cap_verify(*token, holder_pub)), TessellaError(ErrorKind::SignatureInvalid));
  }
}

}  // namespace
}  // namespace tessella
