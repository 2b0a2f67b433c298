// BIP-39 pieces behind generate_mnemonic and restore_keys.
#ifndef TESSELLA_SRC_MNEMONIC_INTERNAL_HPP
#define TESSELLA_SRC_MNEMONIC_INTERNAL_HPP

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "tessella/mnemonic.hpp"

namespace tessella {

namespace detail {
/// The BIP-39 English word list (2,048 words, in order).
std::span<const std::string_view, 2048> bip39_english() noexcept;
/// entropy_to_mnemonic builds the phrase of 16, 20, 24, 28 or 32 bytes of entropy; nullopt for
/// other lengths.
std::optional<std::string> entropy_to_mnemonic(ByteView entropy);
/// mnemonic_to_seed is BIP-39's PBKDF2-HMAC-SHA512 (2048 rounds, salt "mnemonic" + passphrase)
/// over the phrase text as given; false when the primitive fails. Throws only std::bad_alloc.
bool mnemonic_to_seed(std::string_view phrase, std::string_view passphrase,
                                   std::span<std::uint8_t, 64> out);
}  // namespace detail

}  // namespace tessella

#endif
