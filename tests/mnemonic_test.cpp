// Recovery phrases (BIP-39, English) and the keys restored from them.
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

std::string with_word(std::string_view phrase, std::size_t index, std::string_view word) {
  auto words = words_of(phrase);
  words.at(index) = word;
  std::string out;
  for (const auto& w : words) out += (out.empty() ? "" : " ") + w;
  return out;
}

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
  TESSELLA_REQUIRE_SHARED();
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

// Phrases that are not a valid phrase of the list, as written, are refused with one error.
TEST(RestoreKeys, RefusesInvalidPhrases) {
  const std::string tail = kZero12.substr(8);  // the last eleven words
  const std::pair<const char*, std::string> cases[] = {
      {"empty", ""}, {"white space only", " \n "}, {"checksum, 24", with_word(kZero24, 23, "abandon")},
      {"checksum, first", with_word(kZero12, 0, "zoo")}, {"4-letter prefix", with_word(kZero12, 0, "aban")},
      {"French", with_word(kZero12, 2, "abaisser")}, {"11 words", tail}, {"25 words", kZero24 + " abandon"},
      {"36 words", kZero24 + " " + kZero12}, {"upper case", with_word(kZero12, 11, "ABOUT")},
      {"no-break space", "abandon\xC2\xA0" + tail}, {"embedded NUL", "abandon" + std::string(1, '\0') + tail},
  };
  for (const auto& [name, phrase] : cases) {
    EXPECT_EQ(error_of(restore_keys(phrase)), kInvalidMnemonic) << name;
  }
}

// Every word last: one in 2^(n/3) of the list completes the checksum.
TEST(RestoreKeys, LastWordChecksumDecides) {
  for (const std::string& base : {kZero12, kZero24}) {
    const std::size_t n = words_of(base).size();
    std::size_t accepted = 0;
    for (std::string_view word : detail::bip39_english()) {
      const auto keys = restore_keys(with_word(base, n - 1, word));
      ASSERT_TRUE(keys || keys.error() == kInvalidMnemonic) << word;
      accepted += keys.has_value();
    }
    EXPECT_EQ(accepted, std::size_t{1} << (11 - n / 3)) << n << " words";
  }
}

// ASCII white space around and between words is normalised, in inputs of up to 384 bytes.
TEST(RestoreKeys, NormalisesAsciiWhiteSpace) {
  const std::tuple<const char*, const char*, const char*> spacings[] = {  // before, between, after
      {"   ", " ", ""}, {"", "  ", "\r\n"}, {"\t ", " \r\n\v\f", " \t"}};
  for (const std::string& phrase : {kZero12, kZero24}) {
    for (const auto& [before, between, after] : spacings) {
      const auto words = words_of(phrase);
      std::string text = before + words[0];
      for (std::size_t i = 1; i < words.size(); ++i) (text += between) += words[i];
      text += after;
      EXPECT_EQ(keys_hex(text), keys_hex(phrase)) << to_hex(test::bytes_of(text));
    }
  }
  std::string padded = "  " + kZero24;
  padded.resize(384, ' ');
  EXPECT_EQ(keys_hex(padded), keys_hex(kZero24));
  EXPECT_EQ(error_of(restore_keys(padded + " ")), kInvalidMnemonic);
}

}  // namespace
}  // namespace tessella
