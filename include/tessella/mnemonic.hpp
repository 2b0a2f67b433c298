// Recovery phrases (BIP-39, English) and the keys restored from them.
#ifndef TESSELLA_MNEMONIC_HPP
#define TESSELLA_MNEMONIC_HPP

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "tessella/error.hpp"
#include "tessella/export.hpp"
#include "tessella/secret.hpp"
#include "tessella/types.hpp"

namespace tessella {

/// The two keys a recovery phrase stands for.
struct RestoredKeys {
  std::array<std::uint8_t, 32> enc_key{};    // the 32-byte data key
  std::array<std::uint8_t, 32> sign_seed{};  // the Ed25519 seed for signing_key_from_seed
};

/// generate_mnemonic returns a new phrase of 12 or 24 English words separated by single spaces,
/// from 16 or 32 bytes of fresh entropy (OpenSSL's per-thread DRBG). Errors: InvalidFormat
/// "invalid word count" for any other count (no randomness drawn); Internal "mnemonic
/// generation failed" when no entropy can be had. The entropy is wiped.
[[nodiscard]] TESSELLA_API Result<std::string> generate_mnemonic(std::size_t words);

/// restore_keys validates the phrase and derives the keys: BIP-39 seed (empty passphrase), then
/// HKDF-SHA-256 with salt "tessella_v1" and info "encryption" and "signing". The phrase is
/// 12, 15, 18, 21 or 24 lower-case words of the English list; runs of ASCII white space separate
/// them and white space before and after is dropped (other characters, Unicode spaces included,
/// are part of a word). The seed is derived from the words joined by single spaces, which is
/// exactly the text generate_mnemonic writes. A phrase longer than 384 bytes is refused.
/// Errors: InvalidFormat "invalid mnemonic"; Crypto "kdf expand enc" / "kdf expand sign". Every
/// copy of the phrase, its entropy and the seed is wiped.
[[nodiscard]] TESSELLA_API Result<RestoredKeys> restore_keys(std::string_view phrase);

namespace detail {
/// The BIP-39 English word list (2,048 words, in order).
TESSELLA_API std::span<const std::string_view, 2048> bip39_english() noexcept;
/// entropy_to_mnemonic builds the phrase of 16, 20, 24, 28 or 32 bytes of entropy; nullopt for
/// other lengths.
TESSELLA_API std::optional<std::string> entropy_to_mnemonic(ByteView entropy);
/// mnemonic_to_seed is BIP-39's PBKDF2-HMAC-SHA512 (2048 rounds, salt "mnemonic" + passphrase)
/// over the phrase text as given; false when the primitive fails. Throws only std::bad_alloc.
TESSELLA_API bool mnemonic_to_seed(std::string_view phrase, std::string_view passphrase,
                                   std::span<std::uint8_t, 64> out);
}  // namespace detail

}  // namespace tessella

#endif
