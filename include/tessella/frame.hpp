/// @file
/// Frames: the sealed envelope, its wire format, and sealing, opening and verifying it.
#ifndef TESSELLA_FRAME_HPP
#define TESSELLA_FRAME_HPP

#include <cstdint>
#include <optional>
#include <utility>

#include "tessella/aead.hpp"
#include "tessella/capabilities.hpp"
#include "tessella/error.hpp"
#include "tessella/export.hpp"
#include "tessella/policy.hpp"
#include "tessella/sign.hpp"
#include "tessella/types.hpp"

namespace tessella {

/// Sizes of the wire format: a 136-byte fixed part, the three sections, a 16-byte tag and a
/// 64-byte signature.
inline constexpr std::size_t kFrameFixedSize = 136;
/// The tag and the signature that end a frame: 80 bytes.
inline constexpr std::size_t kFrameTrailerSize = kTagSize + kSignatureSize;
/// The smallest frame, with empty sections: 216 bytes.
inline constexpr std::size_t kFrameMinSize = kFrameFixedSize + kFrameTrailerSize;
/// The longest pol or meta section.
inline constexpr std::size_t kMaxSectionSize = 0xFFFF;
/// The longest ciphertext (and plaintext).
inline constexpr std::uint64_t kMaxCiphertextSize = 0xFFFFFFFF;

/// FrameHeader holds a frame's fixed header fields: the 136-byte fixed part without its three
/// length fields, which follow from the sections.
struct FrameHeader {
  std::uint8_t version = 1;         ///< Written 1, never checked.
  std::uint8_t alg = kAlgChaCha20;  ///< The cipher: kAlgAesGcm or kAlgChaCha20.
  std::uint8_t hdr2 = 0;            ///< Carried and authenticated, never interpreted.
  std::uint8_t hdr3 = 0;            ///< Likewise.
  Nonce nonce{};                    ///< The AEAD nonce.
  Timestamp ts{};                   ///< 16 bytes of the host's, authenticated, never interpreted.
  PublicKey author{};               ///< The key the frame's signature is checked under.
  PublicKey owner{};                ///< The owner, whom a trusted opening may take as issuer.
  Cid prev_cid{};                   ///< The frame this one follows, or zeros.

  /// Field-wise equality.
  friend bool operator==(const FrameHeader&, const FrameHeader&) = default;
};

/// Frame is the in-memory record of a sealed envelope: its header and the sections, tag and
/// signature it owns. The length fields exist only on the wire. Releasing a frame does not wipe
/// it.
struct Frame : FrameHeader {
  Bytes pol;        ///< The pol section: clear, authenticated, carried as is.
  Bytes meta;       ///< The meta section: clear, authenticated; holds the access policy.
  Bytes ct;         ///< The ciphertext.
  Tag tag{};        ///< The AEAD tag.
  Signature sig{};  ///< The author's signature of everything before it.

  /// Field-wise equality.
  friend bool operator==(const Frame&, const Frame&) = default;
};

/// fits_wire_format tells whether the sections fit the length fields: pol and meta at most
/// 65,535 bytes, ct at most 2^32 - 1.
TESSELLA_API bool fits_wire_format(const Frame& frame) noexcept;

/// serialize writes the wire form: 216 + P + M + N bytes, integers big-endian.
/// Errors: InvalidFormat "section too long" when a section does not fit its length field (no
/// length field is ever written that disagrees with its section). Throws only std::bad_alloc.
[[nodiscard]] TESSELLA_API Result<Bytes> serialize(const Frame& frame);

/// deserialize parses the wire form. Checks, in order: fewer than 136 bytes is InvalidFormat
/// "too short"; an alg byte other than 1 or 2 is "alg"; fewer than 216 + P + M + N bytes is
/// "length". Nothing else is checked; bytes after the frame are ignored. The frame owns copies
/// of the sections.
[[nodiscard]] TESSELLA_API Result<Frame> deserialize(ByteView bytes);

/// aad_bytes returns the associated data for ciphertext length n: the first 136 + P + M bytes
/// of the wire form with n in the ct_len field. Errors: InvalidFormat "section too long".
[[nodiscard]] TESSELLA_API Result<Bytes> aad_bytes(const Frame& frame, std::uint32_t n);

/// FrameView is a parsed frame: a copy of its header, and the sections, tag and signature
/// borrowed from the parsed input.
struct FrameView : FrameHeader {
  ByteView pol;   ///< The pol section.
  ByteView meta;  ///< The meta section.
  ByteView ct;    ///< The ciphertext.
  std::span<const std::uint8_t, kTagSize> tag;  ///< The AEAD tag.
  SignatureView sig;  ///< The author's signature.
  /// The frame's own bytes: the input without what follows the frame.
  ByteView wire;
  /// The associated data: the first 136 + P + M bytes of wire.
  ByteView aad;
};

/// frame_view parses the wire form without copying a section or allocating. Errors: as
/// deserialize.
[[nodiscard]] TESSELLA_API Result<FrameView> frame_view(ByteView bytes) noexcept;

/// What seal returns: the sealed frame and its identifier.
struct SealedFrame {
  Frame frame;  ///< The frame as a record.
  Cid cid{};    ///< BLAKE3 of its wire form.
};
/// What seal_bytes returns: the sealed frame's wire form and its identifier.
struct SealedBytes {
  Bytes bytes;  ///< The wire form.
  Cid cid{};    ///< BLAKE3 of the wire form.
};

/// seal encrypts `plaintext` under `data_key` with the cipher chosen by `alg`, signs the frame's
/// signed bytes with `signer` and names the frame by the BLAKE3 hash of its wire form. pol and
/// meta are taken over. Whether `author` belongs to `signer` is not checked. The nonce must be
/// fresh for this data key: reusing one reveals the XOR of the plaintexts and, with AES-256-GCM,
/// the key that authenticates every frame under the data key.
/// Errors, in order: InvalidFormat "alg" for an alg other than 1 or 2; InvalidFormat
/// "section too long" when pol or meta exceeds 65,535 bytes; InvalidFormat "payload too long"
/// when the plaintext reaches 2^32 bytes; KeyUnavailable for a data key that is not 32 bytes;
/// the cipher's Internal errors.
[[nodiscard]] TESSELLA_API Result<SealedFrame> seal(std::uint8_t alg, std::uint8_t hdr2,
                                                    std::uint8_t hdr3, NonceView nonce,
                                                    TimestampView ts, const PublicKey& author,
                                                    const PublicKey& owner, const Cid& prev_cid, Bytes pol,
                                                    Bytes meta, ByteView plaintext,
                                                    ByteView data_key, const SigningKey& signer);

/// open decrypts the frame's ciphertext. Checks no signature. Errors: CapabilityInvalid when
/// capability_ok is false (nothing else looked at); KeyUnavailable; AeadTagMismatch.
[[nodiscard]] TESSELLA_API Result<Bytes> open(const Frame& frame, ByteView data_key,
                                              bool capability_ok);

/// The report of verify and verify_bytes.
struct FrameVerification {
  Cid cid{};           ///< BLAKE3 of the frame's own bytes.
  bool valid = false;  ///< Whether the signature holds under the author field.
  /// nullptr when valid, "signature" otherwise.
  const char* reason = nullptr;

  /// Equal when identifiers and verdicts are equal, whatever the reason texts' addresses.
  friend bool operator==(const FrameVerification& a, const FrameVerification& b) noexcept {
    return a.cid == b.cid && a.valid == b.valid && (a.reason == nullptr) == (b.reason == nullptr);
  }
};

/// verify checks the frame's signature over its signed bytes with `key` and computes its content
/// identifier. A bad signature is a report (valid false, reason "signature"), not an error; so is
/// a key of small order, under which a signature proves nothing.
/// Errors: InvalidFormat "section too long" for a hand-built frame that has no wire form.
[[nodiscard]] TESSELLA_API Result<FrameVerification> verify(const Frame& frame,
                                                            const VerifyingKey& key);

/// transfer builds the unsigned ownership-transfer template: version 1, alg 2, hdr2 1, hdr3 0,
/// owner = new_owner, prev_cid = prev_cid, everything else zero or empty. Never fails.
TESSELLA_API Frame transfer(const Cid& prev_cid, const PublicKey& new_owner);

/// seal_bytes seals like seal and returns the wire form and its identifier. The frame is written
/// into one buffer allocated at its final size: the ciphertext is encrypted in place, the
/// signature is computed over the buffer's own prefix. The nonce must never have been used under
/// this data key (a reused nonce reveals the XOR of the plaintexts and, with AES-256-GCM, lets
/// anyone forge frames under the key); the form without a nonce draws one. Errors: as seal.
[[nodiscard]] TESSELLA_API Result<SealedBytes> seal_bytes(
    std::uint8_t alg, std::uint8_t hdr2, std::uint8_t hdr3, NonceView nonce, TimestampView ts,
    const PublicKey& author, const PublicKey& owner, const Cid& prev_cid, ByteView pol,
    ByteView meta, ByteView plaintext, ByteView data_key, const SigningKey& signer);

/// sealed_len is the length of the frame seal_bytes makes from sections and a plaintext of these
/// lengths: 216 + P + M + N. Errors: InvalidFormat "section too long" or "payload too long" (also
/// for a frame larger than the address space).
[[nodiscard]] TESSELLA_API Result<std::size_t> sealed_len(std::size_t pol_len,
                                                          std::size_t meta_len,
                                                          std::size_t plaintext_len) noexcept;

/// What seal_bytes_into returns: the frame's length in the caller's buffer and its identifier.
struct SealedInto {
  std::size_t len = 0;  ///< The frame's length: out[0 .. len) holds it.
  Cid cid{};            ///< BLAKE3 of the frame.
};

/// seal_bytes_into seals like seal_bytes into the caller's buffer, which must hold sealed_len
/// bytes; it allocates nothing for the frame. Errors: as seal, then InvalidFormat
/// "buffer too small" (nothing written). `out` must not overlap the inputs.
/// Its nonce must be fresh for the data key, as for seal_bytes: a reused one reveals the XOR of
/// the plaintexts and, with AES-256-GCM, lets anyone forge frames under the key.
[[nodiscard]] TESSELLA_API Result<SealedInto> seal_bytes_into(
    std::uint8_t alg, std::uint8_t hdr2, std::uint8_t hdr3, NonceView nonce, TimestampView ts,
    const PublicKey& author, const PublicKey& owner, const Cid& prev_cid, ByteView pol,
    ByteView meta, ByteView plaintext, ByteView data_key, const SigningKey& signer,
    std::span<std::uint8_t> out);

/// open_bytes parses the frame, reads its policy and, when the policy says "require_cap": true,
/// decodes and checks the capability before decrypting: present and decodable (else
/// CapabilityInvalid), presenter_pub present (else CapabilityInvalid), cap_verify's errors,
/// scope_cid equal to the frame's identifier and rights containing "allowed_ops" (else
/// PolicyViolation). Then open's errors. Checks no frame signature. Tokens from any issuer pass
/// and expiry is not checked: hosts open with open_bytes_trusted.
[[nodiscard]] TESSELLA_API Result<Bytes> open_bytes(ByteView frame, ByteView data_key,
                                                    std::optional<ByteView> capability,
                                                    std::optional<PublicKey> presenter_pub);

/// open_bytes_with_ctx is open_bytes that also refuses, with CapabilityInvalid, a token whose
/// exp_ts is less than `now` when `now` is present (after decoding, before the presenter check).
[[nodiscard]] TESSELLA_API Result<Bytes> open_bytes_with_ctx(ByteView frame, ByteView data_key,
                                                             std::optional<ByteView> capability,
                                                             std::optional<PublicKey> presenter_pub,
                                                             std::optional<std::uint64_t> now);

/// open_bytes_into opens like open_bytes_with_ctx into the caller's buffer and returns the
/// plaintext's length (the frame's ciphertext length). Errors: the parser's, then InvalidFormat
/// "buffer too small" when `out` is shorter than the plaintext, then as open_bytes_with_ctx.
/// When decryption fails the plaintext's span of `out` is wiped.
[[nodiscard]] TESSELLA_API Result<std::size_t> open_bytes_into(
    ByteView frame, ByteView data_key, std::optional<ByteView> capability,
    std::optional<PublicKey> presenter_pub, std::optional<std::uint64_t> now,
    std::span<std::uint8_t> out);

/// IssuerTrust names the issuers whose capability tokens may open a guarded frame: the listed
/// public keys and, when `owner` is true, the frame's own owner field. A trust that lists no key
/// and does not trust the owner trusts nobody, so every guarded frame is refused. The list is
/// borrowed for the call.
struct IssuerTrust {
  std::span<const PublicKey> issuers;  ///< Trusted issuer keys; borrowed.
  bool owner = true;  ///< Whether the frame's owner field is trusted as well.

  /// frame_owner trusts the frame's owner field alone: the owner grants access to its frames.
  static IssuerTrust frame_owner() noexcept { return IssuerTrust{{}, true}; }
  /// only trusts the listed keys and not the owner field.
  static IssuerTrust only(std::span<const PublicKey> keys) noexcept { return IssuerTrust{keys, false}; }
};

/// OpenOptions are the inputs of a trusted opening besides the frame and its data key: the
/// capability token's binary form, the presenter's public key (a claim the host must have
/// authenticated), the current time on the clock of the tokens' exp_ts, and the trusted issuers.
/// By default the owner named in the frame is the one trusted issuer.
struct OpenOptions {
  std::optional<ByteView> capability;     ///< The token's 180-byte binary form, if any.
  std::optional<PublicKey> presenter_pub;  ///< Who presents it: the host's authenticated claim.
  std::optional<std::uint64_t> now;       ///< The current time; absent checks no expiry.
  IssuerTrust trust;                      ///< Whose tokens count.
};

/// open_bytes_trusted opens as open_bytes_with_ctx does, with one more check on the capability
/// path: after the token's holder and signature checks and before its scope, the token's
/// issuer_pub must be one of the trusted issuers (else CapabilityInvalid). Frames whose policy
/// asks for no capability open as before, whatever the trust. Checks no frame signature.
/// The returned vector is zero-filled before the plaintext is written into it (a few per cent of
/// the call at kilobytes); open_bytes_trusted_into with a buffer the host reuses avoids that.
[[nodiscard]] TESSELLA_API Result<Bytes> open_bytes_trusted(ByteView frame, ByteView data_key,
                                                            const OpenOptions& options);

/// open_bytes_trusted_into is open_bytes_trusted into the caller's buffer, with the errors and
/// the wiping of open_bytes_into; returns the plaintext's length.
[[nodiscard]] TESSELLA_API Result<std::size_t> open_bytes_trusted_into(
    ByteView frame, ByteView data_key, const OpenOptions& options, std::span<std::uint8_t> out);

/// seal_bytes without a nonce draws a fresh 12-byte nonce from the operating system's random
/// source for this one frame (the frame carries it); otherwise it is seal_bytes. This is the
/// form to use: a nonce used twice under one data key reveals the XOR of the two plaintexts and,
/// with AES-256-GCM, the key that authenticates every frame under that data key.
[[nodiscard]] TESSELLA_API Result<SealedBytes> seal_bytes(
    std::uint8_t alg, std::uint8_t hdr2, std::uint8_t hdr3, TimestampView ts,
    const PublicKey& author, const PublicKey& owner, const Cid& prev_cid, ByteView pol,
    ByteView meta, ByteView plaintext, ByteView data_key, const SigningKey& signer);

/// seal_bytes_into without a nonce draws a fresh one as seal_bytes without a nonce does.
[[nodiscard]] TESSELLA_API Result<SealedInto> seal_bytes_into(
    std::uint8_t alg, std::uint8_t hdr2, std::uint8_t hdr3, TimestampView ts,
    const PublicKey& author, const PublicKey& owner, const Cid& prev_cid, ByteView pol,
    ByteView meta, ByteView plaintext, ByteView data_key, const SigningKey& signer,
    std::span<std::uint8_t> out);

/// verify_bytes parses the frame, takes its author field as the Ed25519 key and reports whether
/// the signature holds, with the identifier of the frame's own bytes (trailing input excluded).
/// Copies no section. Whether the author is the one expected is the caller's to check (compare
/// the parsed author field). Errors: the parser's InvalidFormat; InvalidFormat "author_pub" when
/// author is not a curve point or is one of the eight points of small order, under which a
/// signature proves nothing (the all-zero field of a transfer template is one).
[[nodiscard]] TESSELLA_API Result<FrameVerification> verify_bytes(ByteView frame);

}  // namespace tessella

#endif
