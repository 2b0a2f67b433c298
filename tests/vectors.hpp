// Test helpers: hex, files, vector-file readers, and the places where published vectors live.
#ifndef TESSELLA_TESTS_VECTORS_HPP
#define TESSELLA_TESTS_VECTORS_HPP

#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tessella/error.hpp"
#include "tessella/types.hpp"

namespace tessella::test {

/// ../shared/vectors (Wycheproof, BLAKE3, BIP-39, speccheck) and Debian's
/// python3-cryptography-vectors (NIST, RFC, sign.input), set by the CMake variables
/// TESSELLA_SHARED_VECTORS and TESSELLA_CRYPTOGRAPHY_VECTORS. A missing file fails its test.
std::filesystem::path shared_vectors();
std::filesystem::path cryptography_vectors();

/// A whole file, a JSON file: fail on a missing or unreadable file, or malformed JSON.
::testing::AssertionResult read_file(const std::filesystem::path& path, std::string& out);
::testing::AssertionResult read_json(const std::filesystem::path& path, nlohmann::json& out);

/// Hex conversion; from_hex fails the current test on bad digits.
Bytes from_hex(std::string_view hex);
std::string to_hex(ByteView bytes);

/// A fixed-size array of the given bytes; a wrong length fails the current test.
template <std::size_t N>
std::array<std::uint8_t, N> fixed(ByteView b) {
  std::array<std::uint8_t, N> out{};
  EXPECT_EQ(b.size(), N) << to_hex(b);
  std::copy_n(b.begin(), std::min(N, b.size()), out.begin());
  return out;
}

template <std::size_t N>
std::array<std::uint8_t, N> array_from_hex(std::string_view hex) {
  return fixed<N>(from_hex(hex));
}

/// Byte positions to alter: the first, middle and last `edge` (all of an input up to 2 edge long).
std::set<std::size_t> positions(std::size_t len, std::size_t edge);

/// "a:b:" split at ':' gives "a", "b", "".
std::vector<std::string> split(std::string_view line, char sep);

/// TESSELLA_TEST_SEED when set, otherwise fresh; printed so that a failing run can be repeated.
std::uint64_t test_seed();

Bytes random_bytes(std::mt19937_64& rng, std::size_t n);

/// The error of a result, or nothing when it succeeded.
template <class T>
std::optional<TessellaError> error_of(const Result<T>& r) {
  return r ? std::nullopt : std::optional<TessellaError>(r.error());
}

inline ByteView bytes_of(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

/// A record of a "KEY = value" file (NIST .rsp, OpenSSL and BoringSSL .txt): its fields, the
/// headers in force ("[IVlen = 96]" gives IVlen), bare words such as FAIL (with an empty value).
struct KvRecord {
  std::string where;  // "file:line"
  std::map<std::string, std::string, std::less<>> fields;

  bool has(std::string_view key) const { return fields.find(key) != fields.end(); }
  std::string text(std::string_view key) const;
  /// A missing field fails the test; bytes are hex digits or the characters between quotes.
  Bytes bytes(std::string_view key) const;
  std::uint64_t number(std::string_view key) const;
};

/// Reads a "KEY = value" file: a record starts at each `record_key` field ("Count", "COUNT").
/// Fails on an unreadable file, a field before the first record, a repeated field, no records.
::testing::AssertionResult read_kv_file(const std::filesystem::path& path,
                                        std::string_view record_key, std::vector<KvRecord>& out);

/// One test of a Wycheproof file, with the fields of its group.
struct WycheproofCase {
  nlohmann::json group;  // without "tests"
  nlohmann::json test;
  std::string where;  // "file tcId N: comment"
  bool valid = false;
  /// A hex field of the test.
  Bytes hex(std::string_view key) const;
};

/// Every test of ../shared/vectors/wycheproof/<file>. Fails when numberOfTests disagrees with
/// the tests held, or on a result other than valid or invalid: "acceptable" has no fixed
/// meaning, so a file that gains one needs a decision recorded in its test.
::testing::AssertionResult read_wycheproof(std::string_view file, std::vector<WycheproofCase>& out);

}  // namespace tessella::test

#endif
