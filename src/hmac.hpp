// HMAC-SHA-256 over several parts, for blind indexes and event nonces.
#ifndef TESSELLA_SRC_HMAC_HPP
#define TESSELLA_SRC_HMAC_HPP

#include <initializer_list>
#include <span>

#include "tessella/types.hpp"

namespace tessella {

namespace detail {
/// The detail of the Internal error of every operation whose HMAC cannot be run.
inline constexpr const char* kHmacFailure = "hmac key init";

/// HMAC-SHA-256 of the concatenated parts; false when the MAC cannot be set up or run.
/// Throws only std::bad_alloc.
bool hmac_sha256(ByteView key, std::initializer_list<ByteView> parts,
                              std::span<std::uint8_t, 32> out);
}  // namespace detail

}  // namespace tessella

#endif
