// Ed25519 entries used inside the library: verification from a key's 32 bytes, and signing with
// a key pair derived from a seed for one message only.
#ifndef TESSELLA_SRC_SIGN_INTERNAL_HPP
#define TESSELLA_SRC_SIGN_INTERNAL_HPP

#include <memory>

#include <openssl/evp.h>

#include "tessella/sign.hpp"

namespace tessella {

/// The imported OpenSSL keys behind the public key types, for the library's own use.
struct KeyAccess {
  static EVP_PKEY* pkey(const SigningKey& key) noexcept {
    return static_cast<EVP_PKEY*>(key.pkey_.get());
  }
  static EVP_PKEY* pkey(const VerifyingKey& key) noexcept {
    return static_cast<EVP_PKEY*>(key.pkey_.get());
  }
};

namespace detail {

struct PkeyDeleter {
  void operator()(void* pkey) const noexcept { EVP_PKEY_free(static_cast<EVP_PKEY*>(pkey)); }
};
using PkeyHandle = std::unique_ptr<void, PkeyDeleter>;

enum class Verdict { Valid, BadSignature, BadKey };

/// verify_encoded is VerifyingKey::from_bytes followed by verify, with the same verdicts:
/// BadKey exactly when from_bytes refuses the 32 bytes, otherwise Valid or BadSignature as
/// verify decides. The costly strict decoding runs only when a signature is refused.
Verdict verify_encoded(KeyView32 public_key, ByteView message, SignatureView signature);

/// is_small_order tells whether the 32 bytes encode one of the eight points whose order divides
/// 8. Under such a key the group equation holds for signatures anyone can make, so a signature
/// proves nothing about who made it.
bool is_small_order(KeyView32 public_key) noexcept;

/// verify_signer is verify_encoded for the keys that sign frames and tokens: a small-order key is
/// BadKey, as bytes that are no curve point are. Keys derived from seeds are never of small
/// order, so no honest frame or token changes its verdict.
Verdict verify_signer(KeyView32 public_key, ByteView message, SignatureView signature);

/// sign_with_seed signs as signing_key_from_seed followed by sign would, and wipes the key pair.
Signature sign_with_seed(KeyView32 seed, ByteView message);

}  // namespace detail
}  // namespace tessella

#endif
