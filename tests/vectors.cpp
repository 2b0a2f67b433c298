#include "vectors.hpp"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

#include <sys/wait.h>
#include <unistd.h>

namespace tessella::test {

std::filesystem::path shared_vectors() { return TESSELLA_SHARED_VECTORS; }

bool shared_present() { return std::filesystem::exists(shared_vectors().parent_path()); }

std::filesystem::path cryptography_vectors() { return TESSELLA_CRYPTOGRAPHY_VECTORS; }

::testing::AssertionResult read_file(const std::filesystem::path& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return ::testing::AssertionFailure() << "cannot read vector file " << path;
  std::ostringstream ss;
  ss << in.rdbuf();
  out = ss.str();
  if (in.bad()) return ::testing::AssertionFailure() << "error reading " << path;
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
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  Bytes out;
  if (hex.size() % 2 != 0) {
    ADD_FAILURE() << "odd-length hex: " << hex;
    return out;
  }
  out.reserve(hex.size() / 2);
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    int hi = digit(hex[i]), lo = digit(hex[i + 1]);
    if (hi < 0 || lo < 0) {
      ADD_FAILURE() << "bad hex digit in: " << hex;
      return {};
    }
    out.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
  }
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

std::string to_hex(ByteView bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (std::uint8_t b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 0xf];
  }
  return out;
}

bool python_present() { return ::access(kPython, X_OK) == 0; }

::testing::AssertionResult run_python(std::string_view script, const std::vector<std::string>& args,
                                      std::string& out) {
  auto dir = std::filesystem::temp_directory_path();
  std::string path = (dir / "tessella_test_XXXXXX").string();
  const int fd = ::mkstemp(path.data());
  if (fd < 0) return ::testing::AssertionFailure() << "cannot create a script file in " << dir;
  ::close(fd);
  {
    std::ofstream file(path, std::ios::binary);
    file << script;
    if (!file) {
      std::filesystem::remove(path);
      return ::testing::AssertionFailure() << "cannot write " << path;
    }
  }
  auto quote = [](std::string_view s) {
    std::string q = "'";
    for (char c : s) {
      if (c == '\'') q += "'\\''";
      else q += c;
    }
    return q + "'";
  };
  std::string command = std::string(kPython) + " " + quote(path);
  for (const auto& arg : args) command += " " + quote(arg);
  out.clear();
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) {
    std::filesystem::remove(path);
    return ::testing::AssertionFailure() << "cannot run " << kPython;
  }
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  const int status = ::pclose(pipe);
  std::filesystem::remove(path);
  if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return ::testing::AssertionFailure() << kPython << " failed (status " << status << "): " << out;
  }
  return ::testing::AssertionSuccess();
}

}  // namespace tessella::test

namespace tessella::test {

namespace {

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

bool is_quoted(std::string_view v) { return v.size() >= 2 && v.front() == '"' && v.back() == '"'; }

std::uint64_t parse_number(std::string_view text, const std::string& where, std::string_view key) {
  std::uint64_t n = 0;
  if (text.empty()) ADD_FAILURE() << where << ": field " << key << " is not a number";
  for (char ch : text) {
    if (ch < '0' || ch > '9') {
      ADD_FAILURE() << where << ": field " << key << " is not a number: " << text;
      return 0;
    }
    n = n * 10 + static_cast<std::uint64_t>(ch - '0');
  }
  return n;
}

}  // namespace

KvRecord::Field* KvRecord::find(std::map<std::string, Field, std::less<>>& fields,
                                std::string_view key, const char* what) {
  auto it = fields.find(key);
  if (it == fields.end()) {
    ADD_FAILURE() << where_ << ": " << what << " " << key << " is missing";
    return nullptr;
  }
  it->second.used = true;
  return &it->second;
}

bool KvRecord::has(std::string_view key) const { return fields_.find(key) != fields_.end(); }

std::string KvRecord::text(std::string_view key) {
  Field* f = find(fields_, key, "field");
  if (f != nullptr && f->bare) ADD_FAILURE() << where_ << ": " << key << " has no value";
  return f != nullptr ? f->value : std::string();
}

Bytes KvRecord::bytes(std::string_view key) {
  std::string v = text(key);
  if (is_quoted(v)) {
    auto inner = std::string_view(v).substr(1, v.size() - 2);
    return Bytes(inner.begin(), inner.end());
  }
  return from_hex(v);
}

std::uint64_t KvRecord::number(std::string_view key) { return parse_number(text(key), where_, key); }

bool KvRecord::flag(std::string_view key) {
  auto it = fields_.find(key);
  if (it == fields_.end()) return false;
  if (!it->second.bare) ADD_FAILURE() << where_ << ": " << key << " carries a value";
  it->second.used = true;
  return true;
}

std::string KvRecord::header(std::string_view key) {
  Field* f = find(headers_, key, "section header");
  return f != nullptr ? f->value : std::string();
}

std::uint64_t KvRecord::header_number(std::string_view key) {
  return parse_number(header(key), where_, key);
}

void KvRecord::skip() {
  for (auto& [k, f] : fields_) f.used = true;
  for (auto& [k, f] : headers_) f.used = true;
}

::testing::AssertionResult KvRecord::all_consumed() const {
  std::string unread;
  for (const auto& [k, f] : fields_)
    if (!f.used) unread += " " + k;
  for (const auto& [k, f] : headers_)
    if (!f.used) unread += " [" + k + "]";
  if (unread.empty()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << where_ << ": fields not checked:" << unread;
}

::testing::AssertionResult read_kv_file(const std::filesystem::path& path,
                                        std::string_view record_key, std::vector<KvRecord>& out) {
  std::string content;
  if (auto r = read_file(path, content); !r) return r;
  out.clear();
  std::map<std::string, KvRecord::Field, std::less<>> headers;
  std::istringstream in(content);
  std::string raw;
  int line_no = 0;
  const std::string name = path.filename().string();
  while (std::getline(in, raw)) {
    ++line_no;
    std::string_view line = trim(raw);
    if (line.empty() || line.front() == '#') continue;
    const auto where = [&] { return name + ":" + std::to_string(line_no); };
    if (line.front() == '[') {
      if (line.back() != ']') return ::testing::AssertionFailure() << where() << ": bad header";
      std::string_view body = line.substr(1, line.size() - 2);
      auto eq = body.find('=');
      std::string key(trim(body.substr(0, eq)));
      std::string value(eq == std::string_view::npos ? "" : trim(body.substr(eq + 1)));
      headers[key] = KvRecord::Field{value, eq == std::string_view::npos, false};
      continue;
    }
    auto eq = line.find('=');
    std::string key(trim(line.substr(0, eq)));
    KvRecord::Field field{std::string(eq == std::string_view::npos ? "" : trim(line.substr(eq + 1))),
                          eq == std::string_view::npos, false};
    if (key == record_key) {
      KvRecord rec;
      rec.where_ = where();
      rec.headers_ = headers;
      out.push_back(std::move(rec));
    } else if (out.empty()) {
      return ::testing::AssertionFailure() << where() << ": field " << key << " before the first "
                                           << record_key;
    }
    if (!out.back().fields_.emplace(key, std::move(field)).second)
      return ::testing::AssertionFailure() << where() << ": field " << key << " repeated";
  }
  if (in.bad()) return ::testing::AssertionFailure() << "error reading " << path;
  if (out.empty()) return ::testing::AssertionFailure() << path << " holds no " << record_key << " records";
  return ::testing::AssertionSuccess();
}

JsonFields::JsonFields(const nlohmann::json& object, std::string where)
    : object_(object), where_(std::move(where)) {
  if (!object_.is_object()) ADD_FAILURE() << where_ << ": not a JSON object";
}

const nlohmann::json& JsonFields::get(std::string_view key) {
  static const nlohmann::json kNull;
  if (!object_.is_object()) return kNull;
  auto it = object_.find(key);
  if (it == object_.end()) {
    ADD_FAILURE() << where_ << ": field " << key << " is missing";
    return kNull;
  }
  used_.emplace(key);
  return *it;
}

std::string JsonFields::str(std::string_view key) {
  const auto& v = get(key);
  if (!v.is_string()) {
    ADD_FAILURE() << where_ << ": field " << key << " is not a string";
    return {};
  }
  return v.get<std::string>();
}

Bytes JsonFields::hex(std::string_view key) { return from_hex(str(key)); }

std::int64_t JsonFields::num(std::string_view key) {
  const auto& v = get(key);
  if (!v.is_number_integer()) {
    ADD_FAILURE() << where_ << ": field " << key << " is not an integer";
    return 0;
  }
  return v.get<std::int64_t>();
}

void JsonFields::ignore(std::string_view key) { used_.emplace(key); }

::testing::AssertionResult JsonFields::all_consumed() const {
  std::string unread;
  if (object_.is_object())
    for (const auto& [k, v] : object_.items())
      if (used_.find(k) == used_.end()) unread += " " + k;
  if (unread.empty()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << where_ << ": fields not checked:" << unread;
}

std::vector<WycheproofCase> wycheproof_cases(
    std::string_view file_name,
    const std::function<bool(const nlohmann::json&, const nlohmann::json&)>& keep) {
  const std::string file(file_name);
  auto failed = [&](std::string why) {
    WycheproofCase c;
    c.file = file;
    c.load_error = std::move(why);
    return std::vector<WycheproofCase>{std::move(c)};
  };
  nlohmann::json doc;
  if (auto r = read_json(shared_vectors() / "wycheproof" / file, doc); !r) return failed(r.message());
  if (!doc.is_object() || !doc.contains("testGroups") || !doc["testGroups"].is_array() ||
      !doc.contains("numberOfTests") || !doc["numberOfTests"].is_number_integer())
    return failed(file + ": not a Wycheproof test file");
  std::vector<WycheproofCase> out;
  std::int64_t total = 0;
  for (const auto& g : doc["testGroups"]) {
    if (!g.is_object() || !g.contains("tests") || !g["tests"].is_array())
      return failed(file + ": group without tests");
    nlohmann::json group = g;
    group.erase("tests");
    for (const auto& t : g["tests"]) {
      ++total;
      if (!t.is_object() || !t.contains("tcId") || !t["tcId"].is_number_integer())
        return failed(file + ": test without tcId");
      if (keep && !keep(group, t)) continue;
      out.push_back(WycheproofCase{file, t["tcId"].get<std::int64_t>(), group, t, {}});
    }
  }
  if (total != doc["numberOfTests"].get<std::int64_t>())
    return failed(file + ": numberOfTests says " + doc["numberOfTests"].dump() + ", file holds " +
                  std::to_string(total));
  if (out.empty()) return failed(file + ": no test matches the selection");
  return out;
}

std::string wycheproof_name(const ::testing::TestParamInfo<WycheproofCase>& info) {
  if (!info.param.load_error.empty()) return "load_error";
  return "tc" + std::to_string(info.param.tc_id);
}

void PrintTo(const WycheproofCase& c, std::ostream* os) {
  *os << c.file << " tcId " << c.tc_id;
  if (c.test.is_object() && c.test.contains("comment")) *os << " (" << c.test["comment"].dump() << ")";
}

Verdict verdict_of(std::string_view result) {
  if (result == "valid") return Verdict::kValid;
  if (result == "invalid") return Verdict::kInvalid;
  if (result == "acceptable") return Verdict::kAcceptable;
  return Verdict::kUnknown;
}

}  // namespace tessella::test
