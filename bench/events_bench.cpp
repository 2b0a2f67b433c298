// seal_event: an event document sealed over an empty payload.
#include "floors.hpp"
#include "tessella/events.hpp"
#include "tessella/frame.hpp"

namespace tessella::bench {
namespace {

void event_tessella(benchmark::State& s, std::uint8_t alg, std::size_t wire_len) {
  const Fixture& fx = fixture();
  const EventBody b = event_body();
  auto call = [&] {
    return seal_event(alg, fx.author, fx.owner, fx.prev_cid, EventKind::ReadEvent, b, fx.data_key,
                      author_key());
  };
  if (auto r = call(); !r) s.SkipWithError("seal_event failed");
  time_calls(s, call);
  s.SetBytesProcessed(static_cast<std::int64_t>(s.iterations() * wire_len));
}

template <class Peer>
void event_peer(benchmark::State& s, std::uint8_t alg, std::size_t wire_len) {
  const Fixture& fx = fixture();
  const EventBody b = event_body();
  const Peer peer;
  auto call = [&] {
    const std::string doc = peer_event_document("ReadEvent", b.scope_cid, b.rights.bits(),
                                                b.exp_ts, b.peer_pub);
    return peer.seal_event(alg, doc, fx.data_key);
  };
  auto mine = seal_event(alg, fx.author, fx.owner, fx.prev_cid, EventKind::ReadEvent, b,
                         fx.data_key, author_key());
  auto first = call();
  if (!mine || !first || !std::ranges::equal(first->bytes.view(), *serialize(mine->frame))) {
    s.SkipWithError("the peer's event frame differs from seal_event's");
  }
  for (auto _ : s) {
    auto r = call();
    benchmark::DoNotOptimize(r);
  }
  s.SetBytesProcessed(static_cast<std::int64_t>(s.iterations() * wire_len));
}

}  // namespace

void register_events_benchmarks() {
  Registry& r = registry();
  const EventBody b = event_body();
  const std::size_t doc = event_document(EventKind::ReadEvent, b).size();
  const std::size_t ad = kFrameFixedSize + 5 + doc;  // pol is "event"
  const std::size_t wire = ad + kFrameTrailerSize;
  // The nonce is a MAC of the associated data (with a zero nonce) under the data key.
  const std::size_t nonce_input = std::string_view("tessella event nonce v1").size() + ad;
  for (std::uint8_t alg : {std::uint8_t{1}, std::uint8_t{2}}) {
    const std::string tail = "/" + alg_name(alg) + "/0";
    r.row({"seal_event", alg_name(alg), 0,
           r.add("seal_event" + tail + "/tessella",
                 [=](benchmark::State& s) { event_tessella(s, alg, wire); }),
           r.add("seal_event" + tail + "/peer_openssl",
                 [=](benchmark::State& s) { event_peer<OpensslPeer>(s, alg, wire); }),
           r.add("seal_event" + tail + "/peer_sodium",
                 [=](benchmark::State& s) { event_peer<SodiumPeer>(s, alg, wire); }),
           {hmac_sha256(kKeySize, nonce_input), aead_seal(alg, ad, 0), ed25519_sign(ad + kTagSize),
            blake3(wire)}});
  }
}

}  // namespace tessella::bench
