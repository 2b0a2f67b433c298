// The primitive calls that tessella's operations are made of, measured with OpenSSL 3, libsodium
// and BLAKE3 (the floors), and the same envelopes built by hand from one library (the peers).
//
// Floors reuse their library contexts between iterations and re-key them on every call: they
// measure the primitive itself. Peers are written as a careful user would write a stateless,
// thread-safe envelope function: fetched algorithms and imported long-lived keys are kept,
// per-call contexts are made and freed in the call, outputs are allocated uninitialised.
// The peers do not parse JSON: the benchmark frames carry either no policy (an empty meta) or
// exactly kCapPolicy, which the peers recognise by comparing bytes.
#ifndef TESSELLA_BENCH_FLOORS_HPP
#define TESSELLA_BENCH_FLOORS_HPP

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <openssl/evp.h>
#include <sodium.h>

#include "primitives.hpp"
#include "registry.hpp"
#include "tessella/capabilities.hpp"
#include "tessella/sign.hpp"
#include "tessella/types.hpp"

namespace tessella::bench {

/// The policy of the capability benchmarks.
inline constexpr std::string_view kCapPolicy = R"({"require_cap":true,"allowed_ops":1})";
inline constexpr std::uint32_t kCapPolicyMask = 1;

/// The frames of the frame benchmarks, made once per algorithm and payload size.
struct FrameCase {
  Bytes plaintext;
  Bytes wire;      // sealed with an empty meta: no policy
  Bytes wire_cap;  // sealed with kCapPolicy in meta
  std::array<std::uint8_t, kCapTokenSize> token{};  // scoped to wire_cap, held by fx.holder
};
const FrameCase& frame_case(std::uint8_t alg, std::size_t n);
const SigningKey& author_key();

// ---------------------------------------------------------------------------------------------
// Floor components. Each registers (once) one benchmark per library and returns their names.

Component aead_seal(std::uint8_t alg, std::size_t ad_len, std::size_t n);
Component aead_open(std::uint8_t alg, std::size_t ad_len, std::size_t n);
/// The same with the output allocated for the call (malloc, uninitialised), written by the
/// primitive and freed, as an operation returning an owned buffer must: for sealing a frame of
/// `frame_len` bytes with the ciphertext behind the associated data; for opening the plaintext.
Component aead_seal_owned(std::uint8_t alg, std::size_t ad_len, std::size_t n,
                          std::size_t frame_len);
Component aead_open_owned(std::uint8_t alg, std::size_t ad_len, std::size_t n);
Component ed25519_sign(std::size_t len);
/// Verification from the key's 32 bytes (OpenSSL must import them; libsodium reads them).
Component ed25519_verify(std::size_t len);
/// Key pair from a seed.
Component ed25519_keypair();
Component blake3(std::size_t len);
Component hmac_sha256(std::size_t key_len, std::size_t msg_len);
/// PBKDF2-HMAC-SHA512, one 64-byte block (libsodium has no PBKDF2: it is written over its
/// HMAC-SHA-512 with the keyed state computed once).
Component pbkdf2_sha512(std::size_t pass_len, unsigned iterations);
/// HKDF-SHA-256: extract over a 64-byte input, then two 32-byte expansions.
Component hkdf_two_keys();

// ---------------------------------------------------------------------------------------------
// Peers.

struct Owned {
  std::unique_ptr<std::uint8_t[]> data;
  std::size_t size = 0;
  ByteView view() const { return {data.get(), size}; }
};

struct PeerSealed {
  Owned bytes;
  Cid cid{};
};

struct PeerFrame {
  std::uint8_t alg = 1, hdr2 = 0, hdr3 = 0;
  NonceView nonce;
  TimestampView ts;
  KeyView32 author, owner, prev_cid;
  ByteView pol, meta, plaintext;
};

struct PeerVerification {
  Cid cid{};
  bool valid = false;
};

/// Builds, opens and verifies frames with OpenSSL 3 (AEAD, Ed25519) and BLAKE3.
class OpensslPeer {
 public:
  OpensslPeer();
  ~OpensslPeer();
  OpensslPeer(const OpensslPeer&) = delete;
  OpensslPeer& operator=(const OpensslPeer&) = delete;

  /// Seals with the author's key of the fixture.
  std::optional<PeerSealed> seal(const PeerFrame& f, ByteView data_key) const;
  std::optional<Owned> open(ByteView wire, ByteView data_key, std::optional<ByteView> cap,
                            std::optional<KeyView32> presenter) const;
  std::optional<PeerVerification> verify(ByteView wire) const;
  std::optional<PeerSealed> seal_event(std::uint8_t alg, const std::string& doc,
                                       ByteView data_key) const;
  CapToken cap_issue(KeyView32 issuer_secret, KeyView32 issuer_pub, KeyView32 scope_cid,
                     std::uint32_t rights, std::uint64_t exp_ts, KeyView32 holder_pub) const;
  bool cap_verify(const CapToken& token, KeyView32 presenter) const;
  std::optional<std::pair<Seed, Seed>> restore_keys(std::string_view phrase) const;
  std::optional<std::array<std::uint8_t, 32>> blind_index(ByteView key, ByteView term) const;

 private:
  EVP_PKEY* author_ = nullptr;
  EVP_MAC* hmac_ = nullptr;
  EVP_KDF* hkdf_ = nullptr;
};

/// The same with libsodium and BLAKE3.
class SodiumPeer {
 public:
  SodiumPeer();
  ~SodiumPeer();
  SodiumPeer(const SodiumPeer&) = delete;
  SodiumPeer& operator=(const SodiumPeer&) = delete;

  std::optional<PeerSealed> seal(const PeerFrame& f, ByteView data_key) const;
  std::optional<Owned> open(ByteView wire, ByteView data_key, std::optional<ByteView> cap,
                            std::optional<KeyView32> presenter) const;
  std::optional<PeerVerification> verify(ByteView wire) const;
  std::optional<PeerSealed> seal_event(std::uint8_t alg, const std::string& doc,
                                       ByteView data_key) const;
  CapToken cap_issue(KeyView32 issuer_secret, KeyView32 issuer_pub, KeyView32 scope_cid,
                     std::uint32_t rights, std::uint64_t exp_ts, KeyView32 holder_pub) const;
  bool cap_verify(const CapToken& token, KeyView32 presenter) const;
  std::optional<std::pair<Seed, Seed>> restore_keys(std::string_view phrase) const;
  std::optional<std::array<std::uint8_t, 32>> blind_index(ByteView key, ByteView term) const;

 private:
  std::uint8_t author_sk_[crypto_sign_SECRETKEYBYTES] = {};
};

/// The event document written by hand (members in key order, compact).
std::string peer_event_document(std::string_view kind, KeyView32 scope_cid, std::uint32_t rights,
                                std::uint64_t exp_ts, KeyView32 peer_pub);

}  // namespace tessella::bench

#endif
