// The driver of the instruction-count gate (bench/instr_gate.py runs it under
// valgrind --tool=callgrind --instr-atstart=no). For each gated operation it measures the
// operation, then every primitive step of its floor with each library that offers it: two
// warm-up calls (one-time set-up, such as fetching an OpenSSL algorithm, is not counted), then
// callgrind's counters are zeroed, the call runs kRuns times, and the counters are dumped under
// the measurement's name. Everything runs in this one process, so the operation and its floor
// see the same CPU dispatch in OpenSSL, libsodium and BLAKE3.
//
// Standard output is the manifest: "# runs <kRuns>", then one line per operation:
//   <op> <alg> <size> <tessella measurement> <step>=<variant>,<variant> ...
// The gate sums, per operation, the cheaper variant of every step.
// Without valgrind the client requests do nothing and the driver only checks that every call
// succeeds and that the C ABI and the C++ API give the same bytes.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include <openssl/evp.h>
#include <sodium.h>
#include <valgrind/callgrind.h>

#include "primitives.hpp"
#include "tessella/events.hpp"
#include "tessella/frame.hpp"
#include "tessella/tessella.h"

namespace tessella::bench {
namespace {

constexpr int kRuns = 4;
constexpr std::string_view kCapPolicy = R"({"require_cap":true,"allowed_ops":1})";
// The policy document of a frame that asks for no capability, as hosts write it.
constexpr std::string_view kNoCapPolicy = R"({"require_cap":false})";
constexpr std::string_view kNonceLabel = "tessella event nonce v1";

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "instr_gate: %s\n", what.c_str());
  std::exit(2);
}

std::set<std::string> g_measured;

// Measures `call` once under `name` (later requests for the same name reuse the measurement).
const std::string& measure(const std::string& name, const std::function<bool()>& call) {
  auto [it, fresh] = g_measured.insert(name);
  if (!fresh) return *it;
  if (!call() || !call()) die(name + " failed");
  CALLGRIND_ZERO_STATS;
  bool ok = true;
  for (int i = 0; i < kRuns; ++i) ok = call() && ok;
  CALLGRIND_DUMP_STATS_AT(name.c_str());
  if (!ok) die(name + " failed");
  return *it;
}

struct Step {
  std::string what;
  std::vector<std::string> variants;
};

std::string sz(std::size_t n) { return std::to_string(n); }

// ---------------------------------------------------------------------------------------------
// Floor steps: the primitive calls, contexts kept and re-keyed per call, keys imported per call.

// With frame_len > 0 the output is allocated per call (malloc, uninitialised), written by the
// primitive behind the associated data and freed: what an operation returning its output must
// do. Otherwise one buffer serves every call.
Step aead_seal(std::uint8_t alg, std::size_t ad_len, std::size_t n, std::size_t frame_len) {
  const std::string base = std::string(frame_len ? "aead-seal-owned/" : "aead-seal/") +
                           alg_name(alg) + "/" + sz(ad_len) + "+" + sz(n) +
                           (frame_len ? "@" + sz(frame_len) : "");
  const Bytes ad = filler(ad_len, 10), pt = filler(n, 11);
  Bytes reused(n + kTagSize);
  const Fixture& fx = fixture();
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  auto call = [&](bool sodium) {
    std::uint8_t* buf = frame_len ? static_cast<std::uint8_t*>(std::malloc(frame_len)) : nullptr;
    std::uint8_t* out = frame_len ? buf + ad_len : reused.data();
    const bool ok = out != nullptr &&
                    (sodium ? na_encrypt(alg, fx.data_key.data(), fx.nonce.data(), ad, pt.data(),
                                         n, out, out + n)
                            : ossl_encrypt(ctx, alg, fx.data_key.data(), fx.nonce.data(), ad,
                                           pt.data(), n, out, out + n));
    std::free(buf);
    return ok;
  };
  Step s{frame_len ? "aead-seal-owned" : "aead-seal",
         {measure(base + "/openssl", [&] { return call(false); }),
          measure(base + "/sodium", [&] { return call(true); })}};
  EVP_CIPHER_CTX_free(ctx);
  return s;
}

Step aead_open(std::uint8_t alg, std::size_t ad_len, std::size_t n, bool owned) {
  const std::string base = std::string(owned ? "aead-open-owned/" : "aead-open/") +
                           alg_name(alg) + "/" + sz(ad_len) + "+" + sz(n);
  const Bytes ad = filler(ad_len, 10), pt = filler(n, 11);
  Bytes ct(n), reused(n);
  std::uint8_t tag[kTagSize];
  const Fixture& fx = fixture();
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  if (!ossl_encrypt(ctx, alg, fx.data_key.data(), fx.nonce.data(), ad, pt.data(), n, ct.data(),
                    tag)) {
    die("encryption of " + base);
  }
  auto call = [&](bool sodium) {
    std::uint8_t* buf = owned ? static_cast<std::uint8_t*>(std::malloc(n)) : nullptr;
    std::uint8_t* out = owned ? buf : reused.data();
    const bool ok = out != nullptr &&
                    (sodium ? na_decrypt(alg, fx.data_key.data(), fx.nonce.data(), ad, ct.data(),
                                         n, tag, out)
                            : ossl_decrypt(ctx, alg, fx.data_key.data(), fx.nonce.data(), ad,
                                           ct.data(), n, tag, out));
    std::free(buf);
    return ok;
  };
  Step s{owned ? "aead-open-owned" : "aead-open",
         {measure(base + "/openssl", [&] { return call(false); }),
          measure(base + "/sodium", [&] { return call(true); })}};
  EVP_CIPHER_CTX_free(ctx);
  return s;
}

// The zero fill of a std::vector<std::uint8_t>(n), done by any call that returns its output as
// that type: the standard vector has no uninitialised resize. Measured on one reused buffer, so
// that the allocation (already in aead-open-owned) is not counted twice.
Step vector_fill(std::size_t n) {
  static Bytes buf;
  buf.resize(n);
  return {"vector-fill", {measure("vector-fill/" + sz(n), [n] {
            std::memset(buf.data(), 0, n);
            asm volatile("" : : "r"(buf.data()) : "memory");
            return true;
          })}};
}

Step ed25519_sign(std::size_t len) {
  const std::string base = "ed25519-sign/" + sz(len);
  const Bytes msg = filler(len, 12);
  const Fixture& fx = fixture();
  std::uint8_t pk[32], sk[64], sig[64];
  crypto_sign_seed_keypair(pk, sk, fx.author_seed.data());
  EVP_PKEY* key =
      EVP_PKEY_new_raw_private_key_ex(nullptr, "ED25519", nullptr, fx.author_seed.data(), 32);
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  Step s{"ed25519-sign",
         {measure(base + "/openssl", [&] { return ossl_sign(ctx, key, msg.data(), len, sig); }),
          measure(base + "/sodium", [&] {
            return crypto_sign_detached(sig, nullptr, msg.data(), len, sk) == 0;
          })}};
  EVP_MD_CTX_free(ctx);
  EVP_PKEY_free(key);
  sodium_memzero(sk, sizeof sk);
  return s;
}

// Verification takes variable time (and instructions) with the signature and message, so the
// floor verifies exactly the bytes the operation verifies: `what` names them.
Step ed25519_verify(const std::string& what, ByteView msg, const std::uint8_t* sig,
                    const std::uint8_t* pub) {
  const std::string base = "ed25519-verify/" + what + "/" + sz(msg.size());
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  Step s{"ed25519-verify",
         {measure(base + "/openssl",
                  [&] { return ossl_verify(ctx, pub, msg.data(), msg.size(), sig); }),
          measure(base + "/sodium", [&] {
            return crypto_sign_verify_detached(sig, msg.data(), msg.size(), pub) == 0;
          })}};
  EVP_MD_CTX_free(ctx);
  return s;
}

Step blake3(std::size_t len) {
  const Bytes data = filler(len, 13);
  static volatile std::uint8_t sink;
  return {"blake3", {measure("blake3/" + sz(len), [&] {
            sink = b3(data.data(), data.size())[0];
            return true;
          })}};
}

Step hmac_sha256(std::size_t key_len, std::size_t msg_len) {
  const std::string base = "hmac-sha256/" + sz(key_len) + "+" + sz(msg_len);
  const Bytes key = filler(key_len, 14), msg = filler(msg_len, 15);
  std::uint8_t out[32];
  EVP_MAC_CTX* ctx = EVP_MAC_CTX_new(ossl_hmac());
  Step s{"hmac-sha256",
         {measure(base + "/openssl", [&] { return ossl_hmac256(ctx, key, msg, {}, out); }),
          measure(base + "/sodium", [&] {
            na_hmac256(key, msg, {}, out);
            return true;
          })}};
  EVP_MAC_CTX_free(ctx);
  return s;
}

// ---------------------------------------------------------------------------------------------
// The operations.

struct Frames {
  Bytes plaintext, wire, wire_pol, wire_cap;
  std::array<std::uint8_t, kCapTokenSize> token{};
};

Frames frames(const SigningKey& key, std::uint8_t alg, std::size_t n) {
  const Fixture& fx = fixture();
  Frames f;
  f.plaintext = filler(n, 20);
  auto plain = seal_bytes(alg, 0, 0, fx.nonce, fx.ts, fx.author, fx.owner, fx.prev_cid, {}, {},
                          f.plaintext, fx.data_key, key);
  auto guarded = seal_bytes(alg, 0, 0, fx.nonce, fx.ts, fx.author, fx.owner, fx.prev_cid, {},
                            as_bytes(kCapPolicy), f.plaintext, fx.data_key, key);
  auto no_cap = seal_bytes(alg, 0, 0, fx.nonce, fx.ts, fx.author, fx.owner, fx.prev_cid, {},
                          as_bytes(kNoCapPolicy), f.plaintext, fx.data_key, key);
  if (!plain || !guarded || !no_cap) die("seal_bytes");
  f.wire = std::move(plain->bytes);
  f.wire_pol = std::move(no_cap->bytes);
  f.wire_cap = std::move(guarded->bytes);
  auto token = cap_issue(fx.issuer_seed, fx.issuer, guarded->cid, Rights::READ_FEATURES,
                         ~std::uint64_t{0}, fx.holder);
  if (!token) die("cap_issue");
  f.token = cap_encode(*token);
  return f;
}

void print(const std::string& op, std::uint8_t alg, std::size_t n, const std::string& tessella,
           const std::vector<Step>& floor) {
  std::printf("%s %s %zu %s", op.c_str(), alg ? alg_name(alg).c_str() : "-", n, tessella.c_str());
  for (const Step& s : floor) {
    std::printf(" %s=", s.what.c_str());
    for (std::size_t i = 0; i < s.variants.size(); ++i) {
      std::printf("%s%s", i ? "," : "", s.variants[i].c_str());
    }
  }
  std::printf("\n");
}

void frame_ops(const SigningKey& cpp_key, const tessella_signing_key* key, std::uint8_t alg,
               std::size_t n) {
  const Fixture& fx = fixture();
  const Frames f = frames(cpp_key, alg, n);
  const std::string tail = "/" + alg_name(alg) + "/" + sz(n);
  const std::size_t ad = kFrameFixedSize;
  const std::size_t ad_cap = ad + kCapPolicy.size();
  const std::size_t len = f.wire.size(), len_cap = f.wire_cap.size();
  std::uint8_t cid[32];
  Bytes out(len);

  auto c_seal = [&](bool into) {
    if (into) {
      std::size_t written = 0;
      return tessella_seal_bytes_into(alg, 0, 0, fx.nonce.data(), fx.ts.data(), fx.author.data(),
                                      fx.owner.data(), fx.prev_cid.data(), nullptr, 0, nullptr, 0,
                                      f.plaintext.data(), n, fx.data_key.data(), 32, key,
                                      out.data(), out.size(), &written, cid, nullptr) == 0;
    }
    tessella_buf buf{};
    const int rc = tessella_seal_bytes(alg, 0, 0, fx.nonce.data(), fx.ts.data(), fx.author.data(),
                                       fx.owner.data(), fx.prev_cid.data(), nullptr, 0, nullptr,
                                       0, f.plaintext.data(), n, fx.data_key.data(), 32, key,
                                       &buf, cid, nullptr);
    tessella_buf_free(&buf);
    return rc == 0;
  };
  // The trusted calls trust the token's issuer (listed) and the frame's owner.
  const tessella_trust trust{fx.issuer.data(), 1, 1};
  const OpenOptions trusted_pol{std::nullopt, std::nullopt, std::nullopt,
                                IssuerTrust{std::span<const PublicKey>(&fx.issuer, 1), true}};
  auto c_open = [&](bool cap, bool into, bool policy = false, bool trusted = false) {
    const Bytes& wire = cap ? f.wire_cap : policy ? f.wire_pol : f.wire;
    const std::uint8_t* token = cap ? f.token.data() : nullptr;
    const std::uint8_t* presenter = cap ? fx.holder.data() : nullptr;
    if (trusted) {
      if (into) {
        std::size_t written = 0;
        return tessella_open_bytes_trusted_into(wire.data(), wire.size(), fx.data_key.data(), 32,
                                                token, cap ? kCapTokenSize : 0, presenter,
                                                nullptr, &trust, out.data(), out.size(),
                                                &written, nullptr) == 0;
      }
      tessella_buf buf{};
      const int rc = tessella_open_bytes_trusted(wire.data(), wire.size(), fx.data_key.data(), 32,
                                                 token, cap ? kCapTokenSize : 0, presenter,
                                                 nullptr, &trust, &buf, nullptr);
      tessella_buf_free(&buf);
      return rc == 0;
    }
    if (into) {
      std::size_t written = 0;
      return tessella_open_bytes_into(wire.data(), wire.size(), fx.data_key.data(), 32, token,
                                      cap ? kCapTokenSize : 0, presenter, nullptr, out.data(),
                                      out.size(), &written, nullptr) == 0;
    }
    tessella_buf buf{};
    const int rc = tessella_open_bytes(wire.data(), wire.size(), fx.data_key.data(), 32, token,
                                       cap ? kCapTokenSize : 0, presenter, nullptr, &buf,
                                       nullptr);
    tessella_buf_free(&buf);
    return rc == 0;
  };

  // The C ABI gives the C++ API's bytes.
  if (!c_seal(true) || !std::equal(f.wire.begin(), f.wire.end(), out.begin())) {
    die("tessella_seal_bytes_into differs from seal_bytes");
  }
  if (!c_open(true, true) || !std::equal(f.plaintext.begin(), f.plaintext.end(), out.begin())) {
    die("tessella_open_bytes_into does not open the frame");
  }

  const Step sign = ed25519_sign(ad + n + kTagSize);
  const Step hash = blake3(len);
  print("c:seal_bytes", alg, n,
        measure("c:seal_bytes" + tail, [&] { return c_seal(false); }),
        {aead_seal(alg, ad, n, len), sign, hash});
  print("c:seal_bytes_into", alg, n,
        measure("c:seal_bytes_into" + tail, [&] { return c_seal(true); }),
        {aead_seal(alg, ad, n, 0), sign, hash});
  print("seal_bytes_into", alg, n, measure("seal_bytes_into" + tail, [&] {
          return seal_bytes_into(alg, 0, 0, fx.nonce, fx.ts, fx.author, fx.owner, fx.prev_cid,
                                 {}, {}, f.plaintext, fx.data_key, cpp_key, out)
              .has_value();
        }),
        {aead_seal(alg, ad, n, 0), sign, hash});
  print("c:open_bytes", alg, n,
        measure("c:open_bytes" + tail, [&] { return c_open(false, false); }),
        {aead_open(alg, ad, n, true)});
  print("c:open_bytes_into", alg, n,
        measure("c:open_bytes_into" + tail, [&] { return c_open(false, true); }),
        {aead_open(alg, ad, n, false)});
  print("open_bytes", alg, n, measure("open_bytes" + tail, [&] {
          return open_bytes(f.wire, fx.data_key, std::nullopt, std::nullopt).has_value();
        }),
        {aead_open(alg, ad, n, true), vector_fill(n)});
  print("open_bytes_into", alg, n, measure("open_bytes_into" + tail, [&] {
          return open_bytes_into(f.wire, fx.data_key, std::nullopt, std::nullopt, std::nullopt,
                                 out)
              .has_value();
        }),
        {aead_open(alg, ad, n, false)});
  // The same three openings of a frame whose meta is the policy that asks for no capability.
  const std::size_t ad_pol = ad + kNoCapPolicy.size();
  print("c:open_bytes+policy", alg, n,
        measure("c:open_bytes+policy" + tail, [&] { return c_open(false, false, true); }),
        {aead_open(alg, ad_pol, n, true)});
  print("c:open_bytes_into+policy", alg, n,
        measure("c:open_bytes_into+policy" + tail, [&] { return c_open(false, true, true); }),
        {aead_open(alg, ad_pol, n, false)});
  print("open_bytes_into+policy", alg, n, measure("open_bytes_into+policy" + tail, [&] {
          return open_bytes_into(f.wire_pol, fx.data_key, std::nullopt, std::nullopt,
                                 std::nullopt, out)
              .has_value();
        }),
        {aead_open(alg, ad_pol, n, false)});
  // The trusted calls on the same frame, and on the guarded one.
  print("c:open_bytes_trusted+policy", alg, n,
        measure("c:open_bytes_trusted+policy" + tail,
                [&] { return c_open(false, false, true, true); }),
        {aead_open(alg, ad_pol, n, true)});
  print("c:open_bytes_trusted_into+policy", alg, n,
        measure("c:open_bytes_trusted_into+policy" + tail,
                [&] { return c_open(false, true, true, true); }),
        {aead_open(alg, ad_pol, n, false)});
  print("open_bytes_trusted_into+policy", alg, n,
        measure("open_bytes_trusted_into+policy" + tail, [&] {
          return open_bytes_trusted_into(f.wire_pol, fx.data_key, trusted_pol, out).has_value();
        }),
        {aead_open(alg, ad_pol, n, false)});
  print("c:open_bytes_trusted+cap", alg, n,
        measure("c:open_bytes_trusted+cap" + tail, [&] { return c_open(true, false, false, true); }),
        {aead_open(alg, ad_cap, n, true), blake3(len_cap),
         ed25519_verify("token" + tail, ByteView(f.token).first(kCapSignedSize),
                        f.token.data() + kCapSignedSize + 8, f.token.data() + 76)});
  print("c:open_bytes+cap", alg, n,
        measure("c:open_bytes+cap" + tail, [&] { return c_open(true, false); }),
        {aead_open(alg, ad_cap, n, true), blake3(len_cap),
         ed25519_verify("token" + tail, ByteView(f.token).first(kCapSignedSize),
                        f.token.data() + kCapSignedSize + 8, f.token.data() + 76)});
  tessella_frame_verification report{};
  print("c:verify_bytes", alg, n, measure("c:verify_bytes" + tail, [&] {
          return tessella_verify_bytes(f.wire.data(), f.wire.size(), &report, nullptr) == 0 &&
                 report.valid == 1;
        }),
        {ed25519_verify("frame" + tail, ByteView(f.wire).first(len - kSignatureSize),
                        f.wire.data() + len - kSignatureSize, fx.author.data()),
         hash});
}

void event_op(const tessella_signing_key* key, std::uint8_t alg) {
  const Fixture& fx = fixture();
  const EventBody b = event_body();
  const std::size_t ad = kFrameFixedSize + 5 + event_document(EventKind::ReadEvent, b).size();
  const std::size_t wire = ad + kFrameTrailerSize;
  std::uint8_t cid[32];
  print("c:seal_event", alg, 0, measure("c:seal_event/" + alg_name(alg), [&] {
          tessella_buf buf{};
          const int rc = tessella_seal_event(
              alg, fx.author.data(), fx.owner.data(), fx.prev_cid.data(),
              static_cast<int32_t>(EventKind::ReadEvent), b.scope_cid.data(), b.rights.bits(),
              b.exp_ts, b.peer_pub.data(), fx.data_key.data(), 32, key, &buf, cid, nullptr);
          tessella_buf_free(&buf);
          return rc == 0;
        }),
        {hmac_sha256(kKeySize, kNonceLabel.size() + ad), aead_seal(alg, ad, 0, wire),
         ed25519_sign(ad + kTagSize), blake3(wire)});
}

// The policy reader on the documents the library and hosts write. It has no primitive floor:
// its one step is the measuring call itself without the reader, and the gate holds what the
// reader adds to a number of instructions per byte of the document.
void policy_ops() {
  const std::string event = event_document(EventKind::ReadEvent, event_body());
  const std::pair<const char*, std::string_view> docs[] = {
      {"no-cap", kNoCapPolicy}, {"cap", kCapPolicy}, {"event", event}};
  static volatile bool sink;
  const Step call{"call", {measure("read_policy/call", [] {
                    sink = false;
                    return true;
                  })}};
  for (const auto& [name, text] : docs) {
    print("read_policy", 0, text.size(), measure(std::string("read_policy/") + name, [&] {
            sink = read_policy(as_bytes(text)).require_cap;
            return true;
          }),
          {call});
  }
}

void index_op() {
  const Bytes key = filler(32, 40), term = filler(16, 41);
  std::uint8_t out[32];
  print("c:blind_index", 0, 16, measure("c:blind_index/16", [&] {
          return tessella_blind_index(key.data(), key.size(), term.data(), term.size(), out,
                                      nullptr) == 0;
        }),
        {hmac_sha256(32, 16)});
}

}  // namespace
}  // namespace tessella::bench

// Arguments, when given, replace the payload sizes (64 and 4096): for looking at other sizes by
// hand; the gate runs the defaults.
int main(int argc, char** argv) {
  using namespace tessella::bench;
  std::vector<std::size_t> sizes = {64, 4096};
  if (argc > 1) {
    sizes.clear();
    for (int i = 1; i < argc; ++i) sizes.push_back(std::strtoull(argv[i], nullptr, 10));
  }
  if (sodium_init() < 0) die("libsodium failed to initialise");
  const tessella::SigningKey cpp_key = tessella::signing_key_from_seed(fixture().author_seed);
  tessella_signing_key* key = tessella_signing_key_from_seed(fixture().author_seed.data());
  if (key == nullptr) die("tessella_signing_key_from_seed");
  std::printf("# runs %d\n", kRuns);
  CALLGRIND_START_INSTRUMENTATION;
  for (std::uint8_t alg : {std::uint8_t{1}, std::uint8_t{2}}) {
    for (std::size_t n : sizes) frame_ops(cpp_key, key, alg, n);
    event_op(key, alg);
  }
  index_op();
  policy_ops();
  CALLGRIND_STOP_INSTRUMENTATION;
  tessella_signing_key_free(key);
  return 0;
}
