// Recovery phrases (BIP-39, English) and the keys restored from them.
#include "tessella/mnemonic.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include "tessella/error.hpp"
#include "vectors.hpp"

namespace tessella {
namespace {

using test::bytes_of;
using test::from_hex;
using test::to_hex;

std::vector<std::string> split_on_space(std::string_view s) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (;;) {
    const std::size_t sp = s.find(' ', start);
    out.emplace_back(s.substr(start, sp == std::string_view::npos ? sp : sp - start));
    if (sp == std::string_view::npos) return out;
    start = sp + 1;
  }
}

std::string join(const std::vector<std::string>& words) {
  std::string out;
  for (const auto& w : words) out += (out.empty() ? "" : " ") + w;
  return out;
}

const std::map<std::string_view, int>& word_index() {
  static const auto* index = [] {
    auto* m = new std::map<std::string_view, int>;
    const auto list = detail::bip39_english();
    for (int i = 0; i < 2048; ++i) (*m)[list[static_cast<std::size_t>(i)]] = i;
    return m;
  }();
  return *index;
}

// BIP-39 validity, computed by the test: known words, a defined count, matching checksum.
bool reference_valid(const std::vector<std::string>& words) {
  const std::size_t n = words.size();
  if (n < 12 || n > 24 || n % 3 != 0) return false;
  std::vector<int> bits;
  for (const auto& w : words) {
    const auto it = word_index().find(w);
    if (it == word_index().end()) return false;
    for (int b = 10; b >= 0; --b) bits.push_back((it->second >> b) & 1);
  }
  const std::size_t cs = n * 11 / 33, ent_bytes = (n * 11 - cs) / 8;
  std::vector<std::uint8_t> entropy(ent_bytes, 0);
  for (std::size_t i = 0; i < ent_bytes * 8; ++i) {
    entropy[i / 8] = static_cast<std::uint8_t>(entropy[i / 8] | (bits[i] << (7 - i % 8)));
  }
  std::uint8_t hash[32];
  SHA256(entropy.data(), entropy.size(), hash);
  for (std::size_t i = 0; i < cs; ++i) {
    if (bits[ent_bytes * 8 + i] != ((hash[i / 8] >> (7 - i % 8)) & 1)) return false;
  }
  return true;
}

// Base58Check, for the BIP-32 extended keys listed beside the BIP-39 vectors.
std::string base58check(Bytes payload) {
  std::uint8_t h1[32], h2[32];
  SHA256(payload.data(), payload.size(), h1);
  SHA256(h1, 32, h2);
  payload.insert(payload.end(), h2, h2 + 4);
  static constexpr std::string_view kAlphabet =
      "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz";
  std::string out;
  Bytes number = payload;
  while (std::any_of(number.begin(), number.end(), [](std::uint8_t b) { return b != 0; })) {
    int rem = 0;
    for (auto& b : number) {
      const int cur = rem * 256 + b;
      b = static_cast<std::uint8_t>(cur / 58);
      rem = cur % 58;
    }
    out += kAlphabet[static_cast<std::size_t>(rem)];
  }
  for (std::uint8_t b : payload) {
    if (b != 0) break;
    out += '1';
  }
  std::reverse(out.begin(), out.end());
  return out;
}

// The BIP-32 master extended private key of a seed.
std::string bip32_master_xprv(ByteView seed) {
  std::uint8_t i[64];
  unsigned int len = 0;
  const std::string_view key = "Bitcoin seed";
  HMAC(EVP_sha512(), key.data(), static_cast<int>(key.size()), seed.data(), seed.size(), i, &len);
  EXPECT_EQ(len, 64u);
  Bytes payload = {0x04, 0x88, 0xAD, 0xE4, 0, 0, 0, 0, 0, 0, 0, 0, 0};  // version, depth, parent, child
  payload.insert(payload.end(), i + 32, i + 64);                       // chain code
  payload.push_back(0);
  payload.insert(payload.end(), i, i + 32);  // private key
  return base58check(payload);
}

std::string restore_hex(std::string_view phrase) {
  auto keys = restore_keys(phrase);
  if (!keys) {
    ADD_FAILURE() << "restore_keys failed: " << keys.error() << " for \"" << phrase << "\"";
    return {};
  }
  return to_hex(keys->enc_key) + " " + to_hex(keys->sign_seed);
}

const TessellaError kInvalidMnemonic = TessellaError::invalid_format("invalid mnemonic");
const TessellaError kInvalidWordCount = TessellaError::invalid_format("invalid word count");

constexpr std::string_view kZero12 =
    "abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon about";
constexpr std::string_view kZero24 =
    "abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon "
    "abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon art";

// ---------------------------------------------------------------------------------------------
// The word list.

TEST(Bip39WordList, HasThePublishedDigest) {
  const auto list = detail::bip39_english();
  ASSERT_EQ(list.size(), 2048u);
  std::string joined;
  for (std::string_view w : list) {
    joined += w;
    joined += '\n';
  }
  std::uint8_t digest[32];
  SHA256(reinterpret_cast<const std::uint8_t*>(joined.data()), joined.size(), digest);
  EXPECT_EQ(to_hex(ByteView(digest, 32)),
            "2f5eed53a4727b4bf8880d8f3f199efc90e58503646d9ff8eff3a2ed3b24dbda");
}

TEST(Bip39WordList, EqualsThePublishedFile) {
  TESSELLA_REQUIRE_SHARED();
  std::string file;
  ASSERT_TRUE(test::read_file(test::shared_vectors() / "bip39_english.txt", file));
  std::string joined;
  for (std::string_view w : detail::bip39_english()) {
    joined += w;
    joined += '\n';
  }
  EXPECT_EQ(joined, file);
}

TEST(Bip39WordList, IsSortedLowerCaseWithUniqueFourLetterPrefixes) {
  const auto list = detail::bip39_english();
  std::set<std::string_view> prefixes;
  for (std::size_t i = 0; i < list.size(); ++i) {
    const std::string_view w = list[i];
    EXPECT_GE(w.size(), 3u) << w;
    EXPECT_LE(w.size(), 8u) << w;
    EXPECT_TRUE(std::all_of(w.begin(), w.end(), [](char c) { return c >= 'a' && c <= 'z'; })) << w;
    EXPECT_TRUE(prefixes.insert(w.substr(0, 4)).second) << w;
    if (i > 0) {
      EXPECT_LT(list[i - 1], w);
    }
  }
}

// ---------------------------------------------------------------------------------------------
// The published BIP-39 vectors.

struct Bip39Vector {
  std::string entropy, phrase, seed, xprv;
};

std::vector<Bip39Vector> load_english_vectors() {
  nlohmann::json doc;
  EXPECT_TRUE(test::read_json(test::shared_vectors() / "bip39_vectors.json", doc));
  std::vector<Bip39Vector> out;
  if (!doc.contains("english")) {
    ADD_FAILURE() << "no \"english\" section";
    return out;
  }
  for (const auto& v : doc.at("english")) {
    // Every field is used: entropy, phrase, seed for "TREZOR", BIP-32 master key.
    if (!v.is_array() || v.size() != 4) {
      ADD_FAILURE() << "unexpected vector shape: " << v.dump();
      continue;
    }
    out.push_back({v[0].get<std::string>(), v[1].get<std::string>(), v[2].get<std::string>(),
                   v[3].get<std::string>()});
  }
  return out;
}

TEST(Bip39Vectors, EntropyGivesThePhrase) {
  TESSELLA_REQUIRE_SHARED();
  const auto vectors = load_english_vectors();
  ASSERT_EQ(vectors.size(), 24u);
  std::set<std::size_t> word_counts;
  for (const auto& v : vectors) {
    const auto phrase = detail::entropy_to_mnemonic(from_hex(v.entropy));
    ASSERT_TRUE(phrase.has_value()) << v.entropy;
    EXPECT_EQ(*phrase, v.phrase) << v.entropy;
    EXPECT_TRUE(reference_valid(split_on_space(v.phrase))) << v.phrase;
    word_counts.insert(split_on_space(v.phrase).size());
  }
  EXPECT_EQ(word_counts, (std::set<std::size_t>{12, 18, 24}));
}

TEST(Bip39Vectors, PhraseAndPassphraseGiveTheSeed) {
  TESSELLA_REQUIRE_SHARED();
  const auto vectors = load_english_vectors();
  ASSERT_EQ(vectors.size(), 24u);
  for (const auto& v : vectors) {
    std::array<std::uint8_t, 64> seed{};
    ASSERT_TRUE(detail::mnemonic_to_seed(v.phrase, "TREZOR", seed)) << v.phrase;
    EXPECT_EQ(to_hex(seed), v.seed) << v.phrase;
    EXPECT_EQ(bip32_master_xprv(seed), v.xprv) << v.phrase;
    // The empty passphrase gives another seed.
    std::array<std::uint8_t, 64> plain{};
    ASSERT_TRUE(detail::mnemonic_to_seed(v.phrase, "", plain));
    EXPECT_NE(to_hex(plain), v.seed);
  }
}

TEST(Bip39Vectors, EveryPhraseRestores) {
  TESSELLA_REQUIRE_SHARED();
  for (const auto& v : load_english_vectors()) {
    const auto keys = restore_keys(v.phrase);
    ASSERT_TRUE(keys.has_value()) << v.phrase << ": " << keys.error();
    EXPECT_NE(keys->enc_key, keys->sign_seed);
  }
}

TEST(Bip39, EntropyLengthsOutsideTheStandardGiveNoPhrase) {
  for (const std::size_t n : {0, 1, 4, 12, 15, 17, 18, 30, 33, 36, 64}) {
    EXPECT_FALSE(detail::entropy_to_mnemonic(Bytes(n, 0x5A)).has_value()) << n;
  }
  const std::pair<std::size_t, std::size_t> lengths[] = {{16, 12}, {20, 15}, {24, 18}, {28, 21},
                                                         {32, 24}};
  for (const auto& [bytes, words] : lengths) {
    const auto phrase = detail::entropy_to_mnemonic(Bytes(bytes, 0x5A));
    ASSERT_TRUE(phrase.has_value()) << bytes;
    EXPECT_EQ(split_on_space(*phrase).size(), words);
    EXPECT_TRUE(reference_valid(split_on_space(*phrase))) << *phrase;
    EXPECT_TRUE(restore_keys(*phrase).has_value()) << *phrase;
  }
}

// ---------------------------------------------------------------------------------------------
// generate_mnemonic.

class GenerateMnemonic : public ::testing::TestWithParam<std::size_t> {};

TEST_P(GenerateMnemonic, GivesDistinctValidPhrasesOfListWords) {
  const std::size_t count = GetParam();
  std::set<std::string> seen;
  for (int i = 0; i < 32; ++i) {
    const auto phrase = generate_mnemonic(count);
    ASSERT_TRUE(phrase.has_value()) << phrase.error();
    const auto words = split_on_space(*phrase);  // an empty word would show a doubled space
    ASSERT_EQ(words.size(), count) << *phrase;
    for (const auto& w : words) EXPECT_TRUE(word_index().count(w)) << "\"" << w << "\" in " << *phrase;
    EXPECT_TRUE(reference_valid(words)) << *phrase;
    EXPECT_TRUE(seen.insert(*phrase).second) << "phrase repeated: " << *phrase;
    const auto keys = restore_keys(*phrase);
    ASSERT_TRUE(keys.has_value()) << *phrase;
    EXPECT_EQ(restore_hex(*phrase), to_hex(keys->enc_key) + " " + to_hex(keys->sign_seed));
  }
}

INSTANTIATE_TEST_SUITE_P(WordCounts, GenerateMnemonic, ::testing::Values(12, 24),
                         [](const auto& test_info) { return fmt::format("Words{}", test_info.param); });

TEST(GenerateMnemonicCount, OtherCountsAreRefused) {
  for (const std::size_t count : {std::size_t{0}, std::size_t{1}, std::size_t{11}, std::size_t{13},
                                  std::size_t{15}, std::size_t{18}, std::size_t{21}, std::size_t{25},
                                  std::size_t{48}, std::numeric_limits<std::size_t>::max()}) {
    const auto phrase = generate_mnemonic(count);
    ASSERT_FALSE(phrase.has_value()) << count;
    EXPECT_EQ(phrase.error(), kInvalidWordCount) << count;
    EXPECT_EQ(phrase.error().message(), "invalid frame format: invalid word count");
  }
}

// ---------------------------------------------------------------------------------------------
// restore_keys.

struct InvalidPhrase {
  const char* name;
  std::string phrase;
};

std::string PrintTo(const InvalidPhrase& c) { return c.name; }

std::string replace_word(std::string_view phrase, std::size_t index, const std::string& word) {
  auto words = split_on_space(phrase);
  words.at(index) = word;
  return join(words);
}

const InvalidPhrase kInvalidPhrases[] = {
    {"Empty", ""},
    {"SpacesOnly", "   "},
    {"NewlineOnly", "\n"},
    {"BadChecksum12", replace_word(kZero12, 11, "abandon")},
    {"BadChecksum24", replace_word(kZero24, 23, "abandon")},
    {"BadChecksumFirstWordChanged", replace_word(kZero12, 0, "zoo")},
    {"UnknownWord", replace_word(kZero12, 11, "xyzzy")},
    {"MisspelledWord", replace_word(kZero12, 3, "abandn")},
    {"FourLetterPrefix", replace_word(kZero12, 0, "aban")},
    {"WordWithExtraLetter", replace_word(kZero12, 11, "abouts")},
    {"FrenchWord", replace_word(kZero12, 2, "abaisser")},
    {"Punctuation", std::string(kZero12) + "."},
    {"Count11", join(std::vector<std::string>(11, "abandon"))},
    {"Count11FromValid", std::string(kZero12.substr(0, kZero12.rfind(' ')))},
    {"Count13", std::string(kZero12) + " abandon"},
    {"Count25", std::string(kZero24) + " abandon"},
    {"Count3", "abandon abandon about"},
    {"Count27", std::string(kZero24) + " abandon abandon about"},
    {"Count36", std::string(kZero24) + " " + std::string(kZero12)},
    {"Count48", std::string(kZero24) + " " + std::string(kZero24)},
    {"UpperCaseWord", replace_word(kZero12, 0, "ABANDON")},
    {"CapitalisedWord", replace_word(kZero12, 0, "Abandon")},
    {"UpperCasePhrase",
     "ABANDON ABANDON ABANDON ABANDON ABANDON ABANDON ABANDON ABANDON ABANDON ABANDON ABANDON ABOUT"},
    {"NoBreakSpaceSeparator", "abandon\xC2\xA0" + std::string(kZero12.substr(8))},
    {"IdeographicSpaceSeparator",
     "abandon\xE3\x80\x80" + std::string(kZero12.substr(8))},
    {"CommaSeparated", "abandon,abandon,abandon,abandon,abandon,abandon,abandon,abandon,abandon,"
                       "abandon,abandon,about"},
    {"EmbeddedNul", "abandon" + std::string(1, '\0') + std::string(kZero12.substr(7))},
    {"AccentedWord", replace_word(kZero12, 11, "ab\xC3\xB3ut")},
};

class RestoreKeysInvalid : public ::testing::TestWithParam<InvalidPhrase> {};

TEST_P(RestoreKeysInvalid, IsAnInvalidMnemonic) {
  const auto& c = GetParam();
  ASSERT_FALSE(reference_valid(split_on_space(c.phrase))) << "the case itself is a valid phrase";
  const auto keys = restore_keys(c.phrase);
  ASSERT_FALSE(keys.has_value()) << to_hex(bytes_of(c.phrase));
  EXPECT_EQ(keys.error(), kInvalidMnemonic);
  EXPECT_EQ(keys.error().message(), "invalid frame format: invalid mnemonic");
}

INSTANTIATE_TEST_SUITE_P(Phrases, RestoreKeysInvalid, ::testing::ValuesIn(kInvalidPhrases),
                         [](const auto& test_info) { return std::string(test_info.param.name); });

TEST(RestoreKeys, SanityOfTheInvalidTable) {
  // The two base phrases of the table are valid, so each case fails for its own reason.
  EXPECT_TRUE(reference_valid(split_on_space(kZero12)));
  EXPECT_TRUE(reference_valid(split_on_space(kZero24)));
  EXPECT_TRUE(restore_keys(kZero12).has_value());
  EXPECT_TRUE(restore_keys(kZero24).has_value());
}

// Every list word in the last position: exactly those with a matching checksum restore.
TEST(RestoreKeys, LastWordChecksumDecides) {
  for (const std::string_view base : {kZero12, kZero24}) {
    const std::size_t n = split_on_space(base).size();
    std::size_t accepted = 0;
    for (std::string_view word : detail::bip39_english()) {
      const std::string phrase = replace_word(base, n - 1, std::string(word));
      const bool valid = reference_valid(split_on_space(phrase));
      const auto keys = restore_keys(phrase);
      ASSERT_EQ(keys.has_value(), valid) << phrase;
      if (!keys) {
        ASSERT_EQ(keys.error(), kInvalidMnemonic) << phrase;
      } else {
        ++accepted;
      }
    }
    // The last word carries 11 - n/3 entropy bits; the rest is checksum.
    EXPECT_EQ(accepted, std::size_t{1} << (11 - n / 3)) << n << " words";
  }
}

TEST(RestoreKeys, SamePhraseGivesSameKeysAndTheTwoKeysDiffer) {
  const auto a = restore_keys(kZero12);
  const auto b = restore_keys(std::string(kZero12));
  ASSERT_TRUE(a.has_value());
  ASSERT_TRUE(b.has_value());
  EXPECT_EQ(a->enc_key, b->enc_key);
  EXPECT_EQ(a->sign_seed, b->sign_seed);
  EXPECT_NE(a->enc_key, a->sign_seed);
  const auto c = restore_keys(kZero24);
  ASSERT_TRUE(c.has_value());
  EXPECT_NE(a->enc_key, c->enc_key);
  EXPECT_NE(a->sign_seed, c->sign_seed);
}

// White space around and between words: ASCII runs separate words; the seed is taken over the
// words joined by single spaces.
struct Spacing {
  const char* name;
  std::string (*apply)(std::string_view phrase);
};

std::string PrintTo(const Spacing& s) { return s.name; }

std::string replace_spaces(std::string_view phrase, std::string_view by) {
  std::string out;
  for (char c : phrase) {
    if (c == ' ') {
      out += by;
    } else {
      out += c;
    }
  }
  return out;
}

const Spacing kSpacings[] = {
    {"Canonical", [](std::string_view p) { return std::string(p); }},
    {"LeadingSpaces", [](std::string_view p) { return "   " + std::string(p); }},
    {"TrailingSpaces", [](std::string_view p) { return std::string(p) + "  "; }},
    {"TrailingNewline", [](std::string_view p) { return std::string(p) + "\n"; }},
    {"TrailingCrLf", [](std::string_view p) { return std::string(p) + "\r\n"; }},
    {"DoubleSpaces", [](std::string_view p) { return replace_spaces(p, "  "); }},
    {"Tabs", [](std::string_view p) { return replace_spaces(p, "\t"); }},
    {"Newlines", [](std::string_view p) { return "\n" + replace_spaces(p, "\n") + "\n"; }},
    {"MixedAsciiWhiteSpace", [](std::string_view p) { return "\t " + replace_spaces(p, " \r\n\v\f") + " \t"; }},
};

class RestoreKeysSpacing : public ::testing::TestWithParam<Spacing> {};

TEST_P(RestoreKeysSpacing, GivesTheKeysOfTheCanonicalPhrase) {
  for (const std::string_view phrase : {kZero12, kZero24}) {
    const std::string text = GetParam().apply(phrase);
    const auto keys = restore_keys(text);
    ASSERT_TRUE(keys.has_value()) << to_hex(bytes_of(text)) << ": " << keys.error();
    EXPECT_EQ(to_hex(keys->enc_key) + " " + to_hex(keys->sign_seed), restore_hex(phrase));
  }
}

INSTANTIATE_TEST_SUITE_P(Spacings, RestoreKeysSpacing, ::testing::ValuesIn(kSpacings),
                         [](const auto& test_info) { return std::string(test_info.param.name); });

TEST(RestoreKeys, InputsBeyond384BytesAreRefused) {
  std::string padded = "  " + std::string(kZero24);
  padded.resize(384, ' ');
  const auto keys = restore_keys(padded);
  ASSERT_TRUE(keys.has_value()) << keys.error();
  EXPECT_EQ(to_hex(keys->enc_key) + " " + to_hex(keys->sign_seed), restore_hex(kZero24));
  padded += ' ';
  const auto refused = restore_keys(padded);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error(), kInvalidMnemonic);
}

// The keys against an independent computation in Python (hashlib's PBKDF2, hmac's HKDF): for
// each phrase, the keys of the empty passphrase and, for contrast, of "TREZOR".
TEST(RestoreKeys, EqualAnIndependentHkdfComputation) {
  if (!test::python_present()) GTEST_SKIP() << test::kPython << " is absent";
  std::vector<std::string> phrases = {std::string(kZero12), std::string(kZero24)};
  for (const std::size_t count : {12, 12, 24, 24}) {
    auto generated = generate_mnemonic(count);
    ASSERT_TRUE(generated.has_value());
    phrases.push_back(*generated);
  }
  for (const std::size_t bytes : {20, 24, 28}) {
    Bytes entropy(bytes);
    for (std::size_t i = 0; i < bytes; ++i) entropy[i] = static_cast<std::uint8_t>(i * 37 + bytes);
    phrases.push_back(detail::entropy_to_mnemonic(entropy).value_or(""));
  }
  if (test::shared_present()) {
    for (const auto& v : load_english_vectors()) phrases.push_back(v.phrase);
  }
  const std::string script = R"(import hashlib, hmac, sys

def expand(seed, info):
    prk = hmac.new(b"tessella_v1", seed, hashlib.sha256).digest()
    return hmac.new(prk, info + b"\x01", hashlib.sha256).digest().hex()

for phrase in sys.argv[1:]:
    out = []
    for passphrase in ("", "TREZOR"):
        seed = hashlib.pbkdf2_hmac("sha512", phrase.encode(), ("mnemonic" + passphrase).encode(), 2048)
        out += [expand(seed, b"encryption"), expand(seed, b"signing")]
    print(" ".join(out))
)";
  std::string out;
  ASSERT_TRUE(test::run_python(script, phrases, out));
  std::istringstream lines(out);
  for (const auto& phrase : phrases) {
    std::string enc, sign, enc_trezor, sign_trezor;
    ASSERT_TRUE(lines >> enc >> sign >> enc_trezor >> sign_trezor) << "no output for " << phrase;
    const auto keys = restore_keys(phrase);
    ASSERT_TRUE(keys.has_value()) << phrase;
    EXPECT_EQ(to_hex(keys->enc_key), enc) << phrase;
    EXPECT_EQ(to_hex(keys->sign_seed), sign) << phrase;
    EXPECT_NE(to_hex(keys->enc_key), enc_trezor) << phrase;
    EXPECT_NE(to_hex(keys->sign_seed), sign_trezor) << phrase;
    EXPECT_NE(enc, sign) << phrase;
  }
  std::string rest;
  EXPECT_FALSE(lines >> rest) << "extra output: " << rest;
}

}  // namespace
}  // namespace tessella
