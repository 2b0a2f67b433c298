// The steps of sealing and opening, shared by the byte-level and record-level operations, events
// and the C ABI, which runs them one by one so that it checks every input before it allocates the
// buffer it returns and parses a frame once.
#ifndef TESSELLA_SRC_FRAME_INTERNAL_HPP
#define TESSELLA_SRC_FRAME_INTERNAL_HPP

#include <optional>
#include <span>

#include "aead_internal.hpp"
#include "tessella/frame.hpp"

namespace tessella::detail {

/// write_aad writes the 136-byte fixed part, with n in the ct_len field, followed by pol and meta:
/// exactly the associated data. Returns its length. The sections must fit their length fields.
std::size_t write_aad(std::uint8_t* out, const FrameHeader& h, ByteView pol, ByteView meta,
                      std::size_t n) noexcept;

/// write_ct_len writes n into the ct_len field of a frame's fixed part (big-endian, at 132).
void write_ct_len(std::uint8_t* fixed_part, std::uint32_t n) noexcept;

/// seal_written completes a frame whose associated data (aad_len bytes) is already written at
/// the front of `out`, which holds exactly the frame's length: encrypts the plaintext into its
/// place with the cipher and nonce of that header, signs, and returns the identifier.
Result<Cid> seal_written(std::span<std::uint8_t> out, std::size_t aad_len, ByteView plaintext,
                         ByteView data_key, const SigningKey& signer);

/// record_of copies a parsed frame into a record; record_of_sealed does so for a frame just
/// sealed, keeping its identifier.
Frame record_of(const FrameView& v);
Result<SealedFrame> record_of_sealed(const SealedBytes& sealed);

/// check_seal checks a seal's inputs in their fixed order (algorithm, section and payload sizes,
/// key) and returns the frame's length.
Result<std::size_t> check_seal(std::uint8_t alg, std::size_t pol, std::size_t meta,
                               std::size_t pt, ByteView data_key) noexcept;

/// The trusted issuers as the opening path reads them: `keys` holds 32-byte public keys back to
/// back, as both the C++ list and the C ABI's array lay them out.
struct TrustedIssuers {
  ByteView keys;
  bool owner = false;
};

/// trusted_issuers views a C++ trust as its keys' bytes.
inline TrustedIssuers trusted_issuers(const IssuerTrust& trust) noexcept {
  return {ByteView(reinterpret_cast<const std::uint8_t*>(trust.issuers.data()),
                   trust.issuers.size_bytes()),
          trust.owner};
}

/// check_open runs the opening path's checks before decryption: when the frame's policy asks for
/// a capability, the token must be present, decodable, unexpired at `now`, held by the
/// presenter, signed by its issuer, scoped to this frame and grant every right the policy names;
/// then the data key must be 32 bytes. With a trust, the token's issuer must also be trusted
/// (checked after its signature, before its scope); without one (nullptr) any issuer passes.
Result<void> check_open(const FrameView& v, ByteView data_key, std::optional<ByteView> capability,
                        std::optional<PublicKey> presenter_pub, std::optional<std::uint64_t> now,
                        const TrustedIssuers* trust);

/// open_into parses, checks and decrypts into the caller's buffer: the body of open_bytes_into
/// and open_bytes_trusted_into. Returns the plaintext's length.
Result<std::size_t> open_into(ByteView frame, ByteView data_key,
                              const std::optional<ByteView>& capability,
                              const std::optional<PublicKey>& presenter_pub,
                              const std::optional<std::uint64_t>& now, const TrustedIssuers* trust,
                              std::span<std::uint8_t> out);

/// OpenView is what opening a frame reads when its policy asks for no capability, borrowed from
/// the input with the header left where it lies: a FrameView's header copy and its other parts
/// are made only for a frame that asks for one.
struct OpenView {
  std::uint8_t alg;
  const std::uint8_t* nonce;
  ByteView meta, ct, aad;
  const std::uint8_t* tag;
};

/// parse_open parses a frame as frame_view does, with the same errors in the same order.
Result<OpenView> parse_open(ByteView in) noexcept;

/// open_checked gives check_open's verdict on the frame `in`, whose meta section is `meta`,
/// settling the common case first: a frame whose policy asks for no capability needs only a
/// 32-byte key, so neither a FrameView nor the capability inputs are made. For a frame that asks
/// for one, it parses `in` into a FrameView and returns `check_capability(view)`, a call of
/// check_open (which reads the policy again: a few dozen instructions beside a signature
/// verification).
template <class CheckCapability>
[[gnu::always_inline]] inline Result<void> open_checked(ByteView in, ByteView meta,
                                                        CheckCapability&& check_capability,
                                                        ByteView data_key) {
  if (read_policy(meta).require_cap) {
    auto full = frame_view(in);
    if (!full) return std::unexpected(full.error());
    return check_capability(*full);
  }
  if (data_key.size() != kKeySize) return std::unexpected(TessellaError(ErrorKind::KeyUnavailable));
  return {};
}

/// decrypt_open decrypts the frame's ciphertext into the first ct.size() bytes of `out` (a
/// checked 32-byte key); on failure those bytes are wiped.
inline Result<void> decrypt_open(const OpenView& v, ByteView data_key,
                                 std::span<std::uint8_t> out) {
  return aead_decrypt_into(v.alg, data_key, NonceView(v.nonce, kNonceSize), v.aad, v.ct,
                           std::span<const std::uint8_t, kTagSize>(v.tag, kTagSize),
                           out.first(v.ct.size()));
}

}  // namespace tessella::detail

#endif
