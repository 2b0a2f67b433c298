// Recovery phrases: restore_keys on arbitrary text never crashes, and a text it accepts is a
// valid phrase: with its ASCII white space normalised (words separated by single spaces, none
// around them) it has 12, 15, 18, 21 or 24 words of the list, and building the phrase again
// from its entropy gives exactly that text. The keys are those derived from the normalised
// text (PBKDF2 seed, then HKDF), computed here with OpenSSL directly; a valid normalised phrase
// is always accepted.
//
// The first byte chooses the input kind: raw text follows it, or (when it is not 0 modulo 4) a
// phrase is built here from entropy in the input and then edited: white space added, words
// replaced or removed, characters changed.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>

#include "fuzz_support.hpp"
#include "tessella/mnemonic.hpp"
#include "mnemonic_internal.hpp"

using namespace tessella;
using tessella_fuzz::Carver;

namespace {

bool ascii_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::vector<std::string_view> split_words(std::string_view text) {
  std::vector<std::string_view> words;
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && ascii_space(text[i])) ++i;
    const std::size_t start = i;
    while (i < text.size() && !ascii_space(text[i])) ++i;
    if (i > start) words.push_back(text.substr(start, i - start));
  }
  return words;
}

std::string normalise(std::string_view text) {
  std::string out;
  for (std::string_view w : split_words(text)) {
    if (!out.empty()) out += ' ';
    out += w;
  }
  return out;
}

// Whether the normalised text is a valid phrase: known words, a defined count, and the phrase
// of its entropy is the text itself (which checks the checksum bits).
bool valid_phrase(const std::string& normalised) {
  const auto words = split_words(normalised);
  const std::size_t count = words.size();
  if (count < 12 || count > 24 || count % 3 != 0) return false;
  const auto list = detail::bip39_english();
  std::vector<std::uint8_t> bits;
  for (std::string_view w : words) {
    const auto it = std::find(list.begin(), list.end(), w);
    if (it == list.end()) return false;
    const auto index = static_cast<std::uint32_t>(it - list.begin());
    for (int b = 10; b >= 0; --b) bits.push_back(static_cast<std::uint8_t>((index >> b) & 1));
  }
  const std::size_t entropy_bits = count * 11 * 32 / 33;
  Bytes entropy(entropy_bits / 8);
  for (std::size_t b = 0; b < entropy_bits; ++b) {
    entropy[b / 8] = static_cast<std::uint8_t>(entropy[b / 8] | (bits[b] << (7 - b % 8)));
  }
  const auto rebuilt = detail::entropy_to_mnemonic(entropy);
  FUZZ_CHECK(rebuilt.has_value());
  return *rebuilt == normalised;
}

RestoredKeys reference_keys(const std::string& phrase) {
  std::uint8_t seed[64];
  const char salt[] = "mnemonic";
  FUZZ_CHECK(PKCS5_PBKDF2_HMAC(phrase.data(), static_cast<int>(phrase.size()),
                               reinterpret_cast<const unsigned char*>(salt), 8, 2048, EVP_sha512(),
                               64, seed) == 1);
  RestoredKeys keys;
  EVP_KDF* kdf = EVP_KDF_fetch(nullptr, "HKDF", nullptr);
  FUZZ_CHECK(kdf != nullptr);
  const auto derive = [&](const char* info, std::uint8_t* out) {
    EVP_KDF_CTX* ctx = EVP_KDF_CTX_new(kdf);
    FUZZ_CHECK(ctx != nullptr);
    char digest[] = "SHA256";
    char salt_text[] = "tessella_v1";
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, seed, sizeof seed),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, salt_text, 11),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, const_cast<char*>(info),
                                          std::strlen(info)),
        OSSL_PARAM_construct_end()};
    FUZZ_CHECK(EVP_KDF_derive(ctx, out, 32, params) == 1);
    EVP_KDF_CTX_free(ctx);
  };
  derive("encryption", keys.enc_key.secret_bytes().data());
  derive("signing", keys.sign_seed.secret_bytes().data());
  EVP_KDF_free(kdf);
  return keys;
}

Result<RestoredKeys> restore(std::string_view text) {
  try {
    return restore_keys(text);
  } catch (...) {
    FUZZ_CHECK(!"restore_keys threw");
  }
  return std::unexpected(TessellaError::internal("unreachable"));
}

bool same_keys(const RestoredKeys& a, const RestoredKeys& b) {
  return a.enc_key == b.enc_key && a.sign_seed == b.sign_seed;
}

void check_text(std::string_view text) {
  const auto got = restore(text);
  const std::string normalised = normalise(text);
  const bool valid = valid_phrase(normalised);
  if (got) {
    FUZZ_CHECK(valid);
    FUZZ_CHECK(same_keys(*got, reference_keys(normalised)));
    FUZZ_CHECK(got->enc_key != got->sign_seed);
    return;
  }
  FUZZ_CHECK(got.error() == TessellaError::invalid_format("invalid mnemonic"));
  if (valid) {
    // Only a non-canonical spelling of a valid phrase may be refused; its canonical form never.
    FUZZ_CHECK(normalised != text);
    const auto canonical = restore(normalised);
    FUZZ_CHECK(canonical && same_keys(*canonical, reference_keys(normalised)));
  }
}

std::string built(Carver& in) {
  static constexpr std::size_t kLengths[] = {16, 20, 24, 28, 32};
  const std::size_t n = kLengths[in.u8() % 5];
  const auto entropy = in.array<32>();
  const auto phrase = detail::entropy_to_mnemonic(ByteView(entropy.data(), n));
  FUZZ_CHECK(phrase.has_value());

  std::vector<std::string> words;
  for (std::string_view w : split_words(*phrase)) words.emplace_back(w);
  FUZZ_CHECK(words.size() == n * 3 / 4);
  // separators[i] comes before words[i]; the last one follows the last word.
  std::vector<std::string> separators(words.size() + 1, " ");
  separators.front().clear();
  separators.back().clear();

  static constexpr std::string_view kSpace[] = {" ", "\t", "\n", "\r", "\v", "\f",
                                                "\xC2\xA0", "\xE3\x80\x80", "\x85"};
  const auto list = detail::bip39_english();
  for (std::uint8_t edits = in.u8() % 6; edits > 0 && !words.empty(); --edits) {
    const std::uint8_t op = in.u8() % 6;
    const std::size_t at = in.u8();
    switch (op) {
      case 0:
      case 1:  // more white space, mostly ASCII
        separators[at % separators.size()] += kSpace[in.u8() % (op == 0 ? 6 : 9)];
        break;
      case 2:  // another word of the list
        words[at % words.size()] = list[in.u16() % 2048];
        break;
      case 3: {  // a word fewer
        const std::size_t i = at % words.size();
        words.erase(words.begin() + static_cast<std::ptrdiff_t>(i));
        separators[i] += separators[i + 1];
        separators.erase(separators.begin() + static_cast<std::ptrdiff_t>(i + 1));
        break;
      }
      case 4: {  // a changed character
        std::string& w = words[at % words.size()];
        w[in.u8() % w.size()] = static_cast<char>(in.u8());
        break;
      }
      default: {  // a repeated word
        const std::size_t i = at % words.size();
        const std::string copy = words[i];
        words.insert(words.begin() + static_cast<std::ptrdiff_t>(i), copy);
        separators.insert(separators.begin() + static_cast<std::ptrdiff_t>(i + 1), " ");
        break;
      }
    }
  }
  std::string text;
  for (std::size_t i = 0; i < words.size(); ++i) text += separators[i] + words[i];
  text += separators.back();
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Carver in(data, size);
  if (in.u8() % 4 == 0) {
    const ByteView rest = in.rest();
    check_text(std::string_view(reinterpret_cast<const char*>(rest.data()), rest.size()));
  } else {
    check_text(built(in));
  }
  return 0;
}
