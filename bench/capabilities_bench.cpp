// cap_issue and cap_verify.
#include "floors.hpp"
#include "tessella/capabilities.hpp"

namespace tessella::bench {
namespace {

constexpr std::uint32_t kRights = 0x13;
constexpr std::uint64_t kExp = 1'700'000'000'000ull;

void issue_tessella(benchmark::State& s) {
  const Fixture& fx = fixture();
  auto call = [&] {
    return cap_issue(fx.issuer_seed, fx.issuer, fx.prev_cid, Rights::from_bits_retain(kRights),
                     kExp, fx.holder);
  };
  if (auto t = call(); !t || !cap_verify(*t, fx.holder)) s.SkipWithError("cap_issue failed");
  time_calls(s, call);
  s.SetBytesProcessed(static_cast<std::int64_t>(s.iterations() * kCapSignedSize));
}

template <class Peer>
void issue_peer(benchmark::State& s) {
  const Fixture& fx = fixture();
  const Peer peer;
  auto call = [&] {
    return peer.cap_issue(fx.issuer_seed, fx.issuer, fx.prev_cid, kRights, kExp, fx.holder);
  };
  auto mine = cap_issue(fx.issuer_seed, fx.issuer, fx.prev_cid, Rights::from_bits_retain(kRights),
                        kExp, fx.holder);
  if (!mine || call() != *mine) s.SkipWithError("the peer's token differs from cap_issue's");
  for (auto _ : s) {
    auto t = call();
    benchmark::DoNotOptimize(t);
  }
  s.SetBytesProcessed(static_cast<std::int64_t>(s.iterations() * kCapSignedSize));
}

CapToken token() {
  const Fixture& fx = fixture();
  auto t = cap_issue(fx.issuer_seed, fx.issuer, fx.prev_cid, Rights::from_bits_retain(kRights),
                     kExp, fx.holder);
  if (!t) throw std::runtime_error("cap_issue failed");
  return *t;
}

void verify_tessella(benchmark::State& s) {
  const CapToken t = token();
  const Fixture& fx = fixture();
  if (!cap_verify(t, fx.holder)) s.SkipWithError("cap_verify refused the token");
  count_allocations(s, [&] { benchmark::DoNotOptimize(cap_verify(t, fx.holder)); });
  for (auto _ : s) {
    auto r = cap_verify(t, fx.holder);
    benchmark::DoNotOptimize(r);
  }
  s.SetBytesProcessed(static_cast<std::int64_t>(s.iterations() * kCapSignedSize));
}

template <class Peer>
void verify_peer(benchmark::State& s) {
  const CapToken t = token();
  const Fixture& fx = fixture();
  const Peer peer;
  CapToken bad = t;
  bad.rights = Rights::from_bits_retain(kRights ^ 1);
  if (!peer.cap_verify(t, fx.holder) || peer.cap_verify(bad, fx.holder)) {
    s.SkipWithError("the peer's verdict differs from cap_verify's");
  }
  for (auto _ : s) {
    auto r = peer.cap_verify(t, fx.holder);
    benchmark::DoNotOptimize(r);
  }
  s.SetBytesProcessed(static_cast<std::int64_t>(s.iterations() * kCapSignedSize));
}

}  // namespace

void register_capabilities_benchmarks() {
  Registry& r = registry();
  r.row({"cap_issue", "-", kCapSignedSize, r.add("cap_issue/tessella", issue_tessella),
         r.add("cap_issue/peer_openssl", issue_peer<OpensslPeer>),
         r.add("cap_issue/peer_sodium", issue_peer<SodiumPeer>),
         {ed25519_keypair(), ed25519_sign(kCapSignedSize)}});
  r.row({"cap_verify", "-", kCapSignedSize, r.add("cap_verify/tessella", verify_tessella),
         r.add("cap_verify/peer_openssl", verify_peer<OpensslPeer>),
         r.add("cap_verify/peer_sodium", verify_peer<SodiumPeer>),
         {ed25519_verify(kCapSignedSize)}});
}

}  // namespace tessella::bench
