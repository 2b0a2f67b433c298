// HKDF-SHA-256: RFC 5869, pyca and Wycheproof vectors (HkdfV1 on those with an empty salt), and
// the output limit.
#include "tessella/kdf.hpp"

#include <string>

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include "vectors.hpp"
#include "kdf_internal.hpp"

namespace tessella {
namespace {

using test::to_hex;

Bytes first32(const Bytes& okm) {
  return Bytes(okm.begin(), okm.begin() + std::min<std::size_t>(32, okm.size()));
}

// RFC 5869 appendix A and pyca's 1,200-byte vector: the full output through hkdf_sha256, the
// extract and expand steps where the PRK is given, and HkdfV1 on the cases with an empty salt.
TEST(Hkdf, Rfc5869AndLongOutputVectors) {
  int empty_salt = 0;
  for (const char* file : {"rfc-5869-HKDF-SHA256.txt", "hkdf-generated.txt"}) {
    std::vector<test::KvRecord> records;
    ASSERT_TRUE(test::read_kv_file(test::cryptography_vectors() / "KDF" / file, "COUNT", records));
    for (const auto& r : records) {
      SCOPED_TRACE(r.where);
      EXPECT_EQ(r.text("Hash"), "SHA-256");
      const Bytes ikm = r.bytes("IKM"), salt = r.bytes("salt"), info = r.bytes("info"),
                  okm = r.bytes("OKM");
      Bytes out(r.number("L"));
      ASSERT_TRUE(hkdf_sha256(salt, ikm, info, out));
      EXPECT_EQ(to_hex(out), to_hex(okm));
      if (r.has("PRK")) {
        std::array<std::uint8_t, 32> prk{};
        ASSERT_TRUE(detail::hkdf_extract(salt, ikm, prk));
        EXPECT_EQ(to_hex(prk), to_hex(r.bytes("PRK")));
        Bytes expanded(okm.size());
        ASSERT_TRUE(detail::hkdf_expand(prk, info, expanded));
        EXPECT_EQ(to_hex(expanded), to_hex(okm));
      }
      if (salt.empty()) {
        EXPECT_EQ(to_hex(HkdfV1().derive(ikm, info)), to_hex(first32(okm)));
        ++empty_salt;
      }
    }
  }
  EXPECT_EQ(empty_salt, 2);  // RFC test case 3 and the long vector
}

// Every case through hkdf_sha256 (the invalid ones ask for more than 255 blocks, the limit); HkdfV1
// on the valid ones with an empty salt and at least 32 bytes of output.
TEST(Hkdf, Wycheproof) {
  std::vector<test::WycheproofCase> cases;
  ASSERT_TRUE(test::read_wycheproof("hkdf_sha256_test.json", cases));
  int through_v1 = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.where);
    const Bytes ikm = c.hex("ikm"), salt = c.hex("salt"), info = c.hex("info"), okm = c.hex("okm");
    Bytes out(c.test.at("size").get<std::size_t>(), 0xaa);
    const bool ok = hkdf_sha256(salt, ikm, info, out);
    ASSERT_EQ(ok, c.valid);
    if (!ok) continue;
    EXPECT_EQ(to_hex(out), to_hex(okm));
    if (salt.empty() && out.size() >= 32) {
      EXPECT_EQ(to_hex(HkdfV1().derive(ikm, info)), to_hex(first32(okm)));
      ++through_v1;
    }
  }
  EXPECT_GT(through_v1, 0);
}

// No vector file has an info of one or two bytes: HkdfV1 against RFC 5869's two HMAC steps with a
// salt of 32 zero bytes, PRK = HMAC(0^32, ikm), T(1) = HMAC(PRK, info || 0x01).
TEST(Hkdf, ShortInfoEqualsTheHmacConstruction) {
  const std::uint8_t zeros[32] = {}, ikm[3] = {1, 2, 3};
  std::uint8_t prk[32];
  ASSERT_NE(HMAC(EVP_sha256(), zeros, 32, ikm, 3, prk, nullptr), nullptr);
  for (const Bytes& info : {Bytes{}, Bytes{0x61}, Bytes{0x61, 0x62}}) {
    Bytes block = info, t1(32);
    block.push_back(0x01);
    ASSERT_NE(HMAC(EVP_sha256(), prk, 32, block.data(), block.size(), t1.data(), nullptr), nullptr);
    EXPECT_EQ(to_hex(HkdfV1().derive(ByteView(ikm, 3), info)), to_hex(t1)) << info.size() << "-byte info";
  }
}

}  // namespace
}  // namespace tessella
