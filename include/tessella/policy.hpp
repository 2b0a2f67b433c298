/// @file
/// The access policy of a frame: the JSON document in its meta section, and reading it.
#ifndef TESSELLA_POLICY_HPP
#define TESSELLA_POLICY_HPP

#include <cstddef>

#include "tessella/export.hpp"
#include "tessella/rights.hpp"
#include "tessella/types.hpp"

namespace tessella {

/// The access policy read from a frame's meta section.
struct FramePolicy {
  bool require_cap = false;  ///< Whether opening demands a capability token.
  Rights allowed_ops;        ///< Every right the token must grant.
  /// Field-wise equality.
  friend bool operator==(const FramePolicy&, const FramePolicy&) = default;
};

/// The deepest nesting read_policy follows, the top-level value counting as level 1. A 65,535-byte
/// meta section cannot reach it; a longer text that nests deeper counts as not JSON.
inline constexpr std::size_t kPolicyMaxDepth = 65536;

/// read_policy reads meta as one JSON text (RFC 8259): white space (space, tab, line feed,
/// carriage return), one value, white space, nothing else. Strings must be UTF-8 (no overlong
/// forms, no encoded surrogates, nothing above U+10FFFF, no truncated sequence) with no
/// unescaped control character; every escape of the grammar is taken, lone surrogate escapes
/// included. Numbers may have any size and precision. Nesting may go to kPolicyMaxDepth levels.
/// A NUL byte, a byte order mark, NaN or Infinity make the text not JSON.
///
/// Only a top-level object counts. A member counts by its decoded key, so "require\u005fcap" is
/// "require_cap". The last "require_cap" counts when it is the literal true. The last
/// "allowed_ops" counts when it is an integer written with digits only (no sign, fraction or
/// exponent) up to 2^64 - 1, reduced to its low 32 bits; any other value of that member (a
/// larger integer, a float, a negative number, another type) makes it 0. A text that is not JSON
/// gives the defaults (false, 0).
/// Never fails, allocates nothing and keeps 8 KiB of state on the stack.
TESSELLA_API FramePolicy read_policy(ByteView meta) noexcept;

}  // namespace tessella

#endif
