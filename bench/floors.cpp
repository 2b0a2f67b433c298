#include "floors.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include <blake3.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/kdf.h>

namespace tessella::bench {

namespace {

constexpr std::size_t kFixed = 136;
constexpr std::size_t kTrailer = 80;
constexpr std::string_view kEventPol = "event";
constexpr std::string_view kNonceLabel = "tessella event nonce v1";

void die(const char* what) { throw std::runtime_error(what); }

// ---------------------------------------------------------------------------------------------
// Byte layout, written by hand.

void put_be16(std::uint8_t* p, std::size_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 8);
  p[1] = static_cast<std::uint8_t>(v);
}
void put_be32(std::uint8_t* p, std::size_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}
std::size_t get_be16(const std::uint8_t* p) { return std::size_t{p[0]} << 8 | p[1]; }
std::size_t get_be32(const std::uint8_t* p) {
  return std::size_t{p[0]} << 24 | std::size_t{p[1]} << 16 | std::size_t{p[2]} << 8 | p[3];
}
void put_le(std::uint8_t* p, std::uint64_t v, int n) {
  for (int i = 0; i < n; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
std::uint64_t get_le(const std::uint8_t* p, int n) {
  std::uint64_t v = 0;
  for (int i = 0; i < n; ++i) v |= std::uint64_t{p[i]} << (8 * i);
  return v;
}

// The 136-byte fixed part followed by pol and meta: the associated data.
std::size_t write_header(std::uint8_t* out, const PeerFrame& f) {
  out[0] = 1;
  out[1] = f.alg;
  out[2] = f.hdr2;
  out[3] = f.hdr3;
  std::memcpy(out + 4, f.nonce.data(), 12);
  std::memcpy(out + 16, f.ts.data(), 16);
  std::memcpy(out + 32, f.author.data(), 32);
  std::memcpy(out + 64, f.owner.data(), 32);
  std::memcpy(out + 96, f.prev_cid.data(), 32);
  put_be16(out + 128, f.pol.size());
  put_be16(out + 130, f.meta.size());
  put_be32(out + 132, f.plaintext.size());
  if (!f.pol.empty()) std::memcpy(out + kFixed, f.pol.data(), f.pol.size());
  if (!f.meta.empty()) std::memcpy(out + kFixed + f.pol.size(), f.meta.data(), f.meta.size());
  return kFixed + f.pol.size() + f.meta.size();
}

struct Parsed {
  std::uint8_t alg = 0;
  const std::uint8_t* base = nullptr;
  std::size_t ad_len = 0, n = 0, wire_len = 0;
  ByteView meta;
  const std::uint8_t* ct() const { return base + ad_len; }
  const std::uint8_t* tag() const { return base + ad_len + n; }
  const std::uint8_t* sig() const { return base + ad_len + n + 16; }
};

std::optional<Parsed> parse(ByteView in) {
  if (in.size() < kFixed || (in[1] != 1 && in[1] != 2)) return std::nullopt;
  Parsed p;
  p.alg = in[1];
  p.base = in.data();
  const std::size_t pol = get_be16(in.data() + 128);
  const std::size_t meta = get_be16(in.data() + 130);
  p.n = get_be32(in.data() + 132);
  p.ad_len = kFixed + pol + meta;
  p.wire_len = p.ad_len + p.n + kTrailer;
  if (in.size() < p.wire_len) return std::nullopt;
  p.meta = in.subspan(kFixed + pol, meta);
  return p;
}

Owned allocate(std::size_t n) {
  return Owned{std::make_unique_for_overwrite<std::uint8_t[]>(n == 0 ? 1 : n), n};
}

// ---------------------------------------------------------------------------------------------
// OpenSSL primitives. The contexts are passed in, so floors can keep theirs.

EVP_KDF* ossl_hkdf() {
  static EVP_KDF* kdf = EVP_KDF_fetch(nullptr, "HKDF", nullptr);
  return kdf;
}

bool ossl_hkdf(EVP_KDF_CTX* ctx, int mode, ByteView salt, ByteView key, ByteView info,
               std::uint8_t* out, std::size_t out_len) {
  char digest[] = "SHA256";
  OSSL_PARAM params[6];
  int n = 0;
  params[n++] = OSSL_PARAM_construct_int(OSSL_KDF_PARAM_MODE, &mode);
  params[n++] = OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0);
  params[n++] = OSSL_PARAM_construct_octet_string(
      OSSL_KDF_PARAM_KEY, const_cast<std::uint8_t*>(key.data()), key.size());
  if (!salt.empty()) {
    params[n++] = OSSL_PARAM_construct_octet_string(
        OSSL_KDF_PARAM_SALT, const_cast<std::uint8_t*>(salt.data()), salt.size());
  }
  if (!info.empty()) {
    params[n++] = OSSL_PARAM_construct_octet_string(
        OSSL_KDF_PARAM_INFO, const_cast<std::uint8_t*>(info.data()), info.size());
  }
  params[n] = OSSL_PARAM_construct_end();
  return EVP_KDF_derive(ctx, out, out_len, params) == 1;
}

// ---------------------------------------------------------------------------------------------
// libsodium primitives.

// PBKDF2-HMAC-SHA512 with one 64-byte output block.
void na_pbkdf2(ByteView pass, ByteView salt, unsigned iterations, std::uint8_t out[64]) {
  crypto_auth_hmacsha512_state keyed, st;
  crypto_auth_hmacsha512_init(&keyed, pass.data(), pass.size());
  const std::uint8_t one[4] = {0, 0, 0, 1};
  std::uint8_t u[64];
  st = keyed;
  crypto_auth_hmacsha512_update(&st, salt.data(), salt.size());
  crypto_auth_hmacsha512_update(&st, one, 4);
  crypto_auth_hmacsha512_final(&st, u);
  std::memcpy(out, u, 64);
  for (unsigned i = 1; i < iterations; ++i) {
    st = keyed;
    crypto_auth_hmacsha512_update(&st, u, 64);
    crypto_auth_hmacsha512_final(&st, u);
    for (int j = 0; j < 64; ++j) out[j] ^= u[j];
  }
  sodium_memzero(&keyed, sizeof keyed);
  sodium_memzero(&st, sizeof st);
  sodium_memzero(u, sizeof u);
}

void na_hkdf_two_keys(ByteView salt, ByteView ikm, ByteView info1, ByteView info2,
                      std::uint8_t out1[32], std::uint8_t out2[32]) {
  std::uint8_t prk[32];
  na_hmac256(salt, ikm, {}, prk);
  const std::uint8_t one = 1;
  na_hmac256(prk, info1, ByteView(&one, 1), out1);
  na_hmac256(prk, info2, ByteView(&one, 1), out2);
  sodium_memzero(prk, sizeof prk);
}

// ---------------------------------------------------------------------------------------------
// The two libraries behind one shape, for the peers.

struct OsslOps {
  EVP_PKEY* author;
  EVP_MAC* mac;
  bool encrypt(std::uint8_t alg, ByteView key, const std::uint8_t* nonce, ByteView ad,
               const std::uint8_t* pt, std::size_t n, std::uint8_t* out, std::uint8_t* tag) const {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    const bool ok = ctx != nullptr && ossl_encrypt(ctx, alg, key.data(), nonce, ad, pt, n, out, tag);
    EVP_CIPHER_CTX_free(ctx);
    return ok;
  }
  bool decrypt(std::uint8_t alg, ByteView key, const std::uint8_t* nonce, ByteView ad,
               const std::uint8_t* ct, std::size_t n, const std::uint8_t* tag,
               std::uint8_t* out) const {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    const bool ok =
        ctx != nullptr && ossl_decrypt(ctx, alg, key.data(), nonce, ad, ct, n, tag, out);
    EVP_CIPHER_CTX_free(ctx);
    return ok;
  }
  bool sign(const std::uint8_t* msg, std::size_t len, std::uint8_t* sig) const {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    const bool ok = ctx != nullptr && ossl_sign(ctx, author, msg, len, sig);
    EVP_MD_CTX_free(ctx);
    return ok;
  }
  bool verify(const std::uint8_t* pub, const std::uint8_t* msg, std::size_t len,
              const std::uint8_t* sig) const {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    const bool ok = ctx != nullptr && ossl_verify(ctx, pub, msg, len, sig);
    EVP_MD_CTX_free(ctx);
    return ok;
  }
  bool hmac(ByteView key, ByteView a, ByteView b, std::uint8_t* out) const {
    EVP_MAC_CTX* ctx = EVP_MAC_CTX_new(mac);
    const bool ok = ctx != nullptr && ossl_hmac256(ctx, key, a, b, out);
    EVP_MAC_CTX_free(ctx);
    return ok;
  }
};

struct SodiumOps {
  const std::uint8_t* sk;
  bool encrypt(std::uint8_t alg, ByteView key, const std::uint8_t* nonce, ByteView ad,
               const std::uint8_t* pt, std::size_t n, std::uint8_t* out, std::uint8_t* tag) const {
    return na_encrypt(alg, key.data(), nonce, ad, pt, n, out, tag);
  }
  bool decrypt(std::uint8_t alg, ByteView key, const std::uint8_t* nonce, ByteView ad,
               const std::uint8_t* ct, std::size_t n, const std::uint8_t* tag,
               std::uint8_t* out) const {
    return na_decrypt(alg, key.data(), nonce, ad, ct, n, tag, out);
  }
  bool sign(const std::uint8_t* msg, std::size_t len, std::uint8_t* sig) const {
    return crypto_sign_detached(sig, nullptr, msg, len, sk) == 0;
  }
  bool verify(const std::uint8_t* pub, const std::uint8_t* msg, std::size_t len,
              const std::uint8_t* sig) const {
    return crypto_sign_verify_detached(sig, msg, len, pub) == 0;
  }
  bool hmac(ByteView key, ByteView a, ByteView b, std::uint8_t* out) const {
    na_hmac256(key, a, b, out);
    return true;
  }
};

// Seals into one buffer of the final size. With `derive_nonce` the header is first written with
// a zero nonce and the nonce is the event nonce: a MAC of that associated data.
template <class Ops>
std::optional<PeerSealed> seal_with(const Ops& ops, const PeerFrame& f, ByteView key,
                                    bool derive_nonce) {
  if (key.size() != 32 || f.pol.size() > 0xFFFF || f.meta.size() > 0xFFFF) return std::nullopt;
  const std::size_t ad_len = kFixed + f.pol.size() + f.meta.size();
  const std::size_t n = f.plaintext.size();
  PeerSealed out{allocate(ad_len + n + kTrailer), {}};
  std::uint8_t* base = out.bytes.data.get();
  write_header(base, f);
  if (derive_nonce) {
    std::uint8_t mac[32];
    if (!ops.hmac(key, as_bytes(kNonceLabel), ByteView(base, ad_len), mac)) return std::nullopt;
    std::memcpy(base + 4, mac, 12);
  }
  if (!ops.encrypt(f.alg, key, base + 4, ByteView(base, ad_len), f.plaintext.data(), n,
                   base + ad_len, base + ad_len + n)) {
    return std::nullopt;
  }
  if (!ops.sign(base, ad_len + n + 16, base + ad_len + n + 16)) return std::nullopt;
  out.cid = b3(base, out.bytes.size);
  return out;
}

template <class Ops>
std::optional<Owned> open_with(const Ops& ops, ByteView wire, ByteView key,
                               std::optional<ByteView> cap, std::optional<KeyView32> presenter) {
  auto p = parse(wire);
  if (!p || key.size() != 32) return std::nullopt;
  const bool require = std::ranges::equal(p->meta, as_bytes(kCapPolicy));
  if (require) {
    if (!cap || cap->size() < kCapTokenSize || !presenter) return std::nullopt;
    const std::uint8_t* t = cap->data();
    if (get_le(t + 108, 8) != 64) return std::nullopt;
    if (std::memcmp(t + 44, presenter->data(), 32) != 0) return std::nullopt;
    if (!ops.verify(t + 76, t, 108, t + 116)) return std::nullopt;
    const Cid cid = b3(p->base, p->wire_len);
    if (std::memcmp(cid.data(), t, 32) != 0) return std::nullopt;
    if ((get_le(t + 32, 4) & kCapPolicyMask) != kCapPolicyMask) return std::nullopt;
  }
  Owned pt = allocate(p->n);
  if (!ops.decrypt(p->alg, key, p->base + 4, ByteView(p->base, p->ad_len), p->ct(), p->n, p->tag(),
                   pt.data.get())) {
    sodium_memzero(pt.data.get(), pt.size);
    return std::nullopt;
  }
  return pt;
}

template <class Ops>
std::optional<PeerVerification> verify_with(const Ops& ops, ByteView wire) {
  auto p = parse(wire);
  if (!p) return std::nullopt;
  PeerVerification r;
  r.cid = b3(p->base, p->wire_len);
  r.valid = ops.verify(p->base + 32, p->base, p->wire_len - 64, p->sig());
  return r;
}

void token_signed_bytes(const CapToken& t, std::uint8_t out[108]) {
  std::memcpy(out, t.scope_cid.data(), 32);
  put_le(out + 32, t.rights.bits(), 4);
  put_le(out + 36, t.exp_ts, 8);
  std::memcpy(out + 44, t.holder_pub.data(), 32);
  std::memcpy(out + 76, t.issuer_pub.data(), 32);
}

CapToken token_fields(KeyView32 issuer_pub, KeyView32 scope_cid, std::uint32_t rights,
                      std::uint64_t exp_ts, KeyView32 holder_pub) {
  CapToken t;
  std::ranges::copy(scope_cid, t.scope_cid.begin());
  t.rights = Rights::from_bits_retain(rights);
  t.exp_ts = exp_ts;
  std::ranges::copy(holder_pub, t.holder_pub.begin());
  std::ranges::copy(issuer_pub, t.issuer_pub.begin());
  return t;
}

PeerFrame event_frame(std::uint8_t alg, const std::string& doc) {
  static const Nonce zero_nonce{};
  static const Timestamp zero_ts{};
  const Fixture& fx = fixture();
  return PeerFrame{alg, 1, 0, zero_nonce, zero_ts, fx.author, fx.owner, fx.prev_cid,
                   as_bytes(kEventPol), as_bytes(doc), {}};
}

constexpr std::string_view kMnemonicSalt = "mnemonic";
constexpr std::string_view kRestoreSalt = "tessella_v1";
constexpr std::string_view kInfoEnc = "encryption";
constexpr std::string_view kInfoSign = "signing";

std::string sz(std::size_t n) { return std::to_string(n); }

// With `alloc` > 0 the output is a buffer of `alloc` bytes allocated uninitialised for the call
// (malloc), into which the primitive writes the ciphertext and tag at offset `at`, freed after
// the call: what every operation that returns a buffer it owns must do. Otherwise the output is
// one buffer reused by every iteration.
Component aead_seal_impl(std::uint8_t alg, std::size_t ad_len, std::size_t n, std::size_t alloc,
                         std::size_t at) {
  const std::string base = std::string(alloc ? "floor/aead-seal-owned/" : "floor/aead-seal/") +
                           alg_name(alg) + "/" + sz(ad_len) + "+" + sz(n) +
                           (alloc ? "@" + sz(alloc) : "");
  auto body = [alg, ad_len, n, alloc, at](benchmark::State& state, bool sodium) {
    const Bytes ad = filler(ad_len, 10), pt = filler(n, 11);
    Bytes reused(n + kTagSize);
    const auto& fx = fixture();
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    for (auto _ : state) {
      std::uint8_t* buf = alloc ? static_cast<std::uint8_t*>(std::malloc(alloc)) : nullptr;
      std::uint8_t* out = alloc ? buf + at : reused.data();
      const bool ok =
          out != nullptr &&
          (sodium ? na_encrypt(alg, fx.data_key.data(), fx.nonce.data(), ad, pt.data(), n, out,
                               out + n)
                  : ossl_encrypt(ctx, alg, fx.data_key.data(), fx.nonce.data(), ad, pt.data(), n,
                                 out, out + n));
      if (!ok) state.SkipWithError("encryption failed");
      benchmark::DoNotOptimize(out);
      benchmark::ClobberMemory();
      std::free(buf);
    }
    EVP_CIPHER_CTX_free(ctx);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * n));
  };
  auto& r = registry();
  return {alloc ? "aead-seal-owned" : "aead-seal",
          {r.add(base + "/openssl", [body](benchmark::State& s) { body(s, false); }),
           r.add(base + "/sodium", [body](benchmark::State& s) { body(s, true); })}};
}

Component aead_open_impl(std::uint8_t alg, std::size_t ad_len, std::size_t n, bool owned) {
  const std::string base = std::string(owned ? "floor/aead-open-owned/" : "floor/aead-open/") +
                           alg_name(alg) + "/" + sz(ad_len) + "+" + sz(n);
  auto body = [alg, ad_len, n, owned](benchmark::State& state, bool sodium) {
    const Bytes ad = filler(ad_len, 10), pt = filler(n, 11);
    Bytes ct(n), reused(n);
    std::uint8_t tag[16];
    const auto& fx = fixture();
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    if (!ossl_encrypt(ctx, alg, fx.data_key.data(), fx.nonce.data(), ad, pt.data(), n, ct.data(),
                      tag)) {
      state.SkipWithError("encryption failed");
    }
    for (auto _ : state) {
      // An owned plaintext of 0 bytes is no allocation (the library returns a null buffer).
      std::uint8_t* buf =
          owned && n ? static_cast<std::uint8_t*>(std::malloc(n)) : nullptr;
      std::uint8_t* out = owned ? buf : reused.data();
      const bool ok =
          (out != nullptr || n == 0) &&
          (sodium ? na_decrypt(alg, fx.data_key.data(), fx.nonce.data(), ad, ct.data(), n, tag,
                               out)
                  : ossl_decrypt(ctx, alg, fx.data_key.data(), fx.nonce.data(), ad, ct.data(), n,
                                 tag, out));
      if (!ok) state.SkipWithError("decryption failed");
      benchmark::DoNotOptimize(out);
      benchmark::ClobberMemory();
      std::free(buf);
    }
    EVP_CIPHER_CTX_free(ctx);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * n));
  };
  auto& r = registry();
  return {owned ? "aead-open-owned" : "aead-open",
          {r.add(base + "/openssl", [body](benchmark::State& s) { body(s, false); }),
           r.add(base + "/sodium", [body](benchmark::State& s) { body(s, true); })}};
}

}  // namespace


// ---------------------------------------------------------------------------------------------

// ---------------------------------------------------------------------------------------------
// Floor components.

Component aead_seal(std::uint8_t alg, std::size_t ad_len, std::size_t n) {
  return aead_seal_impl(alg, ad_len, n, 0, 0);
}
Component aead_seal_owned(std::uint8_t alg, std::size_t ad_len, std::size_t n,
                          std::size_t frame_len) {
  return aead_seal_impl(alg, ad_len, n, frame_len, ad_len);
}
Component aead_open(std::uint8_t alg, std::size_t ad_len, std::size_t n) {
  return aead_open_impl(alg, ad_len, n, false);
}
Component aead_open_owned(std::uint8_t alg, std::size_t ad_len, std::size_t n) {
  return aead_open_impl(alg, ad_len, n, true);
}

Component ed25519_sign(std::size_t len) {
  const std::string base = "floor/ed25519-sign/" + sz(len);
  auto body = [len](benchmark::State& state, bool sodium) {
    const Bytes msg = filler(len, 12);
    const auto& fx = fixture();
    std::uint8_t pk[32], sk[64], sig[64];
    crypto_sign_seed_keypair(pk, sk, fx.author_seed.data());
    EVP_PKEY* key =
        EVP_PKEY_new_raw_private_key_ex(nullptr, "ED25519", nullptr, fx.author_seed.data(), 32);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    for (auto _ : state) {
      const bool ok = sodium ? crypto_sign_detached(sig, nullptr, msg.data(), len, sk) == 0
                             : ossl_sign(ctx, key, msg.data(), len, sig);
      if (!ok) state.SkipWithError("signing failed");
      benchmark::DoNotOptimize(sig);
      benchmark::ClobberMemory();
    }
    EVP_MD_CTX_free(ctx);
    EVP_PKEY_free(key);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * len));
  };
  auto& r = registry();
  return {"ed25519-sign",
          {r.add(base + "/openssl", [body](benchmark::State& s) { body(s, false); }),
           r.add(base + "/sodium", [body](benchmark::State& s) { body(s, true); })}};
}

Component ed25519_verify(std::size_t len) {
  const std::string base = "floor/ed25519-verify/" + sz(len);
  auto body = [len](benchmark::State& state, bool sodium) {
    const Bytes msg = filler(len, 12);
    const auto& fx = fixture();
    std::uint8_t pk[32], sk[64], sig[64];
    crypto_sign_seed_keypair(pk, sk, fx.author_seed.data());
    crypto_sign_detached(sig, nullptr, msg.data(), len, sk);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    for (auto _ : state) {
      const bool ok = sodium ? crypto_sign_verify_detached(sig, msg.data(), len, pk) == 0
                             : ossl_verify(ctx, pk, msg.data(), len, sig);
      if (!ok) state.SkipWithError("verification failed");
      benchmark::ClobberMemory();
    }
    EVP_MD_CTX_free(ctx);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * len));
  };
  auto& r = registry();
  return {"ed25519-verify",
          {r.add(base + "/openssl", [body](benchmark::State& s) { body(s, false); }),
           r.add(base + "/sodium", [body](benchmark::State& s) { body(s, true); })}};
}

Component ed25519_keypair() {
  const std::string base = "floor/ed25519-keypair";
  auto body = [](benchmark::State& state, bool sodium) {
    const auto& fx = fixture();
    std::uint8_t pk[32], sk[64];
    for (auto _ : state) {
      if (sodium) {
        crypto_sign_seed_keypair(pk, sk, fx.issuer_seed.data());
      } else {
        EVP_PKEY* key = EVP_PKEY_new_raw_private_key_ex(nullptr, "ED25519", nullptr,
                                                        fx.issuer_seed.data(), 32);
        if (key == nullptr) state.SkipWithError("import failed");
        EVP_PKEY_free(key);
      }
      benchmark::DoNotOptimize(pk);
      benchmark::ClobberMemory();
    }
  };
  auto& r = registry();
  return {"ed25519-keypair",
          {r.add(base + "/openssl", [body](benchmark::State& s) { body(s, false); }),
           r.add(base + "/sodium", [body](benchmark::State& s) { body(s, true); })}};
}

Component blake3(std::size_t len) {
  const std::string name = "floor/blake3/" + sz(len) + "/blake3";
  return {"blake3", {registry().add(name, [len](benchmark::State& state) {
            const Bytes data = filler(len, 13);
            for (auto _ : state) {
              Cid c = b3(data.data(), data.size());
              benchmark::DoNotOptimize(c);
            }
            state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * len));
          })}};
}

Component hmac_sha256(std::size_t key_len, std::size_t msg_len) {
  const std::string base = "floor/hmac-sha256/" + sz(key_len) + "+" + sz(msg_len);
  auto body = [key_len, msg_len](benchmark::State& state, bool sodium) {
    const Bytes key = filler(key_len, 14), msg = filler(msg_len, 15);
    std::uint8_t out[32];
    EVP_MAC_CTX* ctx = EVP_MAC_CTX_new(ossl_hmac());
    for (auto _ : state) {
      if (sodium) {
        na_hmac256(key, msg, {}, out);
      } else if (!ossl_hmac256(ctx, key, msg, {}, out)) {
        state.SkipWithError("hmac failed");
      }
      benchmark::DoNotOptimize(out);
      benchmark::ClobberMemory();
    }
    EVP_MAC_CTX_free(ctx);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * msg_len));
  };
  auto& r = registry();
  return {"hmac-sha256",
          {r.add(base + "/openssl", [body](benchmark::State& s) { body(s, false); }),
           r.add(base + "/sodium", [body](benchmark::State& s) { body(s, true); })}};
}

Component pbkdf2_sha512(std::size_t pass_len, unsigned iterations) {
  const std::string base = "floor/pbkdf2-sha512/" + sz(pass_len) + "x" + sz(iterations);
  auto body = [pass_len, iterations](benchmark::State& state, bool sodium) {
    const Bytes pass = filler(pass_len, 16);
    std::uint8_t out[64];
    for (auto _ : state) {
      if (sodium) {
        na_pbkdf2(pass, as_bytes(kMnemonicSalt), iterations, out);
      } else if (PKCS5_PBKDF2_HMAC(reinterpret_cast<const char*>(pass.data()),
                                   static_cast<int>(pass.size()), as_bytes(kMnemonicSalt).data(),
                                   8, static_cast<int>(iterations), EVP_sha512(), 64,
                                   out) != 1) {
        state.SkipWithError("pbkdf2 failed");
      }
      benchmark::DoNotOptimize(out);
      benchmark::ClobberMemory();
    }
  };
  auto& r = registry();
  return {"pbkdf2-sha512",
          {r.add(base + "/openssl", [body](benchmark::State& s) { body(s, false); }),
           r.add(base + "/sodium", [body](benchmark::State& s) { body(s, true); })}};
}

Component hkdf_two_keys() {
  const std::string base = "floor/hkdf-sha256/64+2x32";
  auto body = [](benchmark::State& state, bool sodium) {
    const Bytes seed = filler(64, 17);
    std::uint8_t prk[32], a[32], b[32];
    EVP_KDF_CTX* ctx = EVP_KDF_CTX_new(ossl_hkdf());
    for (auto _ : state) {
      if (sodium) {
        na_hkdf_two_keys(as_bytes(kRestoreSalt), seed, as_bytes(kInfoEnc), as_bytes(kInfoSign), a,
                         b);
      } else if (!ossl_hkdf(ctx, EVP_KDF_HKDF_MODE_EXTRACT_ONLY, as_bytes(kRestoreSalt), seed, {},
                            prk, 32) ||
                 !ossl_hkdf(ctx, EVP_KDF_HKDF_MODE_EXPAND_ONLY, {}, ByteView(prk, 32),
                            as_bytes(kInfoEnc), a, 32) ||
                 !ossl_hkdf(ctx, EVP_KDF_HKDF_MODE_EXPAND_ONLY, {}, ByteView(prk, 32),
                            as_bytes(kInfoSign), b, 32)) {
        state.SkipWithError("hkdf failed");
      }
      benchmark::DoNotOptimize(a);
      benchmark::DoNotOptimize(b);
      benchmark::ClobberMemory();
    }
    EVP_KDF_CTX_free(ctx);
  };
  auto& r = registry();
  return {"hkdf-sha256",
          {r.add(base + "/openssl", [body](benchmark::State& s) { body(s, false); }),
           r.add(base + "/sodium", [body](benchmark::State& s) { body(s, true); })}};
}

// ---------------------------------------------------------------------------------------------
// Peers.

std::string peer_event_document(std::string_view kind, KeyView32 scope_cid, std::uint32_t rights,
                                std::uint64_t exp_ts, KeyView32 peer_pub) {
  static constexpr char kHex[] = "0123456789abcdef";
  auto hex = [](std::string& out, KeyView32 b) {
    for (std::uint8_t v : b) {
      out += kHex[v >> 4];
      out += kHex[v & 15];
    }
  };
  std::string d;
  d.reserve(256);
  d += R"({"event":")";
  d += kind;
  d += R"(","exp_ts":)";
  d += std::to_string(exp_ts);
  d += R"(,"peer_pub":")";
  hex(d, peer_pub);
  d += R"(","require_cap":false,"rights":)";
  d += std::to_string(rights);
  d += R"(,"scope_cid":")";
  hex(d, scope_cid);
  d += "\"}";
  return d;
}

OpensslPeer::OpensslPeer()
    : author_(EVP_PKEY_new_raw_private_key_ex(nullptr, "ED25519", nullptr,
                                              fixture().author_seed.data(), 32)),
      hmac_(ossl_hmac()),
      hkdf_(ossl_hkdf()) {
  if (author_ == nullptr || hmac_ == nullptr || hkdf_ == nullptr) die("OpenSSL peer set-up");
}
OpensslPeer::~OpensslPeer() { EVP_PKEY_free(author_); }

std::optional<PeerSealed> OpensslPeer::seal(const PeerFrame& f, ByteView key) const {
  return seal_with(OsslOps{author_, hmac_}, f, key, false);
}
std::optional<Owned> OpensslPeer::open(ByteView wire, ByteView key, std::optional<ByteView> cap,
                                       std::optional<KeyView32> presenter) const {
  return open_with(OsslOps{author_, hmac_}, wire, key, cap, presenter);
}
std::optional<PeerVerification> OpensslPeer::verify(ByteView wire) const {
  return verify_with(OsslOps{author_, hmac_}, wire);
}
std::optional<PeerSealed> OpensslPeer::seal_event(std::uint8_t alg, const std::string& doc,
                                                  ByteView key) const {
  return seal_with(OsslOps{author_, hmac_}, event_frame(alg, doc), key, true);
}

CapToken OpensslPeer::cap_issue(KeyView32 issuer_secret, KeyView32 issuer_pub,
                                KeyView32 scope_cid, std::uint32_t rights, std::uint64_t exp_ts,
                                KeyView32 holder_pub) const {
  CapToken t = token_fields(issuer_pub, scope_cid, rights, exp_ts, holder_pub);
  std::uint8_t msg[108];
  token_signed_bytes(t, msg);
  EVP_PKEY* key =
      EVP_PKEY_new_raw_private_key_ex(nullptr, "ED25519", nullptr, issuer_secret.data(), 32);
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  if (key == nullptr || ctx == nullptr || !ossl_sign(ctx, key, msg, 108, t.signature.data())) {
    die("OpenSSL peer cap_issue");
  }
  EVP_MD_CTX_free(ctx);
  EVP_PKEY_free(key);
  return t;
}

bool OpensslPeer::cap_verify(const CapToken& t, KeyView32 presenter) const {
  if (!std::ranges::equal(t.holder_pub, presenter)) return false;
  std::uint8_t msg[108];
  token_signed_bytes(t, msg);
  return OsslOps{author_, hmac_}.verify(t.issuer_pub.data(), msg, 108, t.signature.data());
}

std::optional<std::pair<Seed, Seed>> OpensslPeer::restore_keys(std::string_view phrase) const {
  std::uint8_t seed[64], prk[32];
  std::pair<Seed, Seed> keys;
  EVP_KDF_CTX* ctx = EVP_KDF_CTX_new(hkdf_);
  const bool ok =
      ctx != nullptr &&
      PKCS5_PBKDF2_HMAC(phrase.data(), static_cast<int>(phrase.size()),
                        as_bytes(kMnemonicSalt).data(), 8, 2048, EVP_sha512(), 64, seed) == 1 &&
      ossl_hkdf(ctx, EVP_KDF_HKDF_MODE_EXTRACT_ONLY, as_bytes(kRestoreSalt), ByteView(seed, 64),
                {}, prk, 32) &&
      ossl_hkdf(ctx, EVP_KDF_HKDF_MODE_EXPAND_ONLY, {}, ByteView(prk, 32), as_bytes(kInfoEnc),
                keys.first.data(), 32) &&
      ossl_hkdf(ctx, EVP_KDF_HKDF_MODE_EXPAND_ONLY, {}, ByteView(prk, 32), as_bytes(kInfoSign),
                keys.second.data(), 32);
  EVP_KDF_CTX_free(ctx);
  OPENSSL_cleanse(seed, sizeof seed);
  OPENSSL_cleanse(prk, sizeof prk);
  if (!ok) return std::nullopt;
  return keys;
}

std::optional<std::array<std::uint8_t, 32>> OpensslPeer::blind_index(ByteView key,
                                                                      ByteView term) const {
  std::array<std::uint8_t, 32> out;
  if (!OsslOps{author_, hmac_}.hmac(key, term, {}, out.data())) return std::nullopt;
  return out;
}

SodiumPeer::SodiumPeer() {
  std::uint8_t pk[32];
  crypto_sign_seed_keypair(pk, author_sk_, fixture().author_seed.data());
}
SodiumPeer::~SodiumPeer() { sodium_memzero(author_sk_, sizeof author_sk_); }

std::optional<PeerSealed> SodiumPeer::seal(const PeerFrame& f, ByteView key) const {
  return seal_with(SodiumOps{author_sk_}, f, key, false);
}
std::optional<Owned> SodiumPeer::open(ByteView wire, ByteView key, std::optional<ByteView> cap,
                                      std::optional<KeyView32> presenter) const {
  return open_with(SodiumOps{author_sk_}, wire, key, cap, presenter);
}
std::optional<PeerVerification> SodiumPeer::verify(ByteView wire) const {
  return verify_with(SodiumOps{author_sk_}, wire);
}
std::optional<PeerSealed> SodiumPeer::seal_event(std::uint8_t alg, const std::string& doc,
                                                 ByteView key) const {
  return seal_with(SodiumOps{author_sk_}, event_frame(alg, doc), key, true);
}

CapToken SodiumPeer::cap_issue(KeyView32 issuer_secret, KeyView32 issuer_pub, KeyView32 scope_cid,
                               std::uint32_t rights, std::uint64_t exp_ts,
                               KeyView32 holder_pub) const {
  CapToken t = token_fields(issuer_pub, scope_cid, rights, exp_ts, holder_pub);
  std::uint8_t msg[108], pk[32], sk[64];
  token_signed_bytes(t, msg);
  crypto_sign_seed_keypair(pk, sk, issuer_secret.data());
  crypto_sign_detached(t.signature.data(), nullptr, msg, 108, sk);
  sodium_memzero(sk, sizeof sk);
  return t;
}

bool SodiumPeer::cap_verify(const CapToken& t, KeyView32 presenter) const {
  if (!std::ranges::equal(t.holder_pub, presenter)) return false;
  std::uint8_t msg[108];
  token_signed_bytes(t, msg);
  return crypto_sign_verify_detached(t.signature.data(), msg, 108, t.issuer_pub.data()) == 0;
}

std::optional<std::pair<Seed, Seed>> SodiumPeer::restore_keys(std::string_view phrase) const {
  std::uint8_t seed[64];
  std::pair<Seed, Seed> keys;
  na_pbkdf2(as_bytes(phrase), as_bytes(kMnemonicSalt), 2048, seed);
  na_hkdf_two_keys(as_bytes(kRestoreSalt), ByteView(seed, 64), as_bytes(kInfoEnc),
                   as_bytes(kInfoSign), keys.first.data(), keys.second.data());
  sodium_memzero(seed, sizeof seed);
  return keys;
}

std::optional<std::array<std::uint8_t, 32>> SodiumPeer::blind_index(ByteView key,
                                                                     ByteView term) const {
  std::array<std::uint8_t, 32> out;
  na_hmac256(key, term, {}, out.data());
  return out;
}

}  // namespace tessella::bench
