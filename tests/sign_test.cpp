// Ed25519: published vectors, strict key decoding, and the libsodium paths
// (signing below 12 KiB; verifying below 20 KiB, refusals re-decided) against OpenSSL alone.
#include "tessella/sign.hpp"

#include <openssl/evp.h>
#include <sodium.h>

#include <algorithm>
#include <random>
#include <sstream>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "sign_internal.hpp"
#include "vectors.hpp"

namespace tessella {
namespace {

using detail::Verdict;
using test::fixed;
using test::from_hex;
using test::to_hex;

const char* const kVerdicts[] = {"Valid", "BadSignature", "BadKey"};
const char* name(Verdict v) { return kVerdicts[static_cast<int>(v)]; }

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

bool sodium_verifies(const PublicKey& pk, ByteView m, const Signature& sig) {
  return sodium_init() >= 0 &&
         crypto_sign_verify_detached(sig.data(), m.data(), m.size(), pk.data()) == 0;
}

// Under the small-order identity key [h]A is the identity: (R, S) with R = [x]B and S = x holds
// for every message. Libsodium refuses the key; OpenSSL and this library accept it.
const PublicKey kIdentity{1};
Signature identity_key_signature(const std::array<std::uint8_t, 32>& x) {
  Signature sig{};
  EXPECT_GE(sodium_init(), 0);
  EXPECT_EQ(crypto_scalarmult_ed25519_base_noclamp(sig.data(), x.data()), 0);
  std::copy(x.begin(), x.end(), sig.begin() + 32);
  return sig;
}

// Strict decoding followed by OpenSSL alone decides; verify_encoded and verify must agree with it.
Verdict expect_verdict(const PublicKey& pk, ByteView m, const Signature& sig,
                       const std::string& where) {
  auto vk = VerifyingKey::from_bytes(pk);
  const Verdict want = !vk                            ? Verdict::BadKey
                       : openssl_verifies(pk, m, sig) ? Verdict::Valid
                                                      : Verdict::BadSignature;
  EXPECT_STREQ(name(detail::verify_encoded(pk, m, sig)), name(want)) << where;
  if (vk) {
    auto r = verify(*vk, m, sig);
    EXPECT_EQ(r.has_value(), want == Verdict::Valid) << where;
    EXPECT_TRUE(r || r.error() == TessellaError(ErrorKind::SignatureInvalid)) << where;
  }
  return want;
}

// A valid signature is accepted; one-bit changes of R, S and the message, a shorter message and
// S + L (the same scalar mod L: accepting it makes signatures malleable) are refused.
void expect_valid_and_tamper_proof(const PublicKey& pk, const Bytes& m, const Signature& sig,
                                   bool every_bit, const std::string& where) {
  ASSERT_EQ(expect_verdict(pk, m, sig, where), Verdict::Valid);
  const VerifyingKey vk = *VerifyingKey::from_bytes(pk);
  auto refused = [&](ByteView msg, const Signature& s, const std::string& what) {
    EXPECT_FALSE(verify(vk, msg, s).has_value()) << where << " " << what;
    EXPECT_STREQ(name(detail::verify_encoded(pk, msg, s)), "BadSignature") << where << " " << what;
  };
  for (std::size_t bit = 0; bit < kSignatureSize * 8; ++bit) {
    if (!every_bit && bit % 8 != bit / 8 % 8) continue;  // one bit of each byte
    Signature bad = sig;
    bad[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    refused(m, bad, "signature bit " + std::to_string(bit));
  }
  for (std::size_t i : test::positions(m.size(), 8))
    for (int b = 0; b < 8; ++b) {
      Bytes bad = m;
      bad[i] ^= static_cast<std::uint8_t>(1u << b);
      refused(bad, sig, "message bit " + std::to_string(i * 8 + b));
    }
  if (!m.empty()) refused(ByteView(m).first(m.size() - 1), sig, "message shortened");
  const Bytes kL = from_hex("edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010");
  Signature malleated = sig;
  for (unsigned i = 0, carry = 0; i < 32; ++i) {
    carry += malleated[32 + i] + kL[i];
    malleated[32 + i] = static_cast<std::uint8_t>(carry);
    carry >>= 8;
  }
  refused(m, malleated, "S + L");
}

// Message lengths on both sides of where signing (12 KiB) and verification (20 KiB) switch.
const std::size_t kLengths[] = {0,     1,     64,    108,   1000,  12287, 12288,
                                12289, 16384, 20479, 20480, 20481, 32768, 65536};

// In each regime (libsodium or OpenSSL signing, libsodium or OpenSSL verifying), signatures of a
// move-assigned key pair equal OpenSSL's and resist tampering; the identity key's are accepted.
TEST(SignLengths, EqualOpenSslAloneOnBothSidesOfTheSwitch) {
  const std::uint64_t seed = test::test_seed();
  std::mt19937_64 rng(seed);
  auto random = [&](std::size_t n) { return test::random_bytes(rng, n); };
  for (std::size_t len : kLengths) {
    const std::string where = "seed " + std::to_string(seed) + " length " + std::to_string(len);
    const Seed s{fixed<kSeedSize>(random(32))};
    const Bytes m = random(len);
    SigningKey key = signing_key_from_seed(Seed{fixed<kSeedSize>(random(32))});
    key = signing_key_from_seed(s);
    const PublicKey pk = verifying_key_bytes(key);
    const Signature sig = openssl_sign(s, m);
    EXPECT_EQ(sign(key, m), sig) << where;
    EXPECT_EQ(detail::sign_with_seed(s, m), sig) << where;
    expect_valid_and_tamper_proof(pk, m, sig, len == 0 || len == 12288 || len == 20480, where);
    EXPECT_EQ(expect_verdict(verifying_key_bytes(signing_key_from_seed(Seed{})), m, sig, where),
              Verdict::BadSignature);

    std::array<std::uint8_t, 32> x;  // a scalar below L
    crypto_core_ed25519_scalar_reduce(x.data(), random(64).data());
    const Signature any = identity_key_signature(x);
    EXPECT_FALSE(sodium_verifies(kIdentity, m, any)) << where;
    EXPECT_EQ(expect_verdict(kIdentity, m, any, where + " identity key"), Verdict::Valid);
  }
}

// Strict decoding of public keys (RFC 8032 section 5.1.3), and the same verdicts from
// verify_encoded, with a real and an all-zero signature.
TEST(StrictKeyDecoding, Encodings) {
  const std::pair<const char*, bool> keys[] = {
      // Points of small order, canonically encoded, and ordinary keys: accepted.
      {"0100000000000000000000000000000000000000000000000000000000000000", true},
      {"ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f", true},
      {"0000000000000000000000000000000000000000000000000000000000000080", true},
      {"c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac03fa", true},
      {"d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707519a", true},
      // y >= p, with and without the sign bit: refused even where y mod p is a curve point.
      {"edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f", false},
      {"edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff", false},
      {"eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f", false},
      {"eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff", false},
      {"f0ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f", false},
      {"ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f", false},
      {"ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff", false},
      // x = 0 with the sign bit set (y = 1); no x exists for y = 2.
      {"0100000000000000000000000000000000000000000000000000000000000080", false},
      {"0200000000000000000000000000000000000000000000000000000000000000", false}};
  const Bytes m = from_hex("72");
  const Signature good = sign(signing_key_from_seed(Seed{}), m);
  for (const auto& [hex, accepted] : keys) {
    const PublicKey pk{test::array_from_hex<32>(hex)};
    ASSERT_EQ(VerifyingKey::from_bytes(pk).has_value(), accepted) << hex;
    EXPECT_EQ(expect_verdict(pk, m, good, hex) == Verdict::BadKey, !accepted);
    EXPECT_EQ(expect_verdict(pk, m, Signature{}, hex) == Verdict::BadKey, !accepted);
  }
}

// The twelve ed25519-speccheck cases (0 to 3 accepted, 4 to 11 refused) and every Wycheproof
// case. Some valid ones are refused by libsodium: a verifier trusting its refusals fails here.
TEST(Ed25519Vectors, SpeccheckAndWycheproof) {
  int sodium_refused_valid = 0;
  auto accepts = [&](const Bytes& pk, const Bytes& m, const Bytes& sig, const std::string& where) {
    if (pk.size() != 32 || sig.size() != 64) return false;  // no array to pass
    const bool ok = expect_verdict(PublicKey{fixed<32>(pk)}, m, fixed<64>(sig), where) == Verdict::Valid;
    sodium_refused_valid += ok && !sodium_verifies(PublicKey{fixed<32>(pk)}, m, fixed<64>(sig));
    return ok;
  };
  nlohmann::json speccheck;
  ASSERT_TRUE(test::read_json(test::shared_vectors() / "ed25519-speccheck" / "cases.json", speccheck));
  std::string verdicts;
  for (const auto& c : speccheck) {
    const auto hex = [&](const char* k) { return from_hex(c.at(k).get<std::string>()); };
    verdicts += accepts(hex("pub_key"), hex("message"), hex("signature"), "speccheck") ? 'V' : 'X';
  }
  EXPECT_EQ(verdicts, "VVVVXXXXXXXX");
  std::vector<test::WycheproofCase> cases;
  ASSERT_TRUE(test::read_wycheproof("ed25519_test.json", cases));
  for (const auto& c : cases) {
    const Bytes pk = from_hex(c.group.at("publicKey").at("pk").get<std::string>());
    EXPECT_EQ(accepts(pk, c.hex("msg"), c.hex("sig"), c.where), c.valid) << c.where;
  }
  EXPECT_GT(sodium_refused_valid, 0);
}

// The 1,024 lines of sign.input: seed and public key : public key : message : signature and message :
TEST(Ed25519Vectors, SignInput) {
  std::string content, line;
  ASSERT_TRUE(test::read_file(test::cryptography_vectors() / "asymmetric/Ed25519/sign.input", content));
  std::istringstream in(content);
  int n = 0;
  while (std::getline(in, line)) {
    const std::string where = "sign.input:" + std::to_string(++n);
    const auto f = test::split(line, ':');
    ASSERT_EQ(f.size(), 5u) << where;  // each field closed by ':'

    const Seed seed{test::array_from_hex<32>(f[0].substr(0, 64))};
    const Bytes m = from_hex(f[2]);
    const Signature sig = test::array_from_hex<64>(f[3].substr(0, 128));
    const SigningKey key = signing_key_from_seed(seed);
    EXPECT_EQ(std::tuple(to_hex(verifying_key_bytes(key)), sign(key, m), detail::sign_with_seed(seed, m)),
              std::tuple(f[1], sig, sig)) << where;
    EXPECT_EQ(expect_verdict(verifying_key_bytes(key), m, sig, where), Verdict::Valid);
    Signature bad = sig;
    bad[static_cast<std::size_t>(n) % 64] ^= 0x10;
    EXPECT_NE(expect_verdict(verifying_key_bytes(key), m, bad, where + " altered"), Verdict::Valid);
  }
  EXPECT_EQ(n, 1024);
}

// The eight points of order dividing 8 are the multiples of one point T of order 8, computed here
// with libsodium's group law: exactly those are refused as signers of frames and tokens. Keys from
// seeds and a point of mixed order (B + T) are not, and non-canonical encodings are BadKey anyway.
TEST(SmallOrder, TheEightTorsionPointsAndNoOthers) {
  ASSERT_GE(sodium_init(), 0);
  const PublicKey t{test::array_from_hex<32>("c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac037a")};
  std::vector<PublicKey> multiples = {t};
  for (int i = 1; i < 8; ++i) {
    PublicKey next;
    ASSERT_EQ(crypto_core_ed25519_add(next.data(), multiples.back().data(), t.data()), 0);
    multiples.push_back(next);
  }
  EXPECT_EQ(multiples[7], kIdentity);  // 8T is the identity, 4T is not: T has order 8
  EXPECT_NE(multiples[3], kIdentity);
  std::sort(multiples.begin(), multiples.end());
  EXPECT_EQ(std::unique(multiples.begin(), multiples.end()), multiples.end());
  const Bytes m = from_hex("72");
  for (const PublicKey& p : multiples) {
    EXPECT_TRUE(detail::is_small_order(p)) << to_hex(p);
    // Accepted by the primitive, which follows RFC 8032, refused as a frame's or token's signer.
    EXPECT_TRUE(VerifyingKey::from_bytes(p).has_value()) << to_hex(p);
    EXPECT_EQ(detail::verify_signer(p, m, Signature{}), Verdict::BadKey) << to_hex(p);
  }
  PublicKey mixed, base;
  std::uint8_t one[32] = {1};
  ASSERT_EQ(crypto_scalarmult_ed25519_base_noclamp(base.data(), one), 0);
  ASSERT_EQ(crypto_core_ed25519_add(mixed.data(), base.data(), t.data()), 0);
  std::mt19937 rng(7);
  std::vector<PublicKey> others = {mixed, base};
  for (int i = 0; i < 64; ++i) {
    Seed seed;
    for (auto& b : seed) b = static_cast<std::uint8_t>(rng());
    others.push_back(verifying_key_bytes(signing_key_from_seed(seed)));
  }
  for (const PublicKey& p : others) EXPECT_FALSE(detail::is_small_order(p)) << to_hex(p);
  const SigningKey honest = signing_key_from_seed(Seed{9});
  EXPECT_EQ(detail::verify_signer(verifying_key_bytes(honest), m, sign(honest, m)), Verdict::Valid);
}

// Over the published edge cases, the signer check differs from the primitive exactly on
// small-order keys: every case with such a key becomes BadKey, every other verdict stays.
TEST(SmallOrder, SignerVerdictsOnTheSpeccheckCases) {
  nlohmann::json speccheck;
  ASSERT_TRUE(test::read_json(test::shared_vectors() / "ed25519-speccheck" / "cases.json", speccheck));
  int changed = 0;
  for (const auto& c : speccheck) {
    const auto hex = [&](const char* k) { return from_hex(c.at(k).get<std::string>()); };
    const PublicKey pk{fixed<32>(hex("pub_key"))};
    const Bytes m = hex("message");
    const Signature sig = fixed<64>(hex("signature"));
    const Verdict primitive = detail::verify_encoded(pk, m, sig);
    const Verdict signer = detail::verify_signer(pk, m, sig);
    EXPECT_EQ(signer, detail::is_small_order(pk) ? Verdict::BadKey : primitive) << to_hex(pk);
    changed += signer != primitive;
  }
  EXPECT_GT(changed, 0);
}

}  // namespace
}  // namespace tessella
