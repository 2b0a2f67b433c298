// The AEADs through libsodium for short texts: ciphertexts and tags equal OpenSSL's alone at every
// length on both sides of where the library switches (512 bytes for ChaCha20-Poly1305, 1 KiB for
// AES-256-GCM), decryption refuses every altered input, and a refused decryption wipes its output.
#include <openssl/evp.h>

#include <random>
#include <string>

#include <gtest/gtest.h>

#include "tessella/aead.hpp"
#include "vectors.hpp"

namespace tessella {
namespace {

struct Case {
  std::uint8_t alg;
  const char* name;
  const char* cipher;
};
const Case kCases[] = {{kAlgAesGcm, "AesGcm", "AES-256-GCM"},
                       {kAlgChaCha20, "ChaCha20", "ChaCha20-Poly1305"}};

const std::size_t kLengths[] = {0, 1, 15, 16, 17, 255, 511, 512, 513, 1023, 1024, 1025, 4096};
const std::size_t kAadLengths[] = {0, 136, 1000};

// OpenSSL alone: ciphertext followed by the tag.
Bytes openssl_seal(const char* cipher, ByteView key, NonceView nonce, ByteView aad, ByteView pt) {
  EVP_CIPHER* c = EVP_CIPHER_fetch(nullptr, cipher, nullptr);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  Bytes out(pt.size() + 16);
  int len = 0;
  std::uint8_t spare[16];
  EXPECT_TRUE(c != nullptr && ctx != nullptr &&
              EVP_EncryptInit_ex2(ctx, c, key.data(), nonce.data(), nullptr) == 1 &&
              EVP_EncryptUpdate(ctx, nullptr, &len, aad.data(), static_cast<int>(aad.size())) == 1 &&
              EVP_EncryptUpdate(ctx, out.data(), &len, pt.data(), static_cast<int>(pt.size())) == 1 &&
              EVP_EncryptFinal_ex(ctx, spare, &len) == 1 &&
              EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_GET_TAG, 16, out.data() + pt.size()) == 1);
  EVP_CIPHER_CTX_free(ctx);
  EVP_CIPHER_free(c);
  return out;
}

Bytes random_bytes(std::mt19937_64& rng, std::size_t n) {
  Bytes b(n);
  for (auto& v : b) v = static_cast<std::uint8_t>(rng());
  return b;
}

class AeadSodium : public ::testing::TestWithParam<Case> {};

TEST_P(AeadSodium, EqualsOpenSSLAndRefusesEveryAlteration) {
  const Case& c = GetParam();
  const AeadImpl& aead = aead_for(c.alg);
  const std::uint64_t seed = test::test_seed();
  std::mt19937_64 rng(seed);
  for (std::size_t n : kLengths) {
    for (std::size_t a : kAadLengths) {
      const std::string where =
          "seed " + std::to_string(seed) + " length " + std::to_string(n) + " aad " + std::to_string(a);
      const Bytes key = random_bytes(rng, 32), pt = random_bytes(rng, n), aad = random_bytes(rng, a);
      Nonce nonce;
      std::ranges::copy(random_bytes(rng, 12), nonce.begin());

      auto sealed = aead.encrypt(key, nonce, aad, pt);
      ASSERT_TRUE(sealed.has_value()) << where;
      Bytes joined = sealed->ct;
      joined.insert(joined.end(), sealed->tag.begin(), sealed->tag.end());
      ASSERT_EQ(joined, openssl_seal(c.cipher, key, nonce, aad, pt)) << where;

      // In place gives the same bytes.
      Bytes in_place = pt;
      Tag tag{};
      ASSERT_TRUE(aead.encrypt_into(key, nonce, aad, in_place, in_place, tag).has_value()) << where;
      EXPECT_EQ(in_place, sealed->ct) << where;
      EXPECT_EQ(tag, sealed->tag) << where;

      auto opened = aead.decrypt(key, nonce, aad, sealed->ct, sealed->tag);
      ASSERT_TRUE(opened.has_value()) << where;
      EXPECT_EQ(*opened, pt) << where;

      // Every alteration is refused, and the output buffer is wiped.
      auto refused = [&](ByteView k, const Nonce& nn, ByteView ad, ByteView ct, const Tag& t,
                         const char* what) {
        Bytes out(ct.size(), 0xAA);
        auto r = aead.decrypt_into(k, nn, ad, ct, t, out);
        ASSERT_FALSE(r.has_value()) << where << ": " << what;
        EXPECT_EQ(r.error(), TessellaError(ErrorKind::AeadTagMismatch)) << where << ": " << what;
        EXPECT_TRUE(std::ranges::all_of(out, [](std::uint8_t v) { return v == 0; }))
            << where << ": " << what << " left bytes in the output";
      };
      Tag bad_tag = sealed->tag;
      bad_tag[rng() % 16] ^= 1;
      refused(key, nonce, aad, sealed->ct, bad_tag, "tag");
      Nonce bad_nonce = nonce;
      bad_nonce[rng() % 12] ^= 0x80;
      refused(key, bad_nonce, aad, sealed->ct, sealed->tag, "nonce");
      Bytes bad_key = key;
      bad_key[rng() % 32] ^= 4;
      refused(bad_key, nonce, aad, sealed->ct, sealed->tag, "key");
      if (n > 0) {
        Bytes bad_ct = sealed->ct;
        bad_ct[rng() % n] ^= 2;
        refused(key, nonce, aad, bad_ct, sealed->tag, "ciphertext");
      }
      if (a > 0) {
        Bytes bad_aad = aad;
        bad_aad[rng() % a] ^= 8;
        refused(key, nonce, bad_aad, sealed->ct, sealed->tag, "associated data");
      }
      // The other algorithm under the same key and nonce.
      const AeadImpl& other = aead_for(c.alg == kAlgAesGcm ? kAlgChaCha20 : kAlgAesGcm);
      EXPECT_FALSE(other.decrypt(key, nonce, aad, sealed->ct, sealed->tag).has_value()) << where;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Both, AeadSodium, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tessella
