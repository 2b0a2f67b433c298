// Byte strings, fixed-size arrays and the result type shared by every module.
#ifndef TESSELLA_TYPES_HPP
#define TESSELLA_TYPES_HPP

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string_view>
#include <vector>

namespace tessella {

class TessellaError;

/// Borrowed, read-only bytes of any length.
using ByteView = std::span<const std::uint8_t>;
/// Owned bytes returned to the caller.
using Bytes = std::vector<std::uint8_t>;

inline constexpr std::size_t kNonceSize = 12;
inline constexpr std::size_t kTagSize = 16;
inline constexpr std::size_t kTimestampSize = 16;
inline constexpr std::size_t kKeySize = 32;
inline constexpr std::size_t kCidSize = 32;
inline constexpr std::size_t kPublicKeySize = 32;
inline constexpr std::size_t kSeedSize = 32;
inline constexpr std::size_t kSignatureSize = 64;

using Nonce = std::array<std::uint8_t, kNonceSize>;
using Tag = std::array<std::uint8_t, kTagSize>;
using Timestamp = std::array<std::uint8_t, kTimestampSize>;
using Cid = std::array<std::uint8_t, kCidSize>;
using PublicKey = std::array<std::uint8_t, kPublicKeySize>;
using Seed = std::array<std::uint8_t, kSeedSize>;
using Signature = std::array<std::uint8_t, kSignatureSize>;

/// Borrowed fixed-size arrays.
using NonceView = std::span<const std::uint8_t, kNonceSize>;
using TimestampView = std::span<const std::uint8_t, kTimestampSize>;
using KeyView32 = std::span<const std::uint8_t, 32>;
using SignatureView = std::span<const std::uint8_t, kSignatureSize>;

/// as_bytes views the characters of a text as bytes, unchanged.
inline ByteView as_bytes(std::string_view text) noexcept {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

/// Every fallible operation returns its value or a TessellaError.
template <class T>
using Result = std::expected<T, TessellaError>;

}  // namespace tessella

#endif
