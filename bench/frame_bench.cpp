// seal_bytes, open_bytes (with and without a capability) and verify_bytes.
#include <map>
#include <mutex>

#include <openssl/crypto.h>
#include <sodium.h>

#include "floors.hpp"
#include "tessella/capabilities.hpp"
#include "tessella/frame.hpp"
#include "tessella/sign.hpp"

namespace tessella::bench {
namespace {

PeerFrame peer_frame(std::uint8_t alg, const FrameCase& c, ByteView meta) {
  const Fixture& fx = fixture();
  return PeerFrame{alg, 0, 0, fx.nonce, fx.ts, fx.author, fx.owner, fx.prev_cid, {}, meta,
                   c.plaintext};
}

void set_bytes(benchmark::State& s, std::size_t n) {
  s.SetBytesProcessed(static_cast<std::int64_t>(s.iterations()) * static_cast<std::int64_t>(n));
}

// ---------------------------------------------------------------------------------------------

void seal_tessella(benchmark::State& s, std::uint8_t alg, std::size_t n, bool count) {
  const FrameCase& c = frame_case(alg, n);
  const Fixture& fx = fixture();
  const SigningKey& key = author_key();
  auto call = [&] {
    return seal_bytes(alg, 0, 0, fx.nonce, fx.ts, fx.author, fx.owner, fx.prev_cid, {}, {},
                      c.plaintext, fx.data_key, key);
  };
  if (auto r = call(); !r || r->bytes != c.wire) s.SkipWithError("seal_bytes is not deterministic");
  time_calls(s, call, count);
  set_bytes(s, n);
}

template <class Peer>
void seal_peer(benchmark::State& s, std::uint8_t alg, std::size_t n) {
  const FrameCase& c = frame_case(alg, n);
  const Peer peer;
  const PeerFrame f = peer_frame(alg, c, {});
  auto first = peer.seal(f, fixture().data_key);
  if (!first || !std::ranges::equal(first->bytes.view(), c.wire)) {
    s.SkipWithError("the peer's frame differs from seal_bytes'");
  }
  for (auto _ : s) {
    auto r = peer.seal(f, fixture().data_key);
    benchmark::DoNotOptimize(r);
  }
  set_bytes(s, n);
}

// open_bytes, or open_bytes_into the caller's buffer when `into`.
void open_tessella(benchmark::State& s, std::uint8_t alg, std::size_t n, bool cap, bool count,
                   bool into = false) {
  const FrameCase& c = frame_case(alg, n);
  const Fixture& fx = fixture();
  // A copy per thread: two threads reading one buffer would share its cache lines with whatever
  // the allocator places next to it.
  const Bytes wire = cap ? c.wire_cap : c.wire;
  const std::optional<ByteView> token =
      cap ? std::optional<ByteView>(ByteView(c.token)) : std::nullopt;
  const std::optional<PublicKey> presenter =
      cap ? std::optional<PublicKey>(fx.holder) : std::nullopt;
  if (into) {
    Bytes out(n);
    auto call = [&] { return open_bytes_into(wire, fx.data_key, token, presenter, std::nullopt, out); };
    if (auto r = call(); !r || *r != n || out != c.plaintext) s.SkipWithError("open_bytes_into failed");
    time_calls(s, call, count);
  } else {
    auto call = [&] { return open_bytes(wire, fx.data_key, token, presenter); };
    if (auto r = call(); !r || *r != c.plaintext) s.SkipWithError("open_bytes failed");
    time_calls(s, call, count);
  }
  set_bytes(s, n);
}

template <class Peer>
void open_peer(benchmark::State& s, std::uint8_t alg, std::size_t n, bool cap) {
  const FrameCase& c = frame_case(alg, n);
  const Fixture& fx = fixture();
  const Peer peer;
  const ByteView wire = cap ? c.wire_cap : c.wire;
  const std::optional<ByteView> token =
      cap ? std::optional<ByteView>(ByteView(c.token)) : std::nullopt;
  const std::optional<PublicKey> presenter =
      cap ? std::optional<PublicKey>(fx.holder) : std::nullopt;
  auto first = peer.open(wire, fx.data_key, token, presenter);
  if (!first || !std::ranges::equal(first->view(), c.plaintext)) {
    s.SkipWithError("the peer does not open the frame");
  }
  if (cap && peer.open(wire, fx.data_key, std::nullopt, presenter)) {
    s.SkipWithError("the peer opens a guarded frame without a capability");
  }
  for (auto _ : s) {
    auto r = peer.open(wire, fx.data_key, token, presenter);
    benchmark::DoNotOptimize(r);
  }
  set_bytes(s, n);
}

// The caller-buffer forms: one output buffer, allocated before the loop, serves every call.
void seal_into_tessella(benchmark::State& s, std::uint8_t alg, std::size_t n) {
  const FrameCase& c = frame_case(alg, n);
  const Fixture& fx = fixture();
  const SigningKey& key = author_key();
  Bytes out(c.wire.size());
  auto call = [&] {
    return seal_bytes_into(alg, 0, 0, fx.nonce, fx.ts, fx.author, fx.owner, fx.prev_cid, {}, {},
                           c.plaintext, fx.data_key, key, out);
  };
  if (auto r = call(); !r || r->len != c.wire.size() || out != c.wire) {
    s.SkipWithError("seal_bytes_into differs from seal_bytes");
  }
  time_calls(s, call);
  set_bytes(s, n);
}

void verify_tessella(benchmark::State& s, std::uint8_t alg, std::size_t n, bool count = true) {
  const FrameCase& c = frame_case(alg, n);
  auto call = [&] { return verify_bytes(c.wire); };
  if (auto r = call(); !r || !r->valid) s.SkipWithError("verify_bytes refused the frame");
  time_calls(s, call, count);
  set_bytes(s, n);
}

template <class Peer>
void verify_peer(benchmark::State& s, std::uint8_t alg, std::size_t n) {
  const FrameCase& c = frame_case(alg, n);
  const Peer peer;
  auto mine = verify_bytes(c.wire);
  auto first = peer.verify(c.wire);
  if (!first || !first->valid || !mine || first->cid != mine->cid) {
    s.SkipWithError("the peer's report differs from verify_bytes'");
  }
  for (auto _ : s) {
    auto r = peer.verify(c.wire);
    benchmark::DoNotOptimize(r);
  }
  set_bytes(s, n);
}

// What two threads opening 4 KiB share, taken apart: the AES-GCM or ChaCha20-Poly1305
// decryption alone, in the ways a context can be set up for each call.
enum class CtxUse {
  Rekey,        // one context per thread, initialised once; each call only sets key and nonce
  RekeyMalloc,  // the same, plus the two allocations (1,144 bytes) a new context makes, freed
  InitCipher,   // one context per thread; each call initialises it with the fetched cipher
  NewCtx,       // a new context per call, initialised with the fetched cipher, then freed
  Sodium,       // libsodium's one-shot function: no context
};

void decrypt_threads(benchmark::State& s, std::uint8_t alg, CtxUse use) {
  const std::size_t n = 4096;
  const Fixture& fx = fixture();
  const Bytes ad = filler(kFrameFixedSize, 10), pt = filler(n, 11);
  Bytes ct(n), out(n);
  std::uint8_t tag[16];
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  if (!ossl_encrypt(ctx, alg, fx.data_key.data(), fx.nonce.data(), ad, pt.data(), n, ct.data(),
                    tag)) {
    s.SkipWithError("encryption failed");
  }
  const EVP_CIPHER* cipher = ossl_cipher(alg);
  EVP_DecryptInit_ex2(ctx, cipher, nullptr, nullptr, nullptr);
  for (auto _ : s) {
    bool ok = false;
    int len = 0;
    std::uint8_t spare[32];
    switch (use) {
      case CtxUse::RekeyMalloc:
      case CtxUse::Rekey: {
        void* a = use == CtxUse::RekeyMalloc ? OPENSSL_zalloc(168) : nullptr;
        void* b = use == CtxUse::RekeyMalloc ? OPENSSL_zalloc(976) : nullptr;
        benchmark::DoNotOptimize(a);
        benchmark::DoNotOptimize(b);
        ok = EVP_DecryptInit_ex2(ctx, nullptr, fx.data_key.data(), fx.nonce.data(), nullptr) == 1 &&
             EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_TAG, 16, tag) == 1 &&
             EVP_DecryptUpdate(ctx, nullptr, &len, ad.data(), static_cast<int>(ad.size())) == 1 &&
             EVP_DecryptUpdate(ctx, out.data(), &len, ct.data(), static_cast<int>(n)) == 1 &&
             EVP_DecryptFinal_ex(ctx, spare, &len) == 1;
        OPENSSL_free(b);
        OPENSSL_free(a);
        break;
      }
      case CtxUse::InitCipher:
        ok = ossl_decrypt(ctx, alg, fx.data_key.data(), fx.nonce.data(), ad, ct.data(), n, tag,
                          out.data());
        break;
      case CtxUse::NewCtx: {
        EVP_CIPHER_CTX* fresh = EVP_CIPHER_CTX_new();
        ok = fresh != nullptr && ossl_decrypt(fresh, alg, fx.data_key.data(), fx.nonce.data(), ad,
                                              ct.data(), n, tag, out.data());
        EVP_CIPHER_CTX_free(fresh);
        break;
      }
      case CtxUse::Sodium:
        ok = na_decrypt(alg, fx.data_key.data(), fx.nonce.data(), ad, ct.data(), n, tag,
                        out.data());
        break;
    }
    if (!ok) s.SkipWithError("decryption failed");
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  EVP_CIPHER_CTX_free(ctx);
  set_bytes(s, n);
}

// The floor's three steps of sealing run one after the other on one frame buffer, with OpenSSL
// (the library both tessella and the best floor use at 64 KiB): what the sum of the separately
// timed steps leaves out, such as the signature reading what the cipher has just written.
void seal_steps_in_sequence(benchmark::State& s, std::uint8_t alg, std::size_t n) {
  const Fixture& fx = fixture();
  const std::size_t ad = kFrameFixedSize;
  const Bytes pt = filler(n, 11);
  Bytes frame = filler(ad + n + kFrameTrailerSize, 10);
  EVP_CIPHER_CTX* cctx = EVP_CIPHER_CTX_new();
  EVP_MD_CTX* mctx = EVP_MD_CTX_new();
  EVP_PKEY* key =
      EVP_PKEY_new_raw_private_key_ex(nullptr, "ED25519", nullptr, fx.author_seed.data(), 32);
  std::uint8_t* base = frame.data();
  for (auto _ : s) {
    const bool ok = ossl_encrypt(cctx, alg, fx.data_key.data(), fx.nonce.data(), ByteView(base, ad),
                                 pt.data(), n, base + ad, base + ad + n) &&
                    ossl_sign(mctx, key, base, ad + n + kTagSize, base + ad + n + kTagSize);
    if (!ok) s.SkipWithError("sealing steps failed");
    Cid cid = b3(base, frame.size());
    benchmark::DoNotOptimize(cid);
    benchmark::ClobberMemory();
  }
  EVP_PKEY_free(key);
  EVP_MD_CTX_free(mctx);
  EVP_CIPHER_CTX_free(cctx);
  set_bytes(s, n);
}

}  // namespace

const SigningKey& author_key() {
  static const SigningKey key = signing_key_from_seed(fixture().author_seed);
  return key;
}

const FrameCase& frame_case(std::uint8_t alg, std::size_t n) {
  static std::mutex mu;
  static std::map<std::pair<std::uint8_t, std::size_t>, FrameCase> cases;
  std::lock_guard lock(mu);
  auto [it, fresh] = cases.try_emplace({alg, n});
  if (fresh) {
    const Fixture& fx = fixture();
    FrameCase& c = it->second;
    c.plaintext = filler(n, 20);
    auto plain = seal_bytes(alg, 0, 0, fx.nonce, fx.ts, fx.author, fx.owner, fx.prev_cid, {}, {},
                            c.plaintext, fx.data_key, author_key());
    auto guarded = seal_bytes(alg, 0, 0, fx.nonce, fx.ts, fx.author, fx.owner, fx.prev_cid, {},
                              as_bytes(kCapPolicy), c.plaintext, fx.data_key, author_key());
    if (!plain || !guarded) throw std::runtime_error("seal_bytes failed while preparing inputs");
    c.wire = std::move(plain->bytes);
    c.wire_cap = std::move(guarded->bytes);
    auto token = cap_issue(fx.issuer_seed, fx.issuer, guarded->cid, Rights::READ_FEATURES,
                           ~std::uint64_t{0}, fx.holder);
    if (!token) throw std::runtime_error("cap_issue failed while preparing inputs");
    c.token = cap_encode(*token);
  }
  return it->second;
}

void register_frame_benchmarks() {
  Registry& r = registry();
  for (std::uint8_t alg : {std::uint8_t{1}, std::uint8_t{2}}) {
    const std::string a = alg_name(alg);
    for (std::uint64_t n : kSizes) {
      const std::string tail = "/" + a + "/" + std::to_string(n);
      const std::size_t ad = kFrameFixedSize;
      const std::size_t ad_cap = kFrameFixedSize + kCapPolicy.size();

      r.row({"seal_bytes", a, n,
             r.add("seal_bytes" + tail + "/tessella",
                   [=](benchmark::State& s) { seal_tessella(s, alg, n, true); }),
             r.add("seal_bytes" + tail + "/peer_openssl",
                   [=](benchmark::State& s) { seal_peer<OpensslPeer>(s, alg, n); }),
             r.add("seal_bytes" + tail + "/peer_sodium",
                   [=](benchmark::State& s) { seal_peer<SodiumPeer>(s, alg, n); }),
             {aead_seal_owned(alg, ad, n, ad + n + kFrameTrailerSize),
              ed25519_sign(ad + n + kTagSize), blake3(ad + n + kFrameTrailerSize)}});

      r.row({"open_bytes", a, n,
             r.add("open_bytes" + tail + "/tessella",
                   [=](benchmark::State& s) { open_tessella(s, alg, n, false, true); }),
             r.add("open_bytes" + tail + "/peer_openssl",
                   [=](benchmark::State& s) { open_peer<OpensslPeer>(s, alg, n, false); }),
             r.add("open_bytes" + tail + "/peer_sodium",
                   [=](benchmark::State& s) { open_peer<SodiumPeer>(s, alg, n, false); }),
             {aead_open_owned(alg, ad, n)}});

      r.row({"open_bytes+cap", a, n,
             r.add("open_bytes_cap" + tail + "/tessella",
                   [=](benchmark::State& s) { open_tessella(s, alg, n, true, true); }),
             r.add("open_bytes_cap" + tail + "/peer_openssl",
                   [=](benchmark::State& s) { open_peer<OpensslPeer>(s, alg, n, true); }),
             r.add("open_bytes_cap" + tail + "/peer_sodium",
                   [=](benchmark::State& s) { open_peer<SodiumPeer>(s, alg, n, true); }),
             {aead_open_owned(alg, ad_cap, n), blake3(ad_cap + n + kFrameTrailerSize),
              ed25519_verify(kCapSignedSize)}});

      r.row({"verify_bytes", a, n,
             r.add("verify_bytes" + tail + "/tessella",
                   [=](benchmark::State& s) { verify_tessella(s, alg, n); }),
             r.add("verify_bytes" + tail + "/peer_openssl",
                   [=](benchmark::State& s) { verify_peer<OpensslPeer>(s, alg, n); }),
             r.add("verify_bytes" + tail + "/peer_sodium",
                   [=](benchmark::State& s) { verify_peer<SodiumPeer>(s, alg, n); }),
             {ed25519_verify(ad + n + kTagSize), blake3(ad + n + kFrameTrailerSize)}});
    }
    // The caller-buffer forms, against floors that allocate nothing.
    for (std::uint64_t n : kIntoSizes) {
      const std::string tail = "/" + a + "/" + std::to_string(n);
      const std::size_t ad = kFrameFixedSize;
      const std::size_t ad_cap = kFrameFixedSize + kCapPolicy.size();
      r.row({"seal_bytes_into", a, n,
             r.add("seal_bytes_into" + tail + "/tessella",
                   [=](benchmark::State& s) { seal_into_tessella(s, alg, n); }),
             "", "",
             {aead_seal(alg, ad, n), ed25519_sign(ad + n + kTagSize),
              blake3(ad + n + kFrameTrailerSize)}});
      r.row({"open_bytes_into", a, n,
             r.add("open_bytes_into" + tail + "/tessella",
                   [=](benchmark::State& s) { open_tessella(s, alg, n, false, true, true); }),
             "", "", {aead_open(alg, ad, n)}});
      r.row({"open_bytes_into+cap", a, n,
             r.add("open_bytes_into_cap" + tail + "/tessella",
                   [=](benchmark::State& s) { open_tessella(s, alg, n, true, true, true); }),
             "", "",
             {aead_open(alg, ad_cap, n), blake3(ad_cap + n + kFrameTrailerSize),
              ed25519_verify(kCapSignedSize)}});
    }
    r.add("floor/seal-steps-in-sequence/" + a + "/65536/openssl",
          [=](benchmark::State& s) { seal_steps_in_sequence(s, alg, 65536); });
    // Two-thread scaling at 4 KiB.
    r.add_threads("seal_bytes", a, 4096, "threads/seal_bytes/" + a + "/4096",
                  [=](benchmark::State& s) { seal_tessella(s, alg, 4096, false); });
    r.add_threads("open_bytes", a, 4096, "threads/open_bytes/" + a + "/4096",
                  [=](benchmark::State& s) { open_tessella(s, alg, 4096, false, false); });
    r.add_threads("verify_bytes", a, 4096, "threads/verify_bytes/" + a + "/4096",
                  [=](benchmark::State& s) { verify_tessella(s, alg, 4096, false); });
    const std::pair<const char*, CtxUse> uses[] = {{"rekey", CtxUse::Rekey},
                                                   {"rekey+malloc", CtxUse::RekeyMalloc},
                                                   {"init-cipher", CtxUse::InitCipher},
                                                   {"new-ctx", CtxUse::NewCtx},
                                                   {"sodium", CtxUse::Sodium}};
    for (const auto& [what, use] : uses) {
      r.add_threads(std::string("decrypt: ") + what, a, 4096,
                    "threads/decrypt-" + std::string(what) + "/" + a + "/4096",
                    [=](benchmark::State& s) { decrypt_threads(s, alg, use); });
    }
  }

  // The control: libsodium signing 4 KiB shares nothing between threads, so its scaling is what
  // the machine gives two threads at that moment (other processes take cores too).
  r.add_threads("control: Ed25519 sign (libsodium)", "-", 4096, "threads/control-sign/4096",
                [](benchmark::State& s) {
                  const Bytes msg = filler(4096, 50);
                  std::uint8_t pk[32], sk[64], sig[64];
                  crypto_sign_seed_keypair(pk, sk, fixture().author_seed.data());
                  for (auto _ : s) {
                    crypto_sign_detached(sig, nullptr, msg.data(), msg.size(), sk);
                    benchmark::DoNotOptimize(sig);
                  }
                  set_bytes(s, msg.size());
                });
}

}  // namespace tessella::bench
