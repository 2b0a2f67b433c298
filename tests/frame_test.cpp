// Frames: seal/open/verify on records and on bytes, limits, tampering. Parsing is held to the
// wire layout by the frame_parse and frame_verify fuzz targets, whose corpora replay with the tests.
#include <gtest/gtest.h>

#include "tessella/tessella.hpp"
#include "vectors.hpp"

namespace tessella {
namespace {

using test::error_of;

// Everything seal and seal_bytes take, with editable defaults: a 226-byte frame.
struct SealInputs {
  std::uint8_t alg = 1, hdr2 = 7, hdr3 = 9;
  Nonce nonce = test::array_from_hex<12>("a0a1a2a3a4a5a6a7a8a9aaab");
  Timestamp ts = test::array_from_hex<16>("101112131415161718191a1b1c1d1e1f");
  SigningKey signer = signing_key_from_seed(Seed{1});
  PublicKey author = verifying_key_bytes(signer);
  PublicKey owner{test::array_from_hex<32>(std::string(64, 'e'))};
  Cid prev_cid{test::array_from_hex<32>(std::string(64, 'c'))};
  Bytes pol = {'p', 'o', 'l'}, meta = {'{', '}'}, plaintext = {'h', 'e', 'l', 'l', 'o'};
  Bytes key = Bytes(32, 0x42);

  template <class F> auto sealed_by(F fn) const {
    return fn(alg, hdr2, hdr3, nonce, ts, author, owner, prev_cid, pol, meta, plaintext, key, signer);
  }
  Result<SealedBytes> to_bytes() const {
    return sealed_by([](auto&&... args) { return seal_bytes(args...); });
  }
  Result<SealedFrame> to_record() const { return sealed_by(seal); }
};

Bytes wire_of(const Frame& f) { return serialize(f).value_or(Bytes{}); }

// A section of 65,536 bytes is refused everywhere (65,535 is sealed below); a payload may have up
// to 2^32 - 1 bytes.
TEST(Serialize, LengthLimits) {
  const TessellaError too_long = TessellaError::invalid_format("section too long");
  for (Bytes Frame::*section : {&Frame::pol, &Frame::meta}) {
    Frame big;
    (big.*section).assign(kMaxSectionSize + 1, 0);
    EXPECT_EQ(std::tuple(error_of(serialize(big)), error_of(aad_bytes(big, 0))), std::tuple(too_long, too_long));
  }
  EXPECT_EQ(sealed_len(1, 2, kMaxCiphertextSize), kFrameMinSize + 3 + kMaxCiphertextSize);
  EXPECT_EQ(error_of(sealed_len(0, 0, kMaxCiphertextSize + 1)), TessellaError::invalid_format("payload too long"));
}

class SealAlg : public ::testing::TestWithParam<std::uint8_t> {};
INSTANTIATE_TEST_SUITE_P(BothAlgorithms, SealAlg, ::testing::Values(1, 2),
                         [](const auto& info) { return info.param == 1 ? "AesGcm" : "ChaCha20"; });

// The record path and the byte path give the same wire form and identifier, and both open and
// verify (trailing bytes ignored), at the section-length boundaries.
TEST_P(SealAlg, RecordAndBytePathsAgree) {
  const std::size_t shapes[][3] = {{0, 0, 0}, {3, 2, 5}, {0, 0, 1 << 20}, {65535, 65535, 1000}};
  for (const auto& [pol, meta, pt] : shapes) {
    SCOPED_TRACE(::testing::Message() << pol << "/" << meta << "/" << pt);
    SealInputs in;
    in.alg = GetParam();
    in.pol.assign(pol, 'p'), in.meta.assign(meta, 'm'), in.plaintext.resize(pt);
    for (std::size_t i = 0; i < pt; ++i) in.plaintext[i] = static_cast<std::uint8_t>(i * 7);
    auto rec = in.to_record();
    auto bytes = in.to_bytes();
    ASSERT_TRUE(rec.has_value() && bytes.has_value());
    EXPECT_EQ(std::tuple(bytes->bytes, bytes->cid, rec->cid), std::tuple(wire_of(rec->frame), cid_blake3(bytes->bytes), bytes->cid));

    EXPECT_EQ(open(rec->frame, in.key, true).value_or(Bytes{1}), in.plaintext);
    EXPECT_EQ(open_bytes(bytes->bytes, in.key, std::nullopt, std::nullopt).value_or(Bytes{1}),
              in.plaintext);
    const FrameVerification valid{rec->cid, true, nullptr};
    EXPECT_EQ(verify(rec->frame, in.signer.verifying_key()).value_or(FrameVerification{}), valid);
    Bytes longer = bytes->bytes;
    longer.insert(longer.end(), 7, 1);
    EXPECT_EQ(verify_bytes(longer).value_or(FrameVerification{}), valid);

    // open on a record: the capability verdict comes first, then the key, then the tag.
    Frame other_alg = rec->frame;
    other_alg.alg = static_cast<std::uint8_t>(3 - in.alg);
    EXPECT_EQ(error_of(open(other_alg, Bytes(3, 0), false)), TessellaError(ErrorKind::CapabilityInvalid));
    EXPECT_EQ(error_of(open(other_alg, Bytes(3, 0), true)), TessellaError(ErrorKind::KeyUnavailable));
    EXPECT_EQ(error_of(open(other_alg, in.key, true)), TessellaError(ErrorKind::AeadTagMismatch));
  }
}

// Refusals in their order: alg, section length, key length; on both paths.
TEST(Seal, RefusesUpFrontInOrder) {
  const TessellaError alg = TessellaError::invalid_format("alg"), no_key(ErrorKind::KeyUnavailable);
  const TessellaError too_long = TessellaError::invalid_format("section too long");
  const std::tuple<int, std::size_t, std::size_t, std::size_t, TessellaError> cases[] = {
      {0, 3, 2, 3, alg}, {255, 65536, 2, 3, alg}, {1, 65536, 2, 5, too_long}, {2, 0, 65536, 32, too_long},
      {1, 3, 2, 0, no_key}, {2, 3, 2, 31, no_key}, {2, 3, 2, 33, no_key}};
  for (const auto& [a, pol, meta, key, want] : cases) {
    SCOPED_TRACE(::testing::Message() << a << " " << pol << " " << meta << " " << key);
    SealInputs in;
    in.alg = static_cast<std::uint8_t>(a);
    in.pol.assign(pol, 'x'), in.meta.assign(meta, '{'), in.key.assign(key, 1);
    EXPECT_EQ(std::pair(error_of(in.to_bytes()), error_of(in.to_record())), std::pair(std::optional(want), std::optional(want)));
  }
}

// Tamper matrix: every bit of every field (name, offset, length) of SealInputs' frame.
const std::tuple<std::string_view, std::size_t, std::size_t> kFields[] = {
    {"version", 0, 1},    {"alg", 1, 1},       {"hdr2", 2, 1},       {"hdr3", 3, 1},
    {"nonce", 4, 12},     {"ts", 16, 16},      {"author", 32, 32},   {"owner", 64, 32},
    {"prev_cid", 96, 32}, {"pol_len", 128, 2}, {"meta_len", 130, 2}, {"ct_len", 132, 4},
    {"pol", 136, 3},      {"meta", 139, 2},    {"ct", 141, 5},       {"tag", 146, 16},
    {"sig", 162, 64},
};

class Tamper : public ::testing::TestWithParam<std::tuple<std::uint8_t, int>> {};

TEST_P(Tamper, EveryBitOfEveryField) {
  const auto [alg, index] = GetParam();
  const auto [name, offset, length] = kFields[index];
  SealInputs in;
  in.alg = alg;
  const SealedBytes sealed = in.to_bytes().value();
  for (std::size_t bit = offset * 8; bit < (offset + length) * 8; ++bit) {
    SCOPED_TRACE(::testing::Message() << name << " bit " << bit);
    Bytes t = sealed.bytes;
    t[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    auto parsed = deserialize(t);
    auto opened = open_bytes(t, in.key, std::nullopt, std::nullopt);
    auto report = verify_bytes(t);
    if (name == "alg" || !parsed) {  // the reader refuses the frame: alg, or a length past the end
      ASSERT_TRUE(name == "alg" || name.ends_with("_len"));
      const auto e = TessellaError::invalid_format(name == "alg" ? "alg" : "length");
      EXPECT_EQ(std::tuple(error_of(parsed), error_of(opened), error_of(report)), std::tuple(e, e, e));
      continue;
    }
    EXPECT_EQ(open(*parsed, in.key, true), opened);  // the record path agrees
    // Outside the associated data, the signature still opens.
    EXPECT_EQ(error_of(opened), name == "sig" ? std::nullopt : std::optional(TessellaError(ErrorKind::AeadTagMismatch)));
    if (!report) {  // an author that no longer decodes
      EXPECT_EQ(std::pair(name, error_of(report)), std::pair(std::string_view("author"),
                                                             std::optional(TessellaError::invalid_format("author_pub"))));
      continue;
    }
    EXPECT_TRUE(!report->valid && report->reason == std::string_view("signature") && report->cid != sealed.cid);
  }
}

INSTANTIATE_TEST_SUITE_P(AllFields, Tamper,
                         ::testing::Combine(::testing::Values(1, 2), ::testing::Range(0, 17)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param) == 1 ? "AesGcm_" : "ChaCha20_") +
                                  std::string(std::get<0>(kFields[std::get<1>(info.param)]));
                         });

// The eight small-order keys (see sign_test.cpp) and the signature R = identity, S = 0, which
// satisfies the group equation under the identity key for any message and under the others for
// some. As a frame's author or a token's issuer such a key proves nothing and is refused; an
// honest frame and token keep their verdicts.
TEST(SmallOrderSigners, FramesAndTokensRefuseThem) {
  const char* const kSmallOrder[] = {
      "0100000000000000000000000000000000000000000000000000000000000000",
      "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
      "0000000000000000000000000000000000000000000000000000000000000000",
      "0000000000000000000000000000000000000000000000000000000000000080",
      "c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac037a",
      "c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac03fa",
      "26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc05",
      "26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc85"};
  const SealInputs in;
  const SealedBytes honest = in.to_bytes().value();
  ASSERT_TRUE(verify_bytes(honest.bytes)->valid);
  const auto author_pub = TessellaError::invalid_format("author_pub");
  const Signature forged = test::array_from_hex<64>("01" + std::string(126, '0'));
  for (const char* hex : kSmallOrder) {
    SCOPED_TRACE(hex);
    const PublicKey key{test::array_from_hex<32>(hex)};
    Bytes frame = honest.bytes;
    std::copy(key.begin(), key.end(), frame.begin() + 32);
    std::copy(forged.begin(), forged.end(), frame.end() - 64);
    EXPECT_EQ(error_of(verify_bytes(frame)), author_pub);
    // The record-level check reports such a frame unsigned, whatever its key holds.
    const auto vk = VerifyingKey::from_bytes(key);
    ASSERT_TRUE(vk);
    EXPECT_FALSE(verify(deserialize(frame).value(), *vk)->valid);
    // A token naming the key as issuer, with the forged signature.
    CapToken token = cap_issue(Seed{3}, key, honest.cid, Rights(), 10, in.author).value();
    token.signature = forged;
    EXPECT_EQ(error_of(cap_verify(token, in.author)), TessellaError(ErrorKind::SignatureInvalid));
  }
  // The all-zero author of every transfer template.
  for (std::uint8_t i = 0; i < 32; ++i) {
    const Frame t = transfer(Cid{i}, PublicKey{static_cast<std::uint8_t>(i + 1)});
    EXPECT_EQ(error_of(verify_bytes(wire_of(t))), author_pub);
  }
}

}  // namespace
}  // namespace tessella
