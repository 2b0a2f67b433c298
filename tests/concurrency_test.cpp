// Threads seal, open, verify, issue, restore and search at once on shared keys, as one thread does;
// under the tsan preset this also shows the library keeps no shared mutable state.
#include <gtest/gtest.h>

#include <thread>

#include "tessella/tessella.hpp"
#include "vectors.hpp"

namespace tessella {
namespace {

const SigningKey kAuthor = signing_key_from_seed(Seed{1});
const Bytes kKey(32, 0x11), kPayload(4096, 0x77);
const std::string kPhrase = "legal winner thank year wave sausage worth useful legal winner thank yellow";

// Everything one round produces, as bytes.
Bytes run_all() {
  Bytes out;
  const auto add = [&](ByteView b) { out.insert(out.end(), b.begin(), b.end()); };
  const PublicKey author = verifying_key_bytes(kAuthor), holder = verifying_key_bytes(signing_key_from_seed(Seed{2}));
  for (std::uint8_t alg : {1, 2}) {
    const auto sealed = seal_bytes(alg, 0, 0, Nonce{alg}, Timestamp{}, author, holder, Cid{}, {},
                                   test::bytes_of(R"({"require_cap":true,"allowed_ops":1})"), kPayload, kKey, kAuthor);
    const auto token = cap_issue(Seed{3}, verifying_key_bytes(signing_key_from_seed(Seed{3})), sealed->cid,
                                 Rights::READ_FEATURES, 500, holder);
    const auto wire = cap_encode(*token);
    add(sealed->bytes), add(wire), add(open_bytes_with_ctx(sealed->bytes, kKey, ByteView(wire), holder, 400).value());
    out.push_back(verify_bytes(sealed->bytes).value().valid);
  }
  const auto keys = restore_keys(kPhrase);
  add(keys->enc_key.secret_bytes()), add(keys->sign_seed.secret_bytes());
  add(blind_index(kKey, test::bytes_of("term")).value());
  add(serialize(seal_event(1, author, author, Cid{}, EventKind::LicenseGrant,
                           EventBody{Cid{}, Rights::READ_RAW, 9, holder}, kKey, kAuthor)->frame).value());
  return out;
}

TEST(Concurrency, ThreadsAgreeWithOneThread) {
  const Bytes reference = run_all();
  std::vector<int> mismatches(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 8; ++round) {
        const auto phrase = generate_mnemonic(t % 2 == 0 ? 12 : 24);
        mismatches[t] += run_all() != reference || !phrase || !restore_keys(*phrase);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

}  // namespace
}  // namespace tessella
