/// @file
/// Fixed-size secret bytes that are wiped when released.
#ifndef TESSELLA_SECRET_HPP
#define TESSELLA_SECRET_HPP

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "tessella/export.hpp"
#include "tessella/types.hpp"

namespace tessella {

/// secure_wipe overwrites the bytes with zeros in a way the compiler may not remove
/// (OPENSSL_cleanse).
TESSELLA_API void secure_wipe(void* data, std::size_t len) noexcept;

/// SecretArray holds N secret bytes and overwrites them with zeros when it is destroyed or
/// assigned over. Raw access goes through secret_bytes(), so every use is easy to find.
template <std::size_t N>
class SecretArray {
 public:
  SecretArray() noexcept = default;
  /// Copies N bytes in; the caller wipes its own copy.
  explicit SecretArray(std::span<const std::uint8_t, N> bytes) noexcept {
    for (std::size_t i = 0; i < N; ++i) bytes_[i] = bytes[i];
  }
  /// Copies the secret; each copy wipes its own bytes.
  SecretArray(const SecretArray& other) noexcept = default;
  /// Copies the secret over this one's bytes.
  SecretArray& operator=(const SecretArray& other) noexcept {
    if (this != &other) bytes_ = other.bytes_;
    return *this;
  }
  ~SecretArray() { secure_wipe(bytes_.data(), N); }

  /// @{
  /// The secret bytes, borrowed for as long as the array lives.
  std::span<std::uint8_t, N> secret_bytes() noexcept { return bytes_; }
  std::span<const std::uint8_t, N> secret_bytes() const noexcept { return bytes_; }
  /// @}
  /// Always N.
  static constexpr std::size_t size() noexcept { return N; }
  /// A 32-byte secret is a signing seed wherever one is asked for.
  operator SeedView() const noexcept
    requires(N == kSeedSize)
  {
    return SeedView(secret_bytes());
  }

  /// Compares in time independent of where the bytes differ.
  friend bool operator==(const SecretArray& a, const SecretArray& b) noexcept {
    std::uint8_t diff = 0;
    for (std::size_t i = 0; i < N; ++i) diff = static_cast<std::uint8_t>(diff | (a.bytes_[i] ^ b.bytes_[i]));
    return diff == 0;
  }

 private:
  std::array<std::uint8_t, N> bytes_{};
};

/// WipeOnExit wipes a stack buffer when the scope ends, on every path.
class WipeOnExit {
 public:
  /// Wipes `len` bytes at `data` when this object goes out of scope.
  WipeOnExit(void* data, std::size_t len) noexcept : data_(data), len_(len) {}
  WipeOnExit(const WipeOnExit&) = delete;
  WipeOnExit& operator=(const WipeOnExit&) = delete;
  ~WipeOnExit() { secure_wipe(data_, len_); }

 private:
  void* data_;
  std::size_t len_;
};

}  // namespace tessella

#endif
