// Content identifiers: the official BLAKE3 vectors and the properties callers rely on.
#include "tessella/cid.hpp"

#include <cstdint>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "vectors.hpp"

namespace tessella {
namespace {

using test::to_hex;

// The official vectors' input: bytes 0, 1, ..., 250, 0, 1, ... of the given length.
Bytes blake3_input(std::size_t len) {
  Bytes b(len);
  for (std::size_t i = 0; i < len; ++i) b[i] = static_cast<std::uint8_t>(i % 251);
  return b;
}

TEST(CidBlake3, OfficialVectors) {
  TESSELLA_REQUIRE_SHARED();
  nlohmann::json doc;
  ASSERT_TRUE(test::read_json(test::shared_vectors() / "blake3_test_vectors.json", doc));
  test::JsonFields top(doc, "blake3_test_vectors.json");
  top.ignore("_comment");
  // The keyed and derive-key modes are not part of cid_blake3.
  top.ignore("key");
  top.ignore("context_string");
  const nlohmann::json& cases = top.get("cases");
  EXPECT_TRUE(top.all_consumed());
  ASSERT_TRUE(cases.is_array());
  std::size_t checked = 0, longest = 0;
  for (const auto& entry : cases) {
    test::JsonFields c(entry, "blake3 case " + std::to_string(checked));
    const auto len = static_cast<std::size_t>(c.num("input_len"));
    const Bytes extended = c.hex("hash");
    c.ignore("keyed_hash");
    c.ignore("derive_key");
    EXPECT_TRUE(c.all_consumed());
    ASSERT_GE(extended.size(), kCidSize) << c.where();
    const Cid expected = [&] {
      Cid e;
      std::copy_n(extended.begin(), kCidSize, e.begin());
      return e;
    }();
    EXPECT_EQ(to_hex(cid_blake3(blake3_input(len))), to_hex(expected)) << "input_len " << len;
    longest = std::max(longest, len);
    ++checked;
  }
  EXPECT_GT(checked, 30u);
  EXPECT_GT(longest, 64u * 1024) << "the vectors should span many 1 KiB chunks";
}

TEST(CidBlake3, EmptyInput) {
  // The published digest of the empty string.
  EXPECT_EQ(to_hex(cid_blake3({})),
            "af1349b9f5f9a1a6a0404dea36dcc9499bcb25c9adc112b7cc9a93cae41f3262");
}

TEST(CidBlake3, IdenticalInputsGiveIdenticalIdentifiers) {
  const Bytes a = blake3_input(5000);
  const Bytes b = a;
  EXPECT_EQ(cid_blake3(a), cid_blake3(b));
  EXPECT_EQ(cid_blake3(a), cid_blake3(a));
}

TEST(CidBlake3, EveryOneBitChangeGivesANewIdentifier) {
  for (std::size_t len : {1u, 64u, 1025u}) {
    const Bytes input = blake3_input(len);
    std::set<Cid> seen{cid_blake3(input)};
    const std::size_t bits = std::min<std::size_t>(len * 8, 2048);
    for (std::size_t bit = 0; bit < bits; ++bit) {
      Bytes changed = input;
      changed[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
      EXPECT_TRUE(seen.insert(cid_blake3(changed)).second) << "length " << len << " bit " << bit;
    }
  }
}

TEST(CidBlake3, LengthIsPartOfTheIdentity) {
  // Trailing zero bytes are data, not padding.
  const Bytes one(1, 0), two(2, 0);
  EXPECT_NE(cid_blake3({}), cid_blake3(one));
  EXPECT_NE(cid_blake3(one), cid_blake3(two));
}

TEST(CidBlake3, DoesNotDependOnTheInputsAddress) {
  // Unaligned views into a larger buffer hash like aligned copies of the same bytes.
  const Bytes big = blake3_input(20000);
  for (std::size_t offset : {0u, 1u, 3u, 7u, 13u}) {
    for (std::size_t len : {0u, 63u, 1024u, 4097u, 16385u}) {
      const ByteView view(big.data() + offset, len);
      const Bytes copy(view.begin(), view.end());
      EXPECT_EQ(cid_blake3(view), cid_blake3(copy)) << "offset " << offset << " length " << len;
    }
  }
}

}  // namespace
}  // namespace tessella
