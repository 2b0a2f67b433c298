#include "tessella/policy.hpp"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "policy_internal.hpp"

namespace tessella {

namespace {

// The reader walks the text once, left to right, with no recursion: the containers that are open
// are a depth counter and one bit each (object or array), and only members of the top-level
// object (depth 1) are looked at. String values are checked, never kept; a key is compared with
// the two policy keys while it is decoded.
class PolicyReader {
 public:
  explicit PolicyReader(ByteView in) noexcept : in_(in) {}

  // Reads the whole text; false when it is not one JSON value surrounded by white space.
  bool read() noexcept;

  FramePolicy policy() const noexcept {
    if (!top_is_object_) return {};
    return FramePolicy{require_cap_, Rights::from_bits_retain(static_cast<std::uint32_t>(allowed_))};
  }

 private:
  enum class Key : std::uint8_t { Other, RequireCap, AllowedOps };
  enum class Value : std::uint8_t { Other, True, Unsigned };
  // What the grammar allows at the current position.
  enum class Expect : std::uint8_t { Value, ValueOrClose, Key, KeyOrClose, CommaOrClose };

  static constexpr std::string_view kRequireCap = "require_cap";
  static constexpr std::string_view kAllowedOps = "allowed_ops";
  static_assert(kRequireCap.size() == kAllowedOps.size());

  bool at_end() const noexcept { return pos_ == in_.size(); }
  std::uint8_t peek() const noexcept { return in_[pos_]; }

  void skip_white_space() noexcept {
    while (!at_end()) {
      const std::uint8_t c = peek();
      if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return;
      ++pos_;
    }
  }

  bool top_is_object_container() const noexcept {
    const std::size_t level = depth_ - 1;
    return ((kinds_[level / 64] >> (level % 64)) & 1u) != 0;
  }

  // Opens a container one level deeper. The word of a level is written whole when its first
  // level is opened, so no bit is read before it was written.
  bool open(bool object) noexcept {
    if (depth_ == kPolicyMaxDepth) return false;
    const std::size_t word = depth_ / 64;
    const std::uint64_t bit = std::uint64_t{1} << (depth_ % 64);
    if (depth_ % 64 == 0) {
      kinds_[word] = object ? bit : 0;
    } else {
      kinds_[word] = object ? (kinds_[word] | bit) : (kinds_[word] & ~bit);
    }
    ++depth_;
    return true;
  }

  // A value of a member of the top-level object settles the key it belongs to. Other values
  // (array elements, deeper members) leave pending_ at Other.
  void assign(Value v) noexcept {
    if (depth_ != 1) return;
    if (pending_ == Key::RequireCap) require_cap_ = v == Value::True;
    if (pending_ == Key::AllowedOps) allowed_ = v == Value::Unsigned ? unsigned_value_ : 0;
    pending_ = Key::Other;
  }

  bool literal(std::string_view word) noexcept {
    if (in_.size() - pos_ < word.size()) return false;
    for (std::size_t i = 0; i < word.size(); ++i) {
      if (in_[pos_ + i] != static_cast<std::uint8_t>(word[i])) return false;
    }
    pos_ += word.size();
    return true;
  }

  bool number(Value& kind) noexcept;
  bool string(Key* key) noexcept;
  std::size_t utf8_sequence() const noexcept;
  bool hex4(std::uint32_t& unit) noexcept;

  ByteView in_;
  std::size_t pos_ = 0;
  std::size_t depth_ = 0;
  // Bit n: the container at level n + 1 is an object. Only the levels up to depth_ are ever read,
  // so the array needs no clearing.
  std::array<std::uint64_t, kPolicyMaxDepth / 64> kinds_;
  bool top_is_object_ = false;
  Key pending_ = Key::Other;
  bool require_cap_ = false;
  std::uint64_t allowed_ = 0;
  std::uint64_t unsigned_value_ = 0;
};

bool PolicyReader::read() noexcept {
  skip_white_space();
  if (!at_end() && peek() == '{') top_is_object_ = true;
  Expect expect = Expect::Value;
  for (;;) {
    switch (expect) {
      case Expect::ValueOrClose:
      case Expect::Value: {
        skip_white_space();
        if (at_end()) return false;
        const std::uint8_t c = peek();
        if (c == ']' && expect == Expect::ValueOrClose) {
          ++pos_;
          --depth_;
          expect = Expect::CommaOrClose;
          break;
        }
        Value v = Value::Other;
        switch (c) {
          case '{':
          case '[':
            // A container as the value of a policy key counts like any other wrong type.
            assign(Value::Other);
            ++pos_;
            if (!open(c == '{')) return false;
            expect = c == '{' ? Expect::KeyOrClose : Expect::ValueOrClose;
            continue;
          case '"':
            if (!string(nullptr)) return false;
            break;
          case 't':
            if (!literal("true")) return false;
            v = Value::True;
            break;
          case 'f':
            if (!literal("false")) return false;
            break;
          case 'n':
            if (!literal("null")) return false;
            break;
          default:
            if (!number(v)) return false;
            break;
        }
        assign(v);
        expect = Expect::CommaOrClose;
        break;
      }
      case Expect::KeyOrClose:
      case Expect::Key: {
        skip_white_space();
        if (at_end()) return false;
        if (peek() == '}' && expect == Expect::KeyOrClose) {
          ++pos_;
          --depth_;
          expect = Expect::CommaOrClose;
          break;
        }
        if (peek() != '"') return false;
        Key key = Key::Other;
        if (!string(depth_ == 1 ? &key : nullptr)) return false;
        pending_ = key;
        skip_white_space();
        if (at_end() || peek() != ':') return false;
        ++pos_;
        expect = Expect::Value;
        break;
      }
      case Expect::CommaOrClose: {
        skip_white_space();
        if (depth_ == 0) return at_end();
        if (at_end()) return false;
        const std::uint8_t c = peek();
        const bool object = top_is_object_container();
        ++pos_;
        if (c == ',') {
          expect = object ? Expect::Key : Expect::Value;
        } else if (c == (object ? '}' : ']')) {
          --depth_;
        } else {
          return false;
        }
        break;
      }
    }
  }
}

// -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)? of any length. kind is Unsigned, with the value
// in unsigned_value_, for digits alone up to 2^64 - 1; Other for everything else.
bool PolicyReader::number(Value& kind) noexcept {
  const auto digit = [this] { return !at_end() && peek() >= '0' && peek() <= '9'; };
  bool plain = true;  // digits only, no sign, fraction or exponent, and within 64 bits
  if (peek() == '-') {
    plain = false;
    ++pos_;
  }
  if (!digit()) return false;
  std::uint64_t value = 0;
  if (peek() == '0') {
    ++pos_;
  } else {
    do {
      const auto d = static_cast<std::uint64_t>(peek() - '0');
      if (value > (UINT64_MAX - d) / 10) plain = false;
      value = value * 10 + d;
      ++pos_;
    } while (digit());
  }
  if (!at_end() && peek() == '.') {
    plain = false;
    ++pos_;
    if (!digit()) return false;
    while (digit()) ++pos_;
  }
  if (!at_end() && (peek() == 'e' || peek() == 'E')) {
    plain = false;
    ++pos_;
    if (!at_end() && (peek() == '+' || peek() == '-')) ++pos_;
    if (!digit()) return false;
    while (digit()) ++pos_;
  }
  unsigned_value_ = value;
  kind = plain ? Value::Unsigned : Value::Other;
  return true;
}

bool PolicyReader::hex4(std::uint32_t& unit) noexcept {
  if (in_.size() - pos_ < 4) return false;
  unit = 0;
  for (int i = 0; i < 4; ++i) {
    const std::uint8_t c = in_[pos_++];
    std::uint32_t v;
    if (c >= '0' && c <= '9') {
      v = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      v = c - 'a' + 10u;
    } else if (c >= 'A' && c <= 'F') {
      v = c - 'A' + 10u;
    } else {
      return false;
    }
    unit = unit << 4 | v;
  }
  return true;
}

// The length of the well-formed UTF-8 sequence of two to four bytes at pos_, 0 when there is
// none: no overlong form, no surrogate, nothing above U+10FFFF, nothing cut short.
std::size_t PolicyReader::utf8_sequence() const noexcept {
  const std::uint8_t lead = in_[pos_];
  std::size_t n;
  std::uint8_t lo = 0x80, hi = 0xBF;  // the range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    n = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    n = 3;
    if (lead == 0xE0) lo = 0xA0;
    if (lead == 0xED) hi = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    n = 4;
    if (lead == 0xF0) lo = 0x90;
    if (lead == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (in_.size() - pos_ < n) return 0;
  if (in_[pos_ + 1] < lo || in_[pos_ + 1] > hi) return 0;
  for (std::size_t i = 2; i < n; ++i) {
    if (in_[pos_ + i] < 0x80 || in_[pos_ + i] > 0xBF) return 0;
  }
  return n;
}

// A string from its opening quote to its closing one. When key is given, it is set to the policy
// key that the decoded string equals.
bool PolicyReader::string(Key* key) noexcept {
  ++pos_;
  // Decoded length so far, and whether the decoded text is still a prefix of each key.
  std::size_t length = 0;
  bool require_cap = key != nullptr, allowed_ops = key != nullptr;
  const auto decoded = [&](std::uint32_t unit) {
    if (!require_cap && !allowed_ops) return;
    if (length < kRequireCap.size() && unit < 0x80) {
      require_cap = require_cap && kRequireCap[length] == static_cast<char>(unit);
      allowed_ops = allowed_ops && kAllowedOps[length] == static_cast<char>(unit);
    } else {
      require_cap = allowed_ops = false;
    }
    ++length;
  };
  for (;;) {
    if (at_end()) return false;
    const std::uint8_t c = peek();
    if (c == '"') {
      ++pos_;
      break;
    }
    if (c < 0x20) return false;
    if (c == '\\') {
      ++pos_;
      if (at_end()) return false;
      std::uint32_t unit;
      switch (peek()) {
        case '"': unit = '"'; break;
        case '\\': unit = '\\'; break;
        case '/': unit = '/'; break;
        case 'b': unit = '\b'; break;
        case 'f': unit = '\f'; break;
        case 'n': unit = '\n'; break;
        case 'r': unit = '\r'; break;
        case 't': unit = '\t'; break;
        case 'u':
          ++pos_;
          // Any four hex digits: a lone surrogate is a valid escape, and such a key matches no
          // policy key anyway.
          if (!hex4(unit)) return false;
          decoded(unit);
          continue;
        default:
          return false;
      }
      ++pos_;
      decoded(unit);
    } else if (c < 0x80) {
      ++pos_;
      decoded(c);
    } else {
      const std::size_t n = utf8_sequence();
      if (n == 0) return false;
      pos_ += n;
      decoded(0x80);  // any code point beyond ASCII
    }
  }
  if (key != nullptr && length == kRequireCap.size()) {
    if (require_cap) *key = Key::RequireCap;
    if (allowed_ops) *key = Key::AllowedOps;
  }
  return true;
}

// The compact reader's pieces.

constexpr std::uint64_t kOnes = 0x0101010101010101;
constexpr std::uint64_t kHighs = 0x8080808080808080;

// The index of the first of the eight bytes of w, in memory order, that may end a plain run of
// string bytes (a quote, a backslash, a control character or a byte above 0x7F); 8 when there is
// none. Each test flags every byte it is after, and may also flag bytes behind a flagged one
// (its borrow runs on), never one before: the lowest flag is exact.
unsigned first_special(std::uint64_t w) noexcept {
  if constexpr (std::endian::native == std::endian::big) w = std::byteswap(w);
  const auto zero_byte = [](std::uint64_t x) { return (x - kOnes) & ~x; };
  // Below 0x20 or above 0x7F: ((w - 0x20..) & ~w) | w, which is (w - 0x20..) | w.
  const std::uint64_t flags =
      (zero_byte(w ^ (kOnes * '"')) | zero_byte(w ^ (kOnes * '\\')) | (w - kOnes * 0x20) | w) &
      kHighs;
  return flags == 0 ? 8 : static_cast<unsigned>(std::countr_zero(flags)) / 8;
}

// The position just after the closing quote of a string whose first byte is at pos and whose
// bytes are all printable ASCII other than the backslash; 0 for any other string (escapes,
// UTF-8, control characters, no closing quote). Sixteen bytes at a time where SSE2 is there,
// eight elsewhere, then one by one.
std::size_t plain_string_end(const std::uint8_t* p, std::size_t pos, std::size_t n) noexcept {
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"'), backslash = _mm_set1_epi8('\\');
  const __m128i space = _mm_set1_epi8(0x20);
  while (n - pos >= 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + pos));
    // Compared as signed bytes, those above 0x7F are below 0x20 as well.
    const __m128i special = _mm_or_si128(
        _mm_cmplt_epi8(v, space), _mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)));
    const auto flags = static_cast<unsigned>(_mm_movemask_epi8(special));
    if (flags != 0) {
      pos += static_cast<std::size_t>(std::countr_zero(flags));
      return p[pos] == '"' ? pos + 1 : 0;
    }
    pos += 16;
  }
#endif
  while (n - pos >= 8) {
    std::uint64_t w;
    std::memcpy(&w, p + pos, 8);
    const unsigned at = first_special(w);
    if (at < 8) return p[pos + at] == '"' ? pos + at + 1 : 0;
    pos += 8;
  }
  for (; pos < n; ++pos) {
    const std::uint8_t c = p[pos];
    if (c == '"') return pos + 1;
    if (c < 0x20 || c > 0x7F || c == '\\') return 0;
  }
  return 0;
}

bool bytes_equal(const std::uint8_t* p, std::string_view text) noexcept {
  return std::memcmp(p, text.data(), text.size()) == 0;
}

// The two policies the library itself writes, compared whole.
constexpr std::string_view kNoCapDocument = R"({"require_cap":false})";
constexpr std::string_view kCapPrefix = R"({"require_cap":true,"allowed_ops":)";

}  // namespace

namespace detail {
namespace {

// The compact object: the loop over its members, kept out of read_policy_compact so that the
// shapes decided by comparing bytes pay no more than the comparison.
[[gnu::noinline]] bool read_compact_object(ByteView meta, FramePolicy& out) noexcept {
  const std::uint8_t* p = meta.data();
  const std::size_t n = meta.size();
  if (n < 2 || p[0] != '{') return false;

  bool require_cap = false;
  std::uint64_t allowed = 0;
  std::size_t pos = 1;
  if (p[1] == '}') {
    if (n != 2) return false;
    out = {};
    return true;
  }
  enum class Key : std::uint8_t { Other, RequireCap, AllowedOps };
  for (;;) {
    // A member: "key":value.
    Key key = Key::Other;
    if (pos == 1 && n > kCapPrefix.size() && bytes_equal(p, kCapPrefix)) {
      // {"require_cap":true,"allowed_ops": as the library writes it: two members at once.
      require_cap = true;
      key = Key::AllowedOps;
      pos = kCapPrefix.size();
    } else {
      if (pos >= n || p[pos] != '"') return false;
      const std::size_t end = plain_string_end(p, pos + 1, n);
      if (end == 0) return false;
      if (end - pos == 13) {  // an 11-byte key and its quotes
        if (bytes_equal(p + pos + 1, "require_cap")) key = Key::RequireCap;
        if (bytes_equal(p + pos + 1, "allowed_ops")) key = Key::AllowedOps;
      }
      pos = end;
      if (pos >= n || p[pos] != ':') return false;
      ++pos;
    }
    if (pos >= n) return false;
    const std::uint8_t c = p[pos];
    bool is_true = false, is_unsigned = false;
    std::uint64_t value = 0;
    if (c == '"') {
      pos = plain_string_end(p, pos + 1, n);
      if (pos == 0) return false;
    } else if (c >= '0' && c <= '9') {
      // Digits alone: a leading zero stands alone; a sign, a fraction or an exponent is left
      // to the full reader (the byte after the digits must be ',' or '}'). Only the value of
      // "allowed_ops" is computed.
      is_unsigned = true;
      const std::size_t first = pos++;
      if (c != '0') {
        while (pos < n && p[pos] >= '0' && p[pos] <= '9') ++pos;
      }
      if (key == Key::AllowedOps) {
        constexpr std::uint64_t kMaxTenth = UINT64_MAX / 10, kMaxLast = UINT64_MAX % 10;
        for (std::size_t i = first; i < pos; ++i) {
          const auto d = static_cast<std::uint64_t>(p[i] - '0');
          if (value > kMaxTenth || (value == kMaxTenth && d > kMaxLast)) is_unsigned = false;
          value = value * 10 + d;
        }
      }
    } else if (c == 't' && n - pos >= 4 && bytes_equal(p + pos, "true")) {
      is_true = true;
      pos += 4;
    } else if (c == 'f' && n - pos >= 5 && bytes_equal(p + pos, "false")) {
      pos += 5;
    } else if (c == 'n' && n - pos >= 4 && bytes_equal(p + pos, "null")) {
      pos += 4;
    } else {
      return false;
    }
    // The last occurrence of a key counts, as in the full reader.
    if (key == Key::RequireCap) require_cap = is_true;
    if (key == Key::AllowedOps) allowed = is_unsigned ? value : 0;
    if (pos >= n) return false;
    if (p[pos] == ',') {
      ++pos;
      continue;
    }
    if (p[pos] == '}' && pos + 1 == n) break;
    return false;
  }
  out = FramePolicy{require_cap, Rights::from_bits_retain(static_cast<std::uint32_t>(allowed))};
  return true;
}

}  // namespace

bool read_policy_compact(ByteView meta, FramePolicy& out) noexcept {
  // No text (not JSON), and the library's document of a frame that asks for no capability.
  if (meta.empty() || (meta.size() == kNoCapDocument.size() &&
                       bytes_equal(meta.data(), kNoCapDocument))) {
    out = {};
    return true;
  }
  return read_compact_object(meta, out);
}

// Kept out of read_policy: its 8 KiB of state would otherwise be set up on every call.
[[gnu::noinline]] FramePolicy read_policy_full(ByteView meta) noexcept {
  PolicyReader reader(meta);
  return reader.read() ? reader.policy() : FramePolicy{};
}

}  // namespace detail

FramePolicy read_policy(ByteView meta) noexcept {
  FramePolicy policy;
  if (detail::read_policy_compact(meta, policy)) return policy;
  return detail::read_policy_full(meta);
}

}  // namespace tessella
