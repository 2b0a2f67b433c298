// inspect: every field of a frame or a capability token.

#include <memory>
#include <optional>
#include <string>

#include <fmt/format.h>

#include "tessella/fmt.hpp"

#include "commands.hpp"
#include "encoding.hpp"
#include "files.hpp"

namespace tessella::cli {

namespace {

struct Options {
  std::string file;
  std::optional<std::uint64_t> now;
  bool full = false;
};

// A section's hex, and its text when it reads as text.
void add_section(Report& r, const std::string& name, ByteView bytes) {
  r.add(name + "_len", bytes.size()).add(name, to_hex(bytes));
  if (!bytes.empty() && printable_text(bytes)) {
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
  std::string ct_hex = to_hex(frame.ct);
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
  add_section(r, "pol", frame.pol);
  add_section(r, "meta", frame.meta);
  r.add("policy", policy_report(read_policy(frame.meta)));
  if (std::string(frame.pol.begin(), frame.pol.end()) == "event") {
    Json document = Json::parse(frame.meta.begin(), frame.meta.end(), nullptr, false);
    if (document.is_object() && document.contains("event")) r.add("event", document["event"]);
  }
  r.add("ct_len", frame.ct.size())
      .add("ct", ct_hex, opt.full ? ct_hex : excerpt(frame.ct, 16, 8))
      .add("tag", to_hex(frame.tag))
      .add("sig", to_hex(frame.sig))
      .add("cid", to_hex(cid_blake3(wire)))
      .add("signature", signature_report(bytes));
  return r;
}

Report token_report(const CapToken& token, const Options& opt) {
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
      .add("exp_ts", token.exp_ts);
  if (opt.now) r.add("expired", token.exp_ts < *opt.now);
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
      "  tessella inspect holder.cap --now 1767225600 --json");
  cmd->add_option("FILE", opt->file, "The frame or token ('-': standard input)")->required();
  number_value(
      cmd->add_option("--now", opt->now, "Current time: tell whether a token has expired"));
  cmd->add_flag("--full", opt->full, "Print the whole ciphertext, not an excerpt");
  add_json_flag(*cmd, ctx);

  cmd->callback([opt, &ctx] {
    Bytes bytes = read_input(opt->file);
    if (bytes.size() == kCapTokenSize) {
      auto token = cap_decode(bytes);
      if (!token) {
        throw Failure(opt->file +
                      ": 180 bytes, but not a capability token: the signature length "
                      "word is not 64");
      }
      token_report(*token, *opt).print(ctx.json);
      return;
    }
    auto frame = frame_view(bytes);
    if (!frame) {
      throw Failure(fmt::format("{}: {} (neither a frame nor a {}-byte token)", opt->file,
                                frame.error().message(), kCapTokenSize),
                    frame.error().kind());
    }
    frame_report(bytes, *frame, *opt).print(ctx.json);
  });
}

}  // namespace tessella::cli
