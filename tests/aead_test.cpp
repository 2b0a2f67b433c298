// AES-256-GCM and ChaCha20-Poly1305: published vectors, the libsodium short-text path against
// OpenSSL alone, tampering, key lengths and limits.
#include "tessella/aead.hpp"

#include <openssl/evp.h>
#include <sys/mman.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "vectors.hpp"

namespace tessella {
namespace {

using test::error_of;
using test::fixed;
using test::from_hex;
using test::to_hex;

const AesGcmImpl kGcm;
const ChaCha20Impl kChaCha;
const TessellaError kMismatch(ErrorKind::AeadTagMismatch);
const TessellaError kNoKey(ErrorKind::KeyUnavailable);
const Nonce kNonce{};

struct Algorithm {
  const char* name;
  const AeadImpl* impl;
  const char* openssl_name;
  const char* encrypt_detail;
};
void PrintTo(const Algorithm& a, std::ostream* os) { *os << a.name; }
const Algorithm kAlgorithms[] = {
    {"AesGcm", &kGcm, "AES-256-GCM", "aes-gcm encrypt"},
    {"ChaCha20Poly1305", &kChaCha, "ChaCha20-Poly1305", "chacha encrypt"}};

// Lengths around the block size and on both sides of where short texts go to libsodium (512
// bytes for ChaCha20-Poly1305, 1 KiB for AES-256-GCM).
const std::size_t kLengths[] = {0, 1, 16, 17, 511, 512, 513, 1023, 1024, 1025, 65537};

// One published case: a valid one encrypts and decrypts, a forgery is a tag mismatch, a key of
// another length is unavailable.
void check_case(const AeadImpl& impl, const Bytes& key, const Bytes& iv, const Bytes& aad,
                const Bytes& pt, const Bytes& ct, const Bytes& tag, bool valid,
                const std::string& where) {
  SCOPED_TRACE(where);
  const Nonce nonce = fixed<kNonceSize>(iv);
  auto sealed = impl.encrypt(key, nonce, aad, pt);
  auto opened = impl.decrypt(key, nonce, aad, ct, fixed<kTagSize>(tag));
  if (key.size() != kKeySize) {
    EXPECT_EQ(std::pair(error_of(sealed), error_of(opened)), std::pair(std::optional(kNoKey), std::optional(kNoKey)));
  } else if (!valid) {
    EXPECT_EQ(error_of(opened), kMismatch) << "forgery accepted";
  } else {
    ASSERT_TRUE(sealed && opened);
    EXPECT_EQ(to_hex(sealed->ct) + to_hex(sealed->tag) + " " + to_hex(*opened), to_hex(ct) + to_hex(tag) + " " + to_hex(pt));
  }
}

// Every case with a 12-byte nonce; AES-128 and AES-192 keys are KeyUnavailable.
TEST(AeadWycheproof, AesGcmAndChaCha20Poly1305) {
  for (const auto& [file, impl] :
       {std::pair<const char*, const AeadImpl*>{"aes_gcm_test.json", &kGcm},
        {"chacha20_poly1305_test.json", &kChaCha}}) {
    std::vector<test::WycheproofCase> cases;
    ASSERT_TRUE(test::read_wycheproof(file, cases));
    int checked = 0;
    for (const auto& c : cases) {
      if (c.group.at("ivSize") != 96) continue;
      check_case(*impl, c.hex("key"), c.hex("iv"), c.hex("aad"), c.hex("msg"), c.hex("ct"),
                 c.hex("tag"), c.valid, c.where);
      ++checked;
    }
    EXPECT_GT(checked, 190) << file;
  }
}

// NIST CAVS AES-256-GCM (96-bit IVs, 128-bit tags; forgeries marked FAIL) and ChaCha20-Poly1305
// from BoringSSL and OpenSSL (one forgery), from python3-cryptography-vectors.
TEST(AeadFiles, NistBoringSslAndOpenSsl) {
  const std::pair<const AeadImpl*, std::array<const char*, 9>> files[] = {
      {&kGcm, {"AES/GCM/gcmEncryptExtIV256.rsp", "Count", "Key", "IV", "AAD", "PT", "CT", "Tag", "FAIL"}},
      {&kGcm, {"AES/GCM/gcmDecrypt256.rsp", "Count", "Key", "IV", "AAD", "PT", "CT", "Tag", "FAIL"}},
      {&kChaCha, {"ChaCha20Poly1305/boringssl.txt", "COUNT", "KEY", "NONCE", "AD", "IN", "CT", "TAG", "Result"}},
      {&kChaCha, {"ChaCha20Poly1305/openssl.txt", "COUNT", "Key", "IV", "AAD", "Plaintext", "Ciphertext", "Tag",
                  "Result"}}};
  std::vector<int> forgeries;
  for (const auto& [impl, f] : files) {
    std::vector<test::KvRecord> records;
    ASSERT_TRUE(test::read_kv_file(test::cryptography_vectors() / "ciphers" / f[0], f[1], records));
    forgeries.push_back(0);
    for (const auto& r : records) {
      if (r.has("IVlen") && (r.number("IVlen") != 96 || r.number("Taglen") != 128)) continue;
      const bool forged = r.has(f[8]);
      check_case(*impl, r.bytes(f[2]), r.bytes(f[3]), r.bytes(f[4]),
                 forged && !r.has(f[5]) ? Bytes() : r.bytes(f[5]), r.bytes(f[6]), r.bytes(f[7]),
                 !forged, r.where);
      forgeries.back() += forged;
    }
  }
  EXPECT_GT(forgeries[1], 0);
  EXPECT_EQ(forgeries, (std::vector<int>{0, forgeries[1], 0, 1}));
}

// OpenSSL alone: ciphertext followed by the tag.
Bytes openssl_seal(const char* cipher, ByteView key, NonceView nonce, ByteView aad, ByteView pt) {
  EVP_CIPHER* c = EVP_CIPHER_fetch(nullptr, cipher, nullptr);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  Bytes out(pt.size() + kTagSize);
  int len = 0;
  std::uint8_t spare[16];
  EXPECT_TRUE(
      c != nullptr && ctx != nullptr &&
      EVP_EncryptInit_ex2(ctx, c, key.data(), nonce.data(), nullptr) == 1 &&
      EVP_EncryptUpdate(ctx, nullptr, &len, aad.data(), static_cast<int>(aad.size())) == 1 &&
      EVP_EncryptUpdate(ctx, out.data(), &len, pt.data(), static_cast<int>(pt.size())) == 1 &&
      EVP_EncryptFinal_ex(ctx, spare, &len) == 1 &&
      EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_GET_TAG, 16, out.data() + pt.size()) == 1);
  EVP_CIPHER_CTX_free(ctx);
  EVP_CIPHER_free(c);
  return out;
}

class Aead : public ::testing::TestWithParam<Algorithm> {};
INSTANTIATE_TEST_SUITE_P(Both, Aead, ::testing::ValuesIn(kAlgorithms),
                         [](const auto& p) { return std::string(p.param.name); });

// At every length, with associated data of several sizes: encryption into a separate buffer
// (libsodium for short texts), in place (OpenSSL always) and OpenSSL alone agree; both decryptions
// restore the plaintext and refuse, wiping the output, every one-bit change of key, nonce and tag,
// of the first, middle and last 16 bytes of associated data and ciphertext, and either one longer.
TEST_P(Aead, EqualsOpenSslAloneAndRefusesEveryAlteration) {
  const AeadImpl& aead = *GetParam().impl;
  const std::uint64_t seed = test::test_seed();
  std::mt19937_64 rng(seed);
  auto random = [&](std::size_t n) { return test::random_bytes(rng, n); };
  for (std::size_t n : kLengths) {
    for (std::size_t a : {0, 13, 1000}) {
      SCOPED_TRACE("seed " + std::to_string(seed) + " length " + std::to_string(n) + " aad " +
                   std::to_string(a));
      const Bytes key = random(kKeySize), pt = random(n), aad = random(a);
      const Nonce nonce = fixed<kNonceSize>(random(kNonceSize));
      auto sealed = aead.encrypt(key, nonce, aad, pt);
      ASSERT_TRUE(sealed.has_value());
      ASSERT_EQ(to_hex(sealed->ct) + to_hex(sealed->tag),
                to_hex(openssl_seal(GetParam().openssl_name, key, nonce, aad, pt)));
      Bytes buffer = pt;
      Tag tag{};
      ASSERT_TRUE(aead.encrypt_into(key, nonce, aad, buffer, buffer, tag).has_value());
      EXPECT_EQ(std::pair(buffer, tag), std::pair(sealed->ct, sealed->tag));
      EXPECT_EQ(aead.decrypt(key, nonce, aad, sealed->ct, sealed->tag), pt);
      ASSERT_TRUE(aead.decrypt_into(key, nonce, aad, buffer, tag, buffer).has_value());
      EXPECT_EQ(buffer, pt);

      // Key, nonce, associated data, ciphertext and tag.
      const std::array<Bytes, 5> in = {key, Bytes(nonce.begin(), nonce.end()), aad, sealed->ct,
                                       Bytes(sealed->tag.begin(), sealed->tag.end())};
      auto refused = [&](const std::array<Bytes, 5>& x, const std::string& what) {
        Bytes out(x[3].size(), 0xee), in_place = x[3];
        const Nonce nn = fixed<kNonceSize>(x[1]);
        const Tag t = fixed<kTagSize>(x[4]);
        const auto r = error_of(aead.decrypt_into(x[0], nn, x[2], x[3], t, out));
        EXPECT_EQ(std::pair(r, error_of(aead.decrypt_into(x[0], nn, x[2], in_place, t, in_place))),
                  std::pair(r, std::optional(kMismatch))) << what;
        out.insert(out.end(), in_place.begin(), in_place.end());
        EXPECT_EQ(std::ranges::count(out, 0), std::ssize(out)) << what << ": not wiped";
      };
      for (std::size_t f = 0; f < in.size(); ++f)
        for (std::size_t i : test::positions(in[f].size(), 16))
          for (int b = 0; b < 8; ++b) {
            auto x = in;
            x[f][i] ^= static_cast<std::uint8_t>(1u << b);
            refused(x, "field " + std::to_string(f) + " bit " + std::to_string(i * 8 + b));
          }
      for (std::size_t f : {2u, 3u}) {  // associated data and ciphertext a byte longer
        auto x = in;
        x[f].push_back(0);
        refused(x, "field " + std::to_string(f) + " extended");
      }
    }
  }
}

// A key of another length is refused before the output size is looked at.
TEST_P(Aead, KeyLengthThenOutputSize) {
  const AeadImpl& aead = *GetParam().impl;
  Bytes pt(7), wrong_size(3);
  Tag tag{};
  for (std::size_t len : {0u, 1u, 31u, 33u, 64u, 32u}) {
    const Bytes key(len, 0x42);
    const bool good = len == kKeySize;
    EXPECT_EQ(error_of(aead.encrypt_into(key, kNonce, {}, pt, wrong_size, tag)),
              good ? TessellaError::internal(GetParam().encrypt_detail) : kNoKey);
    EXPECT_EQ(error_of(aead.decrypt_into(key, kNonce, {}, pt, tag, wrong_size)),
              good ? kMismatch : kNoKey);
  }
}

constexpr std::uint64_t kGcmMax = std::uint64_t{1} << 36;
constexpr std::uint64_t kChaChaRefused = 64 * ((std::uint64_t{1} << 32) - 1);

// Lengths at the limits are accepted; inputs beyond them are refused before any byte of them is
// read or written, and before the owning calls allocate their output: the inputs are address space
// without access rights, so the calls run in a child, which a touched input kills.
TEST(AeadLimits, RefusedUntouched) {
  EXPECT_TRUE(kGcm.within_limits(kGcmMax, kGcmMax, true) && kGcm.within_limits(kGcmMax + 16, kGcmMax, false));
  EXPECT_TRUE(kChaCha.within_limits(kChaChaRefused - 1, kChaChaRefused, true));
  void* p = ::mmap(nullptr, kChaChaRefused, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) GTEST_SKIP() << "cannot reserve 256 GiB of address space";
  const std::span<std::uint8_t> in(static_cast<std::uint8_t*>(p), kChaChaRefused);
  const Bytes key(kKeySize, 4);
  Tag tag{};
  const auto refused = [](const auto& r, const TessellaError& e) { return !r && r.error() == e; };
  EXPECT_EXIT(std::_Exit(refused(kGcm.encrypt(key, kNonce, {}, in.first(kGcmMax + 1)), TessellaError::internal("aes-gcm encrypt")) &&
                         refused(kGcm.decrypt(key, kNonce, in.first(kGcmMax + 1), {}, tag), kMismatch) &&
                         refused(kChaCha.encrypt(key, kNonce, {}, in), TessellaError::internal("chacha encrypt")) &&
                         refused(kChaCha.decrypt(key, kNonce, {}, in, tag), kMismatch) ? 0 : 1),
              ::testing::ExitedWithCode(0), "");
  ::munmap(p, kChaChaRefused);
}

}  // namespace
}  // namespace tessella
