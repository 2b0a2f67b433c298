// Blind-index tokens: HMAC-SHA-256 of a term under an index key.
#include "tessella/search.hpp"

#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <tuple>
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

// RFC 4231 section 4, test cases 1 to 7 (case 5 lists only the first 16 bytes of the MAC).
TEST(BlindIndex, Rfc4231) {
  const auto text = [](std::string_view s) { return Bytes(s.begin(), s.end()); };
  const std::tuple<Bytes, Bytes, const char*> cases[] = {
      {Bytes(20, 0x0b), text("Hi There"),
       "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
      {text("Jefe"), text("what do ya want for nothing?"),
       "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
      {Bytes(20, 0xaa), Bytes(50, 0xdd),
       "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
      {test::from_hex("0102030405060708090a0b0c0d0e0f10111213141516171819"), Bytes(50, 0xcd),
       "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
      {Bytes(20, 0x0c), text("Test With Truncation"), "a3b6167473100ee06e0c796c2955552b"},
      {Bytes(131, 0xaa), text("Test Using Larger Than Block-Size Key - Hash Key First"),
       "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
      {Bytes(131, 0xaa),
       text("This is a test using a larger than block-size key and a larger than block-size data. "
            "The key needs to be hashed before being used by the HMAC algorithm."),
       "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
  };
  for (const auto& [key, data, mac] : cases) {
    const std::string got = token_hex(key, data);
    ASSERT_EQ(got.size(), 64u) << got;  // never truncated; only the comparison follows the listing
    EXPECT_EQ(got.substr(0, std::string_view(mac).size()), mac);
  }
  // HMAC-SHA-256 with an empty key over an empty message.
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
