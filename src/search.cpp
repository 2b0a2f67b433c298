#include "tessella/search.hpp"

#include <atomic>
#include <memory>

#include <openssl/core_names.h>
#include <openssl/evp.h>

#include "openssl_cache.hpp"
#include "hmac.hpp"

namespace tessella {

namespace {
struct MacFree {
  void operator()(EVP_MAC_CTX* ctx) const noexcept { EVP_MAC_CTX_free(ctx); }
};

EVP_MAC* hmac() noexcept {
  static std::atomic<EVP_MAC*> mac{nullptr};
  return detail::fetch_once(mac, [] { return EVP_MAC_fetch(nullptr, "HMAC", nullptr); },
                            EVP_MAC_free);
}

// An HMAC-SHA-256 context that is never keyed, made once. Each call works on a copy, which
// skips looking the digest up by name on every call: a third of the time of a short MAC. The
// template itself is only read after it is made.
EVP_MAC_CTX* new_template() noexcept {
  EVP_MAC* mac = hmac();
  if (mac == nullptr) return nullptr;
  EVP_MAC_CTX* ctx = EVP_MAC_CTX_new(mac);
  if (ctx == nullptr) return nullptr;
  char digest[] = "SHA256";
  const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                               OSSL_PARAM_construct_end()};
  if (EVP_MAC_CTX_set_params(ctx, params) != 1) {
    EVP_MAC_CTX_free(ctx);
    return nullptr;
  }
  return ctx;
}

const EVP_MAC_CTX* hmac_sha256_template() noexcept {
  static std::atomic<EVP_MAC_CTX*> ctx{nullptr};
  return detail::fetch_once(ctx, new_template, EVP_MAC_CTX_free);
}
}  // namespace

bool detail::hmac_sha256(ByteView key, std::initializer_list<ByteView> parts,
                         std::span<std::uint8_t, 32> out) {
  const EVP_MAC_CTX* tmpl = hmac_sha256_template();
  if (tmpl == nullptr) return false;
  std::unique_ptr<EVP_MAC_CTX, MacFree> ctx(EVP_MAC_CTX_dup(tmpl));
  if (!ctx) throw std::bad_alloc();
  // HMAC takes keys of every length, the empty one included; it must not be a null pointer.
  static const std::uint8_t empty = 0;
  const std::uint8_t* key_ptr = key.empty() ? &empty : key.data();
  if (EVP_MAC_init(ctx.get(), key_ptr, key.size(), nullptr) != 1) return false;
  for (ByteView part : parts) {
    if (!part.empty() && EVP_MAC_update(ctx.get(), part.data(), part.size()) != 1) return false;
  }
  std::size_t len = 0;
  return EVP_MAC_final(ctx.get(), out.data(), &len, out.size()) == 1 && len == out.size();
}

Result<BlindToken> blind_index(ByteView key, ByteView term) {
  BlindToken token{};
  if (!detail::hmac_sha256(key, {term}, token)) {
    return std::unexpected(TessellaError::internal(detail::kHmacFailure));
  }
  return token;
}

}  // namespace tessella
