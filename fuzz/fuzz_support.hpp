// Shared pieces of the fuzz targets: the invariant check, a carver that cuts typed values from
// the fuzzer's bytes, and the policy reference (a full document parse with the reader's rules).
#ifndef TESSELLA_FUZZ_SUPPORT_HPP
#define TESSELLA_FUZZ_SUPPORT_HPP

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "tessella/frame.hpp"
#include "tessella/types.hpp"

// Every target aborts on a broken invariant, so libFuzzer reports a finding and a replay fails.
#define FUZZ_CHECK(cond)                                                  \
  do {                                                                    \
    if (!(cond)) ::tessella_fuzz::fail(#cond, __FILE__, __LINE__);       \
  } while (0)

namespace tessella_fuzz {

using tessella::ByteView;
using tessella::Bytes;

[[noreturn]] inline void fail(const char* what, const char* file, int line) {
  std::fprintf(stderr, "invariant violated: %s (%s:%d)\n", what, file, line);
  std::fflush(stderr);
  std::abort();
}

// Cuts values from the front of the input. Reads past the end give zeros (or fewer bytes), so
// every input is usable and short inputs map to the simplest parameters.
class Carver {
 public:
  Carver(const std::uint8_t* data, std::size_t size) noexcept : in_(data, size) {}

  std::size_t remaining() const noexcept { return in_.size() - pos_; }

  // Little-endian. The operands of | are unsequenced, so each part is read in its own statement:
  // a replay built by another compiler must cut the same values.
  std::uint8_t u8() noexcept { return pos_ < in_.size() ? in_[pos_++] : 0; }
  std::uint16_t u16() noexcept {
    const std::uint16_t lo = u8();
    return static_cast<std::uint16_t>(lo | (u8() << 8));
  }
  std::uint32_t u32() noexcept {
    const std::uint32_t lo = u16();
    return lo | (std::uint32_t{u16()} << 16);
  }
  std::uint64_t u64() noexcept {
    const std::uint64_t lo = u32();
    return lo | (std::uint64_t{u32()} << 32);
  }
  bool flag() noexcept { return (u8() & 1) != 0; }

  // Up to n bytes (fewer when the input runs out).
  ByteView take(std::size_t n) noexcept {
    n = std::min(n, remaining());
    ByteView out = in_.subspan(pos_, n);
    pos_ += n;
    return out;
  }

  template <std::size_t N>
  std::array<std::uint8_t, N> array() noexcept {
    std::array<std::uint8_t, N> out{};
    ByteView b = take(N);
    std::copy(b.begin(), b.end(), out.begin());
    return out;
  }

  ByteView rest() noexcept { return take(remaining()); }

 private:
  ByteView in_;
  std::size_t pos_ = 0;
};

// Fixed keys of the targets that seal or issue (the corpus generator uses the same ones, so its
// seeds reach the success paths): a 32-byte seed made from one byte, and the data key.
inline tessella::Seed fixed_seed(std::uint8_t b) noexcept {
  tessella::Seed s{};
  for (std::size_t i = 0; i < s.size(); ++i) s[i] = static_cast<std::uint8_t>(b + 7 * i);
  return s;
}
inline Bytes fixed_data_key() {
  Bytes key(32);
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(0x11 * (i + 1));
  return key;
}
inline constexpr std::uint8_t kAuthorSeed = 0xA0;
inline constexpr std::uint8_t kIssuerSeed = 0x15;
inline constexpr std::uint8_t kHolderSeed = 0x40;

// The nesting limit of the policy reader: a document nesting deeper counts as not JSON.
inline constexpr std::size_t kPolicyMaxDepth = 65536;
static_assert(kPolicyMaxDepth == tessella::kPolicyMaxDepth);

// Deepest container nesting of a parsed document (a top-level object or array is 1, a scalar
// 0), walked with an explicit stack so that deep documents cannot exhaust the call stack.
inline std::size_t nesting_depth(const nlohmann::json& doc) {
  std::size_t deepest = 0;
  std::vector<std::pair<const nlohmann::json*, std::size_t>> todo{{&doc, 1}};
  while (!todo.empty()) {
    auto [node, depth] = todo.back();
    todo.pop_back();
    if (!node->is_structured()) continue;
    deepest = std::max(deepest, depth);
    for (const auto& child : *node) todo.emplace_back(&child, depth + 1);
  }
  return deepest;
}

// Whether `s` is exactly -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?.
inline bool is_json_number(std::string_view s) {
  std::size_t i = 0;
  const auto digits = [&] {
    const std::size_t from = i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
    return i > from;
  };
  if (i < s.size() && s[i] == '-') ++i;
  if (i < s.size() && s[i] == '0') {
    ++i;
  } else if (!digits()) {
    return false;
  }
  if (i < s.size() && s[i] == '.') {
    ++i;
    if (!digits()) return false;
  }
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    if (!digits()) return false;
  }
  return i == s.size();
}

// RFC 8259 text that nlohmann::json refuses, rewritten into text it takes with the same policy.
// Two things are refused there: a number whose value is beyond the range of a double (1e400, a
// 400-digit integer), and a \u escape of a surrogate that is not part of a pair. The rewrite
// replaces such a number token with 0.5 (no policy key reads a float and a number beyond 2^64
// alike as 0) and every surrogate escape with \u0020 (a key holding either matches neither policy
// key). Each replacement is a token of the same kind, so a text that is not JSON stays not JSON:
// strings are followed quote by quote and escape by escape, and a number is a maximal run of
// number characters outside strings that matches the number grammar exactly.
inline std::string neutralize_for_nlohmann(ByteView meta) {
  const std::string in(meta.begin(), meta.end());
  std::string out;
  out.reserve(in.size());
  const auto is_hex = [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
  };
  const auto is_number_char = [](char c) {
    return (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
  };
  std::size_t i = 0;
  bool in_string = false;
  while (i < in.size()) {
    const char c = in[i];
    if (in_string) {
      if (c == '"') {
        in_string = false;
      } else if (c == '\\' && i + 1 < in.size()) {
        if (in[i + 1] == 'u' && i + 5 < in.size() && is_hex(in[i + 2]) && is_hex(in[i + 3]) &&
            is_hex(in[i + 4]) && is_hex(in[i + 5])) {
          const unsigned long unit = std::stoul(in.substr(i + 2, 4), nullptr, 16);
          out += unit >= 0xD800 && unit <= 0xDFFF ? std::string("\\u0020") : in.substr(i, 6);
          i += 6;
          continue;
        }
        out += in.substr(i, 2);
        i += 2;
        continue;
      }
      out += c;
      ++i;
      continue;
    }
    if (c == '"') {
      in_string = true;
    } else if (c == '-' || (c >= '0' && c <= '9')) {
      std::size_t end = i;
      while (end < in.size() && is_number_char(in[end])) ++end;
      const std::string run = in.substr(i, end - i);
      const bool out_of_range = is_json_number(run) &&
                                !std::isfinite(std::strtod(run.c_str(), nullptr));
      out += out_of_range ? std::string("0.5") : run;
      i = end;
      continue;
    }
    out += c;
    ++i;
  }
  return out;
}

// nlohmann::json skips a byte order mark at the start of its input.
inline bool starts_with_bom(ByteView meta) {
  return meta.size() >= 3 && meta[0] == 0xEF && meta[1] == 0xBB && meta[2] == 0xBF;
}

// The policy of a meta section, from a whole-document parse: the same answer read_policy must
// give. NUL is valid nowhere in JSON text, and the lexer would take it for the end of the input,
// so a section holding one is not JSON; the lexer also skips a leading byte order mark, which
// RFC 8259 text does not have.
inline tessella::FramePolicy policy_from_document(ByteView meta) {
  if (std::find(meta.begin(), meta.end(), std::uint8_t{0}) != meta.end()) return {};
  if (starts_with_bom(meta)) return {};
  const std::string text = neutralize_for_nlohmann(meta);
  const nlohmann::json doc = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (doc.is_discarded()) return {};
  if (nesting_depth(doc) > kPolicyMaxDepth) return {};
  if (!doc.is_object()) return {};
  tessella::FramePolicy policy;
  // An object keeps the last occurrence of a repeated key.
  if (auto it = doc.find("require_cap"); it != doc.end() && it->is_boolean()) {
    policy.require_cap = it->get<bool>();
  }
  if (auto it = doc.find("allowed_ops"); it != doc.end() && it->is_number_unsigned()) {
    policy.allowed_ops = tessella::Rights::from_bits_retain(
        static_cast<std::uint32_t>(it->get<std::uint64_t>()));
  }
  return policy;
}

inline bool same_bytes(ByteView a, ByteView b) noexcept {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

}  // namespace tessella_fuzz

#endif
