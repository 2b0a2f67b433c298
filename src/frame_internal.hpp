// The steps of sealing and opening, shared by the byte-level and record-level operations, events
// and the C ABI, which runs them one by one so that it checks every input before it allocates the
// buffer it returns and parses a frame once.
#ifndef TESSELLA_SRC_FRAME_INTERNAL_HPP
#define TESSELLA_SRC_FRAME_INTERNAL_HPP

#include <optional>
#include <span>

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
                              std::optional<ByteView> capability,
                              std::optional<PublicKey> presenter_pub,
                              std::optional<std::uint64_t> now, const TrustedIssuers* trust,
                              std::span<std::uint8_t> out);

/// decrypt_view decrypts the frame's ciphertext into the first ct.size() bytes of `out` (a
/// checked 32-byte key); on failure those bytes are wiped.
Result<void> decrypt_view(const FrameView& v, ByteView data_key, std::span<std::uint8_t> out);

}  // namespace tessella::detail

#endif
