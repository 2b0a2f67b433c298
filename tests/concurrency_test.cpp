// Many threads seal, open under a capability, verify, issue, restore and search at once on
// shared keys and frames; every result must equal the single-threaded one. Run under the tsan
// preset this also shows the library keeps no shared mutable state.
#include <gtest/gtest.h>

#include <thread>

#include "tessella/tessella.hpp"
#include "vectors.hpp"

namespace tessella {
namespace {

using test::bytes_of;

struct Shared {
  const SigningKey author = signing_key_from_seed(Seed{1});
  const SigningKey holder = signing_key_from_seed(Seed{2});
  const Seed issuer_seed{3};
  const PublicKey issuer_pub = verifying_key_bytes(signing_key_from_seed(Seed{3}));
  const Bytes key = Bytes(32, 0x11);
  const std::string meta = R"({"require_cap":true,"allowed_ops":1})";
  const Bytes payload = Bytes(4096, 0x77);
  const std::string phrase =
      "legal winner thank year wave sausage worth useful legal winner thank yellow";
};

struct Results {
  SealedBytes sealed[2];
  Bytes opened[2];
  FrameVerification verified[2];
  CapToken token[2];
  RestoredKeys keys;
  BlindToken blind;
  SealedFrame event;
  friend bool operator==(const Results& a, const Results& b) {
    for (int i = 0; i < 2; ++i) {
      if (a.sealed[i].bytes != b.sealed[i].bytes || a.sealed[i].cid != b.sealed[i].cid ||
          a.opened[i] != b.opened[i] || !(a.verified[i] == b.verified[i]) ||
          !(a.token[i] == b.token[i])) {
        return false;
      }
    }
    return a.keys.enc_key == b.keys.enc_key && a.keys.sign_seed == b.keys.sign_seed &&
           a.blind == b.blind && a.event.frame == b.event.frame && a.event.cid == b.event.cid;
  }
};

Results run_all(const Shared& s) {
  Results r;
  const PublicKey author_pub = s.author.verifying_key().bytes();
  const PublicKey holder_pub = s.holder.verifying_key().bytes();
  for (std::uint8_t alg : {1, 2}) {
    const int i = alg - 1;
    const Nonce nonce{alg};
    r.sealed[i] = *seal_bytes(alg, 0, 0, nonce, Timestamp{}, author_pub, holder_pub, Cid{}, {},
                              bytes_of(s.meta), s.payload, s.key, s.author);
    r.token[i] = *cap_issue(s.issuer_seed, s.issuer_pub, r.sealed[i].cid, Rights::READ_FEATURES,
                            500, holder_pub);
    const auto wire = cap_encode(r.token[i]);
    r.opened[i] = *open_bytes_with_ctx(r.sealed[i].bytes, s.key, ByteView(wire),
                                       holder_pub, 400);
    r.verified[i] = *verify_bytes(r.sealed[i].bytes);
  }
  r.keys = *restore_keys(s.phrase);
  r.blind = *blind_index(s.key, bytes_of("term"));
  r.event = *seal_event(1, author_pub, author_pub, r.sealed[0].cid, EventKind::LicenseGrant,
                        EventBody{r.sealed[0].cid, Rights::READ_RAW, 9, holder_pub}, s.key,
                        s.author);
  return r;
}

TEST(Concurrency, ThreadsAgreeWithOneThread) {
  const Shared shared;
  const Results reference = run_all(shared);
  ASSERT_TRUE(reference.verified[0].valid && reference.verified[1].valid);
  ASSERT_EQ(reference.opened[0], shared.payload);

  constexpr int kThreads = 4;
  constexpr int kRounds = 8;
  std::vector<int> mismatches(kThreads, 0);
  std::vector<int> bad_phrases(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < kRounds; ++round) {
        if (!(run_all(shared) == reference)) ++mismatches[t];
        auto phrase = generate_mnemonic(t % 2 == 0 ? 12 : 24);
        if (!phrase || !restore_keys(*phrase)) ++bad_phrases[t];
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(mismatches[t], 0) << "thread " << t;
    EXPECT_EQ(bad_phrases[t], 0) << "thread " << t;
  }
}

}  // namespace
}  // namespace tessella
