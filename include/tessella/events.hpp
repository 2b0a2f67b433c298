/// @file
/// Domain events (ownership transfers, reads, licence grants) sealed as frames.
#ifndef TESSELLA_EVENTS_HPP
#define TESSELLA_EVENTS_HPP

#include <cstdint>
#include <string>
#include <string_view>

#include "tessella/capabilities.hpp"
#include "tessella/error.hpp"
#include "tessella/export.hpp"
#include "tessella/frame.hpp"
#include "tessella/sign.hpp"
#include "tessella/types.hpp"

namespace tessella {

/// The three event kinds; their names are written into the event document.
enum class EventKind : std::uint8_t {
  OwnershipTransfer = 0,  ///< the frame scope_cid passes to peer_pub
  ReadEvent = 1,          ///< peer_pub read the frame scope_cid
  LicenseGrant = 2,       ///< peer_pub was granted `rights` on scope_cid until exp_ts
};

/// event_kind_name returns "OwnershipTransfer", "ReadEvent" or "LicenseGrant".
TESSELLA_API std::string_view event_kind_name(EventKind kind) noexcept;

/// The subject of an event; copied into the document, never interpreted.
struct EventBody {
  Cid scope_cid{};           ///< The frame the event is about.
  Rights rights;             ///< The rights concerned.
  std::uint64_t exp_ts = 0;  ///< An expiry time, when the event has one.
  PublicKey peer_pub{};      ///< The other party: new owner, reader or licensee.
};

/// event_document returns the compact JSON event document, members sorted by key:
/// {"event":..,"exp_ts":..,"peer_pub":"<hex>","require_cap":false,"rights":..,"scope_cid":"<hex>"}
TESSELLA_API std::string event_document(EventKind kind, const EventBody& body);

/// event_nonce derives an event frame's nonce: the first 12 bytes of
/// HMAC-SHA-256(data_key, "tessella event nonce v1" || aad), where aad is the event frame's
/// associated data computed with a zero nonce and N = 0. Events are deterministic, yet two
/// different events under one data key never share a nonce. Errors: KeyUnavailable when the
/// data key is not 32 bytes; Internal "hmac key init".
[[nodiscard]] TESSELLA_API Result<Nonce> event_nonce(ByteView data_key, ByteView zero_nonce_aad);

/// seal_event seals the event document as a frame and returns its record: hdr2 1, hdr3 0, ts zero, pol "event",
/// meta = the document, an empty payload, the nonce from event_nonce. The frame opens with the
/// data key alone ("require_cap" is false) and verifies like any frame. Same inputs give the
/// same bytes. Errors, in order: InvalidFormat "event kind" for a kind outside the three;
/// InvalidFormat "alg" for an alg other than 1 or 2; KeyUnavailable for a data key that is not
/// 32 bytes; Internal "hmac key init"; the cipher's Internal errors.
[[nodiscard]] TESSELLA_API Result<SealedFrame> seal_event(std::uint8_t alg, const PublicKey& author,
                                                          const PublicKey& owner, const Cid& prev_cid,
                                                          EventKind kind, const EventBody& body,
                                                          ByteView data_key,
                                                          const SigningKey& signer);

/// seal_event_bytes seals like seal_event and returns the frame's wire form and identifier,
/// written once into a buffer of its final size. Errors: as seal_event.
[[nodiscard]] TESSELLA_API Result<SealedBytes> seal_event_bytes(
    std::uint8_t alg, const PublicKey& author, const PublicKey& owner, const Cid& prev_cid,
    EventKind kind, const EventBody& body, ByteView data_key, const SigningKey& signer);

}  // namespace tessella

#endif
