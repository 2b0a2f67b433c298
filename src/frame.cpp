#include "tessella/frame.hpp"

#include <algorithm>
#include <limits>

#include "frame_internal.hpp"
#include "random.hpp"
#include "sign_internal.hpp"
#include "tessella/aead.hpp"
#include "tessella/cid.hpp"

namespace tessella {

namespace {

constexpr std::size_t kOffNonce = 4;
constexpr std::size_t kOffTs = 16;
constexpr std::size_t kOffAuthor = 32;
constexpr std::size_t kOffOwner = 64;
constexpr std::size_t kOffPrev = 96;
constexpr std::size_t kOffPolLen = 128;
constexpr std::size_t kOffCtLen = 132;

const TessellaError kErrTooShort = TessellaError::invalid_format("too short");
const TessellaError kErrAlg = TessellaError::invalid_format("alg");
const TessellaError kErrLength = TessellaError::invalid_format("length");
const TessellaError kErrSectionTooLong = TessellaError::invalid_format("section too long");
const TessellaError kErrPayloadTooLong = TessellaError::invalid_format("payload too long");
const TessellaError kErrAuthorPub = TessellaError::invalid_format("author_pub");
const TessellaError kErrBufferTooSmall = TessellaError::invalid_format("buffer too small");

bool alg_on_wire(std::uint8_t alg) noexcept { return alg == kAlgAesGcm || alg == kAlgChaCha20; }

std::uint16_t load_be16(ByteView b) noexcept {
  return static_cast<std::uint16_t>((b[0] << 8) | b[1]);
}
std::uint32_t load_be32(ByteView b) noexcept {
  return (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) |
         std::uint32_t{b[3]};
}
void store_be16(std::uint8_t* out, std::uint16_t v) noexcept {
  out[0] = static_cast<std::uint8_t>(v >> 8);
  out[1] = static_cast<std::uint8_t>(v);
}
void store_be32(std::uint8_t* out, std::uint32_t v) noexcept {
  out[0] = static_cast<std::uint8_t>(v >> 24);
  out[1] = static_cast<std::uint8_t>(v >> 16);
  out[2] = static_cast<std::uint8_t>(v >> 8);
  out[3] = static_cast<std::uint8_t>(v);
}

Result<FrameView> parse_view(ByteView in) noexcept {
  if (in.size() < kFrameFixedSize) return std::unexpected(kErrTooShort);
  if (!alg_on_wire(in[1])) return std::unexpected(kErrAlg);

  // The fixed part is all there: its fields are read at their offsets. Bytes 0, 2 and 3 are
  // carried unchecked.
  const std::uint8_t* p = in.data();
  const std::uint64_t pol = load_be16(in.subspan(kOffPolLen, 2));
  const std::uint64_t meta = load_be16(in.subspan(kOffPolLen + 2, 2));
  const std::uint64_t n = load_be32(in.subspan(kOffCtLen, 4));
  const std::uint64_t end = kFrameFixedSize + pol + meta + n;  // at most 2^32 + 2^17: no overflow
  if (in.size() < end + kFrameTrailerSize) return std::unexpected(kErrLength);

  FrameHeader h;
  h.version = p[0];
  h.alg = p[1];
  h.hdr2 = p[2];
  h.hdr3 = p[3];
  std::copy_n(p + kOffNonce, kNonceSize, h.nonce.begin());
  std::copy_n(p + kOffTs, kTimestampSize, h.ts.begin());
  std::copy_n(p + kOffAuthor, kPublicKeySize, h.author.begin());
  std::copy_n(p + kOffOwner, kPublicKeySize, h.owner.begin());
  std::copy_n(p + kOffPrev, kCidSize, h.prev_cid.begin());
  return FrameView{h,
                   in.subspan(kFrameFixedSize, pol),
                   in.subspan(kFrameFixedSize + pol, meta),
                   in.subspan(kFrameFixedSize + pol + meta, n),
                   in.subspan(end).first<kTagSize>(),
                   in.subspan(end + kTagSize).first<kSignatureSize>(),
                   in.first(end + kFrameTrailerSize),
                   in.first(kFrameFixedSize + pol + meta)};
}

FrameHeader header_of(std::uint8_t alg, std::uint8_t hdr2, std::uint8_t hdr3, NonceView nonce,
                      TimestampView ts, const PublicKey& author, const PublicKey& owner,
                      const Cid& prev_cid) noexcept {
  FrameHeader h{.version = 1, .alg = alg, .hdr2 = hdr2, .hdr3 = hdr3,
                .author = author, .owner = owner, .prev_cid = prev_cid};
  std::copy(nonce.begin(), nonce.end(), h.nonce.begin());
  std::copy(ts.begin(), ts.end(), h.ts.begin());
  return h;
}

bool sections_fit(std::size_t pol, std::size_t meta) noexcept {
  return pol <= kMaxSectionSize && meta <= kMaxSectionSize;
}

// The frame's length for these section and payload lengths, refused when a section or the
// payload does not fit its length field or the frame would not fit in memory.
Result<std::size_t> frame_len_for(std::size_t pol, std::size_t meta, std::size_t pt) noexcept {
  if (!sections_fit(pol, meta)) return std::unexpected(kErrSectionTooLong);
  if (pt > kMaxCiphertextSize) return std::unexpected(kErrPayloadTooLong);
  // At most 2^32 + 2^17 + 215: computed in 64 bits, so a 32-bit host refuses what it cannot hold
  // instead of wrapping around.
  const std::uint64_t total = std::uint64_t{kFrameMinSize} + pol + meta + pt;
  if (total > std::numeric_limits<std::size_t>::max()) return std::unexpected(kErrPayloadTooLong);
  return static_cast<std::size_t>(total);
}

// Seals into `out`, which holds exactly the frame's length.
Result<Cid> seal_into(const FrameHeader& h, ByteView pol, ByteView meta, ByteView plaintext,
                      ByteView data_key, const SigningKey& signer, std::span<std::uint8_t> out) {
  const std::size_t aad_len = detail::write_aad(out.data(), h, pol, meta, plaintext.size());
  return detail::seal_written(out, aad_len, plaintext, data_key, signer);
}

Result<SealedBytes> seal_wire(const FrameHeader& h, ByteView pol, ByteView meta,
                              ByteView plaintext, ByteView data_key, const SigningKey& signer) {
  auto len = detail::check_seal(h.alg, pol.size(), meta.size(), plaintext.size(), data_key);
  if (!len) return std::unexpected(len.error());
  SealedBytes out;
  out.bytes.resize(*len);
  auto cid = seal_into(h, pol, meta, plaintext, data_key, signer, out.bytes);
  if (!cid) return std::unexpected(cid.error());
  out.cid = *cid;
  return out;
}

// A frame's signature covers every byte before it.
ByteView signed_bytes(ByteView wire) noexcept { return wire.first(wire.size() - kSignatureSize); }
SignatureView signature_of(ByteView wire) noexcept { return wire.last<kSignatureSize>(); }

// The one report of a signature check over a frame's wire form.
FrameVerification report_of(ByteView wire, bool valid) {
  return FrameVerification{cid_blake3(wire), valid, valid ? nullptr : "signature"};
}

}  // namespace

namespace detail {

void write_ct_len(std::uint8_t* fixed_part, std::uint32_t n) noexcept {
  store_be32(fixed_part + kOffCtLen, n);
}

std::size_t write_aad(std::uint8_t* out, const FrameHeader& h, ByteView pol, ByteView meta,
                      std::size_t n) noexcept {
  out[0] = h.version;
  out[1] = h.alg;
  out[2] = h.hdr2;
  out[3] = h.hdr3;
  std::uint8_t* p = out + 4;
  p = std::copy(h.nonce.begin(), h.nonce.end(), p);
  p = std::copy(h.ts.begin(), h.ts.end(), p);
  p = std::copy(h.author.begin(), h.author.end(), p);
  p = std::copy(h.owner.begin(), h.owner.end(), p);
  std::copy(h.prev_cid.begin(), h.prev_cid.end(), p);
  store_be16(out + kOffPolLen, static_cast<std::uint16_t>(pol.size()));
  store_be16(out + kOffPolLen + 2, static_cast<std::uint16_t>(meta.size()));
  write_ct_len(out, static_cast<std::uint32_t>(n));
  p = out + kFrameFixedSize;
  if (!pol.empty()) p = std::copy(pol.begin(), pol.end(), p);
  if (!meta.empty()) p = std::copy(meta.begin(), meta.end(), p);
  return static_cast<std::size_t>(p - out);
}

// The associated data and the signed bytes are prefixes of the wire form, so the ciphertext is
// encrypted into its place behind the associated data and the signature is computed over the
// buffer's own prefix. The cipher and the nonce are read from the header already written.
Result<Cid> seal_written(std::span<std::uint8_t> out, std::size_t aad_len, ByteView plaintext,
                         ByteView data_key, const SigningKey& signer) {
  std::uint8_t* base = out.data();
  const std::size_t end = aad_len + plaintext.size();
  auto tag = std::span<std::uint8_t, kTagSize>(base + end, kTagSize);
  auto sealed = aead_for(base[1]).encrypt_into(
      data_key, NonceView(base + 4, kNonceSize), ByteView(base, aad_len), plaintext,
      std::span<std::uint8_t>(base + aad_len, plaintext.size()), tag);
  if (!sealed) return std::unexpected(sealed.error());

  const Signature sig = sign(signer, ByteView(base, end + kTagSize));
  std::copy(sig.begin(), sig.end(), base + end + kTagSize);
  return cid_blake3(out);
}

Frame record_of(const FrameView& v) {
  Frame f;
  static_cast<FrameHeader&>(f) = v;
  f.pol.assign(v.pol.begin(), v.pol.end());
  f.meta.assign(v.meta.begin(), v.meta.end());
  f.ct.assign(v.ct.begin(), v.ct.end());
  std::copy(v.tag.begin(), v.tag.end(), f.tag.begin());
  std::copy(v.sig.begin(), v.sig.end(), f.sig.begin());
  return f;
}

Result<SealedFrame> record_of_sealed(const SealedBytes& sealed) {
  auto v = parse_view(sealed.bytes);
  if (!v) return std::unexpected(v.error());
  return SealedFrame{record_of(*v), sealed.cid};
}

Result<std::size_t> check_seal(std::uint8_t alg, std::size_t pol, std::size_t meta,
                               std::size_t pt, ByteView data_key) noexcept {
  if (!alg_on_wire(alg)) return std::unexpected(kErrAlg);
  auto len = frame_len_for(pol, meta, pt);
  if (!len) return len;
  if (data_key.size() != kKeySize) return std::unexpected(TessellaError(ErrorKind::KeyUnavailable));
  return len;
}

bool trusts(const TrustedIssuers& trust, const FrameView& v, const PublicKey& issuer) noexcept {
  if (trust.owner && issuer == v.owner) return true;
  for (std::size_t at = 0; at + kPublicKeySize <= trust.keys.size(); at += kPublicKeySize) {
    if (std::equal(issuer.begin(), issuer.end(), trust.keys.begin() + at)) return true;
  }
  return false;
}

Result<void> check_open(const FrameView& v, ByteView data_key, std::optional<ByteView> capability,
                        std::optional<PublicKey> presenter_pub, std::optional<std::uint64_t> now,
                        const TrustedIssuers* trust) {
  const auto key_ok = [&]() -> Result<void> {
    if (data_key.size() != kKeySize) return std::unexpected(TessellaError(ErrorKind::KeyUnavailable));
    return {};
  };
  const FramePolicy policy = read_policy(v.meta);
  if (!policy.require_cap) return key_ok();
  const auto refused = std::unexpected(TessellaError(ErrorKind::CapabilityInvalid));
  if (!capability) return refused;
  auto token = cap_decode(*capability);
  if (!token) return refused;
  if (now && token->exp_ts < *now) return refused;
  if (!presenter_pub) return refused;
  auto verified = cap_verify(*token, *presenter_pub);
  if (!verified) return std::unexpected(verified.error());
  if (trust != nullptr && !trusts(*trust, v, token->issuer_pub)) return refused;
  // The frame's own bytes are its serialization, so the identifier is taken over them
  // directly; trailing input is not part of them.
  if (cid_blake3(v.wire) != token->scope_cid) {
    return std::unexpected(TessellaError(ErrorKind::PolicyViolation));
  }
  if (!token->rights.contains(policy.allowed_ops)) {
    return std::unexpected(TessellaError(ErrorKind::PolicyViolation));
  }
  return key_ok();
}

Result<void> decrypt_view(const FrameView& v, ByteView data_key, std::span<std::uint8_t> out) {
  return aead_for(v.alg).decrypt_into(data_key, v.nonce, v.aad, v.ct, v.tag, out.first(v.ct.size()));
}

}  // namespace detail

bool fits_wire_format(const Frame& frame) noexcept {
  return sections_fit(frame.pol.size(), frame.meta.size()) &&
         frame.ct.size() <= kMaxCiphertextSize;
}

Result<Bytes> serialize(const Frame& frame) {
  if (!fits_wire_format(frame)) return std::unexpected(kErrSectionTooLong);
  Bytes out(kFrameFixedSize + frame.pol.size() + frame.meta.size() + frame.ct.size() +
            kFrameTrailerSize);
  std::uint8_t* p = out.data() + detail::write_aad(out.data(), frame, frame.pol, frame.meta,
                                                   frame.ct.size());
  if (!frame.ct.empty()) p = std::copy(frame.ct.begin(), frame.ct.end(), p);
  p = std::copy(frame.tag.begin(), frame.tag.end(), p);
  std::copy(frame.sig.begin(), frame.sig.end(), p);
  return out;
}

Result<Frame> deserialize(ByteView bytes) {
  auto v = parse_view(bytes);
  if (!v) return std::unexpected(v.error());
  return detail::record_of(*v);
}

Result<Bytes> aad_bytes(const Frame& frame, std::uint32_t n) {
  if (!sections_fit(frame.pol.size(), frame.meta.size())) {
    return std::unexpected(kErrSectionTooLong);
  }
  Bytes out(kFrameFixedSize + frame.pol.size() + frame.meta.size());
  detail::write_aad(out.data(), frame, frame.pol, frame.meta, n);
  return out;
}

Result<SealedFrame> seal(std::uint8_t alg, std::uint8_t hdr2, std::uint8_t hdr3, NonceView nonce,
                         TimestampView ts, const PublicKey& author, const PublicKey& owner, const Cid& prev_cid,
                         Bytes pol, Bytes meta, ByteView plaintext, ByteView data_key,
                         const SigningKey& signer) {
  auto wire = seal_wire(header_of(alg, hdr2, hdr3, nonce, ts, author, owner, prev_cid), pol, meta,
                        plaintext, data_key, signer);
  if (!wire) return std::unexpected(wire.error());
  return detail::record_of_sealed(*wire);
}

Result<Bytes> open(const Frame& frame, ByteView data_key, bool capability_ok) {
  if (!capability_ok) return std::unexpected(TessellaError(ErrorKind::CapabilityInvalid));
  if (frame.ct.size() > kMaxCiphertextSize) return std::unexpected(kErrSectionTooLong);
  if (data_key.size() != kKeySize) return std::unexpected(TessellaError(ErrorKind::KeyUnavailable));
  auto aad = aad_bytes(frame, static_cast<std::uint32_t>(frame.ct.size()));
  if (!aad) return std::unexpected(aad.error());
  return aead_for(frame.alg).decrypt(data_key, frame.nonce, *aad, frame.ct, frame.tag);
}

Result<FrameVerification> verify(const Frame& frame, const VerifyingKey& key) {
  auto wire = serialize(frame);
  if (!wire) return std::unexpected(wire.error());
  // A key of small order admits signatures that anyone can make: the frame is not taken as
  // signed by it.
  const bool valid = !detail::is_small_order(key.bytes()) &&
                     tessella::verify(key, signed_bytes(*wire), signature_of(*wire)).has_value();
  return report_of(*wire, valid);
}

Result<FrameVerification> verify_bytes(ByteView frame) {
  auto v = parse_view(frame);
  if (!v) return std::unexpected(v.error());
  const detail::Verdict verdict =
      detail::verify_signer(v->author, signed_bytes(v->wire), signature_of(v->wire));
  if (verdict == detail::Verdict::BadKey) return std::unexpected(kErrAuthorPub);
  return report_of(v->wire, verdict == detail::Verdict::Valid);
}

Frame transfer(const Cid& prev_cid, const PublicKey& new_owner) {
  Frame f;
  f.hdr2 = 1;
  f.owner = new_owner;
  f.prev_cid = prev_cid;
  return f;
}

Result<SealedBytes> seal_bytes(std::uint8_t alg, std::uint8_t hdr2, std::uint8_t hdr3,
                               NonceView nonce, TimestampView ts, const PublicKey& author,
                               const PublicKey& owner, const Cid& prev_cid, ByteView pol, ByteView meta,
                               ByteView plaintext, ByteView data_key, const SigningKey& signer) {
  return seal_wire(header_of(alg, hdr2, hdr3, nonce, ts, author, owner, prev_cid), pol, meta,
                   plaintext, data_key, signer);
}

namespace {

Result<Bytes> open_owned(ByteView frame, ByteView data_key, std::optional<ByteView> capability,
                         std::optional<PublicKey> presenter_pub, std::optional<std::uint64_t> now,
                         const detail::TrustedIssuers* trust) {
  auto v = parse_view(frame);
  if (!v) return std::unexpected(v.error());
  if (auto ok = detail::check_open(*v, data_key, capability, presenter_pub, now, trust); !ok) {
    return std::unexpected(ok.error());
  }
  Bytes pt(v->ct.size());
  if (auto ok = detail::decrypt_view(*v, data_key, pt); !ok) return std::unexpected(ok.error());
  return pt;
}

}  // namespace

Result<Bytes> open_bytes(ByteView frame, ByteView data_key, std::optional<ByteView> capability,
                         std::optional<PublicKey> presenter_pub) {
  return open_bytes_with_ctx(frame, data_key, capability, presenter_pub, std::nullopt);
}

Result<Bytes> open_bytes_with_ctx(ByteView frame, ByteView data_key,
                                  std::optional<ByteView> capability,
                                  std::optional<PublicKey> presenter_pub,
                                  std::optional<std::uint64_t> now) {
  return open_owned(frame, data_key, capability, presenter_pub, now, nullptr);
}


Result<std::size_t> detail::open_into(ByteView frame, ByteView data_key,
                                      std::optional<ByteView> capability,
                                      std::optional<PublicKey> presenter_pub,
                                      std::optional<std::uint64_t> now,
                                      const TrustedIssuers* trust, std::span<std::uint8_t> out) {
  auto v = parse_view(frame);
  if (!v) return std::unexpected(v.error());
  if (out.size() < v->ct.size()) return std::unexpected(kErrBufferTooSmall);
  if (auto ok = check_open(*v, data_key, capability, presenter_pub, now, trust); !ok) {
    return std::unexpected(ok.error());
  }
  if (auto ok = decrypt_view(*v, data_key, out); !ok) return std::unexpected(ok.error());
  return v->ct.size();
}

Result<std::size_t> open_bytes_into(ByteView frame, ByteView data_key,
                                    std::optional<ByteView> capability,
                                    std::optional<PublicKey> presenter_pub,
                                    std::optional<std::uint64_t> now,
                                    std::span<std::uint8_t> out) {
  return detail::open_into(frame, data_key, capability, presenter_pub, now, nullptr, out);
}

Result<Bytes> open_bytes_trusted(ByteView frame, ByteView data_key, const OpenOptions& options) {
  const detail::TrustedIssuers trust = detail::trusted_issuers(options.trust);
  return open_owned(frame, data_key, options.capability, options.presenter_pub, options.now,
                    &trust);
}

Result<std::size_t> open_bytes_trusted_into(ByteView frame, ByteView data_key,
                                            const OpenOptions& options,
                                            std::span<std::uint8_t> out) {
  const detail::TrustedIssuers trust = detail::trusted_issuers(options.trust);
  return detail::open_into(frame, data_key, options.capability, options.presenter_pub,
                           options.now, &trust, out);
}

Result<FrameView> frame_view(ByteView bytes) noexcept { return parse_view(bytes); }

Result<std::size_t> sealed_len(std::size_t pol_len, std::size_t meta_len,
                               std::size_t plaintext_len) noexcept {
  return frame_len_for(pol_len, meta_len, plaintext_len);
}

Result<SealedInto> seal_bytes_into(std::uint8_t alg, std::uint8_t hdr2, std::uint8_t hdr3,
                                   NonceView nonce, TimestampView ts, const PublicKey& author,
                                   const PublicKey& owner, const Cid& prev_cid, ByteView pol,
                                   ByteView meta, ByteView plaintext, ByteView data_key,
                                   const SigningKey& signer, std::span<std::uint8_t> out) {
  auto len = detail::check_seal(alg, pol.size(), meta.size(), plaintext.size(), data_key);
  if (!len) return std::unexpected(len.error());
  if (out.size() < *len) return std::unexpected(kErrBufferTooSmall);
  auto cid = seal_into(header_of(alg, hdr2, hdr3, nonce, ts, author, owner, prev_cid), pol, meta,
                       plaintext, data_key, signer, out.first(*len));
  if (!cid) return std::unexpected(cid.error());
  return SealedInto{*len, *cid};
}

Result<SealedBytes> seal_bytes(std::uint8_t alg, std::uint8_t hdr2, std::uint8_t hdr3,
                               TimestampView ts, const PublicKey& author, const PublicKey& owner,
                               const Cid& prev_cid, ByteView pol, ByteView meta,
                               ByteView plaintext, ByteView data_key, const SigningKey& signer) {
  Nonce nonce;
  os_random(nonce.data(), nonce.size());
  return seal_bytes(alg, hdr2, hdr3, nonce, ts, author, owner, prev_cid, pol, meta, plaintext,
                    data_key, signer);
}

Result<SealedInto> seal_bytes_into(std::uint8_t alg, std::uint8_t hdr2, std::uint8_t hdr3,
                                   TimestampView ts, const PublicKey& author,
                                   const PublicKey& owner, const Cid& prev_cid, ByteView pol,
                                   ByteView meta, ByteView plaintext, ByteView data_key,
                                   const SigningKey& signer, std::span<std::uint8_t> out) {
  Nonce nonce;
  os_random(nonce.data(), nonce.size());
  return seal_bytes_into(alg, hdr2, hdr3, nonce, ts, author, owner, prev_cid, pol, meta,
                         plaintext, data_key, signer, out);
}

}  // namespace tessella
