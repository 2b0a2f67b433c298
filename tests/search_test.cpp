// Blind-index tokens: HMAC-SHA-256 of a term under an index key.
#include "tessella/search.hpp"

#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include "vectors.hpp"

namespace tessella {
namespace {

using test::error_of;
using namespace std::string_view_literals;
using test::to_hex;

std::string token_hex(ByteView key, ByteView term) {
  const auto token = blind_index(key, term);
  return token ? to_hex(*token) : "error: " + token.error().message();
}

// HMAC-SHA-256 through OpenSSL's one-shot HMAC(), independent of blind_index.
std::string oracle_hex(ByteView key, ByteView term) {
  static const std::uint8_t kNothing = 0;  // a real pointer even for no bytes
  const auto* k = key.empty() ? &kNothing : key.data();
  const auto* t = term.empty() ? &kNothing : term.data();
  std::uint8_t mac[32];
  unsigned int len = 0;
  const bool ok = HMAC(EVP_sha256(), k, static_cast<int>(key.size()), t, term.size(), mac, &len);
  return ok && len == 32 ? to_hex(ByteView(mac, 32)) : "OpenSSL HMAC() failed";
}

// HMAC-SHA-256 with an empty key over an empty message (the other RFC 4231 cases are among the
// Wycheproof ones below).
TEST(BlindIndex, EmptyKeyAndTerm) {
  EXPECT_EQ(token_hex({}, {}), "b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad");
}

// A valid case's tag (full, or truncated to tagSize bits) is a prefix of the token; an invalid
// case's altered tag is not.
TEST(BlindIndex, WycheproofHmacSha256) {
  TESSELLA_REQUIRE_SHARED();
  std::vector<test::WycheproofCase> cases;
  ASSERT_TRUE(test::read_wycheproof("hmac_sha256_test.json", cases));
  for (const auto& c : cases) {
    const std::string tag = to_hex(c.hex("tag")), token = token_hex(c.hex("key"), c.hex("msg"));
    ASSERT_EQ(token.size(), 64u) << c.where << ": " << token;
    const std::string prefix = token.substr(0, tag.size());
    ASSERT_EQ(tag.size() * 4, c.group.at("tagSize").get<std::size_t>()) << c.where;
    EXPECT_EQ(prefix == tag, c.valid) << c.where;
  }
}

// Terms are taken byte for byte (letter case, white space, Unicode normalisation and NUL all
// count), and keys of every length work, compared with OpenSSL's HMAC().
TEST(BlindIndex, MatchesOpenSslHmac) {
  const Bytes key(32, 0x42);
  for (std::string_view term : {"alice"sv, "Alice"sv, " alice"sv, "alice\n"sv, "caf\xC3\xA9"sv,
                                "cafe\xCC\x81"sv, "alice\0"sv, ""sv}) {
    EXPECT_EQ(token_hex(key, test::bytes_of(term)), oracle_hex(key, test::bytes_of(term))) << term;
  }
  std::mt19937_64 rng(test::test_seed());
  for (int i = 0; i < 200; ++i) {
    // Empty, shorter and longer than a block.
    const Bytes key = test::random_bytes(rng, rng() % 300), term = test::random_bytes(rng, rng() % 300);
    ASSERT_EQ(token_hex(key, term), oracle_hex(key, term)) << "iteration " << i;
  }
}

}  // namespace
}  // namespace tessella
