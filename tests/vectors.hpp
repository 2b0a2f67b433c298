// Test helpers: hex, files, and the places where published vector files live.
#ifndef TESSELLA_TESTS_VECTORS_HPP
#define TESSELLA_TESTS_VECTORS_HPP

#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tessella/types.hpp"

namespace tessella::test {

/// ../shared/vectors beside the source tree (Wycheproof, BLAKE3, BIP-39, speccheck).
std::filesystem::path shared_vectors();
/// Whether ../shared exists at all; tests of its files skip when it does not.
bool shared_present();
/// Debian's python3-cryptography-vectors (NIST, RFC and Ed25519 sign.input files).
std::filesystem::path cryptography_vectors();

/// Reads a whole file; a missing or unreadable file fails the test (fatal) via the return flag.
::testing::AssertionResult read_file(const std::filesystem::path& path, std::string& out);
/// Parses a JSON file; fails like read_file, and on malformed JSON.
::testing::AssertionResult read_json(const std::filesystem::path& path, nlohmann::json& out);

/// Hex conversion; from_hex fails the current test on odd length or bad digits.
Bytes from_hex(std::string_view hex);
std::string to_hex(ByteView bytes);

template <std::size_t N>
std::array<std::uint8_t, N> array_from_hex(std::string_view hex) {
  Bytes b = from_hex(hex);
  std::array<std::uint8_t, N> out{};
  EXPECT_EQ(b.size(), N) << hex;
  std::copy_n(b.begin(), std::min(N, b.size()), out.begin());
  return out;
}

/// The seed of a seeded random test: TESSELLA_TEST_SEED when set, otherwise fresh. It is printed
/// so that a failing run can be repeated.
std::uint64_t test_seed();

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

/// One record of a "KEY = value" vector file: NIST CAVS .rsp files and the OpenSSL/BoringSSL
/// style .txt files. Every field read marks it consumed; all_consumed() names the fields a test
/// left unread, so a new or renamed field in a file cannot go unnoticed. The section headers
/// in force ("[IVlen = 96]") belong to the record and must be consumed too.
class KvRecord {
 public:
  /// "file:line" of the record's first line, for failure messages.
  const std::string& where() const { return where_; }

  bool has(std::string_view key) const;
  /// The raw text of a field (quotes kept). A missing field fails the test and gives "".
  std::string text(std::string_view key);
  /// A field's bytes: hex digits, or the characters between double quotes ("abc").
  Bytes bytes(std::string_view key);
  /// A decimal field.
  std::uint64_t number(std::string_view key);
  /// Whether a bare word (a line without '=', such as FAIL) is present; consumes it.
  bool flag(std::string_view key);
  /// A section header in force for this record ("[Keylen = 256]" gives header("Keylen")).
  std::string header(std::string_view key);
  std::uint64_t header_number(std::string_view key);
  /// The test does not use this record (for example another key size): all fields count as read.
  void skip();
  ::testing::AssertionResult all_consumed() const;

 private:
  friend ::testing::AssertionResult read_kv_file(const std::filesystem::path&, std::string_view,
                                                 std::vector<KvRecord>&);
  struct Field {
    std::string value;
    bool bare = false;
    bool used = false;
  };
  Field* find(std::map<std::string, Field, std::less<>>& fields, std::string_view key,
              const char* what);

  std::string where_;
  std::map<std::string, Field, std::less<>> fields_;
  std::map<std::string, Field, std::less<>> headers_;
};

/// Reads a "KEY = value" file into records. A record starts at each line whose key is
/// `record_key` ("Count", "COUNT") and runs to the next one; blank lines and '#' comments are
/// ignored, "[K = v]" lines set section headers. Fails on an unreadable file, on a field before
/// the first record, on a repeated field, and on a file without records.
::testing::AssertionResult read_kv_file(const std::filesystem::path& path,
                                        std::string_view record_key, std::vector<KvRecord>& out);

/// One JSON object of a vector file whose fields are read through this tracker; all_consumed()
/// names the fields left unread. Fields a test deliberately does not use are named by ignore().
class JsonFields {
 public:
  JsonFields(const nlohmann::json& object, std::string where);

  const std::string& where() const { return where_; }
  /// A field's value; a missing field fails the test and gives null.
  const nlohmann::json& get(std::string_view key);
  std::string str(std::string_view key);
  Bytes hex(std::string_view key);
  std::int64_t num(std::string_view key);
  void ignore(std::string_view key);
  ::testing::AssertionResult all_consumed() const;

 private:
  const nlohmann::json& object_;
  std::string where_;
  std::set<std::string, std::less<>> used_;
};

/// One test of a Wycheproof file with the group it belongs to. When the file cannot be read or
/// its numberOfTests disagrees with the tests it holds, the list has one entry whose load_error
/// says why; the test body fails on it (or skips when ../shared is absent).
struct WycheproofCase {
  std::string file;
  std::int64_t tc_id = 0;
  nlohmann::json group;  // the group's fields, without "tests"
  nlohmann::json test;
  std::string load_error;
};

/// Every test of ../shared/vectors/wycheproof/<file_name> that `keep` accepts (all when empty),
/// in file order. Runs at test registration: it reports problems only through load_error.
std::vector<WycheproofCase> wycheproof_cases(
    std::string_view file_name,
    const std::function<bool(const nlohmann::json& group, const nlohmann::json& test)>& keep = {});

/// Test names "tc<id>" for INSTANTIATE_TEST_SUITE_P.
std::string wycheproof_name(const ::testing::TestParamInfo<WycheproofCase>& info);
/// Keeps gtest from dumping the whole JSON of a failing case.
void PrintTo(const WycheproofCase& c, std::ostream* os);

/// The Wycheproof verdicts; "acceptable" has no fixed meaning, so each test decides it.
enum class Verdict { kValid, kInvalid, kAcceptable, kUnknown };
Verdict verdict_of(std::string_view result);

}  // namespace tessella::test

/// Opens the body of a Wycheproof TEST_P: fails on a load error, or skips when ../shared is gone.
#define TESSELLA_WYCHEPROOF_CASE(c)                                \
  do {                                                             \
    if (!(c).load_error.empty()) {                                 \
      TESSELLA_REQUIRE_SHARED();                                   \
      FAIL() << (c).load_error;                                    \
    }                                                              \
  } while (0)

/// Skips the current test with a message when ../shared is absent (a clone used outside CI).
#define TESSELLA_REQUIRE_SHARED()                                                        \
  do {                                                                                   \
    if (!::tessella::test::shared_present())                                             \
      GTEST_SKIP() << "../shared is absent: " << ::tessella::test::shared_vectors();     \
  } while (0)

#endif
