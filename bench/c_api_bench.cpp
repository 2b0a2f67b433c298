// The C ABI measured from outside: tessella_seal_bytes, tessella_open_bytes (with and without a
// capability), tessella_verify_bytes, tessella_seal_event and tessella_blind_index, which return
// owned buffers or fixed outputs, against floors that allocate their output per call; and the
// caller-buffer forms tessella_seal_bytes_into and tessella_open_bytes_into against floors that
// allocate nothing. The peers are those of the C++ rows (the same envelopes, same bytes).
#include <cstring>

#include "floors.hpp"
#include "tessella/events.hpp"
#include "tessella/frame.hpp"
#include "tessella/tessella.h"

namespace tessella::bench {
namespace {

const tessella_signing_key* c_author() {
  static tessella_signing_key* key = tessella_signing_key_from_seed(fixture().author_seed.data());
  return key;
}

void set_bytes(benchmark::State& s, std::size_t n) {
  s.SetBytesProcessed(static_cast<std::int64_t>(s.iterations()) * static_cast<std::int64_t>(n));
}

bool equal(const std::uint8_t* p, std::size_t len, ByteView want) {
  return len == want.size() && (len == 0 || std::memcmp(p, want.data(), len) == 0);
}

// Checks one call's result (the caller's buffer `out`, or the returned buffer) against `want`,
// then times the call; a returned buffer is freed after every call, as a host frees it.
template <class Call>
void time_buf_call(benchmark::State& s, bool into, Call call, const Bytes& out, ByteView want,
                   const char* mismatch, std::size_t n) {
  {
    tessella_buf buf{};
    const bool ok = call(into ? nullptr : &buf) == 0 &&
                    (into ? out.size() == want.size() && equal(out.data(), out.size(), want)
                          : equal(buf.data, buf.len, want));
    tessella_buf_free(&buf);
    if (!ok) s.SkipWithError(mismatch);
  }
  auto once = [&] {
    tessella_buf buf{};
    const int rc = call(into ? nullptr : &buf);
    tessella_buf_free(&buf);
    return rc;
  };
  time_calls(s, once);
  set_bytes(s, n);
}

void c_seal(benchmark::State& s, std::uint8_t alg, std::size_t n, bool into) {
  const FrameCase& c = frame_case(alg, n);
  const Fixture& fx = fixture();
  Bytes out(c.wire.size());
  std::uint8_t cid[32];
  auto call = [&](tessella_buf* owned) {
    if (owned != nullptr) {
      return tessella_seal_bytes(alg, 0, 0, fx.nonce.data(), fx.ts.data(), fx.author.data(),
                                 fx.owner.data(), fx.prev_cid.data(), nullptr, 0, nullptr, 0,
                                 c.plaintext.data(), n, fx.data_key.data(), fx.data_key.size(),
                                 c_author(), owned, cid, nullptr);
    }
    std::size_t len = 0;
    return tessella_seal_bytes_into(alg, 0, 0, fx.nonce.data(), fx.ts.data(), fx.author.data(),
                                    fx.owner.data(), fx.prev_cid.data(), nullptr, 0, nullptr, 0,
                                    c.plaintext.data(), n, fx.data_key.data(),
                                    fx.data_key.size(), c_author(), out.data(), out.size(), &len,
                                    cid, nullptr);
  };
  time_buf_call(s, into, call, out, c.wire, "the C ABI's frame differs from seal_bytes'", n);
}

void c_open(benchmark::State& s, std::uint8_t alg, std::size_t n, bool cap, bool into,
            bool trusted = false) {
  const FrameCase& c = frame_case(alg, n);
  const Fixture& fx = fixture();
  // The trusted calls trust the frame's owner and the token's issuer.
  const tessella_trust trust{fx.issuer.data(), 1, 1};
  // A copy per thread: two threads reading one buffer would share its cache lines with whatever
  // the allocator places next to it.
  const Bytes wire = cap ? c.wire_cap : c.wire;
  const std::uint8_t* token = cap ? c.token.data() : nullptr;
  const std::uint8_t* presenter = cap ? fx.holder.data() : nullptr;
  Bytes out(n);
  auto call = [&](tessella_buf* owned) {
    const std::size_t token_len = cap ? c.token.size() : 0;
    if (owned != nullptr) {
      if (trusted) {
        return tessella_open_bytes_trusted(wire.data(), wire.size(), fx.data_key.data(),
                                           fx.data_key.size(), token, token_len, presenter,
                                           nullptr, &trust, owned, nullptr);
      }
      return tessella_open_bytes(wire.data(), wire.size(), fx.data_key.data(), fx.data_key.size(),
                                 token, token_len, presenter, nullptr, owned, nullptr);
    }
    std::size_t len = 0;
    if (trusted) {
      return tessella_open_bytes_trusted_into(wire.data(), wire.size(), fx.data_key.data(),
                                              fx.data_key.size(), token, token_len, presenter,
                                              nullptr, &trust, out.data(), out.size(), &len,
                                              nullptr);
    }
    return tessella_open_bytes_into(wire.data(), wire.size(), fx.data_key.data(),
                                    fx.data_key.size(), token, token_len, presenter, nullptr,
                                    out.data(), out.size(), &len, nullptr);
  };
  time_buf_call(s, into, call, out, c.plaintext, "the C ABI does not open the frame", n);
}

void c_verify(benchmark::State& s, std::uint8_t alg, std::size_t n) {
  const FrameCase& c = frame_case(alg, n);
  tessella_frame_verification report{};
  auto call = [&] { return tessella_verify_bytes(c.wire.data(), c.wire.size(), &report, nullptr); };
  if (call() != 0 || report.valid != 1) s.SkipWithError("tessella_verify_bytes refused the frame");
  time_calls(s, call);
  set_bytes(s, n);
}

void c_event(benchmark::State& s, std::uint8_t alg) {
  const Fixture& fx = fixture();
  const EventBody b = event_body();
  std::uint8_t cid[32];
  auto once = [&] {
    tessella_buf buf{};
    const int rc = tessella_seal_event(alg, fx.author.data(), fx.owner.data(), fx.prev_cid.data(),
                                       static_cast<int32_t>(EventKind::ReadEvent),
                                       b.scope_cid.data(), b.rights.bits(), b.exp_ts,
                                       b.peer_pub.data(), fx.data_key.data(), fx.data_key.size(),
                                       c_author(), &buf, cid, nullptr);
    tessella_buf_free(&buf);
    return rc;
  };
  auto mine = seal_event(alg, fx.author, fx.owner, fx.prev_cid, EventKind::ReadEvent, b,
                         fx.data_key, author_key());
  if (once() != 0 || !mine || !std::ranges::equal(ByteView(cid), mine->cid)) {
    s.SkipWithError("tessella_seal_event differs from seal_event");
  }
  time_calls(s, once);
}

void c_index(benchmark::State& s, std::size_t n) {
  // The key and term of the C++ blind_index rows.
  const Bytes key = filler(32, 40), term = filler(n, 41);
  std::uint8_t out[32];
  auto call = [&] {
    return tessella_blind_index(key.data(), key.size(), term.data(), term.size(), out, nullptr);
  };
  if (call() != 0) s.SkipWithError("tessella_blind_index failed");
  time_calls(s, call);
  set_bytes(s, n);
}

}  // namespace

// Registered after the other modules: the peers named here are theirs.
void register_c_api_benchmarks() {
  Registry& r = registry();
  for (std::uint8_t alg : {std::uint8_t{1}, std::uint8_t{2}}) {
    const std::string a = alg_name(alg);
    for (std::uint64_t n : kIntoSizes) {
      const std::string tail = "/" + a + "/" + std::to_string(n);
      const std::size_t ad = kFrameFixedSize;
      const std::size_t ad_cap = kFrameFixedSize + kCapPolicy.size();
      const std::size_t frame = ad + n + kFrameTrailerSize;
      const std::size_t frame_cap = ad_cap + n + kFrameTrailerSize;

      r.row({"c:seal_bytes", a, n,
             r.add("c/seal_bytes" + tail, [=](benchmark::State& s) { c_seal(s, alg, n, false); }),
             "seal_bytes" + tail + "/peer_openssl", "seal_bytes" + tail + "/peer_sodium",
             {aead_seal_owned(alg, ad, n, frame), ed25519_sign(ad + n + kTagSize), blake3(frame)}});
      r.row({"c:seal_bytes_into", a, n,
             r.add("c/seal_bytes_into" + tail,
                   [=](benchmark::State& s) { c_seal(s, alg, n, true); }),
             "", "", {aead_seal(alg, ad, n), ed25519_sign(ad + n + kTagSize), blake3(frame)}});
      r.row({"c:open_bytes", a, n,
             r.add("c/open_bytes" + tail,
                   [=](benchmark::State& s) { c_open(s, alg, n, false, false); }),
             "open_bytes" + tail + "/peer_openssl", "open_bytes" + tail + "/peer_sodium",
             {aead_open_owned(alg, ad, n)}});
      r.row({"c:open_bytes_into", a, n,
             r.add("c/open_bytes_into" + tail,
                   [=](benchmark::State& s) { c_open(s, alg, n, false, true); }),
             "", "", {aead_open(alg, ad, n)}});
      r.row({"c:open_bytes_trusted", a, n,
             r.add("c/open_bytes_trusted" + tail,
                   [=](benchmark::State& s) { c_open(s, alg, n, false, false, true); }),
             "open_bytes" + tail + "/peer_openssl", "open_bytes" + tail + "/peer_sodium",
             {aead_open_owned(alg, ad, n)}});
      r.row({"c:open_bytes_trusted_into", a, n,
             r.add("c/open_bytes_trusted_into" + tail,
                   [=](benchmark::State& s) { c_open(s, alg, n, false, true, true); }),
             "", "", {aead_open(alg, ad, n)}});
      r.row({"c:open_bytes+cap", a, n,
             r.add("c/open_bytes_cap" + tail,
                   [=](benchmark::State& s) { c_open(s, alg, n, true, false); }),
             "open_bytes_cap" + tail + "/peer_openssl", "open_bytes_cap" + tail + "/peer_sodium",
             {aead_open_owned(alg, ad_cap, n), blake3(frame_cap), ed25519_verify(kCapSignedSize)}});
      r.row({"c:open_bytes_into+cap", a, n,
             r.add("c/open_bytes_into_cap" + tail,
                   [=](benchmark::State& s) { c_open(s, alg, n, true, true); }),
             "", "",
             {aead_open(alg, ad_cap, n), blake3(frame_cap), ed25519_verify(kCapSignedSize)}});
      r.row({"c:verify_bytes", a, n,
             r.add("c/verify_bytes" + tail, [=](benchmark::State& s) { c_verify(s, alg, n); }),
             "verify_bytes" + tail + "/peer_openssl", "verify_bytes" + tail + "/peer_sodium",
             {ed25519_verify(ad + n + kTagSize), blake3(frame)}});
    }

    // Two-thread scaling of opening 4 KiB through the C ABI, owned and into the caller's buffer.
    r.add_threads("c:open_bytes", a, 4096, "threads/c/open_bytes/" + a + "/4096",
                  [=](benchmark::State& s) { c_open(s, alg, 4096, false, false); });
    r.add_threads("c:open_bytes_into", a, 4096, "threads/c/open_bytes_into/" + a + "/4096",
                  [=](benchmark::State& s) { c_open(s, alg, 4096, false, true); });

    const std::size_t doc = event_document(EventKind::ReadEvent, event_body()).size();
    const std::size_t ad = kFrameFixedSize + 5 + doc;  // pol is "event"
    const std::size_t wire = ad + kFrameTrailerSize;
    const std::size_t nonce_input = std::string_view("tessella event nonce v1").size() + ad;
    const std::string tail = "/" + a + "/0";
    r.row({"c:seal_event", a, 0,
           r.add("c/seal_event" + tail, [=](benchmark::State& s) { c_event(s, alg); }),
           "seal_event" + tail + "/peer_openssl", "seal_event" + tail + "/peer_sodium",
           {hmac_sha256(kKeySize, nonce_input), aead_seal_owned(alg, ad, 0, wire),
            ed25519_sign(ad + kTagSize), blake3(wire)}});
  }
  r.row({"c:blind_index", "-", 16,
         r.add("c/blind_index/16", [](benchmark::State& s) { c_index(s, 16); }),
         "blind_index/16/peer_openssl", "blind_index/16/peer_sodium", {hmac_sha256(32, 16)}});
}

}  // namespace tessella::bench
