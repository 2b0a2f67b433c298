// Opening frame bytes under policy and capability.
//
// Two kinds of input, chosen by the first byte:
//  - raw: frame bytes, data key, token, presenter key and `now` cut from the input;
//  - built: a frame sealed with fixed keys from parameters and a policy taken from the input, a
//    token issued for it, then chosen changes (wrong key or presenter, expired, foreign scope,
//    flipped bytes...), so the capability path is reached all the way to decryption.
// Every call must equal a reference path made of the parts (deserialize, a whole-document policy
// parse, cap_decode, cap_verify, the scope and rights checks, open), and so must the trusted
// opening, whose reference adds the issuer check. For built inputs whose frame and token were not
// altered, the outcome is also predicted from the parameters alone.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "fuzz_support.hpp"
#include "tessella/capabilities.hpp"
#include "tessella/cid.hpp"
#include "tessella/frame.hpp"
#include "tessella/sign.hpp"

using namespace tessella;
using tessella_fuzz::Carver;
using tessella_fuzz::policy_from_document;

namespace {

struct Keys {
  Bytes data_key;
  SigningKey author;
  PublicKey author_pub;
  Seed issuer_seed;
  PublicKey issuer_pub;
  PublicKey holder_pub;
};

const Keys& keys() {
  using namespace tessella_fuzz;
  static const Keys k = [] {
    const Seed issuer_seed = fixed_seed(kIssuerSeed);
    SigningKey author = signing_key_from_seed(fixed_seed(kAuthorSeed));
    const PublicKey author_pub = verifying_key_bytes(author);
    return Keys{fixed_data_key(),
                std::move(author),
                author_pub,
                issuer_seed,
                verifying_key_bytes(signing_key_from_seed(issuer_seed)),
                verifying_key_bytes(signing_key_from_seed(fixed_seed(kHolderSeed)))};
  }();
  return k;
}

const TessellaError kCapInvalid(ErrorKind::CapabilityInvalid);
const TessellaError kPolicyViolation(ErrorKind::PolicyViolation);
const TessellaError kSignatureInvalid(ErrorKind::SignatureInvalid);
const TessellaError kKeyUnavailable(ErrorKind::KeyUnavailable);
const TessellaError kTagMismatch(ErrorKind::AeadTagMismatch);

struct Call {
  ByteView frame;
  ByteView key;
  std::optional<ByteView> cap;
  std::optional<PublicKey> presenter;
  std::optional<std::uint64_t> now;
};

void print(const char* label, const Result<Bytes>& r) {
  if (r) {
    std::fprintf(stderr, "%s: %zu bytes of plaintext\n", label, r->size());
  } else {
    std::fprintf(stderr, "%s: %s\n", label, r.error().message().c_str());
  }
}

void check_same(const Result<Bytes>& got, const Result<Bytes>& want, const char* what) {
  const bool same = got.has_value() == want.has_value() &&
                    (got ? *got == *want : got.error() == want.error());
  if (!same) {
    print("got", got);
    print(what, want);
    FUZZ_CHECK(!"open_bytes_with_ctx differs");
  }
}

// The opening path built from the parts; with a trust, the token's issuer must be the frame's
// owner (when trusted) or a listed key.
Result<Bytes> reference_open(const Call& c, const IssuerTrust* trust = nullptr) {
  auto frame = deserialize(c.frame);
  if (!frame) return std::unexpected(frame.error());
  const FramePolicy policy = policy_from_document(frame->meta);
  if (policy.require_cap) {
    if (!c.cap) return std::unexpected(kCapInvalid);
    auto token = cap_decode(*c.cap);
    if (!token) return std::unexpected(kCapInvalid);
    if (c.now && token->exp_ts < *c.now) return std::unexpected(kCapInvalid);
    if (!c.presenter) return std::unexpected(kCapInvalid);
    auto verified = cap_verify(*token, *c.presenter);
    if (!verified) return std::unexpected(verified.error());
    if (trust != nullptr && !(trust->owner && token->issuer_pub == frame->owner) &&
        std::find(trust->issuers.begin(), trust->issuers.end(), token->issuer_pub) ==
            trust->issuers.end()) {
      return std::unexpected(kCapInvalid);
    }
    auto wire = serialize(*frame);
    FUZZ_CHECK(wire.has_value());
    if (cid_blake3(*wire) != token->scope_cid) return std::unexpected(kPolicyViolation);
    const std::uint32_t need = policy.allowed_ops.bits();
    if ((token->rights.bits() & need) != need) return std::unexpected(kPolicyViolation);
  }
  return open(*frame, c.key, true);
}

Result<Bytes> run(const Call& c) {
  try {
    auto got = open_bytes_with_ctx(c.frame, c.key, c.cap, c.presenter, c.now);
    if (!c.now) {
      auto plain = open_bytes(c.frame, c.key, c.cap, c.presenter);
      check_same(plain, got, "open_bytes");
    }
    return got;
  } catch (...) {
    FUZZ_CHECK(!"open_bytes_with_ctx threw");
  }
  return std::unexpected(TessellaError::internal("unreachable"));
}

// The caller-buffer forms give the owned form's answer: in a buffer of exactly the plaintext's
// size (or of the frame's, when opening fails); one byte short of a plaintext is "buffer too
// small", which comes before every check but the frame's parse.
void check_into(const Call& c, const Result<Bytes>& want, const IssuerTrust* trust) {
  const std::size_t fit = want ? want->size() : c.frame.size();
  Bytes out(fit + 1, 0xA5);
  for (const std::size_t cap : {fit, fit - (want && fit > 0 ? 1 : 0)}) {
    const std::span<std::uint8_t> buf(out.data(), cap);
    const Result<std::size_t> got =
        trust != nullptr ? open_bytes_trusted_into(c.frame, c.key, {c.cap, c.presenter, c.now, *trust}, buf)
                         : open_bytes_into(c.frame, c.key, c.cap, c.presenter, c.now, buf);
    if (cap < fit) {
      FUZZ_CHECK(!got && got.error() == TessellaError::invalid_format("buffer too small"));
    } else if (want) {
      FUZZ_CHECK(got && *got == want->size() && std::equal(want->begin(), want->end(), out.begin()));
    } else {
      FUZZ_CHECK(!got && got.error() == want.error());
    }
    FUZZ_CHECK(out[fit] == 0xA5);  // nothing written past the buffer
  }
}

void check_call(const Call& c, const std::optional<Result<Bytes>>& predicted) {
  const auto got = run(c);
  check_same(got, reference_open(c), "reference");
  check_into(c, got, nullptr);
  // Trusting the fixed issuer, and the frame's owner or not.
  for (const bool owner : {false, true}) {
    const IssuerTrust trust{std::span(&keys().issuer_pub, 1), owner};
    const auto trusted = open_bytes_trusted(c.frame, c.key, {c.cap, c.presenter, c.now, trust});
    check_same(trusted, reference_open(c, &trust), "trusted reference");
    check_into(c, trusted, &trust);
  }
  if (predicted) check_same(got, *predicted, "predicted");
  if (got) {
    auto frame = deserialize(c.frame);
    FUZZ_CHECK(frame && got->size() == frame->ct.size());
  } else {
    const ErrorKind k = got.error().kind();
    FUZZ_CHECK(k == ErrorKind::InvalidFormat || k == ErrorKind::CapabilityInvalid ||
               k == ErrorKind::SignatureInvalid || k == ErrorKind::PolicyViolation ||
               k == ErrorKind::KeyUnavailable || k == ErrorKind::AeadTagMismatch);
  }
}

void raw(Carver& in) {
  const Keys& k = keys();
  const std::uint8_t flags = in.u8();
  Call c;
  c.key = (flags & 8) != 0 ? ByteView(k.data_key) : in.take(in.u8() % 48);
  if (flags & 1) c.cap = in.take(in.u16() % 400);
  PublicKey presenter{};
  if (flags & 2) {
    presenter = (flags & 16) != 0 ? k.holder_pub : PublicKey{in.array<32>()};
    c.presenter = presenter;
  }
  if (flags & 4) c.now = in.u64();
  c.frame = in.rest();
  check_call(c, std::nullopt);
}

void built(Carver& in) {
  const Keys& k = keys();
  const std::uint8_t alg = static_cast<std::uint8_t>(1 + (in.u8() & 1));
  const std::uint8_t hdr2 = in.u8();
  const std::uint8_t hdr3 = in.u8();
  const auto nonce = in.array<12>();
  const auto ts = in.array<16>();
  const PublicKey owner{in.array<32>()};
  const Cid prev{in.array<32>()};

  std::string meta;
  switch (in.u8() % 5) {
    case 0: {
      const std::uint64_t ops = in.u64();
      meta = "{\"require_cap\":true,\"allowed_ops\":" + std::to_string(ops >> (in.u8() % 64)) + "}";
      break;
    }
    case 1:
      meta = "{\"require_cap\":true}";
      break;
    case 2:
      meta = "{\"require_cap\":false,\"allowed_ops\":" + std::to_string(in.u32()) + "}";
      break;
    case 3: {
      const ByteView text = in.take(in.u8());
      meta.assign(text.begin(), text.end());
      break;
    }
    default:
      break;
  }
  const ByteView pol = in.take(in.u8() % 64);
  const ByteView plaintext = in.take(in.u16() % 1024);

  auto sealed = seal_bytes(alg, hdr2, hdr3, nonce, ts, k.author_pub, owner, prev, pol,
                           as_bytes(meta), plaintext, k.data_key, k.author);
  FUZZ_CHECK(sealed.has_value());
  FUZZ_CHECK(sealed->cid == cid_blake3(sealed->bytes));
  Bytes frame = std::move(sealed->bytes);

  const std::uint32_t rights_bits = in.u32();
  const Rights rights = Rights::from_bits_retain(rights_bits >> (in.u8() % 32));
  const std::uint64_t exp = in.u64();
  const bool foreign_scope = in.u8() % 8 == 7;
  const Cid scope = foreign_scope ? Cid{in.array<32>()} : sealed->cid;
  const bool wrong_issuer = in.u8() % 8 == 7;
  auto token = cap_issue(k.issuer_seed, wrong_issuer ? k.author_pub : k.issuer_pub, scope, rights,
                         exp, k.holder_pub);
  FUZZ_CHECK(token.has_value());
  std::array<std::uint8_t, kCapTokenSize> encoded = cap_encode(*token);

  Call c;
  PublicKey other = k.holder_pub;
  other[0] ^= 1;
  const std::uint8_t presenter_mode = in.u8() % 4;
  if (presenter_mode < 2) c.presenter = k.holder_pub;
  if (presenter_mode == 2) c.presenter = other;
  switch (in.u8() % 4) {
    case 1: c.now = exp; break;
    case 2: c.now = exp + 1; break;  // wraps to 0 for the largest expiry, which is then valid
    case 3: c.now = in.u64(); break;
    default: break;
  }
  Bytes short_key(k.data_key.begin(), k.data_key.end() - 1);
  Bytes wrong_key = k.data_key;
  wrong_key[31] ^= 0x80;
  const std::uint8_t key_mode = in.u8() % 4;
  c.key = key_mode == 2 ? ByteView(wrong_key) : key_mode == 3 ? ByteView(short_key) : ByteView(k.data_key);
  const std::uint8_t cap_mode = in.u8() % 4;
  std::size_t cap_len = kCapTokenSize;
  if (cap_mode == 3) cap_len = in.u8() % (kCapTokenSize + 1);
  if (cap_mode != 2) c.cap = ByteView(encoded.data(), cap_len);

  // Flipped bytes in the frame or the token.
  bool altered = false;
  for (std::uint8_t n = in.u8() % 4; n > 0; --n) {
    const bool in_token = (in.u8() & 1) != 0;
    const std::uint32_t at = in.u32();
    std::uint8_t x = in.u8();
    if (x == 0) x = 1;
    if (in_token) {
      encoded[at % encoded.size()] ^= x;
    } else {
      frame[at % frame.size()] ^= x;
    }
    altered = true;
  }
  // Bytes after the frame change nothing.
  if (in.u8() % 4 == 3) {
    const ByteView tail = in.take(in.u8() % 16);
    frame.insert(frame.end(), tail.begin(), tail.end());
  }
  c.frame = frame;

  std::optional<Result<Bytes>> predicted;
  if (!altered) {
    const auto expect = [&]() -> Result<Bytes> {
      const FramePolicy policy = policy_from_document(as_bytes(meta));
      if (policy.require_cap) {
        if (!c.cap || cap_len < kCapTokenSize) return std::unexpected(kCapInvalid);
        if (c.now && exp < *c.now) return std::unexpected(kCapInvalid);
        if (presenter_mode >= 2) return std::unexpected(kCapInvalid);
        if (wrong_issuer) return std::unexpected(kSignatureInvalid);
        if (scope != sealed->cid) return std::unexpected(kPolicyViolation);
        if (!rights.contains(policy.allowed_ops)) return std::unexpected(kPolicyViolation);
      }
      if (key_mode == 3) return std::unexpected(kKeyUnavailable);
      if (key_mode == 2) return std::unexpected(kTagMismatch);
      return Bytes(plaintext.begin(), plaintext.end());
    };
    predicted = expect();
  }
  check_call(c, predicted);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Carver in(data, size);
  if (in.u8() % 4 == 0) {
    raw(in);
  } else {
    built(in);
  }
  return 0;
}
