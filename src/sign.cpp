#include "tessella/sign.hpp"

#include <algorithm>
#include <new>

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <sodium.h>

#include "sign_internal.hpp"

namespace tessella {

namespace {

constexpr const char* kEd25519 = "ED25519";

struct MdCtxFree {
  void operator()(EVP_MD_CTX* ctx) const noexcept { EVP_MD_CTX_free(ctx); }
};
struct BnCtxFree {
  void operator()(BN_CTX* ctx) const noexcept { BN_CTX_free(ctx); }
};

// p = 2^255 - 19 and d = -121665/121666 mod p, the curve constants of edwards25519, big-endian.
constexpr std::uint8_t kP[32] = {
    0x7f, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
    0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xed};
constexpr std::uint8_t kD[32] = {
    0x52, 0x03, 0x6c, 0xee, 0x2b, 0x6f, 0xfe, 0x73, 0x8c, 0xc7, 0x40, 0x79, 0x77, 0x79, 0xe8, 0x98,
    0x00, 0x70, 0x0a, 0x4d, 0x41, 0x41, 0xd8, 0xab, 0x75, 0xeb, 0x4d, 0xca, 0x13, 0x59, 0x78, 0xa3};

// Strict decoding of a compressed Edwards point: y must be below p, x = 0 must come with a
// clear sign bit, and x^2 = (y^2 - 1) / (d y^2 + 1) must have a square root mod p. OpenSSL reads
// the first two cases loosely, so they are checked here before the key is imported.
bool is_canonical_point(KeyView32 bytes) {
  std::uint8_t be[32];
  std::reverse_copy(bytes.begin(), bytes.end(), be);
  const bool sign_bit = (be[0] & 0x80) != 0;
  be[0] &= 0x7f;

  std::unique_ptr<BN_CTX, BnCtxFree> ctx(BN_CTX_new());
  if (!ctx) throw std::bad_alloc();
  BN_CTX_start(ctx.get());
  BIGNUM* y = BN_CTX_get(ctx.get());
  BIGNUM* y2 = BN_CTX_get(ctx.get());
  BIGNUM* u = BN_CTX_get(ctx.get());
  BIGNUM* v = BN_CTX_get(ctx.get());
  BIGNUM* w = BN_CTX_get(ctx.get());
  BIGNUM* p = BN_CTX_get(ctx.get());
  BIGNUM* d = BN_CTX_get(ctx.get());
  if (d == nullptr || BN_bin2bn(be, sizeof be, y) == nullptr ||
      BN_bin2bn(kP, sizeof kP, p) == nullptr || BN_bin2bn(kD, sizeof kD, d) == nullptr) {
    BN_CTX_end(ctx.get());
    throw std::bad_alloc();
  }
  bool ok = false;
  if (BN_cmp(y, p) < 0 && BN_mod_sqr(y2, y, p, ctx.get()) == 1 &&
      BN_mod_sub(u, y2, BN_value_one(), p, ctx.get()) == 1 &&
      BN_mod_mul(v, d, y2, p, ctx.get()) == 1 &&
      BN_mod_add(v, v, BN_value_one(), p, ctx.get()) == 1) {
    if (BN_is_zero(u)) {
      ok = !sign_bit;  // x = 0 has no negative encoding
    } else if (BN_mod_mul(w, u, v, p, ctx.get()) == 1) {
      // u/v is a square exactly when u*v is (v is never 0: d is not a square).
      ok = BN_kronecker(w, p, ctx.get()) == 1;
    }
  }
  BN_CTX_end(ctx.get());
  return ok;
}

// Libsodium's Ed25519 scalar multiplications take about half the time of OpenSSL 3.0's, while
// OpenSSL's SHA-512 is faster per byte; on x86-64 the two cross near these message lengths
// (measured by bench/, floor/ed25519-*). Both sign deterministically: the signatures are equal.
constexpr std::size_t kSodiumSignBelow = 12 * 1024;
constexpr std::size_t kSodiumVerifyBelow = 20 * 1024;

bool sodium_ready() noexcept {
  static const bool ready = sodium_init() >= 0;
  return ready;
}

// Libsodium's verification checks the same group equation with S < L as OpenSSL's, and in
// addition refuses small-order keys and small-order R, which this library accepts. Its
// acceptance is therefore final; its refusals are decided again by OpenSSL.
bool sodium_accepts(KeyView32 public_key, ByteView message, SignatureView signature) noexcept {
  return message.size() < kSodiumVerifyBelow && sodium_ready() &&
         crypto_sign_verify_detached(signature.data(), message.data(), message.size(),
                                     public_key.data()) == 0;
}

bool openssl_accepts(EVP_PKEY* key, ByteView message, SignatureView signature) {
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
  if (!ctx) throw std::bad_alloc();
  if (EVP_DigestVerifyInit_ex(ctx.get(), nullptr, nullptr, nullptr, nullptr, key, nullptr) != 1) {
    throw std::bad_alloc();
  }
  return EVP_DigestVerify(ctx.get(), signature.data(), signature.size(), message.data(),
                          message.size()) == 1;
}

// The part of strict decoding that needs no arithmetic: y < p, and no sign bit on x = 0 (that is
// y = 1 or y = p - 1). What remains, that a square root exists, holds for every key under which
// either library accepts a signature, since both decode the point first.
bool canonical_bytes(KeyView32 bytes) noexcept {
  const bool sign_bit = (bytes[31] & 0x80) != 0;
  // y >= p = 2^255 - 19 exactly when the low 255 bits are 0x7fff...ffed to 0x7fff...ffff.
  bool top_all_ones = (bytes[31] & 0x7f) == 0x7f;
  for (std::size_t i = 1; i < 31 && top_all_ones; ++i) top_all_ones = bytes[i] == 0xff;
  if (top_all_ones && bytes[0] >= 0xed) return false;
  if (!sign_bit) return true;
  // y = 1 or y = p - 1 (0x7fff...ffec) with the sign bit set.
  bool one = bytes[0] == 1, minus_one = top_all_ones && bytes[0] == 0xec;
  for (std::size_t i = 1; i < 31 && one; ++i) one = bytes[i] == 0;
  if (one) one = (bytes[31] & 0x7f) == 0;
  return !one && !minus_one;
}

// The canonical encodings of the eight points of order dividing 8: the identity, the point of
// order 2, the two of order 4 and the four of order 8. They are the only canonical encodings of
// small-order points, and non-canonical ones are refused before this list is consulted.
constexpr std::uint8_t kSmallOrder[8][32] = {
    {0x01},
    {0xec, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
     0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f},
    {0x00},
    {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
     0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80},
    {0xc7, 0x17, 0x6a, 0x70, 0x3d, 0x4d, 0xd8, 0x4f, 0xba, 0x3c, 0x0b, 0x76, 0x0d, 0x10, 0x67, 0x0f,
     0x2a, 0x20, 0x53, 0xfa, 0x2c, 0x39, 0xcc, 0xc6, 0x4e, 0xc7, 0xfd, 0x77, 0x92, 0xac, 0x03, 0x7a},
    {0xc7, 0x17, 0x6a, 0x70, 0x3d, 0x4d, 0xd8, 0x4f, 0xba, 0x3c, 0x0b, 0x76, 0x0d, 0x10, 0x67, 0x0f,
     0x2a, 0x20, 0x53, 0xfa, 0x2c, 0x39, 0xcc, 0xc6, 0x4e, 0xc7, 0xfd, 0x77, 0x92, 0xac, 0x03, 0xfa},
    {0x26, 0xe8, 0x95, 0x8f, 0xc2, 0xb2, 0x27, 0xb0, 0x45, 0xc3, 0xf4, 0x89, 0xf2, 0xef, 0x98, 0xf0,
     0xd5, 0xdf, 0xac, 0x05, 0xd3, 0xc6, 0x33, 0x39, 0xb1, 0x38, 0x02, 0x88, 0x6d, 0x53, 0xfc, 0x05},
    {0x26, 0xe8, 0x95, 0x8f, 0xc2, 0xb2, 0x27, 0xb0, 0x45, 0xc3, 0xf4, 0x89, 0xf2, 0xef, 0x98, 0xf0,
     0xd5, 0xdf, 0xac, 0x05, 0xd3, 0xc6, 0x33, 0x39, 0xb1, 0x38, 0x02, 0x88, 0x6d, 0x53, 0xfc, 0x85},
};

}  // namespace

std::optional<VerifyingKey> VerifyingKey::from_bytes(const PublicKey& bytes) {
  if (!is_canonical_point(bytes)) return std::nullopt;
  EVP_PKEY* pkey =
      EVP_PKEY_new_raw_public_key_ex(nullptr, kEd25519, nullptr, bytes.data(), bytes.size());
  if (pkey == nullptr) return std::nullopt;
  return VerifyingKey(bytes, std::shared_ptr<void>(pkey, detail::PkeyDeleter{}));
}

SigningKey SigningKey::from_seed(SeedView seed) {
  detail::PkeyHandle priv(
      EVP_PKEY_new_raw_private_key_ex(nullptr, kEd25519, nullptr, seed.data(), seed.size()));
  if (!priv) throw std::bad_alloc();
  PublicKey pub;
  std::size_t pub_len = pub.size();
  if (EVP_PKEY_get_raw_public_key(static_cast<EVP_PKEY*>(priv.get()), pub.data(), &pub_len) != 1 ||
      pub_len != pub.size()) {
    throw std::bad_alloc();
  }
  // The verifying half holds only the public key, so copies of it never keep the secret alive.
  EVP_PKEY* pub_key =
      EVP_PKEY_new_raw_public_key_ex(nullptr, kEd25519, nullptr, pub.data(), pub.size());
  if (pub_key == nullptr) throw std::bad_alloc();
  VerifyingKey vk(pub, std::shared_ptr<void>(pub_key, detail::PkeyDeleter{}));
  return SigningKey(seed, std::shared_ptr<void>(priv.release(), detail::PkeyDeleter{}),
                    std::move(vk));
}

SigningKey signing_key_from_seed(SeedView seed) { return SigningKey::from_seed(seed); }

PublicKey verifying_key_bytes(const SigningKey& key) noexcept {
  return key.verifying_key().bytes();
}

Signature sign(const SigningKey& key, ByteView message) {
  Signature sig{};
  if (message.size() < kSodiumSignBelow && sodium_ready()) {
    // Libsodium's secret key is the seed followed by the public key.
    std::uint8_t sk[crypto_sign_SECRETKEYBYTES];
    WipeOnExit wipe_sk(sk, sizeof sk);
    const auto seed = key.secret_seed();
    std::copy(seed.begin(), seed.end(), sk);
    const PublicKey& pub = key.verifying_key().bytes();
    std::copy(pub.begin(), pub.end(), sk + kSeedSize);
    crypto_sign_detached(sig.data(), nullptr, message.data(), message.size(), sk);
    return sig;
  }
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
  if (!ctx) throw std::bad_alloc();
  std::size_t sig_len = sig.size();
  // Ed25519 signing fails only when OpenSSL cannot allocate.
  if (EVP_DigestSignInit_ex(ctx.get(), nullptr, nullptr, nullptr, nullptr,
                            KeyAccess::pkey(key), nullptr) != 1 ||
      EVP_DigestSign(ctx.get(), sig.data(), &sig_len, message.data(), message.size()) != 1 ||
      sig_len != sig.size()) {
    throw std::bad_alloc();
  }
  return sig;
}

Result<void> verify(const VerifyingKey& key, ByteView message, SignatureView signature) {
  if (sodium_accepts(key.bytes(), message, signature) ||
      openssl_accepts(KeyAccess::pkey(key), message, signature)) {
    return {};
  }
  return std::unexpected(TessellaError(ErrorKind::SignatureInvalid));
}

namespace detail {

Verdict verify_encoded(KeyView32 public_key, ByteView message, SignatureView signature) {
  if (!canonical_bytes(public_key)) return Verdict::BadKey;
  if (sodium_accepts(public_key, message, signature)) return Verdict::Valid;
  // OpenSSL imports the 32 bytes without decoding them; its verification decodes the point and
  // fails when there is none, so an acceptance also proves the key valid.
  detail::PkeyHandle raw(EVP_PKEY_new_raw_public_key_ex(nullptr, kEd25519, nullptr,
                                                        public_key.data(), public_key.size()));
  if (!raw) throw std::bad_alloc();
  if (openssl_accepts(static_cast<EVP_PKEY*>(raw.get()), message, signature)) {
    return Verdict::Valid;
  }
  return is_canonical_point(public_key) ? Verdict::BadSignature : Verdict::BadKey;
}

bool is_small_order(KeyView32 public_key) noexcept {
  for (const auto& point : kSmallOrder) {
    if (std::equal(public_key.begin(), public_key.end(), point)) return true;
  }
  return false;
}

Verdict verify_signer(KeyView32 public_key, ByteView message, SignatureView signature) {
  if (is_small_order(public_key)) return Verdict::BadKey;
  return verify_encoded(public_key, message, signature);
}

Signature sign_with_seed(KeyView32 seed, ByteView message) {
  if (message.size() < kSodiumSignBelow && sodium_ready()) {
    std::uint8_t pk[crypto_sign_PUBLICKEYBYTES];
    std::uint8_t sk[crypto_sign_SECRETKEYBYTES];
    WipeOnExit wipe_sk(sk, sizeof sk);
    crypto_sign_seed_keypair(pk, sk, seed.data());
    Signature sig{};
    crypto_sign_detached(sig.data(), nullptr, message.data(), message.size(), sk);
    return sig;
  }
  const SigningKey key = SigningKey::from_seed(SeedView(seed));
  return sign(key, message);
}

}  // namespace detail

}  // namespace tessella
