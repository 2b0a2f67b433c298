/// @file
/// Byte strings, fixed-size arrays and the result type shared by every module.
#ifndef TESSELLA_TYPES_HPP
#define TESSELLA_TYPES_HPP

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string_view>
#include <vector>

/// The C++ API of tessella: every public type, constant and function.
namespace tessella {

class TessellaError;

/// Borrowed, read-only bytes of any length.
using ByteView = std::span<const std::uint8_t>;
/// Owned bytes returned to the caller.
using Bytes = std::vector<std::uint8_t>;

/// @{
/// Sizes in bytes of the fixed-size values: nonce, AEAD tag, timestamp, data key, content
/// identifier, public key, signing seed, signature.
inline constexpr std::size_t kNonceSize = 12;
inline constexpr std::size_t kTagSize = 16;
inline constexpr std::size_t kTimestampSize = 16;
inline constexpr std::size_t kKeySize = 32;
inline constexpr std::size_t kCidSize = 32;
inline constexpr std::size_t kPublicKeySize = 32;
inline constexpr std::size_t kSeedSize = 32;
inline constexpr std::size_t kSignatureSize = 64;
/// @}

/// @{
/// Owned fixed-size values: a frame's nonce, an AEAD tag, a frame's timestamp (16 bytes the
/// library carries and never interprets), an Ed25519 signature.
using Nonce = std::array<std::uint8_t, kNonceSize>;
using Tag = std::array<std::uint8_t, kTagSize>;
using Timestamp = std::array<std::uint8_t, kTimestampSize>;
using Signature = std::array<std::uint8_t, kSignatureSize>;
/// @}

/// Content identifiers, public keys and seeds are 32-byte arrays of distinct types, so that one
/// passed where another belongs (an owner for a previous identifier, say) does not compile.
/// Each converts to a span of its bytes; `Cid{bytes}` makes one from a std::array.
struct Cid : std::array<std::uint8_t, kCidSize> {};
struct PublicKey : std::array<std::uint8_t, kPublicKeySize> {};
struct Seed : std::array<std::uint8_t, kSeedSize> {};

/// SeedView borrows a 32-byte signing seed: from a Seed, a SecretArray<32> or, explicitly, from
/// any 32 bytes, so that an identifier or a public key is never taken for a seed.
class SeedView {
 public:
  /// Borrows a Seed, which must outlive the view.
  SeedView(const Seed& seed) noexcept : bytes_(seed) {}
  /// Borrows any 32 bytes as a seed; explicit, so that no other 32-byte type becomes one.
  explicit SeedView(std::span<const std::uint8_t, kSeedSize> bytes) noexcept : bytes_(bytes) {}
  /// The borrowed bytes.
  std::span<const std::uint8_t, kSeedSize> bytes() const noexcept { return bytes_; }
  /// The first of the 32 borrowed bytes.
  const std::uint8_t* data() const noexcept { return bytes_.data(); }
  /// Always 32.
  static constexpr std::size_t size() noexcept { return kSeedSize; }
  /// @{
  /// Iterators over the borrowed bytes.
  auto begin() const noexcept { return bytes_.begin(); }
  auto end() const noexcept { return bytes_.end(); }
  /// @}

 private:
  std::span<const std::uint8_t, kSeedSize> bytes_;
};

/// @{
/// Borrowed fixed-size arrays: a nonce, a timestamp, a 32-byte key, a signature.
using NonceView = std::span<const std::uint8_t, kNonceSize>;
using TimestampView = std::span<const std::uint8_t, kTimestampSize>;
using KeyView32 = std::span<const std::uint8_t, 32>;
using SignatureView = std::span<const std::uint8_t, kSignatureSize>;
/// @}

/// as_bytes views the characters of a text as bytes, unchanged.
inline ByteView as_bytes(std::string_view text) noexcept {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

/// Every fallible operation returns its value or a TessellaError.
template <class T>
using Result = std::expected<T, TessellaError>;

}  // namespace tessella

#endif
