// The C ABI: argument conversion and error mapping over the C++ API, nothing more.
#include "tessella/tessella.h"

#include <cstring>
#include <new>

#include "tessella/tessella.hpp"

#include "events_internal.hpp"
#include "frame_internal.hpp"
#include "random.hpp"

struct tessella_signing_key {
  tessella::SigningKey key;
};

namespace {

using tessella::ByteView;
using tessella::TessellaError;

// The header's named constants are the library's own values.
static_assert(TESSELLA_ALG_AES_256_GCM == tessella::kAlgAesGcm &&
              TESSELLA_ALG_CHACHA20_POLY1305 == tessella::kAlgChaCha20);
static_assert(TESSELLA_RIGHT_READ_FEATURES == tessella::Rights::READ_FEATURES.bits() &&
              TESSELLA_RIGHT_READ_RAW == tessella::Rights::READ_RAW.bits() &&
              TESSELLA_RIGHT_TRANSFER_OWNERSHIP == tessella::Rights::TRANSFER_OWNERSHIP.bits() &&
              TESSELLA_RIGHT_LICENSE_GRANT == tessella::Rights::LICENSE_GRANT.bits() &&
              TESSELLA_RIGHT_COMPUTE_USE == tessella::Rights::COMPUTE_USE.bits());
static_assert(TESSELLA_EVENT_OWNERSHIP_TRANSFER ==
                  static_cast<int>(tessella::EventKind::OwnershipTransfer) &&
              TESSELLA_EVENT_READ == static_cast<int>(tessella::EventKind::ReadEvent) &&
              TESSELLA_EVENT_LICENSE_GRANT == static_cast<int>(tessella::EventKind::LicenseGrant));
static_assert(TESSELLA_INTERNAL == static_cast<int>(tessella::ErrorKind::Internal) &&
              TESSELLA_CAPABILITY_INVALID == static_cast<int>(tessella::ErrorKind::CapabilityInvalid));

constexpr const char* kOutOfMemory = "out of memory";
constexpr const char* kNullArgument = "null argument";
constexpr const char* kUnexpected = "unexpected exception";

void set_error(tessella_error* err, const TessellaError& e) noexcept {
  if (err == nullptr) return;
  err->kind = static_cast<int32_t>(e.kind());
  err->detail = TessellaError::has_detail(e.kind()) ? e.detail() : nullptr;
}

int fail(tessella_error* err, const TessellaError& e) noexcept {
  set_error(err, e);
  return -1;
}

// A NULL pointer with length 0 is the empty string; a NULL pointer with a length is refused.
bool view(const uint8_t* p, size_t len, ByteView& out) noexcept {
  if (p == nullptr) {
    if (len != 0) return false;
    out = {};
    return true;
  }
  out = ByteView(p, len);
  return true;
}

template <std::size_t N>
std::span<const std::uint8_t, N> fixed(const uint8_t* p) noexcept {
  return std::span<const std::uint8_t, N>(p, N);
}

// The typed forms of a caller's 32-byte arrays: public keys and identifiers are copied (they are
// public), seeds are borrowed.
tessella::PublicKey pub_of(const uint8_t* p) noexcept {
  tessella::PublicKey out;
  std::memcpy(out.data(), p, out.size());
  return out;
}
tessella::Cid cid_of(const uint8_t* p) noexcept {
  tessella::Cid out;
  std::memcpy(out.data(), p, out.size());
  return out;
}
tessella::SeedView seed_of(const uint8_t* p) noexcept { return tessella::SeedView(fixed<32>(p)); }

// Copies bytes into a new buffer the caller releases with tessella_buf_free. Buffers come from
// operator new like every other allocation of the library, so one allocator serves all.
bool to_buf(ByteView bytes, tessella_buf* out) noexcept {
  uint8_t* data = nullptr;
  if (!bytes.empty()) {
    data = static_cast<uint8_t*>(::operator new(bytes.size(), std::nothrow));
    if (data == nullptr) return false;
    std::memcpy(data, bytes.data(), bytes.size());
  }
  out->data = data;
  out->len = bytes.size();
  return true;
}

// An uninitialised buffer of n bytes for a result produced in place; released by
// tessella_buf_free. Nothing is written into it unless the caller fills it.
struct OwnedBuf {
  uint8_t* data = nullptr;
  size_t len = 0;
  explicit OwnedBuf(size_t n) noexcept
      : data(n == 0 ? nullptr : static_cast<uint8_t*>(::operator new(n, std::nothrow))), len(n) {}
  OwnedBuf(const OwnedBuf&) = delete;
  OwnedBuf& operator=(const OwnedBuf&) = delete;
  ~OwnedBuf() { ::operator delete(data); }
  bool ok() const noexcept { return len == 0 || data != nullptr; }
  std::span<std::uint8_t> span() noexcept { return {data, len}; }
  void release_to(tessella_buf* out) noexcept {
    out->data = data;
    out->len = len;
    data = nullptr;
  }
};

// Runs body, turning every exception into Internal: nothing crosses the boundary.
template <class F>
int guarded(tessella_error* err, F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return fail(err, TessellaError::internal(kOutOfMemory));
  } catch (...) {
    return fail(err, TessellaError::internal(kUnexpected));
  }
}

int null_argument(tessella_error* err) noexcept {
  return fail(err, TessellaError::internal(kNullArgument));
}

int out_of_memory(tessella_error* err) noexcept {
  return fail(err, TessellaError::internal(kOutOfMemory));
}

size_t copy_text(std::string_view text, char* out, size_t cap) noexcept {
  if (out != nullptr && cap > 0) {
    const size_t n = text.size() < cap - 1 ? text.size() : cap - 1;
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
  }
  return text.size();
}

struct OpenArgs {
  ByteView frame, key;
  std::optional<ByteView> capability;
  std::optional<tessella::PublicKey> presenter;
  std::optional<std::uint64_t> now;
  // Set only by the trusted calls; without it any issuer passes.
  std::optional<tessella::detail::TrustedIssuers> trust;
};

bool open_args(const uint8_t* frame, size_t frame_len, const uint8_t* key, size_t key_len,
               const uint8_t* cap, size_t cap_len, const uint8_t presenter_pub[32],
               const uint64_t* now, OpenArgs& out) noexcept {
  if (!view(frame, frame_len, out.frame) || !view(key, key_len, out.key)) return false;
  if (cap != nullptr) out.capability = ByteView(cap, cap_len);
  if (presenter_pub != nullptr) out.presenter = pub_of(presenter_pub);
  if (now != nullptr) out.now = *now;
  return true;
}

// The caller's trust, its keys borrowed as they lie. A count whose bytes would not fit in memory
// is refused like a NULL list.
bool trust_of(const tessella_trust* trust, OpenArgs& out) noexcept {
  if (trust == nullptr) return false;
  if (trust->issuer_count != 0 &&
      (trust->issuers == nullptr || trust->issuer_count > SIZE_MAX / 32)) {
    return false;
  }
  out.trust = tessella::detail::TrustedIssuers{ByteView(trust->issuers, trust->issuer_count * 32),
                                               trust->owner != 0};
  return true;
}

// Opens into a buffer that goes to the caller: parsed once, every check passes before the
// plaintext's buffer is allocated, and the plaintext is decrypted straight into it (a failed
// decryption wipes it before it is freed).
int open_to_buf(const OpenArgs& a, tessella_buf* out_pt, tessella_error* err) {
  auto v = tessella::frame_view(a.frame);
  if (!v) return fail(err, v.error());
  auto ok = tessella::detail::check_open(*v, a.key, a.capability, a.presenter, a.now,
                                         a.trust ? &*a.trust : nullptr);
  if (!ok) return fail(err, ok.error());
  OwnedBuf pt(v->ct.size());
  if (!pt.ok()) return out_of_memory(err);
  ok = tessella::detail::decrypt_view(*v, a.key, pt.span());
  if (!ok) return fail(err, ok.error());
  pt.release_to(out_pt);
  return 0;
}

int open_to_caller(const OpenArgs& a, uint8_t* out, size_t out_cap, size_t* out_len,
                   tessella_error* err) {
  const std::span<std::uint8_t> buf(out, out_cap);
  auto n = tessella::detail::open_into(a.frame, a.key, a.capability, a.presenter, a.now,
                                      a.trust ? &*a.trust : nullptr, buf);
  if (!n) return fail(err, n.error());
  *out_len = *n;
  return 0;
}

// The caller's nonce, or a fresh one from the operating system's random source when it passes
// none.
tessella::Nonce nonce_or_drawn(const uint8_t* nonce) noexcept {
  tessella::Nonce n;
  if (nonce != nullptr) {
    std::memcpy(n.data(), nonce, n.size());
  } else {
    tessella::os_random(n.data(), n.size());
  }
  return n;
}

// Parses the caller's frame and runs body(input, view) on it: the prologue of the functions that
// read a frame's parts.
template <class Body>
int with_frame(const uint8_t* bytes, size_t len, const void* out, tessella_error* err, Body body) {
  return guarded(err, [&] {
    ByteView in;
    if (out == nullptr || !view(bytes, len, in)) return null_argument(err);
    auto v = tessella::frame_view(in);
    if (!v) return fail(err, v.error());
    return body(in, *v);
  });
}

// Runs one AEAD direction into a buffer of the text's length that goes to the caller. The key is
// checked before the buffer is allocated; a failed decryption wipes what it wrote before the
// buffer is freed.
template <class Run>
int aead_to_buf(ByteView key, std::size_t len, tessella_buf* out, tessella_error* err, Run run) {
  if (key.size() != tessella::kKeySize) {
    return fail(err, TessellaError(tessella::ErrorKind::KeyUnavailable));
  }
  OwnedBuf buf(len);
  if (!buf.ok()) return out_of_memory(err);
  if (auto ok = run(buf.span()); !ok) return fail(err, ok.error());
  buf.release_to(out);
  return 0;
}

}  // namespace

extern "C" {

size_t tessella_error_message(const tessella_error* err, char* out, size_t cap) {
  if (err == nullptr || err->kind < 0 || err->kind > 8) {
    return copy_text("internal error: unknown error", out, cap);
  }
  const auto kind = static_cast<tessella::ErrorKind>(err->kind);
  std::string_view head = tessella::kind_text(kind);
  if (!TessellaError::has_detail(kind)) return copy_text(head, out, cap);
  std::string_view detail = err->detail != nullptr ? err->detail : "";
  // Written in two parts so that no allocation is needed.
  const size_t total = head.size() + detail.size();
  if (out != nullptr && cap > 0) {
    size_t room = cap - 1;
    size_t a = head.size() < room ? head.size() : room;
    std::memcpy(out, head.data(), a);
    room -= a;
    size_t b = detail.size() < room ? detail.size() : room;
    std::memcpy(out + a, detail.data(), b);
    out[a + b] = '\0';
  }
  return total;
}

void tessella_buf_free(tessella_buf* buf) {
  if (buf == nullptr) return;
  ::operator delete(buf->data);
  buf->data = nullptr;
  buf->len = 0;
}

const char* tessella_version(void) { return TESSELLA_VERSION_STRING; }

int tessella_aead_encrypt(uint8_t alg, const uint8_t* key, size_t key_len, const uint8_t nonce[12],
                          const uint8_t* aad, size_t aad_len, const uint8_t* pt, size_t pt_len,
                          tessella_buf* out_ct, uint8_t out_tag[16], tessella_error* err) {
  return guarded(err, [&] {
    ByteView k, a, p;
    if (!view(key, key_len, k) || !view(aad, aad_len, a) || !view(pt, pt_len, p) ||
        nonce == nullptr || out_ct == nullptr || out_tag == nullptr) {
      return null_argument(err);
    }
    tessella::Tag tag;
    const int rc = aead_to_buf(k, p.size(), out_ct, err, [&](std::span<std::uint8_t> ct) {
      return tessella::aead_for(alg).encrypt_into(k, fixed<12>(nonce), a, p, ct, tag);
    });
    if (rc == 0) std::memcpy(out_tag, tag.data(), tag.size());
    return rc;
  });
}

int tessella_aead_decrypt(uint8_t alg, const uint8_t* key, size_t key_len, const uint8_t nonce[12],
                          const uint8_t* aad, size_t aad_len, const uint8_t* ct, size_t ct_len,
                          const uint8_t tag[16], tessella_buf* out_pt, tessella_error* err) {
  return guarded(err, [&] {
    ByteView k, a, c;
    if (!view(key, key_len, k) || !view(aad, aad_len, a) || !view(ct, ct_len, c) ||
        nonce == nullptr || tag == nullptr || out_pt == nullptr) {
      return null_argument(err);
    }
    return aead_to_buf(k, c.size(), out_pt, err, [&](std::span<std::uint8_t> pt) {
      return tessella::aead_for(alg).decrypt_into(k, fixed<12>(nonce), a, c, fixed<16>(tag), pt);
    });
  });
}

void tessella_random_nonce(uint8_t out[12]) {
  if (out == nullptr) return;
  tessella::os_random(out, 12);
}

tessella_signing_key* tessella_signing_key_from_seed(const uint8_t seed[32]) {
  if (seed == nullptr) return nullptr;
  try {
    return new tessella_signing_key{tessella::signing_key_from_seed(seed_of(seed))};
  } catch (...) {
    return nullptr;
  }
}

void tessella_signing_key_free(tessella_signing_key* key) { delete key; }

void tessella_verifying_key_bytes(const tessella_signing_key* key, uint8_t out[32]) {
  if (key == nullptr || out == nullptr) return;
  const auto pub = tessella::verifying_key_bytes(key->key);
  std::memcpy(out, pub.data(), pub.size());
}

int tessella_sign(const tessella_signing_key* key, const uint8_t* msg, size_t msg_len,
                  uint8_t out_sig[64], tessella_error* err) {
  return guarded(err, [&] {
    ByteView m;
    if (key == nullptr || out_sig == nullptr || !view(msg, msg_len, m)) return null_argument(err);
    const auto sig = tessella::sign(key->key, m);
    std::memcpy(out_sig, sig.data(), sig.size());
    return 0;
  });
}

int tessella_verify(const uint8_t pub[32], const uint8_t* msg, size_t msg_len, const uint8_t sig[64],
                    tessella_error* err) {
  return guarded(err, [&] {
    ByteView m;
    if (pub == nullptr || sig == nullptr || !view(msg, msg_len, m)) return null_argument(err);
    auto key = tessella::VerifyingKey::from_bytes(pub_of(pub));
    if (!key) return fail(err, TessellaError(tessella::ErrorKind::SignatureInvalid));
    auto ok = tessella::verify(*key, m, fixed<64>(sig));
    if (!ok) return fail(err, ok.error());
    return 0;
  });
}

void tessella_cid_blake3(const uint8_t* data, size_t len, uint8_t out[32]) {
  ByteView d;
  if (out == nullptr || !view(data, len, d)) return;
  const auto cid = tessella::cid_blake3(d);
  std::memcpy(out, cid.data(), cid.size());
}

int tessella_hkdf_derive(const uint8_t* ikm, size_t ikm_len, const uint8_t* info, size_t info_len,
                         uint8_t out[32], tessella_error* err) {
  return guarded(err, [&] {
    ByteView k, i;
    if (out == nullptr || !view(ikm, ikm_len, k) || !view(info, info_len, i)) {
      return null_argument(err);
    }
    // Derived on the stack first so that a failure leaves `out` untouched.
    tessella::SecretArray<32> tmp;
    if (!tessella::hkdf_sha256({}, k, i, tmp.secret_bytes())) {
      return fail(err, TessellaError::crypto("hkdf"));
    }
    std::memcpy(out, tmp.secret_bytes().data(), 32);
    return 0;
  });
}

int tessella_frame_parse(const uint8_t* bytes, size_t len, tessella_frame_fields* out,
                         tessella_error* err) {
  return with_frame(bytes, len, out, err, [&](ByteView in, const tessella::FrameView& v) {
    tessella_frame_fields f;
    f.version = v.version;
    f.alg = v.alg;
    f.hdr2 = v.hdr2;
    f.hdr3 = v.hdr3;
    std::memcpy(f.nonce, v.nonce.data(), sizeof f.nonce);
    std::memcpy(f.ts, v.ts.data(), sizeof f.ts);
    std::memcpy(f.author, v.author.data(), sizeof f.author);
    std::memcpy(f.owner, v.owner.data(), sizeof f.owner);
    std::memcpy(f.prev_cid, v.prev_cid.data(), sizeof f.prev_cid);
    const auto at = [&](ByteView section) { return static_cast<size_t>(section.data() - in.data()); };
    f.pol_offset = at(v.pol);
    f.pol_len = v.pol.size();
    f.meta_offset = at(v.meta);
    f.meta_len = v.meta.size();
    f.ct_offset = at(v.ct);
    f.ct_len = v.ct.size();
    std::memcpy(f.tag, v.tag.data(), sizeof f.tag);
    std::memcpy(f.sig, v.sig.data(), sizeof f.sig);
    f.frame_len = v.wire.size();
    *out = f;
    return 0;
  });
}

int tessella_frame_cid(const uint8_t* bytes, size_t len, uint8_t out_cid[32], tessella_error* err) {
  return with_frame(bytes, len, out_cid, err, [&](ByteView, const tessella::FrameView& v) {
    const auto cid = tessella::cid_blake3(v.wire);
    std::memcpy(out_cid, cid.data(), cid.size());
    return 0;
  });
}

int tessella_read_policy(const uint8_t* meta, size_t meta_len, tessella_policy* out,
                         tessella_error* err) {
  return guarded(err, [&] {
    ByteView m;
    if (out == nullptr || !view(meta, meta_len, m)) return null_argument(err);
    const auto policy = tessella::read_policy(m);
    out->require_cap = policy.require_cap ? 1 : 0;
    out->allowed_ops = policy.allowed_ops.bits();
    return 0;
  });
}

int tessella_frame_reserialize(const uint8_t* bytes, size_t len, tessella_buf* out,
                               tessella_error* err) {
  return guarded(err, [&] {
    ByteView in;
    if (out == nullptr || !view(bytes, len, in)) return null_argument(err);
    auto frame = tessella::deserialize(in);
    if (!frame) return fail(err, frame.error());
    auto wire = tessella::serialize(*frame);
    if (!wire) return fail(err, wire.error());
    if (!to_buf(*wire, out)) return out_of_memory(err);
    return 0;
  });
}

int tessella_frame_aad(const uint8_t* bytes, size_t len, uint32_t n, tessella_buf* out,
                       tessella_error* err) {
  // The frame's own associated data with n in the ct_len field; no section is copied twice.
  return with_frame(bytes, len, out, err, [&](ByteView, const tessella::FrameView& v) {
    if (!to_buf(v.aad, out)) return out_of_memory(err);
    tessella::detail::write_ct_len(out->data, n);
    return 0;
  });
}

int tessella_seal_bytes(uint8_t alg, uint8_t hdr2, uint8_t hdr3, const uint8_t nonce[12],
                        const uint8_t ts[16], const uint8_t author[32], const uint8_t owner[32],
                        const uint8_t prev_cid[32], const uint8_t* pol, size_t pol_len,
                        const uint8_t* meta, size_t meta_len, const uint8_t* pt, size_t pt_len,
                        const uint8_t* key, size_t key_len, const tessella_signing_key* signer,
                        tessella_buf* out_frame, uint8_t out_cid[32], tessella_error* err) {
  return guarded(err, [&] {
    ByteView p, m, t, k;
    if (ts == nullptr || author == nullptr || owner == nullptr ||
        prev_cid == nullptr || signer == nullptr || out_frame == nullptr || out_cid == nullptr ||
        !view(pol, pol_len, p) || !view(meta, meta_len, m) || !view(pt, pt_len, t) ||
        !view(key, key_len, k)) {
      return null_argument(err);
    }
    // Every input is checked before the frame's buffer is allocated.
    auto len = tessella::detail::check_seal(alg, p.size(), m.size(), t.size(), k);
    if (!len) return fail(err, len.error());
    OwnedBuf frame(*len);
    if (!frame.ok()) return out_of_memory(err);
    const tessella::Nonce n = nonce_or_drawn(nonce);
    auto sealed = tessella::seal_bytes_into(alg, hdr2, hdr3, n, fixed<16>(ts),
                                            pub_of(author), pub_of(owner), cid_of(prev_cid), p, m, t, k, signer->key,
                                            frame.span());
    if (!sealed) return fail(err, sealed.error());
    frame.release_to(out_frame);
    std::memcpy(out_cid, sealed->cid.data(), sealed->cid.size());
    return 0;
  });
}

int tessella_sealed_len(size_t pol_len, size_t meta_len, size_t pt_len, size_t* out_len,
                        tessella_error* err) {
  return guarded(err, [&] {
    if (out_len == nullptr) return null_argument(err);
    auto len = tessella::sealed_len(pol_len, meta_len, pt_len);
    if (!len) return fail(err, len.error());
    *out_len = *len;
    return 0;
  });
}

int tessella_seal_bytes_into(uint8_t alg, uint8_t hdr2, uint8_t hdr3, const uint8_t nonce[12],
                             const uint8_t ts[16], const uint8_t author[32],
                             const uint8_t owner[32], const uint8_t prev_cid[32],
                             const uint8_t* pol, size_t pol_len, const uint8_t* meta,
                             size_t meta_len, const uint8_t* pt, size_t pt_len, const uint8_t* key,
                             size_t key_len, const tessella_signing_key* signer, uint8_t* out,
                             size_t out_cap, size_t* out_len, uint8_t out_cid[32],
                             tessella_error* err) {
  return guarded(err, [&] {
    ByteView p, m, t, k;
    if (ts == nullptr || author == nullptr || owner == nullptr ||
        prev_cid == nullptr || signer == nullptr || out_len == nullptr || out_cid == nullptr ||
        (out == nullptr && out_cap != 0) || !view(pol, pol_len, p) || !view(meta, meta_len, m) ||
        !view(pt, pt_len, t) || !view(key, key_len, k)) {
      return null_argument(err);
    }
    const tessella::Nonce n = nonce_or_drawn(nonce);
    auto sealed = tessella::seal_bytes_into(alg, hdr2, hdr3, n, fixed<16>(ts),
                                            pub_of(author), pub_of(owner), cid_of(prev_cid), p, m, t, k, signer->key,
                                            std::span<std::uint8_t>(out, out_cap));
    if (!sealed) return fail(err, sealed.error());
    *out_len = sealed->len;
    std::memcpy(out_cid, sealed->cid.data(), sealed->cid.size());
    return 0;
  });
}

int tessella_open_bytes(const uint8_t* frame, size_t frame_len, const uint8_t* key, size_t key_len,
                        const uint8_t* cap, size_t cap_len, const uint8_t presenter_pub[32],
                        const uint64_t* now, tessella_buf* out_pt, tessella_error* err) {
  return guarded(err, [&] {
    OpenArgs a;
    if (out_pt == nullptr ||
        !open_args(frame, frame_len, key, key_len, cap, cap_len, presenter_pub, now, a)) {
      return null_argument(err);
    }
    return open_to_buf(a, out_pt, err);
  });
}

int tessella_open_bytes_trusted(const uint8_t* frame, size_t frame_len, const uint8_t* key,
                                size_t key_len, const uint8_t* cap, size_t cap_len,
                                const uint8_t presenter_pub[32], const uint64_t* now,
                                const tessella_trust* trust, tessella_buf* out_pt,
                                tessella_error* err) {
  return guarded(err, [&] {
    OpenArgs a;
    if (out_pt == nullptr || !trust_of(trust, a) ||
        !open_args(frame, frame_len, key, key_len, cap, cap_len, presenter_pub, now, a)) {
      return null_argument(err);
    }
    return open_to_buf(a, out_pt, err);
  });
}

int tessella_open_bytes_into(const uint8_t* frame, size_t frame_len, const uint8_t* key,
                             size_t key_len, const uint8_t* cap, size_t cap_len,
                             const uint8_t presenter_pub[32], const uint64_t* now, uint8_t* out,
                             size_t out_cap, size_t* out_len, tessella_error* err) {
  return guarded(err, [&] {
    OpenArgs a;
    if (out_len == nullptr || (out == nullptr && out_cap != 0) ||
        !open_args(frame, frame_len, key, key_len, cap, cap_len, presenter_pub, now, a)) {
      return null_argument(err);
    }
    return open_to_caller(a, out, out_cap, out_len, err);
  });
}

int tessella_open_bytes_trusted_into(const uint8_t* frame, size_t frame_len, const uint8_t* key,
                                     size_t key_len, const uint8_t* cap, size_t cap_len,
                                     const uint8_t presenter_pub[32], const uint64_t* now,
                                     const tessella_trust* trust, uint8_t* out, size_t out_cap,
                                     size_t* out_len, tessella_error* err) {
  return guarded(err, [&] {
    OpenArgs a;
    if (out_len == nullptr || (out == nullptr && out_cap != 0) || !trust_of(trust, a) ||
        !open_args(frame, frame_len, key, key_len, cap, cap_len, presenter_pub, now, a)) {
      return null_argument(err);
    }
    return open_to_caller(a, out, out_cap, out_len, err);
  });
}

int tessella_verify_bytes(const uint8_t* frame, size_t frame_len, tessella_frame_verification* out,
                          tessella_error* err) {
  return guarded(err, [&] {
    ByteView f;
    if (out == nullptr || !view(frame, frame_len, f)) return null_argument(err);
    auto report = tessella::verify_bytes(f);
    if (!report) return fail(err, report.error());
    std::memcpy(out->cid, report->cid.data(), report->cid.size());
    out->valid = report->valid ? 1 : 0;
    out->reason = report->reason;
    return 0;
  });
}

int tessella_transfer_bytes(const uint8_t prev_cid[32], const uint8_t new_owner[32],
                            tessella_buf* out, tessella_error* err) {
  return guarded(err, [&] {
    if (prev_cid == nullptr || new_owner == nullptr || out == nullptr) return null_argument(err);
    auto wire = tessella::serialize(tessella::transfer(cid_of(prev_cid), pub_of(new_owner)));
    if (!wire) return fail(err, wire.error());
    if (!to_buf(*wire, out)) return out_of_memory(err);
    return 0;
  });
}

int tessella_cap_decode(const uint8_t* token, size_t token_len, tessella_cap_token* out,
                        tessella_error* err) {
  return guarded(err, [&] {
    ByteView t;
    if (out == nullptr || !view(token, token_len, t)) return null_argument(err);
    auto decoded = tessella::cap_decode(t);
    if (!decoded) return fail(err, TessellaError(tessella::ErrorKind::CapabilityInvalid));
    tessella_cap_token c;
    std::memcpy(c.scope_cid, decoded->scope_cid.data(), 32);
    c.rights = decoded->rights.bits();
    c.exp_ts = decoded->exp_ts;
    std::memcpy(c.holder_pub, decoded->holder_pub.data(), 32);
    std::memcpy(c.issuer_pub, decoded->issuer_pub.data(), 32);
    std::memcpy(c.sig, decoded->signature.data(), 64);
    *out = c;
    return 0;
  });
}

int tessella_cap_issue(const uint8_t issuer_seed[32], const uint8_t issuer_pub[32],
                       const uint8_t scope_cid[32], uint32_t rights, uint64_t exp_ts,
                       const uint8_t holder_pub[32], uint8_t out_token[180], tessella_error* err) {
  return guarded(err, [&] {
    if (issuer_seed == nullptr || issuer_pub == nullptr || scope_cid == nullptr ||
        holder_pub == nullptr || out_token == nullptr) {
      return null_argument(err);
    }
    auto token = tessella::cap_issue(seed_of(issuer_seed), pub_of(issuer_pub), cid_of(scope_cid),
                                     tessella::Rights::from_bits_retain(rights), exp_ts,
                                     pub_of(holder_pub));
    if (!token) return fail(err, token.error());
    const auto bytes = tessella::cap_encode(*token);
    std::memcpy(out_token, bytes.data(), bytes.size());
    return 0;
  });
}

int tessella_cap_verify(const uint8_t* token, size_t token_len, const uint8_t presenter_pub[32],
                        tessella_error* err) {
  return guarded(err, [&] {
    ByteView t;
    if (presenter_pub == nullptr || !view(token, token_len, t)) return null_argument(err);
    auto decoded = tessella::cap_decode(t);
    if (!decoded) return fail(err, TessellaError(tessella::ErrorKind::CapabilityInvalid));
    auto ok = tessella::cap_verify(*decoded, pub_of(presenter_pub));
    if (!ok) return fail(err, ok.error());
    return 0;
  });
}

size_t tessella_rights_format(uint32_t bits, char* out, size_t cap) {
  std::array<char, tessella::Rights::kMaxDisplayLen> text;
  const std::size_t n = tessella::Rights::from_bits_retain(bits).write_display(text);
  return copy_text(std::string_view(text.data(), n), out, cap);
}

int tessella_rights_parse(const char* text, size_t len, uint32_t* out, int32_t* parse_error) {
  if (text == nullptr && len != 0) {
    if (parse_error != nullptr) *parse_error = 0;
    return -1;
  }
  auto parsed = tessella::Rights::parse(std::string_view(text == nullptr ? "" : text, len));
  if (!parsed) {
    if (parse_error != nullptr) *parse_error = static_cast<int32_t>(parsed.error());
    return -1;
  }
  if (out != nullptr) *out = parsed->bits();
  return 0;
}

int tessella_seal_event(uint8_t alg, const uint8_t author[32], const uint8_t owner[32],
                        const uint8_t prev_cid[32], int32_t kind, const uint8_t scope_cid[32],
                        uint32_t rights, uint64_t exp_ts, const uint8_t peer_pub[32],
                        const uint8_t* key, size_t key_len, const tessella_signing_key* signer,
                        tessella_buf* out_frame, uint8_t out_cid[32], tessella_error* err) {
  return guarded(err, [&] {
    ByteView k;
    if (author == nullptr || owner == nullptr || prev_cid == nullptr || scope_cid == nullptr ||
        peer_pub == nullptr || signer == nullptr || out_frame == nullptr || out_cid == nullptr ||
        !view(key, key_len, k)) {
      return null_argument(err);
    }
    tessella::EventBody body;
    std::memcpy(body.scope_cid.data(), scope_cid, 32);
    body.rights = tessella::Rights::from_bits_retain(rights);
    body.exp_ts = exp_ts;
    std::memcpy(body.peer_pub.data(), peer_pub, 32);
    const auto event_kind =
        static_cast<tessella::EventKind>(kind < 0 || kind > 255 ? 255 : kind);
    // Every input is checked before the frame's buffer is allocated.
    auto doc = tessella::detail::check_event(alg, event_kind, body, k);
    if (!doc) return fail(err, doc.error());
    OwnedBuf frame(tessella::detail::event_frame_len(*doc));
    if (!frame.ok()) return out_of_memory(err);
    auto cid = tessella::detail::seal_event_into(alg, pub_of(author), pub_of(owner),
                                                 cid_of(prev_cid), *doc, k, signer->key,
                                                 frame.span());
    if (!cid) return fail(err, cid.error());
    frame.release_to(out_frame);
    std::memcpy(out_cid, cid->data(), cid->size());
    return 0;
  });
}

int tessella_generate_mnemonic(size_t words, tessella_buf* out, tessella_error* err) {
  return guarded(err, [&] {
    if (out == nullptr) return null_argument(err);
    auto phrase = tessella::generate_mnemonic(words);
    if (!phrase) return fail(err, phrase.error());
    ByteView text(reinterpret_cast<const std::uint8_t*>(phrase->data()), phrase->size());
    const bool ok = to_buf(text, out);
    tessella::secure_wipe(phrase->data(), phrase->size());
    if (!ok) return out_of_memory(err);
    return 0;
  });
}

int tessella_restore_keys(const char* phrase, size_t len, uint8_t out_enc_key[32],
                          uint8_t out_sign_seed[32], tessella_error* err) {
  return guarded(err, [&] {
    if ((phrase == nullptr && len != 0) || out_enc_key == nullptr || out_sign_seed == nullptr) {
      return null_argument(err);
    }
    auto keys = tessella::restore_keys(std::string_view(phrase == nullptr ? "" : phrase, len));
    if (!keys) return fail(err, keys.error());
    std::memcpy(out_enc_key, keys->enc_key.secret_bytes().data(), 32);
    std::memcpy(out_sign_seed, keys->sign_seed.secret_bytes().data(), 32);
    return 0;
  });
}

int tessella_blind_index(const uint8_t* key, size_t key_len, const uint8_t* term, size_t term_len,
                         uint8_t out[32], tessella_error* err) {
  return guarded(err, [&] {
    ByteView k, t;
    if (out == nullptr || !view(key, key_len, k) || !view(term, term_len, t)) {
      return null_argument(err);
    }
    auto token = tessella::blind_index(k, t);
    if (!token) return fail(err, token.error());
    std::memcpy(out, token->data(), token->size());
    return 0;
  });
}

}  // extern "C"
