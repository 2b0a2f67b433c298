#include "tessella/aead.hpp"

#include <algorithm>
#include <atomic>
#include <climits>
#include <memory>
#include <new>

#include <openssl/evp.h>
#include <sodium.h>

#include "aead_internal.hpp"
#include "openssl_cache.hpp"
#include "tessella/secret.hpp"

namespace tessella {

namespace {

// EVP takes int lengths; larger inputs are fed in pieces of this size.
constexpr std::size_t kChunk = std::size_t{1} << 30;

// Each cipher's constants, written once: its OpenSSL name, its refusal text, its limits, its
// libsodium one-shot functions, and the text length below which libsodium serves it. Libsodium's
// one-shot functions skip OpenSSL's per-call context and provider set-up (about 0.3 us), which
// dominates short texts, while OpenSSL's wider vector code wins on long ones (crossovers
// measured by bench/, floor/aead-*).
struct Gcm {
  static constexpr const char* kEvpName = "AES-256-GCM";
  static constexpr const char* kEncryptDetail = "aes-gcm encrypt";
  static constexpr std::size_t kSodiumBelow = 1024;
  static constexpr auto sodium_encrypt = crypto_aead_aes256gcm_encrypt_detached;
  static constexpr auto sodium_decrypt = crypto_aead_aes256gcm_decrypt_detached;
  // NIST SP 800-38D: 2^39 - 256 bits of plaintext; 2^36 bytes is the round bound below it.
  static constexpr bool within(std::uint64_t text, std::uint64_t aad, bool encrypting) noexcept {
    constexpr std::uint64_t kMax = std::uint64_t{1} << 36;
    return aad <= kMax && text <= (encrypting ? kMax : kMax + kTagSize);
  }
  // Libsodium's AES-256-GCM needs AES-NI and PCLMULQDQ; without them everything goes to OpenSSL.
  [[gnu::always_inline]] static bool sodium_ready() noexcept {
    static const bool ready = sodium_init() >= 0 && crypto_aead_aes256gcm_is_available() == 1;
    return ready;
  }
};

struct ChaCha {
  static constexpr const char* kEvpName = "ChaCha20-Poly1305";
  static constexpr const char* kEncryptDetail = "chacha encrypt";
  static constexpr std::size_t kSodiumBelow = 512;
  static constexpr auto sodium_encrypt = crypto_aead_chacha20poly1305_ietf_encrypt_detached;
  static constexpr auto sodium_decrypt = crypto_aead_chacha20poly1305_ietf_decrypt_detached;
  // RFC 8439: the 32-bit block counter bounds the text to 64 * (2^32 - 1) bytes.
  static constexpr bool within(std::uint64_t text, std::uint64_t, bool) noexcept {
    return text < 64 * ((std::uint64_t{1} << 32) - 1);
  }
  [[gnu::always_inline]] static bool sodium_ready() noexcept {
    static const bool ready = sodium_init() >= 0;
    return ready;
  }
};

// In-place calls stay with OpenSSL, whose in-place operation is documented.
template <class C>
[[gnu::always_inline]] inline bool use_sodium(std::size_t len, const void* in,
                                              const void* out) noexcept {
  return len < C::kSodiumBelow && (len == 0 || in != out) && C::sodium_ready();
}

// Fetched once: the explicit fetch spares every call OpenSSL's implicit algorithm lookup.
template <class C>
const EVP_CIPHER* fetched() noexcept {
  static std::atomic<EVP_CIPHER*> cache{nullptr};
  return detail::fetch_once(
      cache, [] { return EVP_CIPHER_fetch(nullptr, C::kEvpName, nullptr); }, EVP_CIPHER_free);
}

struct CtxFree {
  void operator()(EVP_CIPHER_CTX* ctx) const noexcept { EVP_CIPHER_CTX_free(ctx); }
};
using CtxPtr = std::unique_ptr<EVP_CIPHER_CTX, CtxFree>;

CtxPtr new_ctx() {
  CtxPtr ctx(EVP_CIPHER_CTX_new());
  if (!ctx) throw std::bad_alloc();
  return ctx;
}

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

// The EVP interface is the same for both ciphers; only the fetched cipher differs.
bool evp_encrypt(const EVP_CIPHER* cipher, ByteView key, NonceView nonce, ByteView aad,
                 ByteView pt, std::span<std::uint8_t> out, std::span<std::uint8_t, kTagSize> tag) {
  if (cipher == nullptr) return false;
  CtxPtr ctx = new_ctx();
  std::uint8_t spare[32];  // stream ciphers write nothing at the final step
  int final_len = 0;
  return EVP_EncryptInit_ex2(ctx.get(), cipher, key.data(), nonce.data(), nullptr) == 1 &&
         feed(ctx.get(), true, nullptr, aad.data(), aad.size()) &&
         feed(ctx.get(), true, out.data(), pt.data(), pt.size()) &&
         EVP_EncryptFinal_ex(ctx.get(), spare, &final_len) == 1 && final_len == 0 &&
         EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_GET_TAG, static_cast<int>(kTagSize),
                             tag.data()) == 1;
}

bool evp_decrypt(const EVP_CIPHER* cipher, ByteView key, NonceView nonce, ByteView aad,
                 ByteView ct, std::span<const std::uint8_t, kTagSize> tag,
                 std::span<std::uint8_t> out) {
  if (cipher == nullptr) return false;
  CtxPtr ctx = new_ctx();
  // The tag is set before the final step, with exactly 16 bytes: EVP would accept a truncated
  // tag, and ChaCha20-Poly1305 without a tag authenticates nothing.
  Tag tag_copy;
  std::copy(tag.begin(), tag.end(), tag_copy.begin());
  std::uint8_t spare[32];
  int final_len = 0;
  return EVP_DecryptInit_ex2(ctx.get(), cipher, key.data(), nonce.data(), nullptr) == 1 &&
         EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_SET_TAG, static_cast<int>(kTagSize),
                             tag_copy.data()) == 1 &&
         feed(ctx.get(), false, nullptr, aad.data(), aad.size()) &&
         feed(ctx.get(), false, out.data(), ct.data(), ct.size()) &&
         EVP_DecryptFinal_ex(ctx.get(), spare, &final_len) == 1 && final_len == 0;
}

template <class C>
Result<void> encrypt_into(ByteView key, NonceView nonce, ByteView aad, ByteView pt,
                          std::span<std::uint8_t> out, std::span<std::uint8_t, kTagSize> tag) {
  if (key.size() != kKeySize) return std::unexpected(TessellaError(ErrorKind::KeyUnavailable));
  if (!C::within(pt.size(), aad.size(), true) || out.size() != pt.size()) {
    return std::unexpected(TessellaError::internal(C::kEncryptDetail));
  }
  bool ok;
  if (use_sodium<C>(pt.size(), pt.data(), out.data())) {
    // Libsodium declares the ciphertext pointer nonnull even when its length is 0, and an
    // empty span (an empty vector's) may hold a null pointer: pass a spare byte's address.
    std::uint8_t none = 0;
    unsigned long long tag_len = 0;
    ok = C::sodium_encrypt(out.empty() ? &none : out.data(), tag.data(), &tag_len, pt.data(),
                           pt.size(), aad.data(), aad.size(), nullptr, nonce.data(),
                           key.data()) == 0 &&
         tag_len == kTagSize;
  } else {
    ok = evp_encrypt(fetched<C>(), key, nonce, aad, pt, out, tag);
  }
  if (!ok) {
    secure_wipe(out.data(), out.size());
    secure_wipe(tag.data(), tag.size());
    return std::unexpected(TessellaError::internal(C::kEncryptDetail));
  }
  return {};
}

template <class C>
[[gnu::always_inline]] inline Result<void> decrypt_into(
    ByteView key, NonceView nonce, ByteView aad, ByteView ct,
    std::span<const std::uint8_t, kTagSize> tag, std::span<std::uint8_t> out) {
  if (key.size() != kKeySize) return std::unexpected(TessellaError(ErrorKind::KeyUnavailable));
  const auto mismatch = std::unexpected(TessellaError(ErrorKind::AeadTagMismatch));
  if (!C::within(ct.size(), aad.size(), false) || out.size() != ct.size()) return mismatch;
  bool ok;
  if (use_sodium<C>(ct.size(), ct.data(), out.data())) {
    const std::uint8_t none = 0;
    ok = C::sodium_decrypt(out.data(), nullptr, ct.empty() ? &none : ct.data(), ct.size(),
                           tag.data(), aad.data(), aad.size(), nonce.data(), key.data()) == 0;
  } else {
    ok = evp_decrypt(fetched<C>(), key, nonce, aad, ct, tag, out);
  }
  if (!ok) {
    // Authentication failed: no plaintext byte leaves this function.
    secure_wipe(out.data(), out.size());
    return mismatch;
  }
  return {};
}

// The owned forms refuse an input beyond the limits before allocating its output.
template <class C>
Result<Sealed> encrypt(ByteView key, NonceView nonce, ByteView aad, ByteView pt) {
  if (key.size() != kKeySize) return std::unexpected(TessellaError(ErrorKind::KeyUnavailable));
  if (!C::within(pt.size(), aad.size(), true)) {
    return std::unexpected(TessellaError::internal(C::kEncryptDetail));
  }
  Sealed sealed;
  sealed.ct.resize(pt.size());
  auto r = encrypt_into<C>(key, nonce, aad, pt, sealed.ct, sealed.tag);
  if (!r) return std::unexpected(r.error());
  return sealed;
}

template <class C>
Result<Bytes> decrypt(ByteView key, NonceView nonce, ByteView aad, ByteView ct,
                      std::span<const std::uint8_t, kTagSize> tag) {
  if (key.size() != kKeySize) return std::unexpected(TessellaError(ErrorKind::KeyUnavailable));
  if (!C::within(ct.size(), aad.size(), false)) {
    return std::unexpected(TessellaError(ErrorKind::AeadTagMismatch));
  }
  Bytes pt(ct.size());
  auto r = decrypt_into<C>(key, nonce, aad, ct, tag, pt);
  if (!r) return std::unexpected(r.error());
  return pt;
}

}  // namespace

Result<Sealed> AesGcmImpl::encrypt(ByteView key, NonceView nonce, ByteView aad,
                                   ByteView plaintext) const {
  return tessella::encrypt<Gcm>(key, nonce, aad, plaintext);
}

Result<Bytes> AesGcmImpl::decrypt(ByteView key, NonceView nonce, ByteView aad, ByteView ct,
                                  std::span<const std::uint8_t, kTagSize> tag) const {
  return tessella::decrypt<Gcm>(key, nonce, aad, ct, tag);
}

Result<void> AesGcmImpl::encrypt_into(ByteView key, NonceView nonce, ByteView aad,
                                      ByteView plaintext, std::span<std::uint8_t> out,
                                      std::span<std::uint8_t, kTagSize> tag) const {
  return tessella::encrypt_into<Gcm>(key, nonce, aad, plaintext, out, tag);
}

Result<void> AesGcmImpl::decrypt_into(ByteView key, NonceView nonce, ByteView aad, ByteView ct,
                                      std::span<const std::uint8_t, kTagSize> tag,
                                      std::span<std::uint8_t> out) const {
  return tessella::decrypt_into<Gcm>(key, nonce, aad, ct, tag, out);
}

bool AesGcmImpl::within_limits(std::size_t text, std::size_t aad, bool encrypting) const noexcept {
  return Gcm::within(text, aad, encrypting);
}

Result<Sealed> ChaCha20Impl::encrypt(ByteView key, NonceView nonce, ByteView aad,
                                     ByteView plaintext) const {
  return tessella::encrypt<ChaCha>(key, nonce, aad, plaintext);
}

Result<Bytes> ChaCha20Impl::decrypt(ByteView key, NonceView nonce, ByteView aad, ByteView ct,
                                    std::span<const std::uint8_t, kTagSize> tag) const {
  return tessella::decrypt<ChaCha>(key, nonce, aad, ct, tag);
}

Result<void> ChaCha20Impl::encrypt_into(ByteView key, NonceView nonce, ByteView aad,
                                        ByteView plaintext, std::span<std::uint8_t> out,
                                        std::span<std::uint8_t, kTagSize> tag) const {
  return tessella::encrypt_into<ChaCha>(key, nonce, aad, plaintext, out, tag);
}

Result<void> ChaCha20Impl::decrypt_into(ByteView key, NonceView nonce, ByteView aad, ByteView ct,
                                        std::span<const std::uint8_t, kTagSize> tag,
                                        std::span<std::uint8_t> out) const {
  return tessella::decrypt_into<ChaCha>(key, nonce, aad, ct, tag, out);
}

bool ChaCha20Impl::within_limits(std::size_t text, std::size_t aad, bool encrypting) const noexcept {
  return ChaCha::within(text, aad, encrypting);
}

Result<void> detail::aead_decrypt_into(std::uint8_t alg, ByteView key, NonceView nonce,
                                       ByteView aad, ByteView ct,
                                       std::span<const std::uint8_t, kTagSize> tag,
                                       std::span<std::uint8_t> out) {
  if (alg == kAlgAesGcm) return tessella::decrypt_into<Gcm>(key, nonce, aad, ct, tag, out);
  return tessella::decrypt_into<ChaCha>(key, nonce, aad, ct, tag, out);
}

const AeadImpl& aead_for(std::uint8_t alg) noexcept {
  static const AesGcmImpl gcm;
  static const ChaCha20Impl chacha;
  if (alg == kAlgAesGcm) return gcm;
  return chacha;
}

}  // namespace tessella
