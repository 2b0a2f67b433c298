#include "vectors.hpp"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>


namespace tessella::test {

std::filesystem::path shared_vectors() { return TESSELLA_SHARED_VECTORS; }

std::filesystem::path cryptography_vectors() { return TESSELLA_CRYPTOGRAPHY_VECTORS; }

::testing::AssertionResult read_file(const std::filesystem::path& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  if (in) ss << in.rdbuf();
  if (!in || in.bad()) return ::testing::AssertionFailure() << "cannot read vector file " << path;
  out = ss.str();
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult read_json(const std::filesystem::path& path, nlohmann::json& out) {
  std::string text;
  if (auto r = read_file(path, text); !r) return r;
  out = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (out.is_discarded()) return ::testing::AssertionFailure() << "malformed JSON in " << path;
  return ::testing::AssertionSuccess();
}

Bytes from_hex(std::string_view hex) {
  Bytes out(hex.size() / 2);
  for (std::size_t i = 0; i < out.size(); ++i) {
    const char* end = hex.data() + 2 * i + 2;
    if (std::from_chars(end - 2, end, out[i], 16).ptr != end) {
      ADD_FAILURE() << "bad hex digit in: " << hex;
      return {};
    }
  }
  if (hex.size() % 2 != 0) ADD_FAILURE() << "odd-length hex: " << hex;
  return out;
}

std::string to_hex(ByteView bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (std::uint8_t b : bytes) out.append({kDigits[b >> 4], kDigits[b & 0xf]});
  return out;
}

std::set<std::size_t> positions(std::size_t len, std::size_t edge) {
  std::set<std::size_t> out;
  for (std::size_t i = 0; i < std::min(len, edge); ++i)
    out.insert({i, len - 1 - i, len / 2 + i < len ? len / 2 + i : i});
  return out;
}

std::vector<std::string> split(std::string_view line, char sep) {
  std::vector<std::string> out;
  for (std::size_t start = 0;;) {
    const std::size_t end = line.find(sep, start);
    out.emplace_back(line.substr(start, end - start));
    if (end == std::string_view::npos) return out;
    start = end + 1;
  }
}

Bytes random_bytes(std::mt19937_64& rng, std::size_t n) {
  Bytes out(n);
  for (auto& b : out) b = static_cast<std::uint8_t>(rng());
  return out;
}

std::uint64_t test_seed() {
  std::uint64_t seed = 0;
  if (const char* env = std::getenv("TESSELLA_TEST_SEED"); env != nullptr && *env != '\0') {
    seed = std::strtoull(env, nullptr, 10);
  } else {
    std::random_device rd;
    seed = (std::uint64_t{rd()} << 32) ^ rd();
  }
  std::printf("[ seed     ] %llu (repeat with TESSELLA_TEST_SEED=%llu)\n",
              static_cast<unsigned long long>(seed), static_cast<unsigned long long>(seed));
  ::testing::Test::RecordProperty("seed", std::to_string(seed));
  return seed;
}

std::string KvRecord::text(std::string_view key) const {
  auto it = fields.find(key);
  if (it != fields.end()) return it->second;
  ADD_FAILURE() << where << ": field " << key << " is missing";
  return {};
}

Bytes KvRecord::bytes(std::string_view key) const {
  const std::string v = text(key);
  if (v.size() >= 2 && v.front() == '"' && v.back() == '"')
    return Bytes(v.begin() + 1, v.end() - 1);
  return from_hex(v);
}

std::uint64_t KvRecord::number(std::string_view key) const {
  const std::string v = text(key);
  if (v.empty() || v.find_first_not_of("0123456789") != std::string::npos)
    ADD_FAILURE() << where << ": field " << key << " is not a number: " << v;
  return std::strtoull(v.c_str(), nullptr, 10);
}

::testing::AssertionResult read_kv_file(const std::filesystem::path& path,
                                        std::string_view record_key, std::vector<KvRecord>& out) {
  std::string content;
  if (auto r = read_file(path, content); !r) return r;
  out.clear();
  std::map<std::string, std::string, std::less<>> headers;
  auto trim = [](std::string_view s) {
    const auto first = s.find_first_not_of(" \t\r");
    return first == std::string_view::npos
               ? std::string_view()
               : s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
  };
  std::istringstream in(content);
  std::string raw;
  for (int line_no = 1; std::getline(in, raw); ++line_no) {
    std::string_view line = trim(raw);
    if (line.empty() || line.front() == '#') continue;
    const bool header = line.front() == '[' && line.back() == ']';
    if (header) line = line.substr(1, line.size() - 2);
    const auto eq = line.find('=');
    std::string key(trim(line.substr(0, eq)));
    std::string value(eq == std::string_view::npos ? "" : trim(line.substr(eq + 1)));
    const std::string where = path.filename().string() + ":" + std::to_string(line_no);
    if (header) {
      headers[key] = value;
      continue;
    }
    if (key == record_key) out.push_back(KvRecord{where, headers});
    if (out.empty())
      return ::testing::AssertionFailure() << where << ": field before the first record";
    if (!out.back().fields.emplace(key, value).second)
      return ::testing::AssertionFailure() << where << ": field " << key << " repeated";
  }
  if (out.empty())
    return ::testing::AssertionFailure() << path << " holds no " << record_key << " records";
  return ::testing::AssertionSuccess();
}

Bytes WycheproofCase::hex(std::string_view key) const {
  if (!test.contains(key) || !test[std::string(key)].is_string()) {
    ADD_FAILURE() << where << ": no hex field " << key;
    return {};
  }
  return from_hex(test[std::string(key)].get<std::string>());
}

::testing::AssertionResult read_wycheproof(std::string_view file,
                                           std::vector<WycheproofCase>& out) {
  nlohmann::json doc;
  if (auto r = read_json(shared_vectors() / "wycheproof" / file, doc); !r) return r;
  out.clear();
  try {
    for (const auto& g : doc.at("testGroups")) {
      nlohmann::json group = g;
      group.erase("tests");
      for (const auto& t : g.at("tests")) {
        const std::string result = t.at("result").get<std::string>();
        const std::string where =
            std::string(file) + " tcId " + t.at("tcId").dump() + ": " + t.value("comment", "");
        if (result != "valid" && result != "invalid")
          return ::testing::AssertionFailure()
                 << where << ": result " << result << " has no decision";
        out.push_back({group, t, where, result == "valid"});
      }
    }
    if (doc.at("numberOfTests").get<std::size_t>() != out.size())
      return ::testing::AssertionFailure()
             << file << ": numberOfTests disagrees with the tests held";
  } catch (const nlohmann::json::exception& e) {
    return ::testing::AssertionFailure() << file << ": not a Wycheproof file: " << e.what();
  }
  return ::testing::AssertionSuccess();
}

}  // namespace tessella::test
