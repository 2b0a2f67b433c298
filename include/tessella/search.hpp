/// @file
/// Blind-index tokens for private search.
#ifndef TESSELLA_SEARCH_HPP
#define TESSELLA_SEARCH_HPP

#include <initializer_list>

#include "tessella/error.hpp"
#include "tessella/export.hpp"
#include "tessella/types.hpp"

namespace tessella {

/// A 32-byte blind-index token.
using BlindToken = std::array<std::uint8_t, 32>;

/// blind_index returns HMAC-SHA-256(key, term): keys and terms of any length (empty included),
/// the term's bytes unchanged. Errors: Internal "hmac key init" if the MAC cannot be set up.
[[nodiscard]] TESSELLA_API Result<BlindToken> blind_index(ByteView key, ByteView term);


}  // namespace tessella

#endif
