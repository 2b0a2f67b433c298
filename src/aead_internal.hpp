// The AEAD entry of the library's own opening path: the cipher chosen by the frame's alg byte,
// called directly rather than through AeadImpl's virtual interface.
#ifndef TESSELLA_SRC_AEAD_INTERNAL_HPP
#define TESSELLA_SRC_AEAD_INTERNAL_HPP

#include "tessella/aead.hpp"

namespace tessella::detail {

/// aead_decrypt_into is aead_for(alg).decrypt_into(key, nonce, aad, ct, tag, out).
Result<void> aead_decrypt_into(std::uint8_t alg, ByteView key, NonceView nonce, ByteView aad,
                               ByteView ct, std::span<const std::uint8_t, kTagSize> tag,
                               std::span<std::uint8_t> out);

}  // namespace tessella::detail

#endif
