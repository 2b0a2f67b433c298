// The primitive calls of the floors, written once for the benchmark binary and the
// instruction-count gate: OpenSSL 3 and libsodium AEADs, Ed25519 and HMAC-SHA-256, and BLAKE3,
// each on caller-provided buffers. The OpenSSL functions take their context, so a floor can keep
// one and re-key it on every call.
#ifndef TESSELLA_BENCH_PRIMITIVES_HPP
#define TESSELLA_BENCH_PRIMITIVES_HPP

#include <cstdint>
#include <string>

#include <openssl/evp.h>

#include "tessella/events.hpp"
#include "tessella/types.hpp"

namespace tessella::bench {

std::string alg_name(std::uint8_t alg);

/// Deterministic filler bytes.
Bytes filler(std::size_t n, std::uint8_t salt);

/// Fixed keys and header fields shared by every benchmark.
struct Fixture {
  Bytes data_key;  // 32 bytes
  Nonce nonce{};
  Timestamp ts{};
  Seed author_seed{};
  PublicKey author{};
  PublicKey owner{};
  Cid prev_cid{};
  Seed issuer_seed{};
  PublicKey issuer{};
  Seed holder_seed{};
  PublicKey holder{};
};
const Fixture& fixture();

/// The event the seal_event benchmarks seal (a ReadEvent of the fixture's keys).
EventBody event_body();

Cid b3(const std::uint8_t* data, std::size_t len);

const EVP_CIPHER* ossl_cipher(std::uint8_t alg);
EVP_MAC* ossl_hmac();
bool ossl_encrypt(EVP_CIPHER_CTX* ctx, std::uint8_t alg, const std::uint8_t* key,
                  const std::uint8_t* nonce, ByteView ad, const std::uint8_t* pt, std::size_t n,
                  std::uint8_t* out, std::uint8_t* tag);
bool ossl_decrypt(EVP_CIPHER_CTX* ctx, std::uint8_t alg, const std::uint8_t* key,
                  const std::uint8_t* nonce, ByteView ad, const std::uint8_t* ct, std::size_t n,
                  const std::uint8_t* tag, std::uint8_t* out);
bool ossl_sign(EVP_MD_CTX* ctx, EVP_PKEY* key, const std::uint8_t* msg, std::size_t len,
               std::uint8_t* sig);
/// From the key's bytes: the import is part of every OpenSSL verification of a key that arrives
/// as bytes.
bool ossl_verify(EVP_MD_CTX* ctx, const std::uint8_t* pub, const std::uint8_t* msg,
                 std::size_t len, const std::uint8_t* sig);
/// HMAC-SHA-256 of a followed by b.
bool ossl_hmac256(EVP_MAC_CTX* ctx, ByteView key, ByteView a, ByteView b, std::uint8_t* out);

bool na_encrypt(std::uint8_t alg, const std::uint8_t* key, const std::uint8_t* nonce, ByteView ad,
                const std::uint8_t* pt, std::size_t n, std::uint8_t* out, std::uint8_t* tag);
bool na_decrypt(std::uint8_t alg, const std::uint8_t* key, const std::uint8_t* nonce, ByteView ad,
                const std::uint8_t* ct, std::size_t n, const std::uint8_t* tag,
                std::uint8_t* out);
void na_hmac256(ByteView key, ByteView a, ByteView b, std::uint8_t* out);

}  // namespace tessella::bench

#endif
