// Content identifiers: the official BLAKE3 vectors.
#include "tessella/cid.hpp"

#include <string>

#include <gtest/gtest.h>

#include "vectors.hpp"

namespace tessella {
namespace {

// The official vectors' input: bytes 0, 1, ..., 250, 0, 1, ... of the given length.
Bytes blake3_input(std::size_t len) {
  Bytes b(len);
  for (std::size_t i = 0; i < len; ++i) b[i] = static_cast<std::uint8_t>(i % 251);
  return b;
}

// The first 32 bytes of each extended hash (the keyed and derive-key modes are not used here).
TEST(CidBlake3, OfficialVectors) {
  nlohmann::json doc;
  ASSERT_TRUE(test::read_json(test::shared_vectors() / "blake3_test_vectors.json", doc));
  std::size_t checked = 0, longest = 0;
  for (const auto& c : doc.at("cases")) {
    const auto len = c.at("input_len").get<std::size_t>();
    const std::string hash = c.at("hash").get<std::string>();
    ASSERT_GE(hash.size(), 2 * kCidSize);
    EXPECT_EQ(test::to_hex(cid_blake3(blake3_input(len))), hash.substr(0, 2 * kCidSize))
        << "input_len " << len;
    longest = std::max(longest, len);
    ++checked;
  }
  EXPECT_GT(checked, 30u);
  EXPECT_GT(longest, 64u * 1024) << "the vectors should span many 1 KiB chunks";
}

}  // namespace
}  // namespace tessella
