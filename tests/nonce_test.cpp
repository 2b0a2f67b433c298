// RandomNonce: size, distinctness and spread of the bytes drawn from the system's random source.
#include "tessella/nonce.hpp"

#include <array>
#include <bit>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>

#include "vectors.hpp"

namespace tessella {
namespace {

static_assert(std::is_same_v<decltype(std::declval<NonceProvider&>().next()), Nonce>);
static_assert(sizeof(Nonce) == 12);

constexpr int kDraws = 4096;

TEST(RandomNonce, SuccessiveNoncesAreDistinct) {
  RandomNonce provider;
  std::set<Nonce> seen;
  for (int i = 0; i < kDraws; ++i) {
    const Nonce n = provider.next();
    ASSERT_TRUE(seen.insert(n).second) << "repeat after " << i << " draws: " << test::to_hex(n);
  }
}

TEST(RandomNonce, WorksThroughTheInterface) {
  const std::unique_ptr<NonceProvider> provider = std::make_unique<RandomNonce>();
  const Nonce a = provider->next();
  const Nonce b = provider->next();
  EXPECT_NE(a, b);
}

// Every one of the twelve bytes is drawn: a provider that filled only part of the array, or
// counted, would leave positions constant or bits skewed.
TEST(RandomNonce, EveryPositionAndBitVaries) {
  RandomNonce provider;
  std::array<std::set<std::uint8_t>, kNonceSize> values;
  std::array<int, kNonceSize * 8> ones{};
  for (int i = 0; i < kDraws; ++i) {
    const Nonce n = provider.next();
    for (std::size_t p = 0; p < kNonceSize; ++p) {
      values[p].insert(n[p]);
      for (int b = 0; b < 8; ++b) ones[p * 8 + b] += (n[p] >> b) & 1;
    }
  }
  for (std::size_t p = 0; p < kNonceSize; ++p) {
    // 4,096 uniform bytes show nearly all 256 values (fewer than 240 has probability < 1e-20).
    EXPECT_GT(values[p].size(), 240u) << "byte " << p;
  }
  for (std::size_t bit = 0; bit < ones.size(); ++bit) {
    // Each bit is set in 2,048 +- 32 draws (one standard deviation); allow eight deviations.
    EXPECT_GT(ones[bit], 2048 - 256) << "bit " << bit;
    EXPECT_LT(ones[bit], 2048 + 256) << "bit " << bit;
  }
}

TEST(RandomNonce, ThreadsDrawDistinctNonces) {
  RandomNonce provider;  // stateless: one object serves every thread
  std::mutex mutex;
  std::vector<Nonce> all;
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      std::vector<Nonce> mine;
      for (int i = 0; i < 500; ++i) mine.push_back(provider.next());
      std::lock_guard lock(mutex);
      all.insert(all.end(), mine.begin(), mine.end());
    });
  }
  for (auto& th : threads) th.join();
  const std::set<Nonce> distinct(all.begin(), all.end());
  EXPECT_EQ(all.size(), 4000u);
  EXPECT_EQ(distinct.size(), all.size());
}

TEST(OsRandom, FillsBuffersOfAnyLength) {
  for (std::size_t len : {1u, 12u, 33u, 256u, 4096u, 100000u}) {
    std::vector<std::uint8_t> a(len, 0), b(len, 0);
    os_random(a.data(), a.size());
    os_random(b.data(), b.size());
    EXPECT_NE(a, b) << "length " << len;
    if (len >= 256) {
      // The whole buffer is written: its last 32 bytes are not all still zero.
      int nonzero = 0;
      for (std::size_t i = len - 32; i < len; ++i) nonzero += a[i] != 0;
      EXPECT_GT(nonzero, 16) << "length " << len;
    }
    if (len >= 4096) {
      // And about half its bits are set (0.05 is more than 17 standard deviations here).
      std::size_t set = 0;
      for (auto x : a) set += static_cast<std::size_t>(std::popcount(x));
      EXPECT_NEAR(static_cast<double>(set) / (8.0 * len), 0.5, 0.05) << "length " << len;
    }
  }
  os_random(nullptr, 0);  // an empty request touches nothing
}

}  // namespace
}  // namespace tessella
