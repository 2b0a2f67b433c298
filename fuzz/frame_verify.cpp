// Verifying frame bytes: the report of verify_bytes against the parts (deserialize, the author
// key, the signature over the canonical bytes, their BLAKE3 identifier).
//
// The first byte chooses the input kind: raw frame bytes follow it, or (when it is 7 modulo 8)
// the parameters of a frame that is sealed here, checked to verify, then altered at one chosen
// place, where the outcome is known from the place alone.
#include <cstdint>
#include <cstring>
#include <optional>

#include <sodium.h>

#include "fuzz_support.hpp"
#include "tessella/cid.hpp"
#include "tessella/frame.hpp"
#include "tessella/sign.hpp"

using namespace tessella;
using tessella_fuzz::Carver;

namespace {

bool has_detail(const TessellaError& e, const char* detail) {
  return e.kind() == ErrorKind::InvalidFormat && e.detail() != nullptr &&
         std::strcmp(e.detail(), detail) == 0;
}

// A point of small order is one whose eighth multiple is the identity, computed here with
// libsodium's group law (three doublings). Such an author signs nothing: its "signature" can hold
// for any bytes, so the report refuses the key as it refuses bytes that are no point.
bool small_order(const PublicKey& p) {
  static const bool ready = sodium_init() >= 0;
  FUZZ_CHECK(ready);
  PublicKey m = p;
  for (int i = 0; i < 3; ++i) {
    PublicKey twice;
    FUZZ_CHECK(crypto_core_ed25519_add(twice.data(), m.data(), m.data()) == 0);
    m = twice;
  }
  PublicKey identity{};
  identity[0] = 1;
  return m == identity;
}

Result<FrameVerification> run(ByteView in) {
  try {
    return verify_bytes(in);
  } catch (...) {
    FUZZ_CHECK(!"verify_bytes threw");
  }
  return std::unexpected(TessellaError::internal("unreachable"));
}

// verify_bytes on any input, checked against the parts. Returns the report, if any.
std::optional<FrameVerification> check_bytes(ByteView in) {
  const auto got = run(in);
  if (!got) FUZZ_CHECK(got.error().kind() == ErrorKind::InvalidFormat);

  const auto frame = deserialize(in);
  if (!frame) {
    FUZZ_CHECK(!got && got.error() == frame.error());
    return std::nullopt;
  }
  const auto key = VerifyingKey::from_bytes(frame->author);
  if (!key) {
    FUZZ_CHECK(!got && has_detail(got.error(), "author_pub"));
    return std::nullopt;
  }
  if (small_order(frame->author)) {
    FUZZ_CHECK(!got && has_detail(got.error(), "author_pub"));
    // Given such a key by hand, the record-level verify reports no valid signature.
    const auto record = verify(*frame, *key);
    FUZZ_CHECK(record.has_value() && !record->valid);
    return std::nullopt;
  }
  FUZZ_CHECK(got.has_value());

  // The identifier is that of the canonical bytes: the parsed frame written back.
  const auto wire = serialize(*frame);
  FUZZ_CHECK(wire.has_value());
  FUZZ_CHECK(got->cid == cid_blake3(*wire));

  // The signature covers everything before it.
  const ByteView w(*wire);
  const bool sig_ok =
      verify(*key, w.first(w.size() - kSignatureSize), w.last<kSignatureSize>()).has_value();
  FUZZ_CHECK(got->valid == sig_ok);
  if (got->valid) {
    FUZZ_CHECK(got->reason == nullptr);
  } else {
    FUZZ_CHECK(got->reason != nullptr && std::strcmp(got->reason, "signature") == 0);
  }

  // The record-level verify gives the same report.
  const auto record = verify(*frame, *key);
  FUZZ_CHECK(record.has_value() && *record == *got);
  return *got;
}

const SigningKey& signer() {
  static const SigningKey key = signing_key_from_seed(tessella_fuzz::fixed_seed(tessella_fuzz::kAuthorSeed));
  return key;
}

void built(Carver& in) {
  const SigningKey& key = signer();
  const PublicKey author = verifying_key_bytes(key);
  const std::uint8_t alg = static_cast<std::uint8_t>(1 + (in.u8() & 1));
  const std::uint8_t hdr2 = in.u8();
  const std::uint8_t hdr3 = in.u8();
  const auto nonce = in.array<12>();
  const auto ts = in.array<16>();
  const PublicKey owner{in.array<32>()};
  const Cid prev{in.array<32>()};
  const ByteView pol = in.take(in.u8() % 64);
  const ByteView meta = in.take(in.u8() % 64);
  const ByteView plaintext = in.take(in.u16() % 512);
  const Bytes data_key = tessella_fuzz::fixed_data_key();
  auto sealed = seal_bytes(alg, hdr2, hdr3, nonce, ts, author, owner, prev, pol, meta, plaintext,
                           data_key, key);
  FUZZ_CHECK(sealed.has_value());
  Bytes frame = std::move(sealed->bytes);

  const auto original = check_bytes(frame);
  FUZZ_CHECK(original && original->valid && original->cid == sealed->cid);

  const std::size_t at = in.u32() % (frame.size() + 1);
  if (at == frame.size()) {
    // Bytes after the frame change nothing.
    const ByteView tail = in.take(1 + in.u8() % 32);
    frame.insert(frame.end(), tail.begin(), tail.end());
    const auto report = check_bytes(frame);
    FUZZ_CHECK(report && *report == *original);
    return;
  }
  std::uint8_t x = in.u8();
  if (x == 0) x = 1;
  frame[at] ^= x;
  const auto got = run(frame);
  const auto report = check_bytes(frame);
  if (at == 1 && frame[1] != 1 && frame[1] != 2) {
    FUZZ_CHECK(!got && has_detail(got.error(), "alg"));
  } else if (at >= 128 && at < 136) {
    // The lengths: too long for the input, or a differently cut frame whose signature fails.
    FUZZ_CHECK((!got && has_detail(got.error(), "length")) || (report && !report->valid));
  } else if (at >= 32 && at < 64) {
    FUZZ_CHECK((!got && has_detail(got.error(), "author_pub")) || (report && !report->valid));
  } else {
    FUZZ_CHECK(report && !report->valid);
  }
  if (report) FUZZ_CHECK(report->cid != original->cid);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Carver in(data, size);
  if (in.u8() % 8 == 7) {
    built(in);
  } else {
    check_bytes(in.rest());
  }
  return 0;
}
