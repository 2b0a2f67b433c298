// Ed25519 through libsodium where it is faster: every signature and every verdict equals what
// OpenSSL alone gives (strict key decoding, then EVP), over the vector suites, over keys and R of
// small order that libsodium refuses, and over seeded random inputs on both sides of the message
// lengths where the library switches between the two.
#include <openssl/evp.h>
#include <sodium.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../src/sign_internal.hpp"
#include "tessella/capabilities.hpp"
#include "tessella/cid.hpp"
#include "tessella/frame.hpp"
#include "tessella/sign.hpp"
#include "vectors.hpp"

namespace tessella {
namespace {

using detail::Verdict;
using test::from_hex;

const char* name(Verdict v) {
  switch (v) {
    case Verdict::Valid: return "Valid";
    case Verdict::BadSignature: return "BadSignature";
    case Verdict::BadKey: return "BadKey";
  }
  return "?";
}

// OpenSSL alone.
bool openssl_verifies(const PublicKey& pk, ByteView m, const Signature& sig) {
  EVP_PKEY* key = EVP_PKEY_new_raw_public_key_ex(nullptr, "ED25519", nullptr, pk.data(), pk.size());
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  const bool ok = key != nullptr && ctx != nullptr &&
                  EVP_DigestVerifyInit_ex(ctx, nullptr, nullptr, nullptr, nullptr, key, nullptr) == 1 &&
                  EVP_DigestVerify(ctx, sig.data(), sig.size(), m.data(), m.size()) == 1;
  EVP_MD_CTX_free(ctx);
  EVP_PKEY_free(key);
  return ok;
}

Signature openssl_sign(const Seed& seed, ByteView m) {
  EVP_PKEY* key = EVP_PKEY_new_raw_private_key_ex(nullptr, "ED25519", nullptr, seed.data(), 32);
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  Signature sig{};
  std::size_t len = sig.size();
  EXPECT_TRUE(key != nullptr && ctx != nullptr &&
              EVP_DigestSignInit_ex(ctx, nullptr, nullptr, nullptr, nullptr, key, nullptr) == 1 &&
              EVP_DigestSign(ctx, sig.data(), &len, m.data(), m.size()) == 1);
  EVP_MD_CTX_free(ctx);
  EVP_PKEY_free(key);
  return sig;
}

// The verdict of strict decoding followed by OpenSSL's verification.
Verdict reference(const PublicKey& pk, ByteView m, const Signature& sig) {
  if (!VerifyingKey::from_bytes(pk)) return Verdict::BadKey;
  return openssl_verifies(pk, m, sig) ? Verdict::Valid : Verdict::BadSignature;
}

bool sodium_verifies(const PublicKey& pk, ByteView m, const Signature& sig) {
  return crypto_sign_verify_detached(sig.data(), m.data(), m.size(), pk.data()) == 0;
}

// Checks every entry that decides from a key's bytes; returns the reference verdict.
Verdict expect_same(const PublicKey& pk, ByteView m, const Signature& sig, const std::string& where) {
  const Verdict want = reference(pk, m, sig);
  EXPECT_STREQ(name(detail::verify_encoded(pk, m, sig)), name(want)) << where;
  if (auto vk = VerifyingKey::from_bytes(pk)) {
    EXPECT_EQ(verify(*vk, m, sig).has_value(), want == Verdict::Valid) << where;
  }
  return want;
}

template <std::size_t N>
std::array<std::uint8_t, N> fixed(const Bytes& b) {
  std::array<std::uint8_t, N> out{};
  EXPECT_EQ(b.size(), N);
  std::copy_n(b.begin(), std::min(N, b.size()), out.begin());
  return out;
}

// Message lengths on both sides of where signing (12 KiB) and verification (20 KiB) switch.
const std::size_t kLengths[] = {0,     1,     64,    108,   1000,  12287, 12288, 12289,
                                16384, 20479, 20480, 20481, 32768, 65536};

Bytes random_bytes(std::mt19937_64& rng, std::size_t n) {
  Bytes b(n);
  for (auto& v : b) v = static_cast<std::uint8_t>(rng());
  return b;
}

// A scalar below L from 64 random bytes.
std::array<std::uint8_t, 32> random_scalar(std::mt19937_64& rng) {
  const Bytes wide = random_bytes(rng, 64);
  std::array<std::uint8_t, 32> s{};
  crypto_core_ed25519_scalar_reduce(s.data(), wide.data());
  return s;
}

// Under the identity key (y = 1, small order) (R, S) with R = [S]B verifies for every message:
// [S]B = R + [h]A since [h]A is the identity. Libsodium refuses the key; OpenSSL accepts.
Signature identity_key_signature(std::mt19937_64& rng) {
  const auto s = random_scalar(rng);
  Signature sig{};
  EXPECT_EQ(crypto_scalarmult_ed25519_base_noclamp(sig.data(), s.data()), 0);
  std::copy(s.begin(), s.end(), sig.begin() + 32);
  return sig;
}

PublicKey identity_key() {
  PublicKey pk{};
  pk[0] = 1;
  return pk;
}

// A signature whose R is the identity (small order) under a real key: S = h a, so
// [S]B = [h]A = R + [h]A. Libsodium refuses such R; OpenSSL accepts.
Signature small_order_r_signature(const Seed& seed, const PublicKey& pk, ByteView m) {
  std::uint8_t az[64];
  crypto_hash_sha512(az, seed.data(), seed.size());
  az[0] &= 248;
  az[31] &= 127;
  az[31] |= 64;
  std::uint8_t a_wide[64] = {}, a[32], h_wide[64], h[32];
  std::copy(az, az + 32, a_wide);
  crypto_core_ed25519_scalar_reduce(a, a_wide);
  Signature sig{};
  sig[0] = 1;  // R = identity
  crypto_hash_sha512_state st;
  crypto_hash_sha512_init(&st);
  crypto_hash_sha512_update(&st, sig.data(), 32);
  crypto_hash_sha512_update(&st, pk.data(), 32);
  crypto_hash_sha512_update(&st, m.data(), m.size());
  crypto_hash_sha512_final(&st, h_wide);
  crypto_core_ed25519_scalar_reduce(h, h_wide);
  crypto_core_ed25519_scalar_mul(sig.data() + 32, h, a);
  return sig;
}

class SignSodium : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_GE(sodium_init(), 0); }
};

// ---------------------------------------------------------------------------------------------
// Vector suites.

TEST_F(SignSodium, SpeccheckAndWycheproofDecideAsOpenSSLAlone) {
  TESSELLA_REQUIRE_SHARED();
  int cases = 0, sodium_refused_valid = 0;
  auto check = [&](const PublicKey& pk, const Bytes& m, const Signature& sig, const std::string& where) {
    const Verdict want = expect_same(pk, m, sig, where);
    if (want == Verdict::Valid && !sodium_verifies(pk, m, sig)) ++sodium_refused_valid;
    ++cases;
  };
  nlohmann::json spec;
  ASSERT_TRUE(test::read_json(test::shared_vectors() / "ed25519-speccheck" / "cases.json", spec));
  for (std::size_t i = 0; i < spec.size(); ++i) {
    test::JsonFields c(spec[i], "speccheck " + std::to_string(i));
    const Bytes pk = c.hex("pub_key"), m = c.hex("message"), sig = c.hex("signature");
    ASSERT_TRUE(c.all_consumed());
    check(fixed<32>(pk), m, fixed<64>(sig), c.where());
  }
  for (const auto& w : test::wycheproof_cases("ed25519_test.json")) {
    ASSERT_TRUE(w.load_error.empty()) << w.load_error;
    const Bytes pk = from_hex(w.group.at("publicKey").at("pk").get<std::string>());
    const Bytes sig = from_hex(w.test.at("sig").get<std::string>());
    const Bytes m = from_hex(w.test.at("msg").get<std::string>());
    if (sig.size() != kSignatureSize) continue;  // no 64-byte array to pass
    check(fixed<32>(pk), m, fixed<64>(sig), "wycheproof tcId " + std::to_string(w.tc_id));
  }
  EXPECT_GT(cases, 100);
  // Signatures that only the fallback accepts: a verifier that trusted libsodium's refusals would
  // fail above.
  EXPECT_GT(sodium_refused_valid, 0);
}

TEST_F(SignSodium, SignInputSignaturesEqualOpenSSLs) {
  std::string content;
  ASSERT_TRUE(test::read_file(test::cryptography_vectors() / "asymmetric/Ed25519/sign.input", content));
  std::istringstream in(content);
  std::string line;
  int n = 0;
  while (std::getline(in, line)) {
    const std::string where = "sign.input:" + std::to_string(++n);
    std::vector<std::string> f;
    std::size_t start = 0;
    for (std::size_t colon; (colon = line.find(':', start)) != std::string::npos; start = colon + 1) {
      f.push_back(line.substr(start, colon - start));
    }
    ASSERT_EQ(f.size(), 4u) << where;
    const Bytes secret = from_hex(f[0]), m = from_hex(f[2]), sig_m = from_hex(f[3]);
    ASSERT_EQ(secret.size(), 64u) << where;
    ASSERT_GE(sig_m.size(), 64u) << where;
    Seed seed;
    std::copy_n(secret.begin(), 32, seed.begin());
    const PublicKey pk = fixed<32>(from_hex(f[1]));
    const Signature expected = fixed<64>(Bytes(sig_m.begin(), sig_m.begin() + 64));
    const SigningKey key = signing_key_from_seed(seed);
    EXPECT_EQ(sign(key, m), expected) << where;
    EXPECT_EQ(detail::sign_with_seed(seed, m), expected) << where;
    EXPECT_EQ(openssl_sign(seed, m), expected) << where;
    EXPECT_EQ(expect_same(pk, m, expected, where), Verdict::Valid) << where;
    Signature bad = expected;
    bad[static_cast<std::size_t>(n) % 64] ^= 0x10;
    EXPECT_NE(expect_same(pk, m, bad, where + " altered"), Verdict::Valid) << where;
  }
  EXPECT_EQ(n, 1024);
}

// ---------------------------------------------------------------------------------------------
// What libsodium refuses and the library accepts, on both sides of the switch.

TEST_F(SignSodium, IdentityKeyIsAcceptedAtEveryLength) {
  const std::uint64_t seed = test::test_seed();
  std::mt19937_64 rng(seed);
  const PublicKey pk = identity_key();
  ASSERT_TRUE(VerifyingKey::from_bytes(pk).has_value());
  for (std::size_t len : kLengths) {
    const Bytes m = random_bytes(rng, len);
    const Signature sig = identity_key_signature(rng);
    const std::string where = "seed " + std::to_string(seed) + " length " + std::to_string(len);
    EXPECT_FALSE(sodium_verifies(pk, m, sig)) << where;
    EXPECT_EQ(expect_same(pk, m, sig, where), Verdict::Valid) << where;
  }
}

TEST_F(SignSodium, SmallOrderRIsAcceptedAtEveryLength) {
  const std::uint64_t seed = test::test_seed();
  std::mt19937_64 rng(seed);
  for (std::size_t len : kLengths) {
    Seed s;
    std::ranges::copy(random_bytes(rng, 32), s.begin());
    const PublicKey pk = verifying_key_bytes(signing_key_from_seed(s));
    const Bytes m = random_bytes(rng, len);
    const Signature sig = small_order_r_signature(s, pk, m);
    const std::string where = "seed " + std::to_string(seed) + " length " + std::to_string(len);
    EXPECT_FALSE(sodium_verifies(pk, m, sig)) << where;
    EXPECT_EQ(expect_same(pk, m, sig, where), Verdict::Valid) << where;
  }
}

TEST_F(SignSodium, VerifyBytesAcceptsAFrameSignedUnderTheIdentityKey) {
  const std::uint64_t seed = test::test_seed();
  std::mt19937_64 rng(seed);
  const Bytes key(32, 7);
  const SigningKey signer = signing_key_from_seed(Seed{});
  const PublicKey author = identity_key();
  const Nonce nonce{};
  const Timestamp ts{};
  const PublicKey owner{};
  const Cid prev{};
  for (std::size_t len : {std::size_t{0}, std::size_t{100}, std::size_t{30000}}) {
    const Bytes pt = random_bytes(rng, len);
    auto sealed = seal_bytes(2, 0, 0, nonce, ts, author, owner, prev, {}, {}, pt, key, signer);
    ASSERT_TRUE(sealed.has_value());
    Bytes wire = sealed->bytes;
    // signer does not belong to the identity key: the signature fails ...
    auto before = verify_bytes(wire);
    ASSERT_TRUE(before.has_value());
    EXPECT_FALSE(before->valid) << "length " << len;
    // ... until it is replaced by one that holds under the identity key.
    const Signature sig = identity_key_signature(rng);
    std::copy(sig.begin(), sig.end(), wire.end() - 64);
    auto after = verify_bytes(wire);
    ASSERT_TRUE(after.has_value());
    EXPECT_TRUE(after->valid) << "seed " << seed << " length " << len;
    EXPECT_EQ(after->cid, cid_blake3(wire));
  }
}

TEST_F(SignSodium, CapVerifyAcceptsATokenOfTheIdentityIssuer) {
  std::mt19937_64 rng(test::test_seed());
  CapToken t;
  t.issuer_pub = identity_key();
  t.holder_pub[0] = 9;
  t.rights = Rights::READ_RAW;
  t.signature = identity_key_signature(rng);
  EXPECT_TRUE(cap_verify(t, t.holder_pub).has_value());
  t.exp_ts = 1;  // any change of the signed bytes still verifies under the identity key
  EXPECT_TRUE(cap_verify(t, t.holder_pub).has_value());
  t.signature[40] ^= 1;  // but S must still match R
  ASSERT_FALSE(cap_verify(t, t.holder_pub).has_value());
  EXPECT_EQ(cap_verify(t, t.holder_pub).error(), TessellaError(ErrorKind::SignatureInvalid));
}

// ---------------------------------------------------------------------------------------------
// Seeded random inputs.

TEST_F(SignSodium, RandomSignaturesEqualOpenSSLsOnBothSidesOfTheSwitch) {
  const std::uint64_t seed = test::test_seed();
  std::mt19937_64 rng(seed);
  for (int round = 0; round < 3; ++round) {
    for (std::size_t len : kLengths) {
      Seed s;
      std::ranges::copy(random_bytes(rng, 32), s.begin());
      const Bytes m = random_bytes(rng, len);
      const std::string where = "seed " + std::to_string(seed) + " length " + std::to_string(len);
      const SigningKey key = signing_key_from_seed(s);
      const Signature want = openssl_sign(s, m);
      EXPECT_EQ(sign(key, m), want) << where;
      EXPECT_EQ(detail::sign_with_seed(s, m), want) << where;
      const PublicKey pk = verifying_key_bytes(key);
      EXPECT_EQ(expect_same(pk, m, want, where), Verdict::Valid);
      Signature bad = want;
      bad[rng() % 64] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
      EXPECT_EQ(expect_same(pk, m, bad, where + " altered signature"), Verdict::BadSignature);
      Bytes other = m;
      if (!other.empty()) {
        other[rng() % other.size()] ^= 1;
        EXPECT_EQ(expect_same(pk, other, want, where + " altered message"), Verdict::BadSignature);
      }
    }
  }
}

TEST_F(SignSodium, RandomKeyBytesAreClassifiedAsStrictDecodingDoes) {
  const std::uint64_t seed = test::test_seed();
  std::mt19937_64 rng(seed);
  int bad_keys = 0, good_keys = 0;
  for (int i = 0; i < 200; ++i) {
    PublicKey pk;
    std::ranges::copy(random_bytes(rng, 32), pk.begin());
    if (i % 4 == 0) {  // y near p: above it, or just below
      pk[31] |= 0x7f;
      std::fill(pk.begin() + 1, pk.begin() + 31, 0xff);
    }
    const Bytes m = random_bytes(rng, i % 2 ? 64 : 25000);
    Signature sig;
    std::ranges::copy(random_bytes(rng, 64), sig.begin());
    sig[63] &= 0x0f;  // S below L, so that only the key and the equation decide
    const Verdict v = expect_same(pk, m, sig, "seed " + std::to_string(seed) + " key " + std::to_string(i));
    (v == Verdict::BadKey ? bad_keys : good_keys)++;
  }
  EXPECT_GT(bad_keys, 20);
  EXPECT_GT(good_keys, 20);
}

}  // namespace
}  // namespace tessella
