// The C ABI: argument conversion and error mapping over the C++ API, nothing more.
#include "tessella/tessella.h"

#include <cstring>
#include <new>

#include "tessella/tessella.hpp"

struct tessella_signing_key {
  tessella::SigningKey key;
};

namespace {

using tessella::ByteView;
using tessella::TessellaError;

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
    auto sealed = tessella::aead_for(alg).encrypt(k, fixed<12>(nonce), a, p);
    if (!sealed) return fail(err, sealed.error());
    if (!to_buf(sealed->ct, out_ct)) return out_of_memory(err);
    std::memcpy(out_tag, sealed->tag.data(), sealed->tag.size());
    return 0;
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
    auto pt = tessella::aead_for(alg).decrypt(k, fixed<12>(nonce), a, c, fixed<16>(tag));
    if (!pt) return fail(err, pt.error());
    if (!to_buf(*pt, out_pt)) return out_of_memory(err);
    return 0;
  });
}

void tessella_random_nonce(uint8_t out[12]) {
  if (out == nullptr) return;
  tessella::os_random(out, 12);
}

tessella_signing_key* tessella_signing_key_from_seed(const uint8_t seed[32]) {
  if (seed == nullptr) return nullptr;
  try {
    return new tessella_signing_key{tessella::signing_key_from_seed(fixed<32>(seed))};
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

void tessella_sign(const tessella_signing_key* key, const uint8_t* msg, size_t msg_len,
                   uint8_t out_sig[64]) {
  ByteView m;
  if (key == nullptr || out_sig == nullptr || !view(msg, msg_len, m)) return;
  try {
    const auto sig = tessella::sign(key->key, m);
    std::memcpy(out_sig, sig.data(), sig.size());
  } catch (...) {
    // Signing fails only when memory runs out; the output is left untouched.
  }
}

int tessella_verify(const uint8_t pub[32], const uint8_t* msg, size_t msg_len, const uint8_t sig[64],
                    tessella_error* err) {
  return guarded(err, [&] {
    ByteView m;
    if (pub == nullptr || sig == nullptr || !view(msg, msg_len, m)) return null_argument(err);
    auto key = tessella::VerifyingKey::from_bytes(fixed<32>(pub));
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

void tessella_hkdf_derive(const uint8_t* ikm, size_t ikm_len, const uint8_t* info, size_t info_len,
                          uint8_t out[32]) {
  ByteView k, i;
  if (out == nullptr || !view(ikm, ikm_len, k) || !view(info, info_len, i)) return;
  std::uint8_t tmp[32];
  if (tessella::hkdf_sha256({}, k, i, tmp)) std::memcpy(out, tmp, sizeof tmp);
  tessella::secure_wipe(tmp, sizeof tmp);
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
  return guarded(err, [&] {
    ByteView in;
    if (out == nullptr || !view(bytes, len, in)) return null_argument(err);
    auto frame = tessella::deserialize(in);
    if (!frame) return fail(err, frame.error());
    auto aad = tessella::aad_bytes(*frame, n);
    if (!aad) return fail(err, aad.error());
    if (!to_buf(*aad, out)) return out_of_memory(err);
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
    if (nonce == nullptr || ts == nullptr || author == nullptr || owner == nullptr ||
        prev_cid == nullptr || signer == nullptr || out_frame == nullptr || out_cid == nullptr ||
        !view(pol, pol_len, p) || !view(meta, meta_len, m) || !view(pt, pt_len, t) ||
        !view(key, key_len, k)) {
      return null_argument(err);
    }
    auto sealed = tessella::seal_bytes(alg, hdr2, hdr3, fixed<12>(nonce), fixed<16>(ts),
                                       fixed<32>(author), fixed<32>(owner), fixed<32>(prev_cid), p,
                                       m, t, k, signer->key);
    if (!sealed) return fail(err, sealed.error());
    if (!to_buf(sealed->bytes, out_frame)) return out_of_memory(err);
    std::memcpy(out_cid, sealed->cid.data(), sealed->cid.size());
    return 0;
  });
}

int tessella_open_bytes(const uint8_t* frame, size_t frame_len, const uint8_t* key, size_t key_len,
                        const uint8_t* cap, size_t cap_len, const uint8_t presenter_pub[32],
                        const uint64_t* now, tessella_buf* out_pt, tessella_error* err) {
  return guarded(err, [&] {
    ByteView f, k;
    if (out_pt == nullptr || !view(frame, frame_len, f) || !view(key, key_len, k)) {
      return null_argument(err);
    }
    std::optional<ByteView> capability;
    if (cap != nullptr) capability = ByteView(cap, cap_len);
    std::optional<tessella::KeyView32> presenter;
    if (presenter_pub != nullptr) presenter = fixed<32>(presenter_pub);
    std::optional<std::uint64_t> at;
    if (now != nullptr) at = *now;
    auto pt = tessella::open_bytes_with_ctx(f, k, capability, presenter, at);
    if (!pt) return fail(err, pt.error());
    if (!to_buf(*pt, out_pt)) return out_of_memory(err);
    return 0;
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
    out->reason = report->valid ? nullptr : "signature";
    return 0;
  });
}

int tessella_transfer_bytes(const uint8_t prev_cid[32], const uint8_t new_owner[32],
                            tessella_buf* out, tessella_error* err) {
  return guarded(err, [&] {
    if (prev_cid == nullptr || new_owner == nullptr || out == nullptr) return null_argument(err);
    auto wire = tessella::serialize(tessella::transfer(fixed<32>(prev_cid), fixed<32>(new_owner)));
    if (!wire) return fail(err, wire.error());
    if (!to_buf(*wire, out)) return out_of_memory(err);
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
    auto token = tessella::cap_issue(fixed<32>(issuer_seed), fixed<32>(issuer_pub),
                                     fixed<32>(scope_cid), tessella::Rights::from_bits_retain(rights),
                                     exp_ts, fixed<32>(holder_pub));
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
    auto ok = tessella::cap_verify(*decoded, fixed<32>(presenter_pub));
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
  if (text == nullptr && len != 0) return -1;
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
    if (kind < 0 || kind > 2) return fail(err, TessellaError::invalid_format("event kind"));
    tessella::EventBody body;
    std::memcpy(body.scope_cid.data(), scope_cid, 32);
    body.rights = tessella::Rights::from_bits_retain(rights);
    body.exp_ts = exp_ts;
    std::memcpy(body.peer_pub.data(), peer_pub, 32);
    auto sealed = tessella::seal_event(alg, fixed<32>(author), fixed<32>(owner), fixed<32>(prev_cid),
                                       static_cast<tessella::EventKind>(kind), body, k, signer->key);
    if (!sealed) return fail(err, sealed.error());
    auto wire = tessella::serialize(sealed->frame);
    if (!wire) return fail(err, wire.error());
    if (!to_buf(*wire, out_frame)) return out_of_memory(err);
    std::memcpy(out_cid, sealed->cid.data(), sealed->cid.size());
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
    std::memcpy(out_enc_key, keys->enc_key.data(), 32);
    std::memcpy(out_sign_seed, keys->sign_seed.data(), 32);
    tessella::secure_wipe(keys->enc_key.data(), 32);
    tessella::secure_wipe(keys->sign_seed.data(), 32);
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
