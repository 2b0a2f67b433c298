#include "tessella/events.hpp"

#include <algorithm>
#include <array>
#include <charconv>

#include "hmac.hpp"

namespace tessella {

namespace {

constexpr std::array<std::string_view, 3> kKindNames = {"OwnershipTransfer", "ReadEvent",
                                                        "LicenseGrant"};
constexpr std::string_view kEventPol = "event";
constexpr std::string_view kNonceLabel = "tessella event nonce v1";

void append_hex(std::string& out, std::span<const std::uint8_t, 32> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  for (std::uint8_t b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 0x0f];
  }
}

void append_decimal(std::string& out, std::uint64_t value) {
  std::array<char, 20> digits;
  const auto end = std::to_chars(digits.data(), digits.data() + digits.size(), value).ptr;
  out.append(digits.data(), end);
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
  std::string doc;
  doc.reserve(256);
  doc += R"({"event":")";
  doc += event_kind_name(kind);
  doc += R"(","exp_ts":)";
  append_decimal(doc, body.exp_ts);
  doc += R"(,"peer_pub":")";
  append_hex(doc, body.peer_pub);
  doc += R"(","require_cap":false,"rights":)";
  append_decimal(doc, body.rights.bits());
  doc += R"(,"scope_cid":")";
  append_hex(doc, body.scope_cid);
  doc += R"("})";
  return doc;
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

Result<SealedFrame> seal_event(std::uint8_t alg, const PublicKey& author, const PublicKey& owner,
                               const Cid& prev_cid, EventKind kind, const EventBody& body,
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
  shape.author = author;
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
