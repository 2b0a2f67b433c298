#include "refusals.hpp"

#include <algorithm>
#include <cstring>

#include <fmt/format.h>

#include "tessella/fmt.hpp"

#include "commands.hpp"
#include "encoding.hpp"

namespace tessella::cli {

namespace {

std::uint64_t be(ByteView bytes) {
  std::uint64_t v = 0;
  for (std::uint8_t b : bytes) v = v << 8 | b;
  return v;
}

std::uint64_t le(ByteView bytes) {
  std::uint64_t v = 0;
  for (std::size_t i = bytes.size(); i-- > 0;) v = v << 8 | bytes[i];
  return v;
}

// Names the rights, "none" for the empty set.
std::string rights_text(Rights rights) {
  return rights.is_empty() ? std::string("none") : rights.to_string();
}

Json rights_names(Rights rights) {
  Json names = Json::array();
  for (const auto& named : rights.iter_names()) names.push_back(std::string(named.name));
  Rights unnamed = rights - Rights::from_bits_retain(Rights::kNamedMask);
  if (!unnamed.is_empty()) names.push_back(fmt::format("{:#x}", unnamed));
  return names;
}

// The refusal: "SUBJECT: WHY (library text)", with check and fields in the JSON error.
[[noreturn]] void refuse(const std::string& subject, const TessellaError& err, const char* check,
                         const std::string& why, Json fields = Json::object()) {
  Json all = {{"check", check}};
  all.update(fields);
  fail_about(subject, err, why, std::move(all));
}

}  // namespace

FrameView frame_or_fail(const std::string& path, ByteView bytes) {
  auto view = frame_view(bytes);
  if (view) return *view;
  const TessellaError& err = view.error();
  const std::string detail = err.detail() ? err.detail() : "";
  if (detail == "too short") {
    refuse(path, err, "frame_length",
           fmt::format("not a frame: a frame is at least {} bytes; the file holds {}",
                       kFrameMinSize, bytes.size()),
           {{"expected_min_length", kFrameMinSize}, {"found_length", bytes.size()}});
  }
  if (detail == "alg") {
    refuse(path, err, "frame_alg",
           fmt::format("not a frame: the cipher byte is {}; a frame has 1 (AES-256-GCM) or 2 "
                       "(ChaCha20-Poly1305)",
                       bytes[1]),
           {{"found_alg", bytes[1]}});
  }
  if (detail == "length") {
    std::uint64_t p = be(bytes.subspan(128, 2)), m = be(bytes.subspan(130, 2)),
                  n = be(bytes.subspan(132, 4));
    std::uint64_t want = kFrameMinSize + p + m + n;
    refuse(path, err, "frame_length",
           fmt::format("the frame is cut short: its lengths (pol {}, meta {}, ct {}) make {} "
                       "bytes; the file holds {}",
                       p, m, n, want, bytes.size()),
           {{"expected_length", want}, {"found_length", bytes.size()}});
  }
  fail_about(path, err);
}

void explain_open_refusal(const OpenAttempt& a, const FrameView& frame, const TessellaError& err) {
  const ErrorKind kind = err.kind();
  const auto refused = TessellaError(ErrorKind::CapabilityInvalid);
  const auto policy_violation = TessellaError(ErrorKind::PolicyViolation);
  const FramePolicy policy = read_policy(frame.meta);
  // Which check refused, in the opening path's order; each is reported only when the library's
  // kind agrees, so the tool never tells a different story from the library.
  auto agree = [&](const TessellaError& e) { return e.kind() == kind; };

  if (policy.require_cap && (kind == ErrorKind::CapabilityInvalid ||
                             kind == ErrorKind::SignatureInvalid ||
                             kind == ErrorKind::PolicyViolation)) {
    if (!a.cap) {
      if (agree(refused)) {
        refuse(a.frame_path, err, "no_token",
               "the frame's policy requires a capability token and none was given: pass --cap "
               "FILE and --presenter KEY");
      }
    } else {
      auto token = cap_decode(*a.cap);
      if (!token) {
        if (!agree(refused)) fail_about(a.frame_path, err);
        if (token.error() == CapDecodeError::Truncated) {
          refuse(a.cap_path, err, "undecodable_token",
                 fmt::format("not a capability token: a token is {} bytes; the file holds {}",
                             kCapTokenSize, a.cap->size()),
                 {{"expected_length", kCapTokenSize}, {"found_length", a.cap->size()}});
        }
        std::uint64_t word = le(a.cap->subspan(kCapSignedSize, 8));
        refuse(a.cap_path, err, "undecodable_token",
               fmt::format("not a capability token: its signature length word is {}, not {}", word,
                           kSignatureSize),
               {{"expected_signature_length", kSignatureSize}, {"found_signature_length", word}});
      }
      const CapToken& t = *token;
      const std::string issuer = to_hex(t.issuer_pub), holder = to_hex(t.holder_pub);
      if (a.now && t.exp_ts < *a.now && agree(refused)) {
        refuse(a.cap_path, err, "expired",
               fmt::format("the token expired at {}; the time now is {}{}", format_time(t.exp_ts),
                           format_time(*a.now),
                           a.now_from_clock ? " (the system clock; --now sets another time)"
                                            : " (--now)"),
               {{"exp_ts", t.exp_ts},
                {"exp", format_time(t.exp_ts)},
                {"now_ts", *a.now},
                {"now", format_time(*a.now)},
                {"now_from", a.now_from_clock ? "system clock" : "--now"}});
      }
      if (!a.presenter && agree(refused)) {
        refuse("--presenter", err, "no_presenter",
               fmt::format("opening with the token {} needs the presenter's public key "
                           "(--presenter KEY; the token names holder {})",
                           a.cap_path, holder),
               {{"holder_pub", holder}});
      }
      if (a.presenter && t.holder_pub != *a.presenter && agree(refused)) {
        refuse(a.cap_path, err, "wrong_holder",
               fmt::format("the token was issued to holder {}, not to the presenter {} "
                           "(--presenter)",
                           holder, to_hex(*a.presenter)),
               {{"holder_pub", holder}, {"presenter_pub", to_hex(*a.presenter)}});
      }
      if (a.presenter && !cap_verify(t, *a.presenter) &&
          agree(TessellaError(ErrorKind::SignatureInvalid))) {
        refuse(a.cap_path, err, "bad_issuer_signature",
               fmt::format("the issuer's signature on the token does not hold under its issuer "
                           "key {}: the token was altered, or the key is not a usable public key",
                           issuer),
               {{"issuer_pub", issuer}});
      }
      const bool trusted = a.any_issuer || t.issuer_pub == frame.owner ||
                           std::find(a.trusted.begin(), a.trusted.end(), t.issuer_pub) !=
                               a.trusted.end();
      if (!trusted && agree(refused)) {
        Json keys = Json::array({to_hex(frame.owner)});
        for (const auto& k : a.trusted) keys.push_back(to_hex(k));
        refuse(a.cap_path, err, "untrusted_issuer",
               fmt::format("the token was issued by {}, which is not trusted: trusted are the "
                           "frame's owner {}{}; if you trust this issuer, add --trust-issuer {}",
                           issuer, to_hex(frame.owner),
                           a.trusted.empty() ? std::string()
                                             : fmt::format(" and {} --trust-issuer key{}",
                                                           a.trusted.size(),
                                                           a.trusted.size() == 1 ? "" : "s"),
                           issuer),
               {{"issuer_pub", issuer}, {"trusted_issuers", keys}});
      }
      const Cid cid = cid_blake3(frame.wire);
      if (cid != t.scope_cid && agree(policy_violation)) {
        refuse(a.cap_path, err, "other_frame",
               fmt::format("the token is for the frame {}, and {} is the frame {}: a token for "
                           "another frame, or this frame was altered after the token was issued",
                           to_hex(t.scope_cid), a.frame_path, to_hex(cid)),
               {{"scope_cid", to_hex(t.scope_cid)}, {"cid", to_hex(cid)}});
      }
      if (!t.rights.contains(policy.allowed_ops) && agree(policy_violation)) {
        Rights missing = policy.allowed_ops - t.rights;
        refuse(a.cap_path, err, "missing_rights",
               fmt::format("the token grants {}; the frame's policy requires {}: missing {}",
                           rights_text(t.rights), rights_text(policy.allowed_ops),
                           rights_text(missing)),
               {{"granted", rights_names(t.rights)},
                {"required", rights_names(policy.allowed_ops)},
                {"missing", rights_names(missing)}});
      }
    }
  }
  if (kind == ErrorKind::AeadTagMismatch) {
    refuse(a.frame_path, err, "wrong_key_or_damaged",
           fmt::format("the data key {} does not open this frame, or the frame's ciphertext, "
                       "tag or header was altered",
                       a.key_path),
           {{"key_file", a.key_path}});
  }
  fail_about(a.frame_path, err);
}

}  // namespace tessella::cli
