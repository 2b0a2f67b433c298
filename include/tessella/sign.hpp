/// @file
/// Ed25519 (RFC 8032, pure variant) signing and verification.
#ifndef TESSELLA_SIGN_HPP
#define TESSELLA_SIGN_HPP

#include <memory>
#include <optional>

#include "tessella/error.hpp"
#include "tessella/export.hpp"
#include "tessella/secret.hpp"
#include "tessella/types.hpp"

namespace tessella {

struct KeyAccess;

/// VerifyingKey is an Ed25519 public key, kept as its 32-byte encoding and as an imported
/// OpenSSL key, so verifying many messages imports it once. Copies share the imported key
/// read-only; safe to share between threads.
class TESSELLA_API VerifyingKey {
 public:
  /// from_bytes decodes a compressed Edwards point strictly (RFC 8032 section 5.1.3): it is
  /// refused (nullopt) when y >= p, when x = 0 and the sign bit is set, or when no x exists.
  /// Small-order points are accepted.
  [[nodiscard]] static std::optional<VerifyingKey> from_bytes(const PublicKey& bytes);

  /// The 32-byte encoding.
  const PublicKey& bytes() const noexcept { return bytes_; }

 private:
  friend class SigningKey;
  friend struct KeyAccess;
  VerifyingKey(const PublicKey& bytes, std::shared_ptr<void> pkey) noexcept
      : bytes_(bytes), pkey_(std::move(pkey)) {}

  PublicKey bytes_{};
  std::shared_ptr<void> pkey_;
};

/// SigningKey is an Ed25519 key pair derived from a 32-byte seed. Its seed is wiped when the
/// key is destroyed (the OpenSSL key clears its own copy of the private key when freed).
/// Move-only; safe to share read-only between threads.
class TESSELLA_API SigningKey {
 public:
  /// @{
  /// Moves the key; the moved-from key must not be used again.
  SigningKey(SigningKey&&) noexcept = default;
  SigningKey& operator=(SigningKey&&) noexcept = default;
  /// @}
  SigningKey(const SigningKey&) = delete;
  SigningKey& operator=(const SigningKey&) = delete;
  ~SigningKey() = default;

  /// from_seed derives the key pair; see signing_key_from_seed.
  static SigningKey from_seed(SeedView seed);

  /// The public half, decoded.
  const VerifyingKey& verifying_key() const noexcept { return verifying_; }
  /// The seed the key was derived from.
  SeedView secret_seed() const noexcept { return seed_; }

 private:
  friend struct KeyAccess;
  SigningKey(SeedView seed, std::shared_ptr<void> pkey, VerifyingKey vk)
      : seed_(seed.bytes()), pkey_(std::move(pkey)), verifying_(std::move(vk)) {}

  SecretArray<kSeedSize> seed_;
  // The imported OpenSSL key pair, released (and cleared by OpenSSL) with the last owner.
  std::shared_ptr<void> pkey_;
  VerifyingKey verifying_;
};

/// signing_key_from_seed derives the key pair (RFC 8032 section 5.1.5). Every seed is valid;
/// deterministic. Throws std::bad_alloc only when memory runs out.
TESSELLA_API SigningKey signing_key_from_seed(SeedView seed);

/// verifying_key_bytes returns the 32-byte encoding of the key pair's public key.
TESSELLA_API PublicKey verifying_key_bytes(const SigningKey& key) noexcept;

/// sign returns the deterministic Ed25519 signature of the whole message.
TESSELLA_API Signature sign(const SigningKey& key, ByteView message);

/// verify checks an Ed25519 signature in the ordinary RFC 8032 form: canonical S (S < L), the
/// cofactorless group equation, no extra rejection of small-order keys or R.
/// Errors: SignatureInvalid for every failure.
[[nodiscard]] TESSELLA_API Result<void> verify(const VerifyingKey& key, ByteView message,
                                               SignatureView signature);

}  // namespace tessella

#endif
