// Refusals that say why: the tool's context around the library's errors when a frame cannot be
// parsed or opened. The library's error text is kept as it is, in parentheses; the tool finds
// which check refused, from the frame and the token through the public API, in the order the
// opening path checks them.
#ifndef TESSELLA_TOOL_REFUSALS_HPP
#define TESSELLA_TOOL_REFUSALS_HPP

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include <tessella/tessella.hpp>

#include "failure.hpp"

namespace tessella::cli {

/// frame_or_fail parses a frame read from `path`, or throws a Failure that names the file and,
/// for a length error, the length expected and the length found.
FrameView frame_or_fail(const std::string& path, ByteView bytes);

/// What an opening was given, for explaining its refusal.
struct OpenAttempt {
  std::string frame_path, key_path, cap_path;  // cap_path empty without a token
  ByteView frame;
  std::optional<ByteView> cap;
  std::optional<PublicKey> presenter;
  std::optional<std::uint64_t> now;  // nullopt: the expiry check was skipped
  bool now_from_clock = false;       // now is the system clock's, not --now
  std::span<const PublicKey> trusted;  // --trust-issuer keys; the frame's owner is trusted too
  bool any_issuer = false;
};

/// explain_open_refusal throws the Failure that says which check refused the opening: no token,
/// undecodable token, expired, no presenter, wrong holder, bad issuer signature, untrusted
/// issuer, another frame's token, missing rights, wrong data key or damaged frame. The JSON
/// error carries the check's name in "check" and its values.
[[noreturn]] void explain_open_refusal(const OpenAttempt& attempt, const FrameView& frame,
                                       const TessellaError& err);

}  // namespace tessella::cli

#endif
