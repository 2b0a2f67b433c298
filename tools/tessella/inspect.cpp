// inspect: every field of a frame or a capability token.

#include <memory>
#include <optional>
#include <string>

#include <fmt/format.h>

#include "tessella/fmt.hpp"

#include "commands.hpp"
#include "encoding.hpp"
#include "files.hpp"
#include "refusals.hpp"

namespace tessella::cli {

namespace {

struct Options {
  std::string file, now;
  bool full = false;
};

// Sections up to this length are shown whole; longer ones as a preview unless --full.
constexpr std::size_t kWholeSection = 64;

// A section's length and hex (whole, or "NAME_preview": its first and last bytes), and its text
// when it reads as text and is shown whole.
void add_section(Report& r, const std::string& name, ByteView bytes, bool full) {
  r.add(name + "_len", bytes.size());
  bool whole = full || bytes.size() <= kWholeSection;
  if (whole) {
    r.add(name, to_hex(bytes));
  } else {
    r.add(name + "_preview", excerpt(bytes, 16, 8));
  }
  if (!bytes.empty() && (whole || bytes.size() <= 1024) && printable_text(bytes)) {
    r.add(name + "_text", std::string(bytes.begin(), bytes.end()));
  }
}

Report signature_report(ByteView bytes) {
  Report r;
  auto v = verify_bytes(bytes);
  if (!v) {
    r.add("valid", false).add("reason", v.error().message());
  } else {
    r.add("valid", v->valid).add("reason", v->reason ? Json(v->reason) : Json(nullptr));
  }
  return r;
}

Report frame_report(ByteView bytes, const FrameView& frame, const Options& opt) {
  ByteView wire = frame.wire;
  Report r;
  r.add("type", "frame")
      .add("file_size", bytes.size())
      .add("frame_size", wire.size())
      .add("trailing_bytes", bytes.size() - wire.size())
      .add("version", frame.version)
      .add("alg", frame.alg, fmt::format("{} ({})", frame.alg, alg_name(frame.alg)))
      .add("hdr2", frame.hdr2)
      .add("hdr3", frame.hdr3)
      .add("nonce", to_hex(frame.nonce))
      .add("ts", to_hex(frame.ts))
      .add("author", to_hex(frame.author))
      .add("owner", to_hex(frame.owner))
      .add("prev_cid", to_hex(frame.prev_cid));
  add_section(r, "pol", frame.pol, opt.full);
  add_section(r, "meta", frame.meta, opt.full);
  r.add("policy", policy_report(read_policy(frame.meta)));
  if (std::string(frame.pol.begin(), frame.pol.end()) == "event") {
    Json document = Json::parse(frame.meta.begin(), frame.meta.end(), nullptr, false);
    if (document.is_object() && document.contains("event")) r.add("event", document["event"]);
  }
  add_section(r, "ct", frame.ct, opt.full);
  r.add("tag", to_hex(frame.tag))
      .add("sig", to_hex(frame.sig))
      .add("cid", to_hex(cid_blake3(wire)))
      .add("signature", signature_report(bytes));
  return r;
}

Report token_report(const CapToken& token, std::uint64_t now) {
  Report check;
  if (auto ok = cap_verify(token, token.holder_pub); ok) {
    check.add("valid", true).add("reason", nullptr);
  } else {
    check.add("valid", false).add("reason", ok.error().message());
  }
  Report r;
  r.add("type", "capability token")
      .add("size", kCapTokenSize)
      .add("scope_cid", to_hex(token.scope_cid))
      .add("rights", rights_report(token.rights))
      .add("exp_ts", token.exp_ts)
      .add("exp", format_time(token.exp_ts))
      .add("now", format_time(now))
      .add("expired", token.exp_ts < now);
  r.add("holder_pub", to_hex(token.holder_pub))
      .add("issuer_pub", to_hex(token.issuer_pub))
      .add("signature_length", kSignatureSize)
      .add("signature", to_hex(token.signature))
      .add("signature_check", std::move(check));
  return r;
}

}  // namespace

void add_inspect_command(CLI::App& app, Context& ctx) {
  auto opt = std::make_shared<Options>();
  CLI::App* cmd = add_command(
      app, "inspect",
      "Print every field of a frame or of a 180-byte capability token: lengths, hex, the policy\n"
      "the open path reads from meta, the token's rights and expiry, and whether the signature\n"
      "holds (a frame's under its author; a token's under its issuer).",
      "  tessella inspect report.frame\n"
      "  tessella inspect holder.cap --now 2026-01-01T00:00:00Z --json");
  cmd->add_option("INPUT,--in", opt->file, "The frame or token ('-': standard input)")
      ->type_name("FILE")
      ->required();
  time_value(cmd->add_option("--now", opt->now,
                             "The time to tell whether a token has expired (default: the system "
                             "clock)"));
  cmd->add_flag("--full", opt->full,
                "Print every section whole, the ciphertext too, not a preview");
  add_json_flag(*cmd, ctx);

  cmd->callback([opt, &ctx] {
    const std::string name = input_name(opt->file);
    Input input = map_input(opt->file);
    ByteView bytes = input.bytes();
    if (bytes.size() == kCapTokenSize) {
      auto token = cap_decode(bytes);
      if (!token) {
        throw Failure(name +
                          ": 180 bytes, but not a capability token: the signature length "
                          "word is not 64",
                      std::nullopt, Json{{"about", name}, {"check", "undecodable_token"}});
      }
      std::uint64_t now = opt->now.empty() ? now_seconds() : *parse_time(opt->now, now_seconds());
      token_report(*token, now).print(ctx.json);
      return;
    }
    if (!frame_view(bytes)) {
      try {
        frame_or_fail(name, bytes);
      } catch (const Failure& f) {
        throw Failure(fmt::format("{} (neither a frame nor a {}-byte token)", f.what(),
                                  kCapTokenSize),
                      f.kind(), f.fields());
      }
    }
    frame_report(bytes, frame_or_fail(name, bytes), *opt).print(ctx.json);
  });
}

}  // namespace tessella::cli
