// Event documents and event frames.
#include "tessella/events.hpp"

#include <cstdint>
#include <set>
#include <string>

#include <gtest/gtest.h>

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

// The worked example; crosscheck.py rebuilds the documents of random events of every kind.
TEST(EventDocument, IsCompactSortedJson) {
  EXPECT_EQ(event_document(EventKind::ReadEvent, body_of(0x00, 1, 0, 0x11)),
            R"({"event":"ReadEvent","exp_ts":0,"peer_pub":"1111111111111111111111111111111111111111111111111111111111111111",)"
            R"("require_cap":false,"rights":1,"scope_cid":"0000000000000000000000000000000000000000000000000000000000000000"})");
  EXPECT_EQ(event_kind_name(EventKind::LicenseGrant), "LicenseGrant");
}

// RFC 8032 section 7.1, TEST 1: the author's seed. The layout, the derived nonce and the opening
// of event frames: crosscheck.py and cli_test.py.
constexpr const char* kAuthorSeedHex = "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60";

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
};

// The nonce is a function of everything in the event and of the data key, so two different
// events under one key never share one.
TEST_P(EventFrame, DifferentEventsHaveDifferentNonces) {
  const std::uint8_t alg = GetParam(), other_alg = alg == kAlgAesGcm ? kAlgChaCha20 : kAlgAesGcm;
  constexpr auto kind = EventKind::ReadEvent;
  const Nonce nonces[] = {
      seal(author, owner, prev, kind, body, data_key, alg).frame.nonce,
      seal(author, owner, prev, kind, body, data_key, other_alg).frame.nonce,
      seal(author, owner, prev, EventKind::OwnershipTransfer, body, data_key, alg).frame.nonce,
      seal(author, owner, prev, kind, body_of(0x01, 1, 0, 0x11), data_key, alg).frame.nonce,
      seal(author, owner, prev, kind, body_of(0x00, 1, 1, 0x11), data_key, alg).frame.nonce,
      seal(filled(1), owner, prev, kind, body, data_key, alg).frame.nonce,
      seal(author, owner, filled(1), kind, body, data_key, alg).frame.nonce,
      seal(author, owner, prev, kind, body, Bytes(32, 0x45), alg).frame.nonce,
  };
  EXPECT_EQ(std::set<Nonce>(std::begin(nonces), std::end(nonces)).size(), std::size(nonces));
}

// Refusals come in seal's order: the kind, the algorithm, then the key (16 bytes); each row
// breaks the inputs from its own onwards.
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
  EXPECT_EQ(error_of(event_nonce(Bytes(33, 0x44), {})), TessellaError(ErrorKind::KeyUnavailable));
}

INSTANTIATE_TEST_SUITE_P(Algorithms, EventFrame, ::testing::Values(kAlgAesGcm, kAlgChaCha20),
                         [](auto i) { return i.param == kAlgAesGcm ? "AesGcm" : "ChaCha20"; });

}  // namespace
}  // namespace tessella
