#include "tessella/events.hpp"

#include <algorithm>
#include <array>
#include <charconv>

#include "events_internal.hpp"
#include "frame_internal.hpp"
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
    return std::unexpected(TessellaError::internal(detail::kHmacFailure));
  }
  Nonce nonce;
  std::copy_n(mac.begin(), nonce.size(), nonce.begin());
  return nonce;
}

namespace detail {

Result<std::string> check_event(std::uint8_t alg, EventKind kind, const EventBody& body,
                                ByteView data_key) {
  // An event kind outside the three comes first, since it decides the document; then seal's
  // checks in seal's order (the sections of an event always fit).
  if (event_kind_name(kind).empty()) return std::unexpected(TessellaError::invalid_format("event kind"));
  std::string doc = event_document(kind, body);
  if (auto len = check_seal(alg, kEventPol.size(), doc.size(), 0, data_key); !len) {
    return std::unexpected(len.error());
  }
  return doc;
}

std::size_t event_frame_len(std::string_view document) noexcept {
  return kFrameMinSize + kEventPol.size() + document.size();
}

Result<Cid> seal_event_into(std::uint8_t alg, const PublicKey& author, const PublicKey& owner,
                            const Cid& prev_cid, std::string_view document, ByteView data_key,
                            const SigningKey& signer, std::span<std::uint8_t> out) {
  // The event frame's header is the transfer template's (version 1, hdr2 1, hdr3 0, zero nonce
  // and ts) with the caller's algorithm and author.
  FrameHeader h = transfer(prev_cid, owner);
  h.alg = alg;
  h.author = author;
  const std::size_t aad_len = write_aad(out.data(), h, as_bytes(kEventPol), as_bytes(document), 0);

  // Every event under one data key would otherwise share one fixed nonce, and two GCM tags
  // under one key and nonce give away the authentication key. The nonce is instead a MAC of
  // the event's own associated data, written above with a zero nonce: still deterministic, and
  // distinct for distinct events. It then takes its place in the header.
  auto nonce = event_nonce(data_key, ByteView(out.data(), aad_len));
  if (!nonce) return std::unexpected(nonce.error());
  std::copy(nonce->begin(), nonce->end(), out.begin() + 4);
  return seal_written(out, aad_len, {}, data_key, signer);
}

}  // namespace detail

Result<SealedBytes> seal_event_bytes(std::uint8_t alg, const PublicKey& author,
                                     const PublicKey& owner, const Cid& prev_cid, EventKind kind,
                                     const EventBody& body, ByteView data_key,
                                     const SigningKey& signer) {
  auto doc = detail::check_event(alg, kind, body, data_key);
  if (!doc) return std::unexpected(doc.error());
  SealedBytes out;
  out.bytes.resize(detail::event_frame_len(*doc));
  auto cid = detail::seal_event_into(alg, author, owner, prev_cid, *doc, data_key, signer, out.bytes);
  if (!cid) return std::unexpected(cid.error());
  out.cid = *cid;
  return out;
}

Result<SealedFrame> seal_event(std::uint8_t alg, const PublicKey& author, const PublicKey& owner,
                               const Cid& prev_cid, EventKind kind, const EventBody& body,
                               ByteView data_key, const SigningKey& signer) {
  auto wire = seal_event_bytes(alg, author, owner, prev_cid, kind, body, data_key, signer);
  if (!wire) return std::unexpected(wire.error());
  return detail::record_of_sealed(*wire);
}

}  // namespace tessella
