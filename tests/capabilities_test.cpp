// Capability tokens: issuing and verifying. The binary form is held to its layout by the
// capabilities_token fuzz target (whose corpus replays with the tests) and by crosscheck.py.
#include "tessella/capabilities.hpp"

#include <cstdint>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "vectors.hpp"

namespace tessella {
namespace {

using test::error_of;
using test::to_hex;

Rights R(std::uint32_t bits) { return Rights::from_bits_retain(bits); }

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

// Tamper matrix: three bits of every byte of every field, altered in the binary form, presented by
// the original holder and by whoever the altered token names.
TEST_F(CapIssue, EveryAlteredFieldIsRefused) {
  const auto form = cap_encode(issue());
  for (std::size_t i = 0; i < kCapTokenSize; ++i) {
    if (i >= 108 && i < 116) continue;  // the length word must say 64
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

}  // namespace
}  // namespace tessella
