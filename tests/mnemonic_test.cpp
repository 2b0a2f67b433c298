// Recovery phrases (BIP-39, English) and the keys restored from them. Refusals and white space are
// held to the rules by the mnemonic_restore fuzz target, whose corpus replays with the tests.
#include "tessella/mnemonic.hpp"

#include <algorithm>
#include <set>

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include "vectors.hpp"
#include "mnemonic_internal.hpp"

namespace tessella {
namespace {

using test::error_of;
using test::to_hex;

// Words split at every single space: a doubled space shows as an empty word.
std::vector<std::string> words_of(std::string_view s) { return test::split(s, ' '); }

std::string keys_hex(std::string_view phrase) {
  auto keys = restore_keys(phrase);
  return keys ? to_hex(keys->enc_key.secret_bytes()) + " " + to_hex(keys->sign_seed.secret_bytes()) : "refused";
}

const TessellaError kInvalidMnemonic = TessellaError::invalid_format("invalid mnemonic");
std::string abandons(int n) { return n == 0 ? "" : "abandon " + abandons(n - 1); }
const std::string kZero12 = abandons(11) + "about", kZero24 = abandons(23) + "art";  // all-zero entropy

// The word list against its published SHA-256 and file; every English vector: entropy to phrase,
// phrase and "TREZOR" to seed, and the phrase restores.
TEST(Bip39, PublishedListAndVectors) {
  std::string joined;
  for (std::string_view w : detail::bip39_english()) (joined += w) += '\n';
  std::uint8_t digest[32];
  SHA256(reinterpret_cast<const std::uint8_t*>(joined.data()), joined.size(), digest);
  EXPECT_EQ(to_hex(ByteView(digest, 32)), "2f5eed53a4727b4bf8880d8f3f199efc90e58503646d9ff8eff3a2ed3b24dbda");
  std::string file;
  ASSERT_TRUE(test::read_file(test::shared_vectors() / "bip39_english.txt", file));
  EXPECT_EQ(joined, file);
  nlohmann::json doc;
  ASSERT_TRUE(test::read_json(test::shared_vectors() / "bip39_vectors.json", doc));
  ASSERT_EQ(doc.at("english").size(), 24u);
  for (const auto& v : doc.at("english")) {
    const std::string phrase = v[1];
    SCOPED_TRACE(phrase);
    EXPECT_EQ(detail::entropy_to_mnemonic(test::from_hex(v[0].get<std::string>())).value_or(""), phrase);
    std::array<std::uint8_t, 64> seed{};
    ASSERT_TRUE(detail::mnemonic_to_seed(phrase, "TREZOR", seed));
    EXPECT_EQ(to_hex(seed), v[2].get<std::string>());
    EXPECT_NE(keys_hex(phrase), "refused");
  }
}

// Entropy of 16..32 bytes in steps of 4 gives 12..24 words; generate_mnemonic makes 12 or 24
// fresh, valid, restorable words; other lengths and counts are refused.
TEST(Bip39, LengthsAndCounts) {
  for (std::size_t n = 0; n <= 64; ++n) {
    const auto phrase = detail::entropy_to_mnemonic(Bytes(n, 0x5A));
    ASSERT_EQ(phrase.has_value(), n >= 16 && n <= 32 && n % 4 == 0) << n;
    EXPECT_TRUE(!phrase || (words_of(*phrase).size() == n * 3 / 4 && keys_hex(*phrase) != "refused")) << n;
  }
  for (const std::size_t count : {0UL, 11UL, 13UL, 18UL, 25UL, SIZE_MAX})
    EXPECT_EQ(error_of(generate_mnemonic(count)), TessellaError::invalid_format("invalid word count")) << count;
  std::set<std::string> seen;
  for (int i = 0; i < 64; ++i) {
    const std::size_t count = i % 2 == 0 ? 12 : 24;
    const auto phrase = generate_mnemonic(count);
    ASSERT_TRUE(phrase.has_value()) << phrase.error();
    EXPECT_EQ(words_of(*phrase).size(), count) << *phrase;
    EXPECT_TRUE(seen.insert(*phrase).second) << "repeated: " << *phrase;
    EXPECT_NE(keys_hex(*phrase), "refused") << *phrase;
  }
}

// Every word last: one in 2^(n/3) of the list completes the checksum.
TEST(RestoreKeys, LastWordChecksumDecides) {
  for (const std::string& base : {kZero12, kZero24}) {
    const std::size_t n = words_of(base).size();
    std::size_t accepted = 0;
    for (std::string_view word : detail::bip39_english()) {
      const auto keys = restore_keys(base.substr(0, base.rfind(' ') + 1) + std::string(word));
      ASSERT_TRUE(keys || keys.error() == kInvalidMnemonic) << word;
      accepted += keys.has_value();
    }
    EXPECT_EQ(accepted, std::size_t{1} << (11 - n / 3)) << n << " words";
  }
}

}  // namespace
}  // namespace tessella
