// Secrets are wiped when released (a failed decryption's output: aead_test.cpp).
#include <gtest/gtest.h>

#include <algorithm>
#include <new>

#include "tessella/tessella.hpp"

namespace tessella {
namespace {

bool contains_run(const std::uint8_t* hay, std::size_t n, ByteView needle) {
  return std::search(hay, hay + n, needle.begin(), needle.end()) != hay + n;
}

TEST(Secrets, SigningKeyLeavesNoSeedWhenMovedFromOrDestroyed) {
  Seed seed;
  for (std::size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<std::uint8_t>(0xC3 ^ (i * 29));
  alignas(SigningKey) std::uint8_t first[sizeof(SigningKey)], second[sizeof(SigningKey)];
  auto* key = new (first) SigningKey(signing_key_from_seed(seed));
  ASSERT_TRUE(contains_run(first, sizeof first, seed));  // held in the object itself
  auto* moved = new (second) SigningKey(std::move(*key));
  key->~SigningKey();
  EXPECT_TRUE(verify(moved->verifying_key(), {}, sign(*moved, {})).has_value());
  moved->~SigningKey();
  for (const std::uint8_t* storage : {first, second}) {
    EXPECT_FALSE(contains_run(storage, sizeof first, ByteView(seed).first(8)));
  }
}

TEST(Secrets, SecretArrayWipesOnDestruction) {
  alignas(SecretArray<16>) std::uint8_t storage[sizeof(SecretArray<16>)];
  std::array<std::uint8_t, 16> secret;
  secret.fill(0x5D);
  auto* s = new (storage) SecretArray<16>(secret);
  ASSERT_TRUE(contains_run(storage, sizeof storage, secret));
  s->~SecretArray();
  EXPECT_EQ(std::count(storage, storage + sizeof storage, 0x5D), 0);  // not one byte left
}

}  // namespace
}  // namespace tessella
