// Blind-index tokens: HMAC-SHA-256 of a term under an index key.
#include "tessella/search.hpp"

#include <string>

#include <gtest/gtest.h>

#include "vectors.hpp"

namespace tessella {
namespace {

using test::to_hex;

std::string token_hex(ByteView key, ByteView term) {
  const auto token = blind_index(key, term);
  return token ? to_hex(*token) : "error: " + token.error().message();
}

// HMAC-SHA-256 with an empty key over an empty message (the other RFC 4231 cases are among the
// Wycheproof ones below).
TEST(BlindIndex, EmptyKeyAndTerm) {
  EXPECT_EQ(token_hex({}, {}), "b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad");
}

// A valid case's tag (full, or truncated to tagSize bits) is a prefix of the token; an invalid
// case's altered tag is not.
TEST(BlindIndex, WycheproofHmacSha256) {
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

}  // namespace
}  // namespace tessella
