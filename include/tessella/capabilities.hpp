// Capability tokens: their binary form, and issuing and verifying them.
#ifndef TESSELLA_CAPABILITIES_HPP
#define TESSELLA_CAPABILITIES_HPP

#include <array>
#include <cstdint>
#include <expected>
#include <iosfwd>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tessella/error.hpp"
#include "tessella/export.hpp"
#include "tessella/rights.hpp"
#include "tessella/types.hpp"

namespace tessella {

inline constexpr std::size_t kCapTokenSize = 180;
inline constexpr std::size_t kCapSignedSize = 108;

/// CapToken: the issuer (issuer_pub) lets the holder of holder_pub use the frame scope_cid with
/// `rights` until exp_ts. A plain value; no field is checked when built or decoded.
struct CapToken {
  Cid scope_cid{};
  Rights rights;
  std::uint64_t exp_ts = 0;
  PublicKey holder_pub{};
  PublicKey issuer_pub{};
  Signature signature{};

  friend bool operator==(const CapToken&, const CapToken&) = default;
};

/// Why cap_decode refused its input.
enum class CapDecodeError : std::uint8_t {
  Truncated,        // the input ends before the token is complete
  SignatureLength,  // the signature length word is not 64
};

/// cap_decode reads the 180-byte little-endian binary form from the start of `bytes`; bytes
/// after the token are ignored.
[[nodiscard]] TESSELLA_API std::expected<CapToken, CapDecodeError> cap_decode(ByteView bytes) noexcept;

/// cap_signed_bytes returns the 108 bytes the issuer signs: the binary form's first 108 bytes.
/// One allocation of exactly 108 bytes.
TESSELLA_API Bytes cap_signed_bytes(const CapToken& token);

/// cap_signed_bytes_into writes the same 108 bytes into a caller's array, allocating nothing.
TESSELLA_API void cap_signed_bytes_into(const CapToken& token,
                                        std::span<std::uint8_t, kCapSignedSize> out) noexcept;

/// cap_encode writes the whole 180-byte binary form (signed bytes, the length word 64, the
/// signature), as hosts hand tokens to holders.
TESSELLA_API std::array<std::uint8_t, kCapTokenSize> cap_encode(const CapToken& token) noexcept;

/// cap_issue builds a token from its arguments (none is checked) and signs its signed bytes with
/// the key derived from issuer_secret, which is wiped before returning. issuer_pub is taken as
/// passed. Deterministic. Errors: Internal "cap ser" if the signed bytes cannot be produced.
[[nodiscard]] TESSELLA_API Result<CapToken> cap_issue(SeedView issuer_secret,
                                                      const PublicKey& issuer_pub,
                                                      const Cid& scope_cid, Rights rights,
                                                      std::uint64_t exp_ts,
                                                      const PublicKey& holder_pub);

/// cap_verify checks, in order: holder_pub equals presenter_pub (else CapabilityInvalid);
/// issuer_pub decodes as a curve point that is not of small order and the signature verifies over
/// the signed bytes (else SignatureInvalid). Expiry, scope, rights and whether the issuer is
/// trusted are not its concern: open_bytes_trusted checks the issuer.
[[nodiscard]] TESSELLA_API Result<void> cap_verify(const CapToken& token,
                                                       const PublicKey& presenter_pub);

}  // namespace tessella

#endif
