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
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tessella/error.hpp"
#include "tessella/types.hpp"

namespace tessella::test {

/// ../shared/vectors beside the source tree (Wycheproof, BLAKE3, BIP-39, speccheck).
std::filesystem::path shared_vectors();
/// Whether ../shared exists at all; tests of its files skip when it does not.
bool shared_present();
/// Debian's python3-cryptography-vectors (NIST, RFC and Ed25519 sign.input files).
std::filesystem::path cryptography_vectors();

/// Reads a whole file; fails on a missing or unreadable file.
::testing::AssertionResult read_file(const std::filesystem::path& path, std::string& out);
/// Parses a JSON file; fails like read_file, and on malformed JSON.
::testing::AssertionResult read_json(const std::filesystem::path& path, nlohmann::json& out);

/// Hex conversion; from_hex fails the current test on odd length or bad digits.
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

/// The fields of a line split at every `sep` ("a:b:" gives "a", "b", "").
std::vector<std::string> split(std::string_view line, char sep);

/// The seed of a seeded random test: TESSELLA_TEST_SEED when set, otherwise fresh. It is printed
/// so that a failing run can be repeated.
std::uint64_t test_seed();

/// `n` bytes drawn from `rng`.
Bytes random_bytes(std::mt19937_64& rng, std::size_t n);

/// The error of a result, or nothing when it succeeded: tests compare this rather than read the
/// error of a result that may have succeeded.
template <class T>
std::optional<TessellaError> error_of(const Result<T>& r) {
  return r ? std::nullopt : std::optional<TessellaError>(r.error());
}

inline ByteView bytes_of(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

/// The interpreter used for independent cross-checks.
inline constexpr const char* kPython = "/usr/bin/python3";
/// Whether kPython exists; tests that cross-check with it skip when it does not.
bool python_present();
/// Runs `script` with kPython, passing `args` as command-line arguments (each quoted for the
/// shell), and captures its standard output. Fails on a non-zero exit status.
::testing::AssertionResult run_python(std::string_view script, const std::vector<std::string>& args,
                                      std::string& out);

/// Runs `script` like run_python and splits every line it prints at ':' into exactly `fields`
/// fields; fails on a line with another count.
::testing::AssertionResult python_rows(std::string_view script, const std::vector<std::string>& args,
                                       std::size_t fields,
                                       std::vector<std::vector<std::string>>& rows);
/// Numbers joined by commas ("0,1,16"), to hand a list to a script.
std::string comma_list(std::span<const std::size_t> values);

/// One record of a "KEY = value" file (NIST CAVS .rsp, OpenSSL and BoringSSL .txt): its fields,
/// the section headers in force ("[IVlen = 96]" gives the field IVlen), and bare words such as
/// FAIL (with an empty value).
struct KvRecord {
  std::string where;  // "file:line"
  std::map<std::string, std::string, std::less<>> fields;

  bool has(std::string_view key) const { return fields.find(key) != fields.end(); }
  /// A field's text; a missing field fails the test and gives "".
  std::string text(std::string_view key) const;
  /// A field's bytes: hex digits, or the characters between double quotes ("abc").
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

/// Skips the current test with a message when ../shared is absent (a clone used outside CI).
#define TESSELLA_REQUIRE_SHARED()                                                    \
  do {                                                                               \
    if (!::tessella::test::shared_present())                                         \
      GTEST_SKIP() << "../shared is absent: " << ::tessella::test::shared_vectors(); \
  } while (0)

#endif
