// Blind-index tokens: HMAC-SHA-256 of a term under an index key.
#include "tessella/search.hpp"

#include <cstdint>
#include <random>
#include <set>
#include <string>
#include <string_view>

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include "tessella/error.hpp"
#include "vectors.hpp"

namespace tessella {
namespace {

using test::bytes_of;
using test::from_hex;
using test::to_hex;

// HMAC-SHA-256 through OpenSSL's one-shot HMAC(), as an oracle independent of blind_index.
std::string oracle_hex(ByteView key, ByteView term) {
  static const std::uint8_t kNothing = 0;
  std::uint8_t mac[32];
  unsigned int len = 0;
  const std::uint8_t* k = key.empty() ? &kNothing : key.data();
  const std::uint8_t* t = term.empty() ? &kNothing : term.data();
  if (HMAC(EVP_sha256(), k, static_cast<int>(key.size()), t, term.size(), mac, &len) == nullptr ||
      len != 32) {
    ADD_FAILURE() << "OpenSSL HMAC() failed";
    return {};
  }
  return to_hex(ByteView(mac, 32));
}

std::string token_hex(ByteView key, ByteView term) {
  auto token = blind_index(key, term);
  if (!token) {
    ADD_FAILURE() << "blind_index failed: " << token.error();
    return {};
  }
  return to_hex(*token);
}

// RFC 4231 section 4: the HMAC-SHA-256 outputs of test cases 1 to 7.
struct Rfc4231Case {
  const char* name;
  Bytes key;
  Bytes data;
  const char* hmac_sha256;  // case 5 lists only the first 16 bytes
};

std::string PrintTo(const Rfc4231Case& c) { return c.name; }

Bytes repeat(std::uint8_t byte, std::size_t n) { return Bytes(n, byte); }
Bytes text(std::string_view s) { return Bytes(s.begin(), s.end()); }

const Rfc4231Case kRfc4231[] = {
    {"Case1", repeat(0x0b, 20), text("Hi There"),
     "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
    {"Case2", text("Jefe"), text("what do ya want for nothing?"),
     "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
    {"Case3", repeat(0xaa, 20), repeat(0xdd, 50),
     "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
    {"Case4", test::from_hex("0102030405060708090a0b0c0d0e0f10111213141516171819"), repeat(0xcd, 50),
     "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
    {"Case5Truncated", repeat(0x0c, 20), text("Test With Truncation"),
     "a3b6167473100ee06e0c796c2955552b"},
    {"Case6LongKey", repeat(0xaa, 131), text("Test Using Larger Than Block-Size Key - Hash Key First"),
     "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
    {"Case7LongKeyAndData", repeat(0xaa, 131),
     text("This is a test using a larger than block-size key and a larger than block-size data. "
          "The key needs to be hashed before being used by the HMAC algorithm."),
     "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
};

class BlindIndexRfc4231 : public ::testing::TestWithParam<Rfc4231Case> {};

TEST_P(BlindIndexRfc4231, TokenIsTheListedMac) {
  const auto& c = GetParam();
  const std::string expected = c.hmac_sha256;
  const std::string got = token_hex(c.key, c.data);
  ASSERT_EQ(got.size(), 64u);
  // The token itself is never truncated; only the comparison follows the listed length.
  EXPECT_EQ(got.substr(0, expected.size()), expected);
  EXPECT_EQ(got, oracle_hex(c.key, c.data));
}

INSTANTIATE_TEST_SUITE_P(Rfc4231, BlindIndexRfc4231, ::testing::ValuesIn(kRfc4231),
                         [](const auto& test_info) { return std::string(test_info.param.name); });

// Wycheproof HMAC-SHA-256: a valid case's tag (full or truncated to tagSize bits) is a prefix of
// the token; an invalid case's modified tag is not.
TEST(BlindIndex, WycheproofHmacSha256) {
  TESSELLA_REQUIRE_SHARED();
  nlohmann::json doc;
  ASSERT_TRUE(test::read_json(test::shared_vectors() / "wycheproof" / "hmac_sha256_test.json", doc));
  ASSERT_EQ(doc.at("algorithm"), "HMACSHA256");
  std::size_t valid = 0, invalid = 0;
  for (const auto& group : doc.at("testGroups")) {
    ASSERT_EQ(group.at("type"), "MacTest");
    const std::size_t key_bits = group.at("keySize");
    const std::size_t tag_bits = group.at("tagSize");
    for (const auto& t : group.at("tests")) {
      const int id = t.at("tcId");
      const Bytes key = from_hex(t.at("key").get<std::string>());
      const Bytes msg = from_hex(t.at("msg").get<std::string>());
      const std::string tag = t.at("tag");
      const std::string result = t.at("result");
      ASSERT_EQ(key.size() * 8, key_bits) << "tcId " << id;
      ASSERT_EQ(tag.size() * 4, tag_bits) << "tcId " << id;
      for (const auto& [field, value] : t.items()) {
        static const std::set<std::string> kKnown = {"tcId", "comment", "flags", "key",
                                                     "msg",  "tag",     "result"};
        ASSERT_TRUE(kKnown.count(field)) << "unconsumed field " << field << " in tcId " << id;
      }
      const std::string prefix = token_hex(key, msg).substr(0, tag.size());
      if (result == "valid") {
        ++valid;
        EXPECT_EQ(prefix, tag) << "tcId " << id << ": " << t.at("comment");
      } else {
        ASSERT_EQ(result, "invalid") << "tcId " << id;
        ++invalid;
        EXPECT_NE(prefix, tag) << "tcId " << id << ": " << t.at("comment");
      }
    }
  }
  EXPECT_EQ(valid + invalid, doc.at("numberOfTests").get<std::size_t>());
  EXPECT_GT(valid, 0u);
  EXPECT_GT(invalid, 0u);
}

TEST(BlindIndex, EmptyKeyAndEmptyTermGiveTheStandardMac) {
  // HMAC-SHA-256 with an empty key over an empty message.
  const std::string expected = "b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad";
  EXPECT_EQ(token_hex(ByteView{}, ByteView{}), expected);
  const Bytes none;
  EXPECT_EQ(token_hex(none, none), expected);
  // An empty key with a term, and a term-less token under a key, are ordinary MACs too.
  EXPECT_EQ(token_hex(ByteView{}, bytes_of("alice")), oracle_hex(ByteView{}, bytes_of("alice")));
  EXPECT_EQ(token_hex(bytes_of("k"), ByteView{}), oracle_hex(bytes_of("k"), ByteView{}));
  EXPECT_NE(token_hex(ByteView{}, ByteView{}), token_hex(bytes_of("k"), ByteView{}));
}

TEST(BlindIndex, TermsAreTakenByteForByte) {
  const Bytes key = repeat(0x42, 32);
  // Letter case, surrounding white space and Unicode normalisation all change the token.
  const std::string_view terms[] = {
      "alice", "Alice", "ALICE", " alice", "alice ", "\talice", "alice\n", "al ice",
      "caf\xC3\xA9",         // "café" with U+00E9
      "cafe\xCC\x81",        // "café" as e + U+0301
      std::string_view("alice\0", 6),
  };
  std::set<std::string> seen;
  for (std::string_view term : terms) {
    const std::string got = token_hex(key, bytes_of(term));
    EXPECT_EQ(got, oracle_hex(key, bytes_of(term))) << test::to_hex(bytes_of(term));
    EXPECT_TRUE(seen.insert(got).second) << "token repeated for " << test::to_hex(bytes_of(term));
  }
}

TEST(BlindIndex, EqualTermsUnderOneKeyGiveEqualTokens) {
  const Bytes key = repeat(0x07, 20);
  const std::string a = "invoice 2024";
  const std::string b = a;  // a different buffer with the same bytes
  EXPECT_EQ(token_hex(key, bytes_of(a)), token_hex(key, bytes_of(b)));
}

TEST(BlindIndex, DifferentKeysGiveDifferentTokens) {
  const Bytes term = text("alice");
  // (Keys of up to 64 bytes that differ only in trailing zero bytes are the same HMAC key.)
  const Bytes keys[] = {repeat(0x01, 32), repeat(0x02, 32), repeat(0x01, 31), repeat(0x01, 33),
                        repeat(0x01, 64), repeat(0x01, 65), text("key"), text("Key")};
  std::set<std::string> seen;
  for (const Bytes& key : keys) {
    const std::string got = token_hex(key, term);
    EXPECT_EQ(got, oracle_hex(key, term)) << to_hex(key);
    EXPECT_TRUE(seen.insert(got).second) << "token repeated for key " << to_hex(key);
  }
}

// A key of up to 64 bytes is padded with zeros, a longer one hashed first: the SHA-256 of a
// long key is therefore an equivalent key, and a padded short key is not.
TEST(BlindIndex, LongKeysAreHashedFirst) {
  const Bytes long_key = repeat(0xaa, 131);
  std::uint8_t digest[32];
  unsigned int len = 0;
  ASSERT_EQ(EVP_Digest(long_key.data(), long_key.size(), digest, &len, EVP_sha256(), nullptr), 1);
  const Bytes term = text("term");
  EXPECT_EQ(token_hex(long_key, term), token_hex(ByteView(digest, 32), term));
  Bytes padded = repeat(0xaa, 20);
  padded.resize(64, 0);
  EXPECT_EQ(token_hex(repeat(0xaa, 20), term), token_hex(padded, term));
  padded.resize(65, 0);  // more than a block: hashed, so no longer equivalent
  EXPECT_NE(token_hex(repeat(0xaa, 20), term), token_hex(padded, term));
}

TEST(BlindIndex, RandomKeysAndTermsMatchOpenSslHmac) {
  const auto seed = std::random_device{}();
  std::mt19937 rng(seed);
  SCOPED_TRACE(::testing::Message() << "seed " << seed);
  std::printf("BlindIndex random seed: %u\n", seed);
  std::uniform_int_distribution<int> byte(0, 255), len(0, 300);
  for (int i = 0; i < 200; ++i) {
    Bytes key(static_cast<std::size_t>(len(rng))), term(static_cast<std::size_t>(len(rng)));
    for (auto& b : key) b = static_cast<std::uint8_t>(byte(rng));
    for (auto& b : term) b = static_cast<std::uint8_t>(byte(rng));
    ASSERT_EQ(token_hex(key, term), oracle_hex(key, term)) << "iteration " << i;
  }
}

}  // namespace
}  // namespace tessella
