// blind_index: HMAC-SHA-256 of a term under an index key.
#include "floors.hpp"
#include "tessella/search.hpp"

namespace tessella::bench {
namespace {

void index_tessella(benchmark::State& s, std::size_t n) {
  const Bytes key = filler(32, 40), term = filler(n, 41);
  if (!blind_index(key, term)) s.SkipWithError("blind_index failed");
  count_allocations(s, [&] { benchmark::DoNotOptimize(blind_index(key, term)); });
  for (auto _ : s) {
    auto t = blind_index(key, term);
    benchmark::DoNotOptimize(t);
  }
  s.SetBytesProcessed(static_cast<std::int64_t>(s.iterations() * n));
}

template <class Peer>
void index_peer(benchmark::State& s, std::size_t n) {
  const Bytes key = filler(32, 40), term = filler(n, 41);
  const Peer peer;
  auto mine = blind_index(key, term);
  auto first = peer.blind_index(key, term);
  if (!mine || !first || *first != *mine) s.SkipWithError("the peer's token differs");
  for (auto _ : s) {
    auto t = peer.blind_index(key, term);
    benchmark::DoNotOptimize(t);
  }
  s.SetBytesProcessed(static_cast<std::int64_t>(s.iterations() * n));
}

}  // namespace

void register_search_benchmarks() {
  Registry& r = registry();
  for (std::size_t n : {std::size_t{16}, std::size_t{256}, std::size_t{4096}}) {
    const std::string base = "blind_index/" + std::to_string(n);
    r.row({"blind_index", "-", n,
           r.add(base + "/tessella", [n](benchmark::State& s) { index_tessella(s, n); }),
           r.add(base + "/peer_openssl", [n](benchmark::State& s) { index_peer<OpensslPeer>(s, n); }),
           r.add(base + "/peer_sodium", [n](benchmark::State& s) { index_peer<SodiumPeer>(s, n); }),
           {hmac_sha256(32, n)}});
  }
}

}  // namespace tessella::bench
