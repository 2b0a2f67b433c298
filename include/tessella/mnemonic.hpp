/// @file
/// Recovery phrases (BIP-39, English) and the keys restored from them.
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

/// The two keys a recovery phrase stands for, wiped when released.
struct RestoredKeys {
  SecretArray<32> enc_key;    ///< the 32-byte data key
  SecretArray<32> sign_seed;  ///< the Ed25519 seed for signing_key_from_seed
};

/// generate_mnemonic returns a new phrase of 12 or 24 English words separated by single spaces,
/// from 16 or 32 bytes of fresh entropy (OpenSSL's per-thread private DRBG). Errors: InvalidFormat
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

/// mnemonic_from_entropy builds the BIP-39 English phrase for 16, 20, 24, 28 or 32 bytes of
/// entropy, words separated by single spaces (for hosts that draw their own entropy).
/// Errors: InvalidFormat "invalid entropy length" for any other length.
[[nodiscard]] TESSELLA_API Result<std::string> mnemonic_from_entropy(ByteView entropy);


}  // namespace tessella

#endif
