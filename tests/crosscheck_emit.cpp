// Emits sealed frames, event frames and capability tokens with all their inputs as JSON, for
// crosscheck.py to rebuild with independent implementations.
#include <cstdio>
#include <cstdlib>
#include <random>

#include <nlohmann/json.hpp>

#include "tessella/tessella.hpp"

namespace {

std::string hex(tessella::ByteView b) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string s;
  for (auto c : b) {
    s += kDigits[c >> 4];
    s += kDigits[c & 15];
  }
  return s;
}

template <class T>
void fill(std::mt19937_64& rng, T& out) {
  for (auto& b : out) b = static_cast<std::uint8_t>(rng());
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tessella;
  const unsigned long seed = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1;
  std::mt19937_64 rng(seed);
  nlohmann::json out = {{"frames", nlohmann::json::array()},
                        {"events", nlohmann::json::array()},
                        {"tokens", nlohmann::json::array()}};

  const std::size_t sizes[] = {0, 1, 15, 1000, 70000};
  for (std::uint8_t alg : {1, 2}) {
    for (std::size_t size : sizes) {
      Seed signer_seed;
      Nonce nonce;
      Timestamp ts;
      PublicKey owner;
      Cid prev;
      Bytes key(32), pol(rng() % 40), meta(rng() % 300), pt(size);
      fill(rng, signer_seed);
      fill(rng, nonce);
      fill(rng, ts);
      fill(rng, owner);
      fill(rng, prev);
      fill(rng, key);
      fill(rng, pol);
      fill(rng, meta);
      fill(rng, pt);
      const auto hdr2 = static_cast<std::uint8_t>(rng()), hdr3 = static_cast<std::uint8_t>(rng());
      const SigningKey signer = signing_key_from_seed(signer_seed);
      const PublicKey author = verifying_key_bytes(signer);
      auto sealed = seal_bytes(alg, hdr2, hdr3, nonce, ts, author, owner, prev, pol, meta, pt, key,
                               signer);
      if (!sealed) return 1;
      out["frames"].push_back({{"alg", alg}, {"hdr2", hdr2}, {"hdr3", hdr3}, {"nonce", hex(nonce)},
                               {"ts", hex(ts)}, {"author", hex(author)}, {"owner", hex(owner)},
                               {"prev_cid", hex(prev)}, {"pol", hex(pol)}, {"meta", hex(meta)},
                               {"plaintext", hex(pt)}, {"key", hex(key)},
                               {"seed", hex(signer_seed)}, {"wire", hex(sealed->bytes)},
                               {"cid", hex(sealed->cid)}});
    }
  }

  for (std::uint8_t alg : {1, 2}) {
    for (int kind = 0; kind < 3; ++kind) {
      Seed signer_seed;
      PublicKey owner;
      Cid prev;
      Bytes key(32);
      EventBody body;
      fill(rng, signer_seed);
      fill(rng, owner);
      fill(rng, prev);
      fill(rng, key);
      fill(rng, body.scope_cid);
      fill(rng, body.peer_pub);
      body.rights = Rights::from_bits_retain(static_cast<std::uint32_t>(rng()));
      body.exp_ts = kind == 0 ? UINT64_MAX : rng();
      const SigningKey signer = signing_key_from_seed(signer_seed);
      const PublicKey author = verifying_key_bytes(signer);
      auto sealed = seal_event(alg, author, owner, prev, static_cast<EventKind>(kind), body, key,
                               signer);
      if (!sealed) return 1;
      auto wire = serialize(sealed->frame);
      out["events"].push_back({{"alg", alg}, {"kind", kind}, {"author", hex(author)},
                               {"owner", hex(owner)}, {"prev_cid", hex(prev)},
                               {"scope_cid", hex(body.scope_cid)}, {"rights", body.rights.bits()},
                               {"exp_ts", body.exp_ts}, {"peer_pub", hex(body.peer_pub)},
                               {"key", hex(key)}, {"seed", hex(signer_seed)}, {"wire", hex(*wire)},
                               {"cid", hex(sealed->cid)}});
    }
  }

  for (int i = 0; i < 4; ++i) {
    Seed issuer_seed;
    PublicKey holder;
    Cid scope;
    fill(rng, issuer_seed);
    fill(rng, holder);
    fill(rng, scope);
    const PublicKey issuer_pub = verifying_key_bytes(signing_key_from_seed(issuer_seed));
    const auto rights = Rights::from_bits_retain(static_cast<std::uint32_t>(rng()));
    const std::uint64_t exp = rng();
    auto token = cap_issue(issuer_seed, issuer_pub, scope, rights, exp, holder);
    if (!token) return 1;
    out["tokens"].push_back({{"issuer_seed", hex(issuer_seed)}, {"issuer_pub", hex(issuer_pub)},
                             {"scope_cid", hex(scope)}, {"rights", rights.bits()}, {"exp_ts", exp},
                             {"holder_pub", hex(holder)}, {"token", hex(cap_encode(*token))}});
  }
  std::puts(out.dump().c_str());
  return 0;
}
