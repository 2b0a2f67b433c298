#include "tessella/aead.hpp"

#include <algorithm>
#include <atomic>
#include <climits>
#include <memory>
#include <new>

#include <openssl/evp.h>

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
};
constexpr Cipher kGcm{"AES-256-GCM", "aes-gcm encrypt"};
constexpr Cipher kChaCha{"ChaCha20-Poly1305", "chacha encrypt"};

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
  Sealed sealed;
  sealed.ct.resize(plaintext.size());
  auto r = encrypt_into(key, nonce, aad, plaintext, sealed.ct, sealed.tag);
  if (!r) return std::unexpected(r.error());
  return sealed;
}

Result<Bytes> AeadImpl::decrypt(ByteView key, NonceView nonce, ByteView aad, ByteView ct,
                                std::span<const std::uint8_t, kTagSize> tag) const {
  if (key.size() != kKeySize) return std::unexpected(TessellaError(ErrorKind::KeyUnavailable));
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

const AeadImpl& aead_for(std::uint8_t alg) noexcept {
  static const AesGcmImpl gcm;
  static const ChaCha20Impl chacha;
  if (alg == kAlgAesGcm) return gcm;
  return chacha;
}

}  // namespace tessella
