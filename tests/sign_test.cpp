// Ed25519: published vectors, strict key decoding, a Python cross-check, and the libsodium paths
// (signing below 12 KiB; verifying below 20 KiB, refusals re-decided) against OpenSSL alone.
#include "tessella/sign.hpp"

#include <openssl/evp.h>
#include <sodium.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sign_internal.hpp"
#include "tessella/capabilities.hpp"
#include "tessella/cid.hpp"
#include "tessella/frame.hpp"
#include "vectors.hpp"

namespace tessella {
namespace {

using test::error_of;
using detail::Verdict;
using test::fixed;
using test::from_hex;
using test::to_hex;

const char* const kVerdicts[] = {"Valid", "BadSignature", "BadKey"};
const char* name(Verdict v) { return kVerdicts[static_cast<int>(v)]; }

bool openssl_verifies(const PublicKey& pk, ByteView m, const Signature& sig) {
  EVP_PKEY* key = EVP_PKEY_new_raw_public_key_ex(nullptr, "ED25519", nullptr, pk.data(), pk.size());
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  const bool ok =
      key != nullptr && ctx != nullptr &&
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

// A valid signature is accepted, and one-bit changes of R and S (every one, or one of each
// byte) and of the message, a message a byte longer or shorter, and S + L (the same scalar
// mod L: accepting it makes signatures malleable) are refused.
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
  Bytes longer = m;
  longer.push_back(0);
  refused(longer, sig, "message extended");
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

// RFC 8032 section 7.1.
TEST(Rfc8032, Section7_1) {
  const char* const cases[][4] = {
      // seed, public key, message, signature
      {"9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
       "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
       "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf"
       "9"
       "b46bd25bf5f0595bbe24655141438e7a100b"},
      {"4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
       "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
       "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f"
       "1"
       "1d8c387b2eaeb4302aeeb00d291612bb0c00"},
      {"c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7",
       "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025", "af82",
       "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac18ff9b538d16f290ae67f760984"
       "d"
       "c6594a7c15e9716ed28dc027beceea1ec40a"},
      {"833fe62409237b9d62ec77587520911e9a759cec1d19755b7da901b96dca3d42",
       "ec172b93ad5e563bf4932c70e1245034c35467ef2efd4d64ebf819683467e2bf",
       "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
       "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f",
       "dc2a4459e7369633a52b1bf277839a00201009a3efbf3ecb69bea2186c26b589"
       "09351fc9ac90b3ecfdfbc7c66431e0303dca179c138ac17ad9bef1177331a704"}};
  for (const auto& c : cases) {
    const Seed seed{test::array_from_hex<kSeedSize>(c[0])};
    const Bytes m = from_hex(c[2]);
    const SigningKey key = signing_key_from_seed(seed);
    EXPECT_EQ(to_hex(verifying_key_bytes(key)), c[1]);
    EXPECT_EQ(to_hex(sign(key, m)), c[3]);
    EXPECT_EQ(to_hex(detail::sign_with_seed(seed, m)), c[3]);
    EXPECT_EQ(
        expect_verdict(PublicKey{test::array_from_hex<32>(c[1])}, m, test::array_from_hex<64>(c[3]), c[1]),
        Verdict::Valid);
  }
}

// Message lengths on both sides of where signing (12 KiB) and verification (20 KiB) switch.
const std::size_t kLengths[] = {0,     1,     64,    108,   1000,  12287, 12288,
                                12289, 16384, 20479, 20480, 20481, 32768, 65536};

// Signatures (by a move-assigned key pair) equal OpenSSL's, verify and resist tampering, with
// every bit of R and S changed in each regime (libsodium signs and verifies; OpenSSL signs and
// libsodium verifies; OpenSSL does both). Signatures that libsodium refuses and OpenSSL accepts
// (a small-order R, the small-order identity key) are accepted at every length.
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

    // Under A = [a]B, R the identity and S = h a: [S]B = [h]A = R + [h]A.
    std::array<std::uint8_t, 32> a, x;  // scalars below L
    crypto_core_ed25519_scalar_reduce(a.data(), random(64).data());
    crypto_core_ed25519_scalar_reduce(x.data(), random(64).data());
    PublicKey pk_a;
    ASSERT_EQ(crypto_scalarmult_ed25519_base_noclamp(pk_a.data(), a.data()), 0);
    Signature small_r{1};
    Bytes hashed(small_r.begin(), small_r.begin() + 32);
    hashed.insert(hashed.end(), pk_a.begin(), pk_a.end());
    hashed.insert(hashed.end(), m.begin(), m.end());
    std::uint8_t h_wide[64], h[32];
    crypto_hash_sha512(h_wide, hashed.data(), hashed.size());
    crypto_core_ed25519_scalar_reduce(h, h_wide);
    crypto_core_ed25519_scalar_mul(small_r.data() + 32, h, a.data());
    EXPECT_FALSE(sodium_verifies(pk_a, m, small_r)) << where;
    EXPECT_EQ(expect_verdict(pk_a, m, small_r, where + " small-order R"), Verdict::Valid);
    const Signature any = identity_key_signature(x);
    EXPECT_FALSE(sodium_verifies(kIdentity, m, any)) << where;
    EXPECT_EQ(expect_verdict(kIdentity, m, any, where + " identity key"), Verdict::Valid);
  }
}

// Frames and tokens are verified through verify_encoded, so they accept what it accepts: here a
// signature under the identity key, which libsodium alone would refuse.
TEST(SignLengths, FramesAndTokensAcceptTheIdentityKey) {
  const Signature sig = identity_key_signature({5});
  for (std::size_t len : {0u, 100u, 30000u}) {
    auto sealed = seal_bytes(2, 0, 0, Nonce{}, Timestamp{}, kIdentity, PublicKey{}, Cid{}, {}, {},
                             Bytes(len, 1), Bytes(32, 7), signing_key_from_seed(Seed{}));
    ASSERT_TRUE(sealed.has_value());
    Bytes wire = sealed->bytes;
    EXPECT_FALSE(verify_bytes(wire).value().valid) << len;
    std::copy(sig.begin(), sig.end(), wire.end() - 64);
    EXPECT_TRUE(verify_bytes(wire).value().valid) << len;
  }
  CapToken t{Cid{}, Rights::READ_RAW, 1, PublicKey{9}, kIdentity, sig};
  EXPECT_TRUE(cap_verify(t, t.holder_pub).has_value());
  t.signature[40] ^= 1;
  EXPECT_EQ(error_of(cap_verify(t, t.holder_pub)), TessellaError(ErrorKind::SignatureInvalid));
}

// Strict decoding of public keys (RFC 8032 section 5.1.3), and the same verdicts from
// verify_encoded, with a real and an all-zero signature and with random ones.
TEST(StrictKeyDecoding, Encodings) {
  const std::pair<const char*, bool> keys[] = {
      // The eight points of small order, canonically encoded: accepted.
      {"0100000000000000000000000000000000000000000000000000000000000000", true},
      {"ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f", true},
      {"0000000000000000000000000000000000000000000000000000000000000000", true},
      {"0000000000000000000000000000000000000000000000000000000000000080", true},
      {"26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc05", true},
      {"26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc85", true},
      {"c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac037a", true},
      {"c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac03fa", true},
      // Ordinary keys: RFC 8032 test 1, negated, and y = 3 with either sign.
      {"d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", true},
      {"d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707519a", true},
      {"0300000000000000000000000000000000000000000000000000000000000000", true},
      {"0300000000000000000000000000000000000000000000000000000000000080", true},
      // y >= p (p, p + 1, p + 3, 2^255 - 1, each with and without the sign bit): refused even
      // where y mod p is a curve point.
      {"edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f", false},
      {"edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff", false},
      {"eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f", false},
      {"eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff", false},
      {"f0ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f", false},
      {"ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f", false},
      {"ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff", false},
      // x = 0 with the sign bit set: y = 1 and y = p - 1.
      {"0100000000000000000000000000000000000000000000000000000000000080", false},
      {"ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff", false},
      // No x exists for y = 2 (either sign), 7, p - 2.
      {"0200000000000000000000000000000000000000000000000000000000000000", false},
      {"0200000000000000000000000000000000000000000000000000000000000080", false},
      {"0700000000000000000000000000000000000000000000000000000000000000", false},
      {"ebffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f", false}};
  const Bytes m = from_hex("72");
  const Signature good = sign(signing_key_from_seed(Seed{}), m);
  for (const auto& [hex, accepted] : keys) {
    const PublicKey pk{test::array_from_hex<32>(hex)};
    auto vk = VerifyingKey::from_bytes(pk);
    ASSERT_EQ(vk.has_value(), accepted) << hex;
    EXPECT_EQ(vk ? vk->bytes() : pk, pk) << hex;  // kept as given
    EXPECT_EQ(expect_verdict(pk, m, good, hex) == Verdict::BadKey, !accepted);
    EXPECT_EQ(expect_verdict(pk, m, Signature{}, hex) == Verdict::BadKey, !accepted);
  }
  // Random key bytes, a quarter with y near p (above it or just below). Python decides which
  // decode: y below p, x^2 = (y^2 - 1) / (d y^2 + 1) a square, and no x = 0 with the sign bit.
  static constexpr std::string_view kDecodes = R"(
import sys
p = 2**255 - 19
d = -121665 * pow(121666, p - 2, p) % p
for key in map(bytes.fromhex, sys.argv[1:]):
    y, sign = int.from_bytes(key, "little") & (2**255 - 1), key[31] >> 7
    x2 = (y * y - 1) * pow(d * y * y + 1, p - 2, p) % p
    print(int(y < p and (x2 != 0 or not sign) and pow(x2, (p - 1) // 2, p) in (0, 1)), end="")
)";
  const std::uint64_t seed = test::test_seed();
  std::mt19937_64 rng(seed);
  int bad_keys = 0;
  std::vector<std::string> key_hex;
  std::string decodes;
  for (int i = 0; i < 200; ++i) {
    PublicKey pk{fixed<32>(test::random_bytes(rng, 32))};
    Signature sig = fixed<64>(test::random_bytes(rng, 64));
    if (i % 4 == 0) {
      pk[31] |= 0x7f;
      std::fill(pk.begin() + 1, pk.begin() + 31, 0xff);
    }
    sig[63] &= 0x0f;  // S below L, so that only the key and the equation decide
    const Bytes m(i % 2 ? 64 : 25000, static_cast<std::uint8_t>(i));
    const bool bad =
        expect_verdict(pk, m, sig, "seed " + std::to_string(seed) + " key " + std::to_string(i)) ==
        Verdict::BadKey;
    bad_keys += bad;
    key_hex.push_back(to_hex(pk));
    decodes += bad ? '0' : '1';
  }
  EXPECT_GT(bad_keys, 20);
  EXPECT_LT(bad_keys, 180);
  if (!test::python_present()) GTEST_SKIP() << test::kPython << " is absent";
  std::string want;
  ASSERT_TRUE(test::run_python(kDecodes, key_hex, want));
  EXPECT_EQ(decodes, want) << "seed " << seed;
}

// The twelve ed25519-speccheck cases (0 to 3 accepted, 4 to 11 refused) and every Wycheproof
// case. Some valid ones are refused by libsodium: a verifier trusting its refusals fails here.
TEST(Ed25519Vectors, SpeccheckAndWycheproof) {
  TESSELLA_REQUIRE_SHARED();
  int sodium_refused_valid = 0;
  auto accepts = [&](const Bytes& pk, const Bytes& m, const Bytes& sig, const std::string& where) {
    if (pk.size() != 32 || sig.size() != 64) return false;  // no array to pass
    const bool ok = expect_verdict(PublicKey{fixed<32>(pk)}, m, fixed<64>(sig), where) == Verdict::Valid;
    sodium_refused_valid += ok && !sodium_verifies(PublicKey{fixed<32>(pk)}, m, fixed<64>(sig));
    return ok;
  };
  nlohmann::json speccheck_cases;
  ASSERT_TRUE(test::read_json(test::shared_vectors() / "ed25519-speccheck" / "cases.json",
                              speccheck_cases));
  std::string verdicts;
  for (std::size_t i = 0; i < speccheck_cases.size(); ++i) {
    const auto hex = [&](const char* k) {
      return from_hex(speccheck_cases[i].at(k).get<std::string>());
    };
    const std::string where = "speccheck " + std::to_string(i);
    verdicts += accepts(hex("pub_key"), hex("message"), hex("signature"), where) ? 'V' : 'X';
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

// The 1,024 lines of sign.input (python3-cryptography-vectors):
// seed and public key : public key : message : signature and message :
TEST(Ed25519Vectors, SignInput) {
  std::string content, line;
  ASSERT_TRUE(
      test::read_file(test::cryptography_vectors() / "asymmetric/Ed25519/sign.input", content));
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
    EXPECT_EQ(to_hex(verifying_key_bytes(key)), f[1]) << where;
    EXPECT_EQ(sign(key, m), sig) << where;
    EXPECT_EQ(detail::sign_with_seed(seed, m), sig) << where;
    EXPECT_EQ(expect_verdict(verifying_key_bytes(key), m, sig, where), Verdict::Valid);
    Signature bad = sig;
    bad[static_cast<std::size_t>(n) % 64] ^= 0x10;
    EXPECT_NE(expect_verdict(verifying_key_bytes(key), m, bad, where + " altered"), Verdict::Valid);
  }
  EXPECT_EQ(n, 1024);
}

// Long messages appear in no vector file: Python's cryptography package signs random messages of
// every length in kLengths.
TEST(SignCrossCheck, AgreesWithPythonCryptography) {
  if (!test::python_present()) GTEST_SKIP() << test::kPython << " is absent";
  const std::uint64_t seed = test::test_seed();
  static constexpr std::string_view kScript = R"(
import random, sys
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey
from cryptography.hazmat.primitives.serialization import Encoding, PublicFormat
rng = random.Random(int(sys.argv[1]))
for n in map(int, sys.argv[2].split(",")):
    seed, message = rng.randbytes(32), rng.randbytes(n)
    key = Ed25519PrivateKey.from_private_bytes(seed)
    public = key.public_key().public_bytes(Encoding.Raw, PublicFormat.Raw)
    print(":".join([seed.hex(), public.hex(), message.hex(), key.sign(message).hex()]))
)";
  std::vector<std::vector<std::string>> rows;
  ASSERT_TRUE(
      test::python_rows(kScript, {std::to_string(seed), test::comma_list(kLengths)}, 4, rows));
  for (const auto& f : rows) {
    const std::string where =
        "seed " + std::to_string(seed) + " length " + std::to_string(f[2].size() / 2);
    const SigningKey key = signing_key_from_seed(Seed{test::array_from_hex<32>(f[0])});
    const Bytes m = from_hex(f[2]);
    EXPECT_EQ(to_hex(verifying_key_bytes(key)), f[1]) << where;
    EXPECT_EQ(to_hex(sign(key, m)), f[3]) << where;
    EXPECT_EQ(expect_verdict(verifying_key_bytes(key), m, test::array_from_hex<64>(f[3]), where),
              Verdict::Valid);
  }
  EXPECT_EQ(rows.size(), std::size(kLengths));
}

}  // namespace
}  // namespace tessella
