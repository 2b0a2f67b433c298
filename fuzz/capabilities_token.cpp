// Capability tokens: cap_decode against the layout read by hand; decode -> encode gives back the
// first 180 bytes, the signed bytes are the first 108; a token issued from the decoded fields
// round-trips and verifies for its holder only.
#include <algorithm>
#include <cstdint>

#include "fuzz_support.hpp"
#include "tessella/capabilities.hpp"
#include "tessella/sign.hpp"

using namespace tessella;
using tessella_fuzz::same_bytes;

namespace {

std::uint64_t le(const std::uint8_t* p, std::size_t n) {
  std::uint64_t v = 0;
  for (std::size_t i = n; i > 0; --i) v = (v << 8) | p[i - 1];
  return v;
}

struct Issuer {
  Seed seed;
  PublicKey pub;
};

const Issuer& issuer() {
  static const Issuer k = [] {
    Issuer i;
    i.seed = tessella_fuzz::fixed_seed(tessella_fuzz::kIssuerSeed);
    i.pub = verifying_key_bytes(signing_key_from_seed(i.seed));
    return i;
  }();
  return k;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView in(data, size);
  const auto token = cap_decode(in);

  // The outcome the layout dictates: 116 bytes up to the length word, then L more bytes, L = 64.
  if (size < 116) {
    FUZZ_CHECK(!token && token.error() == CapDecodeError::Truncated);
    return 0;
  }
  const std::uint64_t sig_len = le(data + 108, 8);
  if (sig_len > size - 116) {
    FUZZ_CHECK(!token && token.error() == CapDecodeError::Truncated);
    return 0;
  }
  if (sig_len != 64) {
    FUZZ_CHECK(!token && token.error() == CapDecodeError::SignatureLength);
    return 0;
  }
  FUZZ_CHECK(token.has_value());
  const CapToken& t = *token;
  FUZZ_CHECK(t.rights.bits() == le(data + 32, 4));
  FUZZ_CHECK(t.exp_ts == le(data + 36, 8));
  FUZZ_CHECK(same_bytes(t.scope_cid, in.subspan(0, 32)));
  FUZZ_CHECK(same_bytes(t.holder_pub, in.subspan(44, 32)));
  FUZZ_CHECK(same_bytes(t.issuer_pub, in.subspan(76, 32)));
  FUZZ_CHECK(same_bytes(t.signature, in.subspan(116, 64)));

  const auto encoded = cap_encode(t);
  FUZZ_CHECK(same_bytes(encoded, in.first(kCapTokenSize)));
  const Bytes signed_bytes = cap_signed_bytes(t);
  FUZZ_CHECK(same_bytes(signed_bytes, in.first(kCapSignedSize)));
  std::array<std::uint8_t, kCapSignedSize> into{};
  cap_signed_bytes_into(t, into);
  FUZZ_CHECK(same_bytes(into, in.first(kCapSignedSize)));
  const auto again = cap_decode(encoded);
  FUZZ_CHECK(again && *again == t);

  // Presented by anyone but its holder, a token is refused before any signature work.
  PublicKey stranger = t.holder_pub;
  stranger[data[size - 1] % 32] ^= static_cast<std::uint8_t>(1u << (data[0] % 8));
  const auto refused = cap_verify(t, stranger);
  FUZZ_CHECK(!refused && refused.error() == TessellaError(ErrorKind::CapabilityInvalid));
  const auto presented = cap_verify(t, t.holder_pub);
  FUZZ_CHECK(presented || presented.error() == TessellaError(ErrorKind::SignatureInvalid));

  // Issued from the decoded fields by a known issuer: the same fields, a signature that holds.
  const Issuer& is = issuer();
  const auto issued = cap_issue(is.seed, is.pub, t.scope_cid, t.rights, t.exp_ts, t.holder_pub);
  FUZZ_CHECK(issued.has_value());
  FUZZ_CHECK(issued->scope_cid == t.scope_cid && issued->rights == t.rights &&
             issued->exp_ts == t.exp_ts && issued->holder_pub == t.holder_pub &&
             issued->issuer_pub == is.pub);
  FUZZ_CHECK(cap_verify(*issued, t.holder_pub).has_value());
  const auto issued_bytes = cap_encode(*issued);
  const auto issued_again = cap_decode(issued_bytes);
  FUZZ_CHECK(issued_again && *issued_again == *issued);
  // The issued token's signed bytes differ from the input's only where issuer_pub differs.
  const Bytes issued_signed = cap_signed_bytes(*issued);
  FUZZ_CHECK(std::equal(issued_signed.begin(), issued_signed.begin() + 76, data));
  // The input's signature carried over to the issued fields holds only if the issuer is the same.
  CapToken swapped = *issued;
  swapped.signature = t.signature;
  if (t.signature != issued->signature) {
    FUZZ_CHECK(!cap_verify(swapped, t.holder_pub).has_value());
  }
  return 0;
}
