#include "kdf_internal.hpp"

#include <atomic>
#include <memory>
#include <new>

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>

#include "openssl_cache.hpp"

namespace tessella {

namespace {

struct KdfCtxFree {
  void operator()(EVP_KDF_CTX* ctx) const noexcept { EVP_KDF_CTX_free(ctx); }
};

EVP_KDF* hkdf() noexcept {
  static std::atomic<EVP_KDF*> kdf{nullptr};
  return detail::fetch_once(kdf, [] { return EVP_KDF_fetch(nullptr, "HKDF", nullptr); },
                            EVP_KDF_free);
}

bool run_hkdf(int mode, ByteView salt, ByteView key, ByteView info,
              std::span<std::uint8_t> out) noexcept {
  EVP_KDF* kdf = hkdf();
  if (kdf == nullptr) return false;
  std::unique_ptr<EVP_KDF_CTX, KdfCtxFree> ctx(EVP_KDF_CTX_new(kdf));
  if (!ctx) return false;
  char digest[] = "SHA256";
  OSSL_PARAM params[6];
  std::size_t n = 0;
  params[n++] = OSSL_PARAM_construct_int(OSSL_KDF_PARAM_MODE, &mode);
  params[n++] = OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0);
  // An empty key, salt or info is passed as a zero-length string (never a null pointer).
  static std::uint8_t empty = 0;
  auto octets = [](ByteView v) { return v.empty() ? &empty : const_cast<std::uint8_t*>(v.data()); };
  params[n++] = OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, octets(key), key.size());
  if (!salt.empty()) {
    params[n++] = OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, octets(salt), salt.size());
  }
  if (!info.empty()) {
    params[n++] = OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, octets(info), info.size());
  }
  params[n] = OSSL_PARAM_construct_end();
  return EVP_KDF_derive(ctx.get(), out.data(), out.size(), params) == 1;
}

}  // namespace

bool hkdf_sha256(ByteView salt, ByteView ikm, ByteView info, std::span<std::uint8_t> out) noexcept {
  return run_hkdf(EVP_KDF_HKDF_MODE_EXTRACT_AND_EXPAND, salt, ikm, info, out);
}

bool detail::hkdf_extract(ByteView salt, ByteView ikm, std::span<std::uint8_t, 32> prk) noexcept {
  return run_hkdf(EVP_KDF_HKDF_MODE_EXTRACT_ONLY, salt, ikm, {}, prk);
}

bool detail::hkdf_expand(ByteView prk, ByteView info, std::span<std::uint8_t> out) noexcept {
  return run_hkdf(EVP_KDF_HKDF_MODE_EXPAND_ONLY, {}, prk, info, out);
}

Bytes HkdfV1::derive(ByteView ikm, ByteView info) const {
  Bytes out(32);
  if (!hkdf_sha256({}, ikm, info, out)) throw std::bad_alloc();
  return out;
}

}  // namespace tessella
