#include "tessella/aead.hpp"

#include <algorithm>
#include <atomic>
#include <climits>
#include <memory>
#include <new>

#include <openssl/evp.h>
#include <sodium.h>

#include "openssl_cache.hpp"
#include "tessella/secret.hpp"

namespace tessella {

namespace {

// EVP takes int lengths; larger inputs are fed in pieces of this size.
constexpr std::size_t kChunk = std::size_t{1} << 30;

constexpr std::uint64_t kGcmMaxPlaintext = std::uint64_t{1} << 36;
constexpr std::uint64_t kGcmMaxAad = std::uint64_t{1} << 36;
constexpr std::uint64_t kGcmMaxCiphertext = (std::uint64_t{1} << 36) + 16;
constexpr std::uint64_t kChaChaLimit = 64 * ((std::uint64_t{1} << 32) - 1);

struct Cipher {
  const char* name;
  const char* encrypt_detail;
  // Texts shorter than this go to libsodium: its one-shot functions skip OpenSSL's per-call
  // context and provider set-up (about 0.3 us), which dominates short texts, while OpenSSL's
  // wider vector code wins on long ones (crossovers measured by bench/, floor/aead-*).
  std::size_t sodium_below;
};
constexpr Cipher kGcm{"AES-256-GCM", "aes-gcm encrypt", 1024};
constexpr Cipher kChaCha{"ChaCha20-Poly1305", "chacha encrypt", 512};

// Libsodium's AES-256-GCM needs AES-NI and PCLMULQDQ; without them everything goes to OpenSSL.
bool sodium_has(const Cipher& c) noexcept {
  static const bool ready = sodium_init() >= 0;
  static const bool gcm = ready && crypto_aead_aes256gcm_is_available() == 1;
  return &c == &kGcm ? gcm : ready;
}

// In-place calls stay with OpenSSL, whose in-place operation is documented.
bool use_sodium(const Cipher& c, std::size_t len, const void* in, const void* out) noexcept {
  return len < c.sodium_below && (len == 0 || in != out) && sodium_has(c);
}

// Libsodium declares the ciphertext pointer nonnull even when its length is 0, and an empty
// span (an empty vector's) may hold a null pointer: empty texts pass the address of a spare byte.
bool sodium_encrypt(const Cipher& c, ByteView key, NonceView nonce, ByteView aad, ByteView pt,
                    std::span<std::uint8_t> out, std::span<std::uint8_t, kTagSize> tag) noexcept {
  unsigned long long tag_len = 0;
  std::uint8_t none = 0;
  std::uint8_t* ct = out.empty() ? &none : out.data();
  const int r =
      &c == &kGcm
          ? crypto_aead_aes256gcm_encrypt_detached(ct, tag.data(), &tag_len, pt.data(),
                                                   pt.size(), aad.data(), aad.size(), nullptr,
                                                   nonce.data(), key.data())
          : crypto_aead_chacha20poly1305_ietf_encrypt_detached(
                ct, tag.data(), &tag_len, pt.data(), pt.size(), aad.data(), aad.size(),
                nullptr, nonce.data(), key.data());
  return r == 0 && tag_len == kTagSize;
}

bool sodium_decrypt(const Cipher& c, ByteView key, NonceView nonce, ByteView aad, ByteView ct,
                    std::span<const std::uint8_t, kTagSize> tag,
                    std::span<std::uint8_t> out) noexcept {
  const std::uint8_t none = 0;
  const std::uint8_t* in = ct.empty() ? &none : ct.data();
  const int r =
      &c == &kGcm
          ? crypto_aead_aes256gcm_decrypt_detached(out.data(), nullptr, in, ct.size(),
                                                   tag.data(), aad.data(), aad.size(),
                                                   nonce.data(), key.data())
          : crypto_aead_chacha20poly1305_ietf_decrypt_detached(out.data(), nullptr, in,
                                                               ct.size(), tag.data(), aad.data(),
                                                               aad.size(), nonce.data(),
                                                               key.data());
  return r == 0;
}

// Fetched once: the explicit fetch spares every call OpenSSL's implicit algorithm lookup.
const EVP_CIPHER* fetched(const Cipher& c) noexcept {
  static std::atomic<EVP_CIPHER*> gcm{nullptr};
  static std::atomic<EVP_CIPHER*> chacha{nullptr};
  return detail::fetch_once(
      &c == &kGcm ? gcm : chacha, [&] { return EVP_CIPHER_fetch(nullptr, c.name, nullptr); },
      EVP_CIPHER_free);
}

struct CtxFree {
  void operator()(EVP_CIPHER_CTX* ctx) const noexcept { EVP_CIPHER_CTX_free(ctx); }
};
using CtxPtr = std::unique_ptr<EVP_CIPHER_CTX, CtxFree>;

// Feeds associated data (out == nullptr) or text through EVP in int-sized pieces.
bool feed(EVP_CIPHER_CTX* ctx, bool enc, std::uint8_t* out, const std::uint8_t* in,
          std::size_t len) noexcept {
  std::size_t done = 0;
  while (done < len) {
    std::size_t piece = len - done < kChunk ? len - done : kChunk;
    int outl = 0;
    const int inl = static_cast<int>(piece);
    std::uint8_t* dst = out != nullptr ? out + done : nullptr;
    int ok = enc ? EVP_EncryptUpdate(ctx, dst, &outl, in + done, inl)
                 : EVP_DecryptUpdate(ctx, dst, &outl, in + done, inl);
    if (ok != 1 || (out != nullptr && outl != inl)) return false;
    done += piece;
  }
  return true;
}

CtxPtr new_ctx() {
  CtxPtr ctx(EVP_CIPHER_CTX_new());
  if (!ctx) throw std::bad_alloc();
  return ctx;
}

Result<void> encrypt_with(const Cipher& c, ByteView key, NonceView nonce, ByteView aad,
                          ByteView pt, std::span<std::uint8_t> out,
                          std::span<std::uint8_t, kTagSize> tag) {
  if (key.size() != kKeySize) return std::unexpected(TessellaError(ErrorKind::KeyUnavailable));
  const auto refused = std::unexpected(TessellaError::internal(c.encrypt_detail));
  if (&c == &kGcm) {
    if (pt.size() > kGcmMaxPlaintext || aad.size() > kGcmMaxAad) return refused;
  } else if (pt.size() >= kChaChaLimit) {
    return refused;
  }
  if (out.size() != pt.size()) return refused;
  if (use_sodium(c, pt.size(), pt.data(), out.data())) {
    if (!sodium_encrypt(c, key, nonce, aad, pt, out, tag)) {
      secure_wipe(out.data(), out.size());
      secure_wipe(tag.data(), tag.size());
      return refused;
    }
    return {};
  }
  const EVP_CIPHER* cipher = fetched(c);
  if (cipher == nullptr) return refused;

  CtxPtr ctx = new_ctx();
  std::uint8_t spare[32];  // stream ciphers write nothing at the final step
  int final_len = 0;
  if (EVP_EncryptInit_ex2(ctx.get(), cipher, key.data(), nonce.data(), nullptr) != 1 ||
      !feed(ctx.get(), true, nullptr, aad.data(), aad.size()) ||
      !feed(ctx.get(), true, out.data(), pt.data(), pt.size()) ||
      EVP_EncryptFinal_ex(ctx.get(), spare, &final_len) != 1 || final_len != 0 ||
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_GET_TAG, static_cast<int>(kTagSize),
                          tag.data()) != 1) {
    secure_wipe(out.data(), out.size());
    secure_wipe(tag.data(), tag.size());
    return refused;
  }
  return {};
}

Result<void> decrypt_with(const Cipher& c, ByteView key, NonceView nonce, ByteView aad,
                          ByteView ct, std::span<const std::uint8_t, kTagSize> tag,
                          std::span<std::uint8_t> out) {
  if (key.size() != kKeySize) return std::unexpected(TessellaError(ErrorKind::KeyUnavailable));
  const auto mismatch = std::unexpected(TessellaError(ErrorKind::AeadTagMismatch));
  if (&c == &kGcm) {
    if (ct.size() > kGcmMaxCiphertext || aad.size() > kGcmMaxAad) return mismatch;
  } else if (ct.size() >= kChaChaLimit) {
    return mismatch;
  }
  if (out.size() != ct.size()) return mismatch;
  if (use_sodium(c, ct.size(), ct.data(), out.data())) {
    if (!sodium_decrypt(c, key, nonce, aad, ct, tag, out)) {
      // Authentication failed: no plaintext byte leaves this function.
      secure_wipe(out.data(), out.size());
      return mismatch;
    }
    return {};
  }
  const EVP_CIPHER* cipher = fetched(c);
  if (cipher == nullptr) return mismatch;

  CtxPtr ctx = new_ctx();
  // The tag is set before the final step, with exactly 16 bytes: EVP would accept a truncated
  // tag, and ChaCha20-Poly1305 without a tag authenticates nothing.
  Tag tag_copy;
  std::copy(tag.begin(), tag.end(), tag_copy.begin());
  std::uint8_t spare[32];
  int final_len = 0;
  if (EVP_DecryptInit_ex2(ctx.get(), cipher, key.data(), nonce.data(), nullptr) != 1 ||
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_SET_TAG, static_cast<int>(kTagSize),
                          tag_copy.data()) != 1 ||
      !feed(ctx.get(), false, nullptr, aad.data(), aad.size()) ||
      !feed(ctx.get(), false, out.data(), ct.data(), ct.size()) ||
      EVP_DecryptFinal_ex(ctx.get(), spare, &final_len) != 1 || final_len != 0) {
    // Authentication failed: no plaintext byte leaves this function.
    secure_wipe(out.data(), out.size());
    return mismatch;
  }
  return {};
}

}  // namespace

Result<Sealed> AeadImpl::encrypt(ByteView key, NonceView nonce, ByteView aad,
                                 ByteView plaintext) const {
  if (key.size() != kKeySize) return std::unexpected(TessellaError(ErrorKind::KeyUnavailable));
  // An input beyond the cipher's limits is refused before its output is allocated: with no
  // room to write, the implementation answers with its own refusal.
  if (!within_limits(plaintext.size(), aad.size(), true)) {
    Tag unused;
    auto r = encrypt_into(key, nonce, aad, plaintext, {}, unused);
    return std::unexpected(r ? TessellaError::internal("aead limits") : r.error());
  }
  Sealed sealed;
  sealed.ct.resize(plaintext.size());
  auto r = encrypt_into(key, nonce, aad, plaintext, sealed.ct, sealed.tag);
  if (!r) return std::unexpected(r.error());
  return sealed;
}

Result<Bytes> AeadImpl::decrypt(ByteView key, NonceView nonce, ByteView aad, ByteView ct,
                                std::span<const std::uint8_t, kTagSize> tag) const {
  if (key.size() != kKeySize) return std::unexpected(TessellaError(ErrorKind::KeyUnavailable));
  if (!within_limits(ct.size(), aad.size(), false)) {
    return std::unexpected(TessellaError(ErrorKind::AeadTagMismatch));
  }
  Bytes pt(ct.size());
  auto r = decrypt_into(key, nonce, aad, ct, tag, pt);
  if (!r) return std::unexpected(r.error());
  return pt;
}

Result<void> AesGcmImpl::encrypt_into(ByteView key, NonceView nonce, ByteView aad,
                                      ByteView plaintext, std::span<std::uint8_t> out,
                                      std::span<std::uint8_t, kTagSize> tag) const {
  return encrypt_with(kGcm, key, nonce, aad, plaintext, out, tag);
}

Result<void> AesGcmImpl::decrypt_into(ByteView key, NonceView nonce, ByteView aad, ByteView ct,
                                      std::span<const std::uint8_t, kTagSize> tag,
                                      std::span<std::uint8_t> out) const {
  return decrypt_with(kGcm, key, nonce, aad, ct, tag, out);
}

Result<void> ChaCha20Impl::encrypt_into(ByteView key, NonceView nonce, ByteView aad,
                                        ByteView plaintext, std::span<std::uint8_t> out,
                                        std::span<std::uint8_t, kTagSize> tag) const {
  return encrypt_with(kChaCha, key, nonce, aad, plaintext, out, tag);
}

Result<void> ChaCha20Impl::decrypt_into(ByteView key, NonceView nonce, ByteView aad, ByteView ct,
                                        std::span<const std::uint8_t, kTagSize> tag,
                                        std::span<std::uint8_t> out) const {
  return decrypt_with(kChaCha, key, nonce, aad, ct, tag, out);
}

bool AesGcmImpl::within_limits(std::size_t text, std::size_t aad, bool encrypting) const noexcept {
  return aad <= kGcmMaxAad && text <= (encrypting ? kGcmMaxPlaintext : kGcmMaxCiphertext);
}

bool ChaCha20Impl::within_limits(std::size_t text, std::size_t, bool) const noexcept {
  return text < kChaChaLimit;
}

const AeadImpl& aead_for(std::uint8_t alg) noexcept {
  static const AesGcmImpl gcm;
  static const ChaCha20Impl chacha;
  if (alg == kAlgAesGcm) return gcm;
  return chacha;
}

}  // namespace tessella
