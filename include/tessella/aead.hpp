// Authenticated encryption: AES-256-GCM and ChaCha20-Poly1305 behind one interface.
#ifndef TESSELLA_AEAD_HPP
#define TESSELLA_AEAD_HPP

#include <cstdint>
#include <span>
#include <utility>

#include "tessella/error.hpp"
#include "tessella/export.hpp"
#include "tessella/types.hpp"

namespace tessella {

/// Algorithm identifiers carried in a frame's alg byte.
inline constexpr std::uint8_t kAlgAesGcm = 1;
inline constexpr std::uint8_t kAlgChaCha20 = 2;

/// Ciphertext and tag, kept apart as the frame stores them.
struct Sealed {
  Bytes ct;
  Tag tag{};
};

/// AeadImpl is one authenticated cipher with a 32-byte key, a 12-byte nonce and a 16-byte tag.
/// Each implementation serves short texts through libsodium and long ones, or texts encrypted in
/// place, through OpenSSL; the bytes are the same either way. Implementations are stateless: a cipher context is built from the key inside every call and
/// released before it returns. Safe to share between threads.
class TESSELLA_API AeadImpl {
 public:
  virtual ~AeadImpl() = default;

  /// encrypt returns the ciphertext (exactly as long as the plaintext) and the tag. The nonce
  /// must be new for the key: a reused one reveals the XOR of the plaintexts and, with
  /// AES-256-GCM, the key that authenticates them. Errors: KeyUnavailable when the key is not 32 bytes (nothing else is looked at);
  /// Internal "aes-gcm encrypt" / "chacha encrypt" when the input exceeds the cipher's limits.
  [[nodiscard]] virtual Result<Sealed> encrypt(ByteView key, NonceView nonce, ByteView aad,
                                               ByteView plaintext) const = 0;

  /// decrypt returns the plaintext. Errors: KeyUnavailable when the key is not 32 bytes;
  /// AeadTagMismatch for every other failure (wrong key, nonce, associated data, altered
  /// ciphertext or tag, input beyond the limits). No plaintext byte is released on failure.
  [[nodiscard]] virtual Result<Bytes> decrypt(ByteView key, NonceView nonce, ByteView aad,
                                              ByteView ct, std::span<const std::uint8_t, kTagSize> tag) const = 0;

  /// encrypt_into writes the ciphertext into `out` (exactly plaintext.size() bytes; it may be
  /// the same memory as the plaintext) and the tag into `tag`. Errors as encrypt. On failure
  /// `out` and `tag` hold no ciphertext or tag bytes. As for encrypt, a nonce reused under one
  /// key reveals the XOR of the plaintexts and, with AES-256-GCM, the authentication key.
  [[nodiscard]] virtual Result<void> encrypt_into(ByteView key, NonceView nonce, ByteView aad,
                                                  ByteView plaintext, std::span<std::uint8_t> out,
                                                  std::span<std::uint8_t, kTagSize> tag) const = 0;

  /// decrypt_into writes the plaintext into `out` (exactly ct.size() bytes). Errors as decrypt.
  /// On failure `out` is wiped.
  [[nodiscard]] virtual Result<void> decrypt_into(ByteView key, NonceView nonce, ByteView aad,
                                                  ByteView ct,
                                                  std::span<const std::uint8_t, kTagSize> tag,
                                                  std::span<std::uint8_t> out) const = 0;

  /// within_limits tells whether a text (plaintext when encrypting, ciphertext without the tag
  /// when decrypting) and associated data of these lengths are inside the cipher's limits.
  virtual bool within_limits(std::size_t text, std::size_t aad, bool encrypting) const noexcept = 0;
};

/// AES-256-GCM (NIST SP 800-38D, 96-bit nonce, 128-bit tag). Refuses plaintexts or associated
/// data over 2^36 bytes.
class TESSELLA_API AesGcmImpl final : public AeadImpl {
 public:
  Result<Sealed> encrypt(ByteView key, NonceView nonce, ByteView aad,
                         ByteView plaintext) const override;
  Result<Bytes> decrypt(ByteView key, NonceView nonce, ByteView aad, ByteView ct,
                        std::span<const std::uint8_t, kTagSize> tag) const override;
  Result<void> encrypt_into(ByteView key, NonceView nonce, ByteView aad, ByteView plaintext,
                            std::span<std::uint8_t> out,
                            std::span<std::uint8_t, kTagSize> tag) const override;
  Result<void> decrypt_into(ByteView key, NonceView nonce, ByteView aad, ByteView ct,
                            std::span<const std::uint8_t, kTagSize> tag,
                            std::span<std::uint8_t> out) const override;
  bool within_limits(std::size_t text, std::size_t aad, bool encrypting) const noexcept override;
};

/// ChaCha20-Poly1305 (RFC 8439). Refuses plaintexts of 64 * (2^32 - 1) bytes or more.
class TESSELLA_API ChaCha20Impl final : public AeadImpl {
 public:
  Result<Sealed> encrypt(ByteView key, NonceView nonce, ByteView aad,
                         ByteView plaintext) const override;
  Result<Bytes> decrypt(ByteView key, NonceView nonce, ByteView aad, ByteView ct,
                        std::span<const std::uint8_t, kTagSize> tag) const override;
  Result<void> encrypt_into(ByteView key, NonceView nonce, ByteView aad, ByteView plaintext,
                            std::span<std::uint8_t> out,
                            std::span<std::uint8_t, kTagSize> tag) const override;
  Result<void> decrypt_into(ByteView key, NonceView nonce, ByteView aad, ByteView ct,
                            std::span<const std::uint8_t, kTagSize> tag,
                            std::span<std::uint8_t> out) const override;
  bool within_limits(std::size_t text, std::size_t aad, bool encrypting) const noexcept override;
};

/// aead_for maps an algorithm identifier to its implementation: 1 is AES-256-GCM, every other
/// value ChaCha20-Poly1305. The returned object is immutable and lives for the whole program.
TESSELLA_API const AeadImpl& aead_for(std::uint8_t alg) noexcept;

}  // namespace tessella

#endif
