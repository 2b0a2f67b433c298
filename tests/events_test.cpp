// Event documents and event frames.
#include "tessella/events.hpp"

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <tuple>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include "tessella/cid.hpp"
#include "vectors.hpp"

namespace tessella {
namespace {

using test::error_of;
using test::bytes_of;
using test::to_hex;

// 32 equal bytes, as whichever 32-byte type is asked for.
struct Filled {
  std::uint8_t b;
  template <class T>
  operator T() const {
    T out;
    out.fill(b);
    return out;
  }
};
Filled filled(std::uint8_t b) { return {b}; }

EventBody body_of(std::uint8_t scope, std::uint32_t rights, std::uint64_t exp, std::uint8_t peer) {
  return {filled(scope), Rights::from_bits_retain(rights), exp, filled(peer)};
}

// The worked example, then documents that nlohmann reads back as their body and writes back
// unchanged: compact, members sorted by key, plain unsigned numbers, lower-case hex.
TEST(EventDocument, IsCompactSortedJson) {
  const std::string example =
      R"({"event":"ReadEvent","exp_ts":0,"peer_pub":"1111111111111111111111111111111111111111111111111111111111111111",)"
      R"("require_cap":false,"rights":1,"scope_cid":"0000000000000000000000000000000000000000000000000000000000000000"})";
  ASSERT_EQ(example.size(), 220u);
  EXPECT_EQ(event_document(EventKind::ReadEvent, body_of(0x00, 1, 0, 0x11)), example);
  const std::tuple<EventKind, const char*, EventBody> cases[] = {
      {EventKind::OwnershipTransfer, "OwnershipTransfer", body_of(0xff, 0, 0, 0x00)},
      {EventKind::ReadEvent, "ReadEvent", body_of(0x0f, 10, 9, 0xf0)},
      {EventKind::LicenseGrant, "LicenseGrant", body_of(0x5a, 31, 1'700'000'000, 0xa5)},
      {EventKind::LicenseGrant, "LicenseGrant", body_of(0xab, 0x80000000u, ~0ull, 0xcd)},
      {EventKind::OwnershipTransfer, "OwnershipTransfer", body_of(0x12, ~0u, 1ull << 63, 0x34)},
  };
  for (const auto& [kind, name, body] : cases) {
    const std::string doc = event_document(kind, body);
    SCOPED_TRACE(doc);
    EXPECT_EQ(event_kind_name(kind), name);
    const auto json = nlohmann::json::parse(doc, nullptr, false);
    EXPECT_EQ(json, (nlohmann::json{{"event", name}, {"exp_ts", body.exp_ts}, {"require_cap", false},
                                    {"peer_pub", to_hex(body.peer_pub)}, {"rights", body.rights.bits()},
                                    {"scope_cid", to_hex(body.scope_cid)}}));
    EXPECT_TRUE(json.at("exp_ts").is_number_unsigned() && json.at("rights").is_number_unsigned());
    EXPECT_EQ(json.dump(), doc);
  }
}

// The event nonce recomputed with OpenSSL's HMAC() directly.
Nonce oracle_nonce(ByteView data_key, const Bytes& zero_nonce_aad) {
  const ByteView label = bytes_of("tessella event nonce v1");
  Bytes input(label.begin(), label.end());
  input.insert(input.end(), zero_nonce_aad.begin(), zero_nonce_aad.end());
  std::uint8_t mac[32];
  unsigned int len = 0;
  EXPECT_NE(HMAC(EVP_sha256(), data_key.data(), static_cast<int>(data_key.size()), input.data(),
                 input.size(), mac, &len), nullptr);
  Nonce nonce{};
  std::copy_n(mac, nonce.size(), nonce.begin());
  return nonce;
}

// RFC 8032 section 7.1, TEST 1 (the author's seed) and TEST 2 (another party's key).
constexpr const char* kAuthorSeedHex = "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60";
constexpr const char* kOtherPubHex = "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c";

class EventFrame : public ::testing::TestWithParam<std::uint8_t> {
 protected:
  const SigningKey signer = signing_key_from_seed(Seed{test::array_from_hex<32>(kAuthorSeedHex)});
  const PublicKey author = verifying_key_bytes(signer), owner = filled(0x22);
  const Cid prev = filled(0x33);
  const Bytes data_key = Bytes(32, 0x44);
  const EventBody body = body_of(0x00, 1, 0, 0x11);

  SealedFrame seal(const PublicKey& as, const PublicKey& to, const Cid& after, EventKind kind,
                   const EventBody& b, ByteView key, std::uint8_t alg) const {
    auto sealed = seal_event(alg, as, to, after, kind, b, key, signer);
    EXPECT_TRUE(sealed.has_value());
    return sealed.value_or(SealedFrame{});
  }
  Bytes wire(const PublicKey& as) const {
    return serialize(seal(as, owner, prev, EventKind::ReadEvent, body, data_key, GetParam()).frame)
        .value_or(Bytes{});
  }
};

// Header version 1, hdr2 1, hdr3 0, zero ts, pol "event", meta the document, no payload; the
// nonce is the first 12 bytes of HMAC-SHA-256(data key, label || the associated data with a zero
// nonce), and the wire form is the associated data, the tag and the signature.
TEST_P(EventFrame, HasTheEventLayoutAndDerivedNonce) {
  const std::uint8_t alg = GetParam();
  const SealedFrame ev = seal(author, owner, prev, EventKind::LicenseGrant, body, data_key, alg);
  const std::string doc = event_document(EventKind::LicenseGrant, body);
  const auto aad = [&](const Nonce& nonce) {  // written from the wire layout, N = 0
    Bytes out = {1, alg, 1, 0};
    out.insert(out.end(), nonce.begin(), nonce.end());
    out.insert(out.end(), 16, 0);  // ts
    for (ByteView p : {ByteView(author), ByteView(owner), ByteView(prev)}) out.insert(out.end(), p.begin(), p.end());
    const Bytes lengths = {0, 5, static_cast<std::uint8_t>(doc.size() >> 8),
                           static_cast<std::uint8_t>(doc.size()), 0, 0, 0, 0};
    out.insert(out.end(), lengths.begin(), lengths.end());
    out.insert(out.end(), {'e', 'v', 'e', 'n', 't'});
    out.insert(out.end(), doc.begin(), doc.end());
    return out;
  };
  const Nonce nonce = oracle_nonce(data_key, aad(Nonce{}));
  EXPECT_EQ(to_hex(ev.frame.nonce), to_hex(nonce));
  EXPECT_EQ(event_nonce(data_key, aad(Nonce{})), nonce);
  const Bytes bytes = serialize(ev.frame).value_or(Bytes{});
  ASSERT_EQ(bytes.size(), aad(nonce).size() + 16 + 64);
  EXPECT_EQ(Bytes(bytes.begin(), bytes.end() - 80), aad(nonce));
  EXPECT_EQ(ev.cid, cid_blake3(bytes));
}

TEST_P(EventFrame, OpensWithTheDataKeyAloneAndVerifiesAgainstItsAuthor) {
  const Bytes bytes = wire(author);
  const Bytes junk(7, 0xEE);  // no capability is asked for, so a presented one is not looked at
  for (const std::optional<std::uint64_t> now : {std::optional<std::uint64_t>{}, {0}, {~0ull}}) {
    EXPECT_EQ(open_bytes_with_ctx(bytes, data_key, std::nullopt, std::nullopt, now), Bytes{});
    EXPECT_EQ(open_bytes_with_ctx(bytes, data_key, ByteView(junk), owner, now), Bytes{});
  }
  Bytes wrong = data_key;
  wrong[31] ^= 0x01;
  EXPECT_EQ(error_of(open_bytes(bytes, wrong, std::nullopt, std::nullopt)),
            TessellaError(ErrorKind::AeadTagMismatch));
  EXPECT_EQ(verify_bytes(bytes), (FrameVerification{cid_blake3(bytes), true, nullptr}));
  // Another party's key in the author field: the signature does not hold.
  const Bytes other = wire(PublicKey{test::array_from_hex<32>(kOtherPubHex)});
  EXPECT_EQ(verify_bytes(other), (FrameVerification{cid_blake3(other), false, "signature"}));
  const auto not_a_point = verify_bytes(wire(PublicKey{2}));  // y = 2 has no x
  EXPECT_EQ(error_of(not_a_point), TessellaError::invalid_format("author_pub"));
}

// Every byte of the header (but alg), nonce, ts, owner, prev_cid, pol and meta, altered.
TEST_P(EventFrame, AlteredBytesAreATagMismatchAndABadSignature) {
  const Bytes bytes = wire(author);
  for (std::size_t i = 0; i < bytes.size() - 80; ++i) {
    if (i == 1 || (i >= 32 && i < 64) || (i >= 128 && i < 136)) continue;  // alg, author, lengths
    Bytes altered = bytes;
    altered[i] ^= 0x01;
    EXPECT_EQ(error_of(open_bytes(altered, data_key, std::nullopt, std::nullopt)),
              TessellaError(ErrorKind::AeadTagMismatch)) << "byte " << i;
    EXPECT_FALSE(verify_bytes(altered).value_or(FrameVerification{{}, true, nullptr}).valid) << i;
  }
}

// The nonce is a function of everything in the event and of the data key, so two different
// events under one key never share one.
TEST_P(EventFrame, DifferentEventsHaveDifferentNonces) {
  const std::uint8_t alg = GetParam(), other_alg = alg == kAlgAesGcm ? kAlgChaCha20 : kAlgAesGcm;
  constexpr auto kind = EventKind::ReadEvent;
  const Nonce nonces[] = {
      seal(author, owner, prev, kind, body, data_key, alg).frame.nonce,
      seal(author, owner, prev, kind, body, data_key, other_alg).frame.nonce,
      seal(author, owner, prev, EventKind::OwnershipTransfer, body, data_key, alg).frame.nonce,
      seal(author, owner, prev, EventKind::LicenseGrant, body, data_key, alg).frame.nonce,
      seal(author, owner, prev, kind, body_of(0x01, 1, 0, 0x11), data_key, alg).frame.nonce,
      seal(author, owner, prev, kind, body_of(0x00, 2, 0, 0x11), data_key, alg).frame.nonce,
      seal(author, owner, prev, kind, body_of(0x00, 1, 1, 0x11), data_key, alg).frame.nonce,
      seal(author, owner, prev, kind, body_of(0x00, 1, 0, 0x12), data_key, alg).frame.nonce,
      seal(filled(1), owner, prev, kind, body, data_key, alg).frame.nonce,
      seal(author, filled(1), prev, kind, body, data_key, alg).frame.nonce,
      seal(author, owner, filled(1), kind, body, data_key, alg).frame.nonce,
      seal(author, owner, prev, kind, body, Bytes(32, 0x45), alg).frame.nonce,
  };
  EXPECT_EQ(std::set<Nonce>(std::begin(nonces), std::end(nonces)).size(), std::size(nonces));
}

TEST_P(EventFrame, DataKeyThatIsNot32BytesIsUnavailable) {
  for (const std::size_t length : {0, 1, 16, 31, 33, 64}) {
    const Bytes key(length, 0x44);
    EXPECT_EQ(error_of(seal_event(GetParam(), author, owner, prev, EventKind::ReadEvent, body, key,
                                  signer)), TessellaError(ErrorKind::KeyUnavailable)) << length;
    EXPECT_EQ(error_of(event_nonce(key, {})), TessellaError(ErrorKind::KeyUnavailable));
  }
}

// Refusals come in seal's order: the kind, the algorithm, then the key; each row breaks the
// inputs from its own onwards.
TEST_P(EventFrame, RefusalsComeInSealsOrder) {
  const Bytes short_key(16, 0x44);
  const struct {
    EventKind kind;
    std::uint8_t alg;
    TessellaError want;
  } rows[] = {
      {static_cast<EventKind>(3), 9, TessellaError::invalid_format("event kind")},
      {static_cast<EventKind>(255), 1, TessellaError::invalid_format("event kind")},
      {EventKind::LicenseGrant, 0, TessellaError::invalid_format("alg")},
      {EventKind::LicenseGrant, 3, TessellaError::invalid_format("alg")},
      {EventKind::ReadEvent, kAlgAesGcm, TessellaError(ErrorKind::KeyUnavailable)},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(error_of(seal_event(r.alg, author, owner, prev, r.kind, body, short_key, signer)),
              r.want)
        << static_cast<int>(r.kind) << " " << static_cast<int>(r.alg);
  }
}

INSTANTIATE_TEST_SUITE_P(Algorithms, EventFrame, ::testing::Values(kAlgAesGcm, kAlgChaCha20),
                         [](auto i) { return i.param == kAlgAesGcm ? "AesGcm" : "ChaCha20"; });

}  // namespace
}  // namespace tessella
