// restore_keys: BIP-39 phrase to the two keys.
#include <algorithm>

#include "floors.hpp"
#include "tessella/mnemonic.hpp"
#include "mnemonic_internal.hpp"

namespace tessella::bench {
namespace {

std::string phrase(std::size_t entropy) {
  auto p = detail::entropy_to_mnemonic(filler(entropy, 30));
  if (!p) throw std::runtime_error("entropy_to_mnemonic failed");
  return *p;
}

void restore_tessella(benchmark::State& s, const std::string& text) {
  if (!restore_keys(text)) s.SkipWithError("restore_keys refused the phrase");
  count_allocations(s, [&] { benchmark::DoNotOptimize(restore_keys(text)); });
  for (auto _ : s) {
    auto k = restore_keys(text);
    benchmark::DoNotOptimize(k);
  }
  s.SetBytesProcessed(static_cast<std::int64_t>(s.iterations() * text.size()));
}

template <class Peer>
void restore_peer(benchmark::State& s, const std::string& text) {
  const Peer peer;
  auto mine = restore_keys(text);
  auto first = peer.restore_keys(text);
  if (!mine || !first || !std::ranges::equal(first->first, mine->enc_key.secret_bytes()) ||
      !std::ranges::equal(first->second, mine->sign_seed.secret_bytes())) {
    s.SkipWithError("the peer's keys differ from restore_keys'");
  }
  for (auto _ : s) {
    auto k = peer.restore_keys(text);
    benchmark::DoNotOptimize(k);
  }
  s.SetBytesProcessed(static_cast<std::int64_t>(s.iterations() * text.size()));
}

}  // namespace

void register_mnemonic_benchmarks() {
  Registry& r = registry();
  static const std::string p12 = phrase(16), p24 = phrase(32);
  for (const std::string* p : {&p12, &p24}) {
    const std::string& text = *p;
    const std::string words = p == &p12 ? "12" : "24";
    const std::string base = "restore_keys/" + words + "-words";
    r.row({"restore_keys/" + words + "w", "-", text.size(),
           r.add(base + "/tessella", [&text](benchmark::State& s) { restore_tessella(s, text); }),
           r.add(base + "/peer_openssl",
                 [&text](benchmark::State& s) { restore_peer<OpensslPeer>(s, text); }),
           r.add(base + "/peer_sodium",
                 [&text](benchmark::State& s) { restore_peer<SodiumPeer>(s, text); }),
           {pbkdf2_sha512(text.size(), 2048), hkdf_two_keys()}});
  }
}

}  // namespace tessella::bench
