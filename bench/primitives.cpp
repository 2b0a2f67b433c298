#include "primitives.hpp"

#include <algorithm>
#include <cstring>

#include <blake3.h>
#include <openssl/core_names.h>
#include <sodium.h>

namespace tessella::bench {

std::string alg_name(std::uint8_t alg) {
  return alg == 1 ? "aes-256-gcm" : "chacha20-poly1305";
}

Bytes filler(std::size_t n, std::uint8_t salt) {
  Bytes b(n);
  std::uint32_t x = 0x9E3779B9u * (salt + 1u);
  for (auto& v : b) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    v = static_cast<std::uint8_t>(x);
  }
  return b;
}

const Fixture& fixture() {
  static const Fixture fx = [] {
    Fixture f;
    f.data_key = filler(32, 1);
    std::ranges::copy(filler(12, 2), f.nonce.begin());
    std::ranges::copy(filler(16, 3), f.ts.begin());
    std::ranges::copy(filler(32, 4), f.author_seed.begin());
    std::ranges::copy(filler(32, 5), f.owner.begin());
    std::ranges::copy(filler(32, 6), f.prev_cid.begin());
    std::ranges::copy(filler(32, 7), f.issuer_seed.begin());
    std::ranges::copy(filler(32, 8), f.holder_seed.begin());
    std::uint8_t sk[64];
    crypto_sign_seed_keypair(f.author.data(), sk, f.author_seed.data());
    crypto_sign_seed_keypair(f.issuer.data(), sk, f.issuer_seed.data());
    crypto_sign_seed_keypair(f.holder.data(), sk, f.holder_seed.data());
    sodium_memzero(sk, sizeof sk);
    return f;
  }();
  return fx;
}

EventBody event_body() {
  EventBody b;
  b.scope_cid = fixture().prev_cid;
  b.rights = Rights::READ_FEATURES | Rights::COMPUTE_USE;
  b.exp_ts = 1'700'000'000'000ull;
  b.peer_pub = fixture().holder;
  return b;
}

Cid b3(const std::uint8_t* data, std::size_t len) {
  blake3_hasher h;
  blake3_hasher_init(&h);
  blake3_hasher_update(&h, data, len);
  Cid out;
  blake3_hasher_finalize(&h, out.data(), out.size());
  return out;
}

const EVP_CIPHER* ossl_cipher(std::uint8_t alg) {
  static EVP_CIPHER* gcm = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
  static EVP_CIPHER* chacha = EVP_CIPHER_fetch(nullptr, "ChaCha20-Poly1305", nullptr);
  return alg == 1 ? gcm : chacha;
}

EVP_MAC* ossl_hmac() {
  static EVP_MAC* mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
  return mac;
}

bool ossl_encrypt(EVP_CIPHER_CTX* ctx, std::uint8_t alg, const std::uint8_t* key,
                  const std::uint8_t* nonce, ByteView ad, const std::uint8_t* pt, std::size_t n,
                  std::uint8_t* out, std::uint8_t* tag) {
  int len = 0;
  std::uint8_t spare[32];
  return EVP_EncryptInit_ex2(ctx, ossl_cipher(alg), key, nonce, nullptr) == 1 &&
         EVP_EncryptUpdate(ctx, nullptr, &len, ad.data(), static_cast<int>(ad.size())) == 1 &&
         EVP_EncryptUpdate(ctx, out, &len, pt, static_cast<int>(n)) == 1 &&
         EVP_EncryptFinal_ex(ctx, spare, &len) == 1 &&
         EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_GET_TAG, 16, tag) == 1;
}

bool ossl_decrypt(EVP_CIPHER_CTX* ctx, std::uint8_t alg, const std::uint8_t* key,
                  const std::uint8_t* nonce, ByteView ad, const std::uint8_t* ct, std::size_t n,
                  const std::uint8_t* tag, std::uint8_t* out) {
  int len = 0;
  std::uint8_t spare[32];
  std::uint8_t tag_copy[16];
  std::memcpy(tag_copy, tag, 16);
  return EVP_DecryptInit_ex2(ctx, ossl_cipher(alg), key, nonce, nullptr) == 1 &&
         EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_TAG, 16, tag_copy) == 1 &&
         EVP_DecryptUpdate(ctx, nullptr, &len, ad.data(), static_cast<int>(ad.size())) == 1 &&
         EVP_DecryptUpdate(ctx, out, &len, ct, static_cast<int>(n)) == 1 &&
         EVP_DecryptFinal_ex(ctx, spare, &len) == 1;
}

bool ossl_sign(EVP_MD_CTX* ctx, EVP_PKEY* key, const std::uint8_t* msg, std::size_t len,
               std::uint8_t* sig) {
  std::size_t sig_len = 64;
  return EVP_DigestSignInit_ex(ctx, nullptr, nullptr, nullptr, nullptr, key, nullptr) == 1 &&
         EVP_DigestSign(ctx, sig, &sig_len, msg, len) == 1;
}

bool ossl_verify(EVP_MD_CTX* ctx, const std::uint8_t* pub, const std::uint8_t* msg,
                 std::size_t len, const std::uint8_t* sig) {
  EVP_PKEY* key = EVP_PKEY_new_raw_public_key_ex(nullptr, "ED25519", nullptr, pub, 32);
  if (key == nullptr) return false;
  const bool ok =
      EVP_DigestVerifyInit_ex(ctx, nullptr, nullptr, nullptr, nullptr, key, nullptr) == 1 &&
      EVP_DigestVerify(ctx, sig, 64, msg, len) == 1;
  EVP_PKEY_free(key);
  return ok;
}

bool ossl_hmac256(EVP_MAC_CTX* ctx, ByteView key, ByteView a, ByteView b, std::uint8_t* out) {
  char digest[] = "SHA256";
  OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                         OSSL_PARAM_construct_end()};
  static const std::uint8_t empty = 0;
  std::size_t len = 0;
  return EVP_MAC_init(ctx, key.empty() ? &empty : key.data(), key.size(), params) == 1 &&
         EVP_MAC_update(ctx, a.data(), a.size()) == 1 &&
         (b.empty() || EVP_MAC_update(ctx, b.data(), b.size()) == 1) &&
         EVP_MAC_final(ctx, out, &len, 32) == 1;
}

bool na_encrypt(std::uint8_t alg, const std::uint8_t* key, const std::uint8_t* nonce, ByteView ad,
                const std::uint8_t* pt, std::size_t n, std::uint8_t* out, std::uint8_t* tag) {
  unsigned long long tag_len = 0;
  if (alg == 1) {
    return crypto_aead_aes256gcm_encrypt_detached(out, tag, &tag_len, pt, n, ad.data(), ad.size(),
                                                  nullptr, nonce, key) == 0;
  }
  return crypto_aead_chacha20poly1305_ietf_encrypt_detached(out, tag, &tag_len, pt, n, ad.data(),
                                                            ad.size(), nullptr, nonce, key) == 0;
}

bool na_decrypt(std::uint8_t alg, const std::uint8_t* key, const std::uint8_t* nonce, ByteView ad,
                const std::uint8_t* ct, std::size_t n, const std::uint8_t* tag,
                std::uint8_t* out) {
  if (alg == 1) {
    return crypto_aead_aes256gcm_decrypt_detached(out, nullptr, ct, n, tag, ad.data(), ad.size(),
                                                  nonce, key) == 0;
  }
  return crypto_aead_chacha20poly1305_ietf_decrypt_detached(out, nullptr, ct, n, tag, ad.data(),
                                                            ad.size(), nonce, key) == 0;
}

void na_hmac256(ByteView key, ByteView a, ByteView b, std::uint8_t* out) {
  crypto_auth_hmacsha256_state st;
  crypto_auth_hmacsha256_init(&st, key.data(), key.size());
  crypto_auth_hmacsha256_update(&st, a.data(), a.size());
  crypto_auth_hmacsha256_update(&st, b.data(), b.size());
  crypto_auth_hmacsha256_final(&st, out);
  sodium_memzero(&st, sizeof st);
}

}  // namespace tessella::bench
