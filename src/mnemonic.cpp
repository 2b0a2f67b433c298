#include "tessella/mnemonic.hpp"

#include <algorithm>
#include <vector>

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include "tessella/kdf.hpp"
#include "kdf_internal.hpp"
#include "mnemonic_internal.hpp"

namespace tessella {

namespace {

const TessellaError kErrGeneration = TessellaError::internal("mnemonic generation failed");
// Every failure before the signing seed's expansion carries the first expansion's detail.
const TessellaError kErrExpandEnc = TessellaError::crypto("kdf expand enc");

constexpr std::string_view kSalt = "tessella_v1";
constexpr std::string_view kInfoEnc = "encryption";
constexpr std::string_view kInfoSign = "signing";
constexpr std::size_t kMaxEntropy = 32;
constexpr std::size_t kMaxWords = 24;

bool is_ascii_space(char c) noexcept {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// A string whose characters are wiped when it is destroyed.
class SecretString {
 public:
  SecretString() = default;
  SecretString(const SecretString&) = delete;
  SecretString& operator=(const SecretString&) = delete;
  ~SecretString() { secure_wipe(text_.data(), text_.capacity()); }
  std::string& secret_text() noexcept { return text_; }

 private:
  std::string text_;
};

// Entropy and checksum bits as 11-bit word indices, first bit first.
std::size_t bit_at(const std::uint8_t* bytes, std::size_t i) noexcept {
  return (bytes[i / 8] >> (7 - i % 8)) & 1u;
}

}  // namespace

std::optional<std::string> detail::entropy_to_mnemonic(ByteView entropy) {
  const std::size_t n = entropy.size();
  if (n < 16 || n > kMaxEntropy || n % 4 != 0) return std::nullopt;
  // entropy || SHA-256(entropy): the checksum is the first n/4 bits of the hash.
  std::array<std::uint8_t, kMaxEntropy + SHA256_DIGEST_LENGTH> bits{};
  WipeOnExit wipe_bits(bits.data(), bits.size());
  std::copy(entropy.begin(), entropy.end(), bits.begin());
  SHA256(entropy.data(), n, bits.data() + n);
  const std::size_t words = (n * 8 + n / 4) / 11;
  const auto list = bip39_english();
  std::string phrase;
  phrase.reserve(words * 9);
  for (std::size_t w = 0; w < words; ++w) {
    std::size_t index = 0;
    for (std::size_t b = 0; b < 11; ++b) index = (index << 1) | bit_at(bits.data(), w * 11 + b);
    if (w != 0) phrase += ' ';
    phrase += list[index];
  }
  return phrase;
}

bool detail::mnemonic_to_seed(std::string_view phrase, std::string_view passphrase,
                              std::span<std::uint8_t, 64> out) {
  // The salt is "mnemonic" followed by the passphrase.
  std::vector<std::uint8_t> salt;
  salt.reserve(8 + passphrase.size());
  salt.insert(salt.end(), {'m', 'n', 'e', 'm', 'o', 'n', 'i', 'c'});
  salt.insert(salt.end(), passphrase.begin(), passphrase.end());
  const int ok = PKCS5_PBKDF2_HMAC(phrase.data(), static_cast<int>(phrase.size()), salt.data(),
                                   static_cast<int>(salt.size()), 2048, EVP_sha512(),
                                   static_cast<int>(out.size()), out.data());
  secure_wipe(salt.data(), salt.size());
  return ok == 1;
}

Result<std::string> generate_mnemonic(std::size_t words) {
  std::size_t entropy_len = 0;
  if (words == 12) {
    entropy_len = 16;
  } else if (words == 24) {
    entropy_len = 32;
  } else {
    return std::unexpected(TessellaError::invalid_format("invalid word count"));
  }
  std::array<std::uint8_t, kMaxEntropy> entropy{};
  WipeOnExit wipe_entropy(entropy.data(), entropy.size());
  // RAND_priv_bytes draws from OpenSSL's per-thread private DRBG, seeded from the operating
  // system and kept apart from the one that serves public values. If it cannot deliver, no phrase
  // is built from unfilled entropy.
  if (RAND_priv_bytes(entropy.data(), static_cast<int>(entropy_len)) != 1) {
    return std::unexpected(kErrGeneration);
  }
  auto phrase = detail::entropy_to_mnemonic(ByteView(entropy.data(), entropy_len));
  if (!phrase) return std::unexpected(kErrGeneration);
  return std::move(*phrase);
}

Result<std::string> mnemonic_from_entropy(ByteView entropy) {
  auto phrase = detail::entropy_to_mnemonic(entropy);
  if (!phrase) return std::unexpected(TessellaError::invalid_format("invalid entropy length"));
  return std::move(*phrase);
}

Result<RestoredKeys> restore_keys(std::string_view phrase) {
  const auto invalid = std::unexpected(TessellaError::invalid_format("invalid mnemonic"));
  if (phrase.size() > kMaxWords * 16) return invalid;  // no list word is longer than 8 letters

  // The text is normalised to the form generate_mnemonic writes: words separated by single
  // spaces, no white space around them. The seed is derived from that form, so a generated
  // phrase gives its seed from exactly its own text.
  SecretString normalised;
  std::string& text = normalised.secret_text();
  text.reserve(phrase.size());
  std::array<std::uint16_t, kMaxWords> indices{};
  WipeOnExit wipe_indices(indices.data(), sizeof indices);
  std::size_t count = 0;
  const auto list = detail::bip39_english();
  std::size_t i = 0;
  while (i < phrase.size()) {
    while (i < phrase.size() && is_ascii_space(phrase[i])) ++i;
    std::size_t start = i;
    while (i < phrase.size() && !is_ascii_space(phrase[i])) ++i;
    if (start == i) break;
    const std::string_view word = phrase.substr(start, i - start);
    auto it = std::lower_bound(list.begin(), list.end(), word);
    if (it == list.end() || *it != word || count == kMaxWords) return invalid;
    indices[count++] = static_cast<std::uint16_t>(it - list.begin());
    if (!text.empty()) text += ' ';
    text += word;
  }
  if (count < 12 || count % 3 != 0) return invalid;

  // Rebuild entropy || checksum from the indices and compare the checksum.
  const std::size_t total_bits = count * 11;
  const std::size_t cs_bits = total_bits / 33;
  const std::size_t entropy_len = (total_bits - cs_bits) / 8;
  std::array<std::uint8_t, kMaxEntropy + 1> packed{};
  WipeOnExit wipe_packed(packed.data(), packed.size());
  for (std::size_t b = 0; b < total_bits; ++b) {
    const std::size_t bit = (indices[b / 11] >> (10 - b % 11)) & 1u;
    packed[b / 8] = static_cast<std::uint8_t>(packed[b / 8] | (bit << (7 - b % 8)));
  }
  std::array<std::uint8_t, SHA256_DIGEST_LENGTH> hash{};
  WipeOnExit wipe_hash(hash.data(), hash.size());
  SHA256(packed.data(), entropy_len, hash.data());
  const std::uint8_t mask = static_cast<std::uint8_t>(0xFF << (8 - cs_bits));
  if ((hash[0] & mask) != (packed[entropy_len] & mask)) return invalid;

  std::array<std::uint8_t, 64> seed{};
  WipeOnExit wipe_seed(seed.data(), seed.size());
  if (!detail::mnemonic_to_seed(text, "", seed)) {
    return std::unexpected(kErrExpandEnc);
  }
  std::array<std::uint8_t, 32> prk{};
  WipeOnExit wipe_prk(prk.data(), prk.size());
  if (!detail::hkdf_extract(as_bytes(kSalt), seed, prk)) {
    return std::unexpected(kErrExpandEnc);
  }
  // The keys are derived straight into the returned value: no other copy of them exists.
  Result<RestoredKeys> keys(std::in_place);
  if (!detail::hkdf_expand(prk, as_bytes(kInfoEnc), keys->enc_key.secret_bytes())) {
    return std::unexpected(kErrExpandEnc);
  }
  if (!detail::hkdf_expand(prk, as_bytes(kInfoSign), keys->sign_seed.secret_bytes())) {
    return std::unexpected(TessellaError::crypto("kdf expand sign"));
  }
  return keys;
}

}  // namespace tessella
