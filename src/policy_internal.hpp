// The two readers behind read_policy: the compact reader, which decides the documents the
// library and its hosts write in one cheap pass, and the full reader of the whole grammar, which
// decides everything else. The fuzz target checks that they agree.
#ifndef TESSELLA_SRC_POLICY_INTERNAL_HPP
#define TESSELLA_SRC_POLICY_INTERNAL_HPP

#include "tessella/policy.hpp"

namespace tessella::detail {

/// read_policy_compact decides the policy of a compact document: no text at all, or one object
/// with no white space whose keys and string values are printable ASCII without escapes, and
/// whose values are such strings, integers written with digits alone, true, false or null. It
/// then sets `out` to what read_policy_full gives and returns true. For any other text it
/// returns false and leaves `out` alone.
bool read_policy_compact(ByteView meta, FramePolicy& out) noexcept;

/// read_policy_full reads any text by the rules of read_policy.
FramePolicy read_policy_full(ByteView meta) noexcept;

}  // namespace tessella::detail

#endif
