#include "tessella/search.hpp"

#include <atomic>
#include <memory>

#include <openssl/core_names.h>
#include <openssl/evp.h>

#include "openssl_cache.hpp"

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
}  // namespace

bool detail::hmac_sha256(ByteView key, std::initializer_list<ByteView> parts,
                         std::span<std::uint8_t, 32> out) {
  EVP_MAC* mac = hmac();
  if (mac == nullptr) return false;
  std::unique_ptr<EVP_MAC_CTX, MacFree> ctx(EVP_MAC_CTX_new(mac));
  if (!ctx) throw std::bad_alloc();
  char digest[] = "SHA256";
  OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                         OSSL_PARAM_construct_end()};
  // HMAC takes keys of every length, the empty one included; it must not be a null pointer.
  static const std::uint8_t empty = 0;
  const std::uint8_t* key_ptr = key.empty() ? &empty : key.data();
  if (EVP_MAC_init(ctx.get(), key_ptr, key.size(), params) != 1) return false;
  for (ByteView part : parts) {
    if (!part.empty() && EVP_MAC_update(ctx.get(), part.data(), part.size()) != 1) return false;
  }
  std::size_t len = 0;
  return EVP_MAC_final(ctx.get(), out.data(), &len, out.size()) == 1 && len == out.size();
}

Result<BlindToken> blind_index(ByteView key, ByteView term) {
  BlindToken token{};
  if (!detail::hmac_sha256(key, {term}, token)) {
    return std::unexpected(TessellaError::internal("hmac key init"));
  }
  return token;
}

}  // namespace tessella
