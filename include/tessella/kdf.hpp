/// @file
/// Key derivation offered to the host: HKDF-SHA-256 with an empty salt.
#ifndef TESSELLA_KDF_HPP
#define TESSELLA_KDF_HPP

#include "tessella/export.hpp"
#include "tessella/types.hpp"

namespace tessella {

/// Kdf turns input key material and a context label into a 32-byte key.
class TESSELLA_API Kdf {
 public:
  virtual ~Kdf() = default;
  /// derive returns exactly 32 bytes; it has no error result.
  virtual Bytes derive(ByteView ikm, ByteView info) const = 0;
};

/// HkdfV1 is HKDF-SHA-256 (RFC 5869) with an empty salt (equal to 32 zero bytes) and 32 bytes
/// of output. Stateless. Throws std::bad_alloc only when memory runs out.
class TESSELLA_API HkdfV1 final : public Kdf {
 public:
  Bytes derive(ByteView ikm, ByteView info) const override;
};

/// hkdf_sha256 writes HKDF-SHA-256(salt, ikm, info) into `out` (at most 8,160 bytes).
/// Returns false when the primitive fails.
TESSELLA_API bool hkdf_sha256(ByteView salt, ByteView ikm, ByteView info,
                              std::span<std::uint8_t> out) noexcept;


}  // namespace tessella

#endif
