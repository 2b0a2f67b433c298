// RandomNonce: distinctness and spread of the bytes drawn from the system's source.
#include "tessella/nonce.hpp"

#include <array>
#include <set>

#include <gtest/gtest.h>

namespace tessella {
namespace {

// Draws never repeat, and every bit of the twelve bytes is drawn: a provider that filled part of
// the array, or counted, would be skewed.
TEST(RandomNonce, DistinctAndEveryPositionAndBitVaries) {
  RandomNonce provider;
  std::set<Nonce> seen;
  std::array<int, kNonceSize * 8> ones{};
  for (int i = 0; i < 4096; ++i) {
    const Nonce n = provider.next();
    ASSERT_TRUE(seen.insert(n).second) << "repeat after " << i << " draws";
    for (std::size_t bit = 0; bit < ones.size(); ++bit) ones[bit] += (n[bit / 8] >> (bit % 8)) & 1;
  }
  // Each bit is set in 2,048 +- 32 draws (one standard deviation); eight are allowed.
  for (std::size_t bit = 0; bit < ones.size(); ++bit) EXPECT_NEAR(ones[bit], 2048, 256) << bit;
}

}  // namespace
}  // namespace tessella
