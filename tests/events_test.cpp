// Event documents and event frames.
#include "tessella/events.hpp"

#include <cstdint>
#include <limits>
#include <set>
#include <string>
#include <string_view>

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include "tessella/aead.hpp"
#include "tessella/error.hpp"
#include "tessella/frame.hpp"
#include "tessella/sign.hpp"
#include "vectors.hpp"

namespace tessella {
namespace {

using test::bytes_of;
using test::to_hex;

constexpr std::uint64_t kMaxU64 = std::numeric_limits<std::uint64_t>::max();

template <std::size_t N>
std::array<std::uint8_t, N> filled(std::uint8_t b) {
  std::array<std::uint8_t, N> a;
  a.fill(b);
  return a;
}

// The event document written by the test from its documented layout.
std::string hand_document(std::string_view name, const EventBody& body) {
  return fmt::format(
      R"({{"event":"{}","exp_ts":{},"peer_pub":"{}","require_cap":false,"rights":{},"scope_cid":"{}"}})",
      name, body.exp_ts, to_hex(body.peer_pub), body.rights.bits(), to_hex(body.scope_cid));
}

// The associated data of an event frame, written by the test from the wire layout: header,
// nonce, ts, author, owner, prev_cid, the three lengths big-endian, pol, meta.
Bytes hand_aad(std::uint8_t alg, const Nonce& nonce, const PublicKey& author, const PublicKey& owner,
               const Cid& prev, std::string_view meta, std::uint32_t n) {
  Bytes out = {1, alg, 1, 0};
  out.insert(out.end(), nonce.begin(), nonce.end());
  out.insert(out.end(), 16, 0);  // ts
  out.insert(out.end(), author.begin(), author.end());
  out.insert(out.end(), owner.begin(), owner.end());
  out.insert(out.end(), prev.begin(), prev.end());
  const std::string_view pol = "event";
  auto be = [&](std::uint64_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  };
  be(pol.size(), 2);
  be(meta.size(), 2);
  be(n, 4);
  out.insert(out.end(), pol.begin(), pol.end());
  out.insert(out.end(), meta.begin(), meta.end());
  return out;
}

// The event nonce recomputed with OpenSSL's HMAC() directly.
Nonce oracle_nonce(ByteView data_key, ByteView zero_nonce_aad) {
  Bytes input(bytes_of("tessella event nonce v1").begin(), bytes_of("tessella event nonce v1").end());
  EXPECT_EQ(input.size(), 23u);
  input.insert(input.end(), zero_nonce_aad.begin(), zero_nonce_aad.end());
  std::uint8_t mac[32];
  unsigned int len = 0;
  if (HMAC(EVP_sha256(), data_key.data(), static_cast<int>(data_key.size()), input.data(),
           input.size(), mac, &len) == nullptr ||
      len != 32) {
    ADD_FAILURE() << "OpenSSL HMAC() failed";
  }
  Nonce nonce{};
  std::copy_n(mac, nonce.size(), nonce.begin());
  return nonce;
}

// The tag of an empty plaintext under the frame's cipher, computed with OpenSSL's EVP directly.
Tag oracle_tag(std::uint8_t alg, ByteView key, const Nonce& nonce, ByteView aad) {
  Tag tag{};
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  const EVP_CIPHER* cipher = alg == kAlgAesGcm ? EVP_aes_256_gcm() : EVP_chacha20_poly1305();
  int len = 0;
  std::uint8_t out[16];
  if (ctx == nullptr || EVP_EncryptInit_ex(ctx, cipher, nullptr, key.data(), nonce.data()) != 1 ||
      EVP_EncryptUpdate(ctx, nullptr, &len, aad.data(), static_cast<int>(aad.size())) != 1 ||
      EVP_EncryptFinal_ex(ctx, out, &len) != 1 ||
      EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_GET_TAG, 16, tag.data()) != 1) {
    ADD_FAILURE() << "OpenSSL AEAD failed";
  }
  EVP_CIPHER_CTX_free(ctx);
  return tag;
}

bool openssl_verify(const PublicKey& pub, ByteView message, ByteView sig) {
  EVP_PKEY* pkey = EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, pub.data(), pub.size());
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  const bool ok = pkey != nullptr && ctx != nullptr &&
                  EVP_DigestVerifyInit(ctx, nullptr, nullptr, nullptr, pkey) == 1 &&
                  EVP_DigestVerify(ctx, sig.data(), sig.size(), message.data(), message.size()) == 1;
  EVP_MD_CTX_free(ctx);
  EVP_PKEY_free(pkey);
  return ok;
}

// RFC 8032 section 7.1 TEST 1 (the author) and TEST 2 (another party).
constexpr const char* kAuthorSeedHex = "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60";
constexpr const char* kAuthorPubHex = "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a";
constexpr const char* kOtherPubHex = "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c";

class EventTest : public ::testing::Test {
 protected:
  const SigningKey signer = signing_key_from_seed(test::array_from_hex<32>(kAuthorSeedHex));
  const PublicKey author = test::array_from_hex<32>(kAuthorPubHex);
  const PublicKey owner = filled<32>(0x22);
  const Cid prev = filled<32>(0x33);
  const Bytes data_key = Bytes(32, 0x44);

  // The worked example: ReadEvent, exp_ts 0, rights 1, peer_pub 0x11..., scope_cid 0x00....
  static EventBody example_body() {
    EventBody body;
    body.scope_cid = filled<32>(0x00);
    body.rights = Rights::READ_FEATURES;
    body.exp_ts = 0;
    body.peer_pub = filled<32>(0x11);
    return body;
  }

  SealedFrame seal(std::uint8_t alg, EventKind kind, const EventBody& body) const {
    return seal_as(alg, author, owner, prev, kind, body, data_key);
  }
  SealedFrame seal_as(std::uint8_t alg, const PublicKey& a, const PublicKey& o, const Cid& p,
                      EventKind kind, const EventBody& body, ByteView key) const {
    auto sealed = seal_event(alg, a, o, p, kind, body, key, signer);
    EXPECT_TRUE(sealed.has_value()) << (sealed ? "" : sealed.error().message());
    return sealed.value_or(SealedFrame{});
  }
  static Bytes wire(const Frame& frame) {
    auto bytes = serialize(frame);
    EXPECT_TRUE(bytes.has_value());
    return bytes.value_or(Bytes{});
  }
};

TEST_F(EventTest, WorkedExampleDocumentIs220Bytes) {
  const std::string expected =
      R"({"event":"ReadEvent","exp_ts":0,"peer_pub":"1111111111111111111111111111111111111111111111111111111111111111",)"
      R"("require_cap":false,"rights":1,"scope_cid":"0000000000000000000000000000000000000000000000000000000000000000"})";
  ASSERT_EQ(expected.size(), 220u);
  EXPECT_EQ(event_document(EventKind::ReadEvent, example_body()), expected);
  const SealedFrame sealed = seal(kAlgChaCha20, EventKind::ReadEvent, example_body());
  EXPECT_EQ(std::string(sealed.frame.meta.begin(), sealed.frame.meta.end()), expected);
}

struct DocumentCase {
  EventKind kind;
  const char* name;
  std::uint64_t exp_ts;
  std::uint32_t rights;
  std::uint8_t scope_byte, peer_byte;
};

std::string PrintTo(const DocumentCase& c) {
  return fmt::format("{}_exp{}_rights{}", c.name, c.exp_ts, c.rights);
}

class EventDocument : public ::testing::TestWithParam<DocumentCase> {};

TEST_P(EventDocument, IsCompactSortedAndExact) {
  const auto& c = GetParam();
  EventBody body;
  body.scope_cid = filled<32>(c.scope_byte);
  body.peer_pub = filled<32>(c.peer_byte);
  body.rights = Rights::from_bits_retain(c.rights);
  body.exp_ts = c.exp_ts;
  const std::string doc = event_document(c.kind, body);
  EXPECT_EQ(event_kind_name(c.kind), c.name);
  EXPECT_EQ(doc, hand_document(c.name, body));
  EXPECT_EQ(doc.size(), 209 + std::string_view(c.name).size() + std::to_string(c.exp_ts).size() +
                            std::to_string(c.rights).size());
  EXPECT_EQ(doc.find_first_of(" \t\r\n"), std::string::npos);

  const auto json = nlohmann::json::parse(doc, nullptr, false);
  ASSERT_TRUE(json.is_object()) << doc;
  ASSERT_EQ(json.size(), 6u);
  std::vector<std::string> keys;
  for (const auto& [key, value] : json.items()) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{"event", "exp_ts", "peer_pub", "require_cap", "rights",
                                            "scope_cid"}));
  EXPECT_EQ(json.at("event"), c.name);
  ASSERT_TRUE(json.at("exp_ts").is_number_unsigned()) << doc;
  EXPECT_EQ(json.at("exp_ts").get<std::uint64_t>(), c.exp_ts);
  ASSERT_TRUE(json.at("rights").is_number_unsigned()) << doc;
  EXPECT_EQ(json.at("rights").get<std::uint64_t>(), c.rights);
  EXPECT_EQ(json.at("require_cap"), false);
  EXPECT_EQ(json.at("peer_pub"), to_hex(body.peer_pub));
  EXPECT_EQ(json.at("scope_cid"), to_hex(body.scope_cid));
  // Written back compactly, the document is unchanged: keys were sorted, numbers plain.
  EXPECT_EQ(json.dump(), doc);
}

INSTANTIATE_TEST_SUITE_P(
    Documents, EventDocument,
    ::testing::Values(
        DocumentCase{EventKind::ReadEvent, "ReadEvent", 0, 1, 0x00, 0x11},
        DocumentCase{EventKind::OwnershipTransfer, "OwnershipTransfer", 0, 0, 0xff, 0x00},
        DocumentCase{EventKind::LicenseGrant, "LicenseGrant", 1'700'000'000, 31, 0x5a, 0xa5},
        DocumentCase{EventKind::LicenseGrant, "LicenseGrant", kMaxU64, 0x80000000u, 0xab, 0xcd},
        DocumentCase{EventKind::ReadEvent, "ReadEvent", 9, 9, 0x01, 0x10},
        DocumentCase{EventKind::ReadEvent, "ReadEvent", 10, 10, 0x0f, 0xf0},
        DocumentCase{EventKind::OwnershipTransfer, "OwnershipTransfer", 1ull << 63, 0xFFFFFFFFu,
                     0x12, 0x34}),
    [](const auto& test_info) {
      return fmt::format("{}_{}", test_info.param.name, test_info.index);
    });

TEST_F(EventTest, LargestExpiryIsWrittenAsTwentyDigits) {
  EventBody body = example_body();
  body.exp_ts = kMaxU64;
  const std::string doc = event_document(EventKind::LicenseGrant, body);
  EXPECT_NE(doc.find(R"("exp_ts":18446744073709551615,)"), std::string::npos) << doc;
  const auto json = nlohmann::json::parse(doc);
  ASSERT_TRUE(json.at("exp_ts").is_number_unsigned());
  EXPECT_EQ(json.at("exp_ts").get<std::uint64_t>(), kMaxU64);
}

TEST_F(EventTest, UnnamedRightsBitIsWrittenAsTheFullValue) {
  EventBody body = example_body();
  body.rights = Rights::from_bits_retain(1u << 31);
  const std::string doc = event_document(EventKind::LicenseGrant, body);
  EXPECT_NE(doc.find(R"("rights":2147483648,)"), std::string::npos) << doc;
}

TEST_F(EventTest, ScopeIsWrittenInLowerCaseHex) {
  EventBody body = example_body();
  body.scope_cid = filled<32>(0xAB);
  const std::string doc = event_document(EventKind::ReadEvent, body);
  std::string ab;
  for (int i = 0; i < 32; ++i) ab += "ab";
  EXPECT_NE(doc.find(R"("scope_cid":")" + ab + R"("})"), std::string::npos) << doc;
  EXPECT_EQ(doc.find("AB"), std::string::npos) << doc;
}

TEST_F(EventTest, EveryKindNamesItselfInTheFrame) {
  const std::pair<EventKind, const char*> kinds[] = {
      {EventKind::OwnershipTransfer, "OwnershipTransfer"},
      {EventKind::ReadEvent, "ReadEvent"},
      {EventKind::LicenseGrant, "LicenseGrant"},
  };
  for (const auto& [kind, name] : kinds) {
    const SealedFrame sealed = seal(kAlgAesGcm, kind, example_body());
    const auto json = nlohmann::json::parse(sealed.frame.meta, nullptr, false);
    ASSERT_TRUE(json.is_object());
    EXPECT_EQ(json.at("event"), name);
  }
}

class EventFrame : public EventTest, public ::testing::WithParamInterface<std::uint8_t> {};

TEST_P(EventFrame, HasTheEventLayout) {
  const std::uint8_t alg = GetParam();
  const EventBody body = example_body();
  const SealedFrame sealed = seal(alg, EventKind::LicenseGrant, body);
  const Frame& f = sealed.frame;
  const std::string doc = hand_document("LicenseGrant", body);
  EXPECT_EQ(f.version, 1);
  EXPECT_EQ(f.alg, alg);
  EXPECT_EQ(f.hdr2, 1);
  EXPECT_EQ(f.hdr3, 0);
  EXPECT_EQ(f.ts, Timestamp{});
  EXPECT_EQ(f.author, author);
  EXPECT_EQ(f.owner, owner);
  EXPECT_EQ(f.prev_cid, prev);
  EXPECT_EQ(std::string(f.pol.begin(), f.pol.end()), "event");
  EXPECT_EQ(std::string(f.meta.begin(), f.meta.end()), doc);
  EXPECT_TRUE(f.ct.empty());

  // The nonce: the first 12 bytes of HMAC-SHA-256(data key, label || zero-nonce aad with N = 0).
  const Bytes zero_nonce_aad = hand_aad(alg, Nonce{}, author, owner, prev, doc, 0);
  EXPECT_EQ(zero_nonce_aad.size(), 136u + 5 + doc.size());
  EXPECT_EQ(to_hex(f.nonce), to_hex(oracle_nonce(data_key, zero_nonce_aad)));
  EXPECT_NE(f.nonce, Nonce{});
  EXPECT_EQ(event_nonce(data_key, zero_nonce_aad).value_or(Nonce{}), f.nonce);

  // The tag authenticates the associated data (with the real nonce) over an empty payload.
  const Bytes aad = hand_aad(alg, f.nonce, author, owner, prev, doc, 0);
  EXPECT_EQ(to_hex(f.tag), to_hex(oracle_tag(alg, data_key, f.nonce, aad)));

  // The wire form is that associated data, the tag and the author's signature over both.
  const Bytes bytes = wire(f);
  ASSERT_EQ(bytes.size(), aad.size() + 16 + 64);
  EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(aad.size())), aad);
  const ByteView signed_part = ByteView(bytes).first(bytes.size() - 64);
  EXPECT_TRUE(openssl_verify(author, signed_part, ByteView(bytes).last(64)));
}

TEST_P(EventFrame, OpensWithTheDataKeyAloneToAnEmptyPlaintext) {
  const Bytes bytes = wire(seal(GetParam(), EventKind::ReadEvent, example_body()).frame);
  const auto opened = open_bytes(bytes, data_key, std::nullopt, std::nullopt);
  ASSERT_TRUE(opened.has_value()) << opened.error();
  EXPECT_TRUE(opened->empty());
  for (const std::uint64_t now : {std::uint64_t{0}, kMaxU64}) {
    const auto with_ctx = open_bytes_with_ctx(bytes, data_key, std::nullopt, std::nullopt, now);
    ASSERT_TRUE(with_ctx.has_value()) << with_ctx.error();
    EXPECT_TRUE(with_ctx->empty());
  }
  // No capability is asked for, so a presented one is not looked at.
  const Bytes junk(7, 0xEE);
  const PublicKey presenter = filled<32>(0x99);
  const auto with_junk = open_bytes(bytes, data_key, ByteView(junk), KeyView32(presenter));
  ASSERT_TRUE(with_junk.has_value()) << with_junk.error();
  EXPECT_TRUE(with_junk->empty());
}

TEST_P(EventFrame, WrongDataKeyIsATagMismatch) {
  const Bytes bytes = wire(seal(GetParam(), EventKind::ReadEvent, example_body()).frame);
  for (std::size_t i : {std::size_t{0}, std::size_t{17}, std::size_t{31}}) {
    Bytes wrong = data_key;
    wrong[i] ^= 0x01;
    const auto opened = open_bytes(bytes, wrong, std::nullopt, std::nullopt);
    ASSERT_FALSE(opened.has_value()) << "key byte " << i;
    EXPECT_EQ(opened.error(), TessellaError(ErrorKind::AeadTagMismatch));
  }
}

TEST_P(EventFrame, AlteredDocumentIsATagMismatchAndABadSignature) {
  const Bytes bytes = wire(seal(GetParam(), EventKind::ReadEvent, example_body()).frame);
  // Every byte of the header (but alg), nonce, ts, owner, prev_cid, pol and meta.
  for (std::size_t i = 0; i < bytes.size() - 80; ++i) {
    if (i == 1) continue;               // alg: another cipher, or no frame at all
    if (i >= 32 && i < 64) continue;   // author: verify_bytes would use the altered key
    if (i >= 128 && i < 136) continue;  // the length fields change the parse itself
    Bytes altered = bytes;
    altered[i] ^= 0x01;
    const auto opened = open_bytes(altered, data_key, std::nullopt, std::nullopt);
    ASSERT_FALSE(opened.has_value()) << "byte " << i;
    EXPECT_EQ(opened.error(), TessellaError(ErrorKind::AeadTagMismatch)) << "byte " << i;
    const auto verified = verify_bytes(altered);
    ASSERT_TRUE(verified.has_value()) << "byte " << i;
    EXPECT_FALSE(verified->valid) << "byte " << i;
  }
}

TEST_P(EventFrame, VerifiesAgainstItsAuthor) {
  const SealedFrame sealed = seal(GetParam(), EventKind::OwnershipTransfer, example_body());
  const Bytes bytes = wire(sealed.frame);
  const auto verified = verify_bytes(bytes);
  ASSERT_TRUE(verified.has_value()) << verified.error();
  EXPECT_TRUE(verified->valid);
  EXPECT_EQ(verified->reason, nullptr);
  EXPECT_EQ(verified->cid, sealed.cid);

  // The same event with another party's key in the author field: the signature does not hold.
  const SealedFrame other = seal_as(GetParam(), test::array_from_hex<32>(kOtherPubHex), owner, prev,
                                    EventKind::OwnershipTransfer, example_body(), data_key);
  const auto other_verified = verify_bytes(wire(other.frame));
  ASSERT_TRUE(other_verified.has_value()) << other_verified.error();
  EXPECT_FALSE(other_verified->valid);
  EXPECT_EQ(other_verified->cid, other.cid);

  // An author that is not a curve point (y = 2 has no x).
  PublicKey not_a_point{};
  not_a_point[0] = 2;
  ASSERT_FALSE(VerifyingKey::from_bytes(not_a_point).has_value());
  const SealedFrame bad = seal_as(GetParam(), not_a_point, owner, prev, EventKind::OwnershipTransfer,
                                  example_body(), data_key);
  const auto bad_verified = verify_bytes(wire(bad.frame));
  ASSERT_FALSE(bad_verified.has_value());
  EXPECT_EQ(bad_verified.error(), TessellaError::invalid_format("author_pub"));
}

TEST_P(EventFrame, SameEventTwiceGivesIdenticalBytes) {
  const SealedFrame a = seal(GetParam(), EventKind::LicenseGrant, example_body());
  const SealedFrame b = seal(GetParam(), EventKind::LicenseGrant, example_body());
  EXPECT_EQ(a.frame, b.frame);
  EXPECT_EQ(a.cid, b.cid);
  EXPECT_EQ(wire(a.frame), wire(b.frame));
}

INSTANTIATE_TEST_SUITE_P(Algorithms, EventFrame, ::testing::Values(kAlgAesGcm, kAlgChaCha20),
                         [](const auto& test_info) {
                           return std::string(test_info.param == kAlgAesGcm ? "AesGcm" : "ChaCha20");
                         });

TEST_F(EventTest, DifferentEventsUnderOneKeyHaveDifferentNonces) {
  const EventBody base = example_body();
  auto changed = [&](auto&& change) {
    EventBody b = base;
    change(b);
    return b;
  };
  PublicKey other_author = author;
  other_author[0] ^= 1;
  PublicKey other_owner = owner;
  other_owner[31] ^= 1;
  Cid other_prev = prev;
  other_prev[7] ^= 1;
  const std::pair<const char*, SealedFrame> variants[] = {
      {"base", seal(kAlgAesGcm, EventKind::ReadEvent, base)},
      {"kind OwnershipTransfer", seal(kAlgAesGcm, EventKind::OwnershipTransfer, base)},
      {"kind LicenseGrant", seal(kAlgAesGcm, EventKind::LicenseGrant, base)},
      {"alg", seal(kAlgChaCha20, EventKind::ReadEvent, base)},
      {"scope_cid", seal(kAlgAesGcm, EventKind::ReadEvent, changed([](EventBody& b) { b.scope_cid[0] = 1; }))},
      {"rights", seal(kAlgAesGcm, EventKind::ReadEvent, changed([](EventBody& b) { b.rights = Rights::READ_RAW; }))},
      {"exp_ts", seal(kAlgAesGcm, EventKind::ReadEvent, changed([](EventBody& b) { b.exp_ts = 1; }))},
      {"peer_pub", seal(kAlgAesGcm, EventKind::ReadEvent, changed([](EventBody& b) { b.peer_pub[31] = 0x12; }))},
      {"author", seal_as(kAlgAesGcm, other_author, owner, prev, EventKind::ReadEvent, base, data_key)},
      {"owner", seal_as(kAlgAesGcm, author, other_owner, prev, EventKind::ReadEvent, base, data_key)},
      {"prev_cid", seal_as(kAlgAesGcm, author, owner, other_prev, EventKind::ReadEvent, base, data_key)},
      {"data key", seal_as(kAlgAesGcm, author, owner, prev, EventKind::ReadEvent, base, Bytes(32, 0x45))},
  };
  std::set<Nonce> nonces;
  for (const auto& [what, sealed] : variants) {
    EXPECT_TRUE(nonces.insert(sealed.frame.nonce).second) << "nonce repeated when changing " << what;
  }
}

class EventKeyLength : public EventTest, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(EventKeyLength, KeyThatIsNot32BytesIsUnavailable) {
  const Bytes key(GetParam(), 0x44);
  for (const std::uint8_t alg : {kAlgAesGcm, kAlgChaCha20}) {
    const auto sealed =
        seal_event(alg, author, owner, prev, EventKind::ReadEvent, example_body(), key, signer);
    ASSERT_FALSE(sealed.has_value());
    EXPECT_EQ(sealed.error(), TessellaError(ErrorKind::KeyUnavailable));
    const auto nonce = event_nonce(key, bytes_of("aad"));
    ASSERT_FALSE(nonce.has_value());
    EXPECT_EQ(nonce.error(), TessellaError(ErrorKind::KeyUnavailable));
  }
}

INSTANTIATE_TEST_SUITE_P(Lengths, EventKeyLength, ::testing::Values(0, 1, 16, 31, 33, 64),
                         [](const auto& test_info) { return fmt::format("Bytes{}", test_info.param); });

}  // namespace
}  // namespace tessella
