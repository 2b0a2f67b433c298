#include "tessella/capabilities.hpp"

#include <algorithm>
#include <cstring>

#include "sign_internal.hpp"
#include "tessella/sign.hpp"

namespace tessella {

namespace {

void store_le(std::uint8_t* out, std::uint64_t v, std::size_t n) noexcept {
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
std::uint64_t load_le(const std::uint8_t* in, std::size_t n) noexcept {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < n; ++i) v |= std::uint64_t{in[i]} << (8 * i);
  return v;
}

constexpr std::size_t kOffRights = 32;
constexpr std::size_t kOffExp = 36;
constexpr std::size_t kOffHolder = 44;
constexpr std::size_t kOffIssuer = 76;
constexpr std::size_t kOffSigLen = 108;
constexpr std::size_t kOffSig = 116;

}  // namespace

std::expected<CapToken, CapDecodeError> cap_decode(ByteView bytes) noexcept {
  if (bytes.size() < kOffSig) return std::unexpected(CapDecodeError::Truncated);
  const std::uint8_t* p = bytes.data();
  const std::uint64_t sig_len = load_le(p + kOffSigLen, 8);
  if (sig_len > bytes.size() - kOffSig) return std::unexpected(CapDecodeError::Truncated);
  if (sig_len != kSignatureSize) return std::unexpected(CapDecodeError::SignatureLength);
  CapToken t;
  std::copy_n(p, kCidSize, t.scope_cid.begin());
  t.rights = Rights::from_bits_retain(static_cast<std::uint32_t>(load_le(p + kOffRights, 4)));
  t.exp_ts = load_le(p + kOffExp, 8);
  std::copy_n(p + kOffHolder, kPublicKeySize, t.holder_pub.begin());
  std::copy_n(p + kOffIssuer, kPublicKeySize, t.issuer_pub.begin());
  std::copy_n(p + kOffSig, kSignatureSize, t.signature.begin());
  return t;
}

void cap_signed_bytes_into(const CapToken& t, std::span<std::uint8_t, kCapSignedSize> out) noexcept {
  std::uint8_t* p = out.data();
  std::copy(t.scope_cid.begin(), t.scope_cid.end(), p);
  store_le(p + kOffRights, t.rights.bits(), 4);
  store_le(p + kOffExp, t.exp_ts, 8);
  std::copy(t.holder_pub.begin(), t.holder_pub.end(), p + kOffHolder);
  std::copy(t.issuer_pub.begin(), t.issuer_pub.end(), p + kOffIssuer);
}

Bytes cap_signed_bytes(const CapToken& token) {
  Bytes out;
  out.reserve(kCapSignedSize);
  out.resize(kCapSignedSize);
  cap_signed_bytes_into(token, std::span<std::uint8_t, kCapSignedSize>(out.data(), kCapSignedSize));
  return out;
}

std::array<std::uint8_t, kCapTokenSize> cap_encode(const CapToken& token) noexcept {
  std::array<std::uint8_t, kCapTokenSize> out{};
  cap_signed_bytes_into(token, std::span<std::uint8_t, kCapSignedSize>(out.data(), kCapSignedSize));
  store_le(out.data() + kOffSigLen, kSignatureSize, 8);
  std::copy(token.signature.begin(), token.signature.end(), out.data() + kOffSig);
  return out;
}

Result<CapToken> cap_issue(SeedView issuer_secret, const PublicKey& issuer_pub,
                           const Cid& scope_cid, Rights rights, std::uint64_t exp_ts,
                           const PublicKey& holder_pub) {
  CapToken t;
  std::copy(scope_cid.begin(), scope_cid.end(), t.scope_cid.begin());
  t.rights = rights;
  t.exp_ts = exp_ts;
  std::copy(holder_pub.begin(), holder_pub.end(), t.holder_pub.begin());
  std::copy(issuer_pub.begin(), issuer_pub.end(), t.issuer_pub.begin());
  // The signed bytes are written into a stack array, which cannot fail; "cap ser" is never
  // reported by this implementation.
  std::array<std::uint8_t, kCapSignedSize> msg;
  cap_signed_bytes_into(t, msg);
  // The key pair derived from issuer_secret is wiped before this returns.
  t.signature = detail::sign_with_seed(issuer_secret.bytes(), msg);
  return t;
}

Result<void> cap_verify(const CapToken& token, const PublicKey& presenter_pub) {
  if (!std::equal(token.holder_pub.begin(), token.holder_pub.end(), presenter_pub.begin())) {
    return std::unexpected(TessellaError(ErrorKind::CapabilityInvalid));
  }
  std::array<std::uint8_t, kCapSignedSize> msg;
  cap_signed_bytes_into(token, msg);
  // An issuer_pub that is no curve point or of small order and a signature that does not verify
  // are one error.
  if (detail::verify_signer(token.issuer_pub, msg, token.signature) != detail::Verdict::Valid) {
    return std::unexpected(TessellaError(ErrorKind::SignatureInvalid));
  }
  return {};
}

}  // namespace tessella
