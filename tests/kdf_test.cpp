// HKDF-SHA-256: RFC 5869 and Wycheproof vectors, and an independent construction from HMAC.
#include "tessella/kdf.hpp"

#include <bit>
#include <cstdint>
#include <memory>
#include <random>
#include <set>
#include <string>

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include "vectors.hpp"

namespace tessella {
namespace {

using test::bytes_of;
using test::from_hex;
using test::to_hex;

constexpr std::size_t kMaxHkdfOutput = 255 * 32;

Bytes prefix32(const Bytes& okm) { return Bytes(okm.begin(), okm.begin() + std::min<std::size_t>(32, okm.size())); }

// HKDF-SHA-256 with an empty salt and 32 bytes of output, built directly from RFC 5869's two
// HMAC steps: PRK = HMAC(32 zero bytes, ikm), T(1) = HMAC(PRK, info || 0x01).
Bytes reference_hkdf32(ByteView ikm, ByteView info) {
  const std::uint8_t zeros[32] = {};
  std::uint8_t prk[32];
  unsigned prk_len = 0;
  EXPECT_NE(HMAC(EVP_sha256(), zeros, sizeof zeros, ikm.data(), ikm.size(), prk, &prk_len), nullptr);
  EXPECT_EQ(prk_len, 32u);
  Bytes block(info.begin(), info.end());
  block.push_back(0x01);
  Bytes out(32);
  unsigned out_len = 0;
  EXPECT_NE(HMAC(EVP_sha256(), prk, sizeof prk, block.data(), block.size(), out.data(), &out_len),
            nullptr);
  EXPECT_EQ(out_len, 32u);
  return out;
}

// ---------------------------------------------------------------------------------------------
// RFC 5869 appendix A (python3-cryptography-vectors): the full outputs through hkdf_sha256, and
// test case 3 (empty salt and info) through HkdfV1.

TEST(HkdfRfc5869, AllSha256Cases) {
  std::vector<test::KvRecord> records;
  ASSERT_TRUE(test::read_kv_file(test::cryptography_vectors() / "KDF/rfc-5869-HKDF-SHA256.txt",
                                 "COUNT", records));
  int empty_salt = 0;
  for (auto& r : records) {
    r.number("COUNT");
    EXPECT_EQ(r.text("Hash"), "SHA-256") << r.where();
    const Bytes ikm = r.bytes("IKM");
    const Bytes salt = r.bytes("salt");
    const Bytes info = r.bytes("info");
    const auto length = r.number("L");
    const Bytes prk = r.bytes("PRK");
    const Bytes okm = r.bytes("OKM");
    EXPECT_TRUE(r.all_consumed());
    ASSERT_EQ(okm.size(), length) << r.where();

    Bytes out(length);
    ASSERT_TRUE(hkdf_sha256(salt, ikm, info, out)) << r.where();
    EXPECT_EQ(to_hex(out), to_hex(okm)) << r.where();
    std::array<std::uint8_t, 32> extracted{};
    ASSERT_TRUE(detail::hkdf_extract(salt, ikm, extracted)) << r.where();
    EXPECT_EQ(to_hex(extracted), to_hex(prk)) << r.where();
    Bytes expanded(length);
    ASSERT_TRUE(detail::hkdf_expand(prk, info, expanded)) << r.where();
    EXPECT_EQ(to_hex(expanded), to_hex(okm)) << r.where();

    if (salt.empty()) {
      EXPECT_EQ(to_hex(HkdfV1().derive(ikm, info)), to_hex(prefix32(okm))) << r.where();
      ++empty_salt;
    }
  }
  EXPECT_EQ(records.size(), 3u);
  EXPECT_EQ(empty_salt, 1) << "test case 3 has the empty salt";
}

// The 1,200-byte vector from the same package: its first 32 bytes are test case 3's.
TEST(HkdfRfc5869, LongOutputVector) {
  std::vector<test::KvRecord> records;
  ASSERT_TRUE(test::read_kv_file(test::cryptography_vectors() / "KDF/hkdf-generated.txt", "COUNT",
                                 records));
  for (auto& r : records) {
    r.number("COUNT");
    EXPECT_EQ(r.text("Hash"), "SHA-256") << r.where();
    const Bytes ikm = r.bytes("IKM");
    const Bytes salt = r.bytes("salt");
    const Bytes info = r.bytes("info");
    const auto length = r.number("L");
    const Bytes okm = r.bytes("OKM");
    EXPECT_TRUE(r.all_consumed());
    Bytes out(length);
    ASSERT_TRUE(hkdf_sha256(salt, ikm, info, out)) << r.where();
    EXPECT_EQ(to_hex(out), to_hex(okm)) << r.where();
    if (salt.empty()) {
      EXPECT_EQ(HkdfV1().derive(ikm, info), prefix32(okm)) << r.where();
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Wycheproof.

struct WycheproofHkdf {
  Bytes ikm, salt, info, okm;
  std::int64_t size = 0;
  test::Verdict verdict = test::Verdict::kUnknown;
  std::string label;
};

WycheproofHkdf read_hkdf_case(const test::WycheproofCase& c) {
  const std::string where = c.file + " tcId " + std::to_string(c.tc_id);
  test::JsonFields group(c.group, where + " group");
  EXPECT_EQ(group.str("type"), "HkdfTest");
  group.ignore("keySize");  // the size of the ikm, which is given in each case
  group.ignore("source");
  EXPECT_TRUE(group.all_consumed());
  test::JsonFields t(c.test, where);
  WycheproofHkdf h;
  t.num("tcId");
  h.label = where + " " + t.str("comment") + " " + t.get("flags").dump();
  h.ikm = t.hex("ikm");
  h.salt = t.hex("salt");
  h.info = t.hex("info");
  h.size = t.num("size");
  h.okm = t.hex("okm");
  h.verdict = test::verdict_of(t.str("result"));
  EXPECT_TRUE(t.all_consumed());
  return h;
}

// HkdfV1 on the cases that fit it: empty salt and at least 32 bytes of output.
class WycheproofHkdfV1 : public ::testing::TestWithParam<test::WycheproofCase> {};

TEST_P(WycheproofHkdfV1, First32Bytes) {
  TESSELLA_WYCHEPROOF_CASE(GetParam());
  const WycheproofHkdf h = read_hkdf_case(GetParam());
  ASSERT_TRUE(h.salt.empty());
  ASSERT_GE(h.size, 32);
  switch (h.verdict) {
    case test::Verdict::kValid:
      ASSERT_EQ(h.okm.size(), static_cast<std::size_t>(h.size)) << h.label;
      EXPECT_EQ(to_hex(HkdfV1().derive(h.ikm, h.info)), to_hex(prefix32(h.okm))) << h.label;
      break;
    case test::Verdict::kInvalid:
      // HKDF refuses only outputs longer than 255 blocks; the first 32 bytes of such a request
      // are not what the case tests. hkdf_sha256 must refuse it (checked below).
      EXPECT_GT(h.size, static_cast<std::int64_t>(kMaxHkdfOutput)) << h.label;
      break;
    case test::Verdict::kAcceptable:
      FAIL() << h.label << ": acceptable case without a recorded decision";
    case test::Verdict::kUnknown:
      FAIL() << h.label << ": unknown result";
  }
}

INSTANTIATE_TEST_SUITE_P(
    EmptySalt, WycheproofHkdfV1,
    ::testing::ValuesIn(test::wycheproof_cases(
        "hkdf_sha256_test.json",
        [](const nlohmann::json&, const nlohmann::json& test_case) {
          return test_case.value("salt", "x").empty() && test_case.value("size", 0) >= 32;
        })),
    test::wycheproof_name);

// Every case through hkdf_sha256 with its own salt and full output length.
class WycheproofHkdfFull : public ::testing::TestWithParam<test::WycheproofCase> {};

TEST_P(WycheproofHkdfFull, Output) {
  TESSELLA_WYCHEPROOF_CASE(GetParam());
  const WycheproofHkdf h = read_hkdf_case(GetParam());
  ASSERT_GE(h.size, 0);
  Bytes out(static_cast<std::size_t>(h.size), 0xaa);
  const bool ok = hkdf_sha256(h.salt, h.ikm, h.info, out);
  switch (h.verdict) {
    case test::Verdict::kValid:
      ASSERT_TRUE(ok) << h.label;
      EXPECT_EQ(to_hex(out), to_hex(h.okm)) << h.label;
      break;
    case test::Verdict::kInvalid:
      EXPECT_FALSE(ok) << h.label << ": invalid request accepted";
      break;
    case test::Verdict::kAcceptable:
      FAIL() << h.label << ": acceptable case without a recorded decision";
    case test::Verdict::kUnknown:
      FAIL() << h.label << ": unknown result";
  }
}

INSTANTIATE_TEST_SUITE_P(All, WycheproofHkdfFull,
                         ::testing::ValuesIn(test::wycheproof_cases("hkdf_sha256_test.json")),
                         test::wycheproof_name);

// ---------------------------------------------------------------------------------------------
// Properties.

TEST(HkdfV1, EmptyInputsStillGive32Bytes) {
  const Bytes key = HkdfV1().derive({}, {});
  EXPECT_EQ(key.size(), 32u);
  EXPECT_EQ(key, reference_hkdf32({}, {}));
}

TEST(HkdfV1, EmptySaltEqualsThirtyTwoZeroBytes) {
  const Bytes ikm = from_hex("0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b");
  const ByteView info = bytes_of("context");
  Bytes with_zero_salt(32);
  ASSERT_TRUE(hkdf_sha256(Bytes(32, 0), ikm, info, with_zero_salt));
  EXPECT_EQ(HkdfV1().derive(ikm, info), with_zero_salt);
}

TEST(HkdfV1, DifferentInfoGivesUnrelatedKeys) {
  const Bytes ikm(32, 0x11);
  std::set<Bytes> keys;
  for (const char* info : {"", "enc", "sign", "enc ", "Enc", "search"}) {
    const Bytes key = HkdfV1().derive(ikm, bytes_of(info));
    EXPECT_EQ(key.size(), 32u);
    EXPECT_TRUE(keys.insert(key).second) << "info \"" << info << "\"";
  }
  // A one-byte difference changes about half the output bits, not a few.
  const Bytes a = HkdfV1().derive(ikm, bytes_of("enc"));
  const Bytes b = HkdfV1().derive(ikm, bytes_of("enb"));
  int differing = 0;
  for (std::size_t i = 0; i < 32; ++i) differing += std::popcount(static_cast<unsigned>(a[i] ^ b[i]));
  EXPECT_GT(differing, 64);
  EXPECT_LT(differing, 192);
}

TEST(HkdfV1, WorksThroughTheInterface) {
  const std::unique_ptr<Kdf> kdf = std::make_unique<HkdfV1>();
  const Bytes ikm(20, 0x07);
  EXPECT_EQ(kdf->derive(ikm, bytes_of("x")), HkdfV1().derive(ikm, bytes_of("x")));
}

TEST(HkdfV1, SeededAgreementWithTheHmacConstruction) {
  const std::uint64_t seed = test::test_seed();
  std::mt19937_64 rng(seed);
  for (int round = 0; round < 300; ++round) {
    Bytes ikm(rng() % 200), info(rng() % 300);
    for (auto& x : ikm) x = static_cast<std::uint8_t>(rng());
    for (auto& x : info) x = static_cast<std::uint8_t>(rng());
    EXPECT_EQ(to_hex(HkdfV1().derive(ikm, info)), to_hex(reference_hkdf32(ikm, info)))
        << "seed " << seed << " round " << round;
  }
}

TEST(HkdfSha256, OutputLimitIs255Blocks) {
  const Bytes ikm(16, 1);
  Bytes at_limit(kMaxHkdfOutput);
  EXPECT_TRUE(hkdf_sha256({}, ikm, {}, at_limit));
  Bytes over(kMaxHkdfOutput + 1);
  EXPECT_FALSE(hkdf_sha256({}, ikm, {}, over));
  Bytes prk(32, 3);
  EXPECT_FALSE(detail::hkdf_expand(prk, {}, over));
}

}  // namespace
}  // namespace tessella
