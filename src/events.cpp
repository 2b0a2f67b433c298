#include "tessella/events.hpp"

#include <algorithm>
#include <array>

#include "tessella/search.hpp"

namespace tessella {

namespace {

constexpr std::array<std::string_view, 3> kKindNames = {"OwnershipTransfer", "ReadEvent",
                                                        "LicenseGrant"};
constexpr std::string_view kEventPol = "event";
constexpr std::string_view kNonceLabel = "tessella event nonce v1";

std::string hex(std::span<const std::uint8_t, 32> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out(64, '0');
  for (std::size_t i = 0; i < 32; ++i) {
    out[2 * i] = kDigits[bytes[i] >> 4];
    out[2 * i + 1] = kDigits[bytes[i] & 0x0f];
  }
  return out;
}

}  // namespace

std::string_view event_kind_name(EventKind kind) noexcept {
  auto i = static_cast<std::size_t>(kind);
  return i < kKindNames.size() ? kKindNames[i] : std::string_view{};
}

std::string event_document(EventKind kind, const EventBody& body) {
  // The document's shape is fixed: six members in key order, numbers as unsigned decimals and
  // hex strings, none of which needs escaping. It is written directly rather than through a JSON
  // document tree, whose destructor allocates and would end the process when memory runs out.
  return fmt::format(
      R"({{"event":"{}","exp_ts":{},"peer_pub":"{}","require_cap":false,"rights":{},"scope_cid":"{}"}})",
      event_kind_name(kind), body.exp_ts, hex(body.peer_pub), body.rights.bits(),
      hex(body.scope_cid));
}

Result<Nonce> event_nonce(ByteView data_key, ByteView zero_nonce_aad) {
  if (data_key.size() != kKeySize) return std::unexpected(TessellaError(ErrorKind::KeyUnavailable));
  std::array<std::uint8_t, 32> mac{};
  if (!detail::hmac_sha256(data_key, {as_bytes(kNonceLabel), zero_nonce_aad}, mac)) {
    return std::unexpected(TessellaError::internal("hmac key init"));
  }
  Nonce nonce;
  std::copy_n(mac.begin(), nonce.size(), nonce.begin());
  return nonce;
}

Result<SealedFrame> seal_event(std::uint8_t alg, KeyView32 author, KeyView32 owner,
                               KeyView32 prev_cid, EventKind kind, const EventBody& body,
                               ByteView data_key, const SigningKey& signer) {
  // seal's order: the algorithm, then the sections (an event's always fit), then the key; an
  // event kind outside the three comes first, since it decides the document.
  if (event_kind_name(kind).empty()) return std::unexpected(TessellaError::invalid_format("event kind"));
  if (alg != kAlgAesGcm && alg != kAlgChaCha20) {
    return std::unexpected(TessellaError::invalid_format("alg"));
  }
  if (data_key.size() != kKeySize) return std::unexpected(TessellaError(ErrorKind::KeyUnavailable));
  const std::string doc = event_document(kind, body);

  // Every event under one data key would otherwise share one fixed nonce, and two GCM tags
  // under one key and nonce give away the authentication key. The nonce is instead a MAC of
  // the event's own associated data: still deterministic, and distinct for distinct events.
  // The event frame's header is the transfer template's (version 1, hdr2 1, hdr3 0, zero nonce
  // and ts) with the caller's algorithm and author.
  Frame shape = transfer(prev_cid, owner);
  shape.alg = alg;
  std::copy(author.begin(), author.end(), shape.author.begin());
  shape.pol.assign(kEventPol.begin(), kEventPol.end());
  shape.meta.assign(doc.begin(), doc.end());
  auto aad = aad_bytes(shape, 0);
  if (!aad) return std::unexpected(aad.error());
  auto nonce = event_nonce(data_key, *aad);
  if (!nonce) return std::unexpected(nonce.error());

  const Timestamp ts{};
  return seal(alg, 1, 0, *nonce, ts, author, owner, prev_cid, std::move(shape.pol),
              std::move(shape.meta), {}, data_key, signer);
}

}  // namespace tessella
