// The two halves of HKDF-SHA-256, for the recovery-phrase derivation.
#ifndef TESSELLA_SRC_KDF_INTERNAL_HPP
#define TESSELLA_SRC_KDF_INTERNAL_HPP

#include <span>

#include "tessella/kdf.hpp"

namespace tessella {

namespace detail {
/// HKDF-SHA-256 extract: prk = HMAC-SHA-256(salt, ikm). False when the primitive fails.
bool hkdf_extract(ByteView salt, ByteView ikm, std::span<std::uint8_t, 32> prk) noexcept;
/// HKDF-SHA-256 expand of a 32-byte prk into `out` (at most 8,160 bytes).
bool hkdf_expand(ByteView prk, ByteView info, std::span<std::uint8_t> out) noexcept;
}  // namespace detail

}  // namespace tessella

#endif
