// cap issue, rights: capability tokens and the rights they grant.

#include <memory>
#include <string>

#include <fmt/format.h>

#include "tessella/fmt.hpp"

#include "commands.hpp"
#include "encoding.hpp"
#include "files.hpp"

namespace tessella::cli {

namespace {

void add_issue(CLI::App& cap, Context& ctx) {
  struct Options {
    std::string issuer_seed, issuer_pub, scope, frame, rights, holder, out, exp;
  };
  auto opt = std::make_shared<Options>();
  CLI::App* cmd = add_command(
      cap, "issue",
      "Issue a capability token: the holder may use one frame with the given rights until the\n"
      "expiry time. The token is written in its 180-byte binary form.",
      "  tessella cap issue --issuer-seed author.seed --frame report.frame --rights READ_RAW \\\n"
      "      --exp +90d --out holder.cap \\\n"
      "      --holder 3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c");
  cmd->add_option("--issuer-seed", opt->issuer_seed, "The issuer's 32-byte Ed25519 seed")
      ->type_name("FILE")
      ->required();
  add_scope_options(*cmd, opt->scope, opt->frame, "Content identifier of the frame");
  rights_value(cmd->add_option("--rights", opt->rights,
                               "Rights granted (e.g. \"READ_FEATURES | READ_RAW\", 0x3, 3)"))
      ->required();
  time_value(cmd->add_option("--exp", opt->exp,
                             "Expiry: seconds since 1970, an RFC 3339 date-time "
                             "(2026-07-01T00:00:00Z) or a duration from now (+90d, +1h)"))
      ->required();
  hex_value(cmd->add_option("--holder", opt->holder, "Public key of the holder"), kPublicKeySize)
      ->required();
  hex_value(
      cmd->add_option("--issuer-pub", opt->issuer_pub,
                      "Write this issuer key instead of the seed's (the token will not verify)"),
      kPublicKeySize);
  cmd->add_option("--out", opt->out, "Where to write the token ('-': standard output)")
      ->type_name("FILE")
      ->required();
  add_json_flag(*cmd, ctx);

  cmd->callback([opt, &ctx] {
    check_json_output(ctx, opt->out);
    require_scope(opt->scope, opt->frame);
    const std::uint64_t exp = expiry_time(opt->exp, "--exp");
    SecretArray<kSeedSize> seed = read_seed(opt->issuer_seed);
    PublicKey issuer = opt->issuer_pub.empty()
                           ? verifying_key_bytes(signing_key_from_seed(seed))
                           : hex_public_key(opt->issuer_pub);
    const Cid scope = scope_cid(opt->scope, opt->frame);
    Rights rights = *parse_rights(opt->rights);
    PublicKey holder = hex_public_key(opt->holder);

    CapToken token =
        unwrap(cap_issue(seed, issuer, scope, rights, exp, holder));
    auto bytes = cap_encode(token);
    write_output(opt->out, bytes);
    if (opt->out == kStdio) return;

    Report r;
    r.add("out", opt->out)
        .add("size", bytes.size())
        .add("scope_cid", to_hex(token.scope_cid))
        .add("rights", rights_report(token.rights))
        .add("exp_ts", token.exp_ts)
        .add("exp", format_time(token.exp_ts))
        .add("holder_pub", to_hex(token.holder_pub))
        .add("issuer_pub", to_hex(token.issuer_pub))
        .add("signature", to_hex(token.signature));
    r.print(ctx.json);
  });
}

void add_rights(CLI::App& app, Context& ctx) {
  auto value = std::make_shared<std::string>();
  CLI::App* cmd = add_command(
      app, "rights",
      "Read a rights value (names joined by '|', 0x-numbers, or a decimal number) and print it in\n"
      "every form: display, diagnostic, binary, octal and hexadecimal.",
      "  tessella rights \"READ_RAW | COMPUTE_USE\"\n"
      "  tessella rights 0x12\n"
      "  tessella rights 18 --json");
  cmd->add_option("VALUE", *value, "The rights text or number")->required();
  add_json_flag(*cmd, ctx);
  cmd->callback([value, &ctx] {
    auto rights = parse_rights(*value);
    if (!rights) throw Failure(fmt::format("invalid rights \"{}\": {}", *value, rights.error()));
    rights_report(*rights).print(ctx.json);
  });
}

}  // namespace

void add_cap_commands(CLI::App& app, Context& ctx) {
  CLI::App* cap =
      add_command(app, "cap", "Capability tokens: issue.", "  tessella cap issue --help");
  cap->require_subcommand(1);
  add_issue(*cap, ctx);
  add_rights(app, ctx);
}

}  // namespace tessella::cli
