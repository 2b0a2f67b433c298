// seal, open, verify: frames in their wire form.

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "tessella/fmt.hpp"

#include "commands.hpp"
#include "encoding.hpp"
#include "files.hpp"
#include "refusals.hpp"

namespace tessella::cli {

namespace {

// The main input of a command: positional, or --in as before.
CLI::Option* add_input(CLI::App& cmd, std::string& in, const std::string& what) {
  return cmd.add_option("INPUT,--in", in, what + " ('-': standard input)")
      ->type_name("FILE")
      ->required();
}

// A section of the frame from text or a file, refused with its length when it cannot fit.
Bytes section(const std::string& text, const std::string& file, const std::string& option) {
  Bytes bytes = file.empty() ? Bytes(text.begin(), text.end()) : read_input(file);
  if (bytes.size() > kMaxSectionSize) {
    fail_about(file.empty() ? option : file, sealed_len(bytes.size(), 0, 0).error(),
               fmt::format("a section holds at most {} bytes; found {}", kMaxSectionSize,
                           bytes.size()),
               {{"expected_max_length", kMaxSectionSize}, {"found_length", bytes.size()}});
  }
  return bytes;
}

void add_seal(CLI::App& app, Context& ctx) {
  struct Options {
    std::string in, out, key, seed;
    std::uint8_t alg = kAlgChaCha20;
    std::string meta, meta_file, allowed_ops, pol, pol_file;
    bool require_cap = false;
    std::string nonce, ts, owner, prev, author;
    int hdr2 = 0, hdr3 = 0;
  };
  auto opt = std::make_shared<Options>();
  CLI::App* cmd = add_command(
      app, "seal",
      "Seal a payload into a signed frame. The author field is the public key of the signing\n"
      "seed; the meta section carries the access policy (--require-cap, --allowed-ops) or any\n"
      "text. The library draws a fresh nonce for every frame (--nonce is only for reproducing a\n"
      "frame). A regular input file is mapped,\n"
      "not read into memory, and the frame is written through a mapped file beside --out.",
      "  tessella seal report.pdf --key data.key --signing-seed author.seed \\\n"
      "      --out report.frame --require-cap --allowed-ops READ_RAW");
  add_input(*cmd, opt->in, "Payload to seal");
  cmd->add_option("--out", opt->out, "Where to write the frame ('-': standard output)")
      ->type_name("FILE")
      ->required();
  cmd->add_option("--key", opt->key, "The data key (32 bytes)")->type_name("FILE")->required();
  cmd->add_option("--signing-seed", opt->seed, "The author's 32-byte Ed25519 seed")
      ->type_name("FILE")
      ->required();
  add_alg_option(*cmd, opt->alg);
  auto* meta_text =
      cmd->add_option("--meta", opt->meta, "The meta section, as text")->type_name("TEXT");
  auto* meta_file = cmd->add_option("--meta-file", opt->meta_file, "The meta section, from a file")
                        ->type_name("FILE");
  auto* require = cmd->add_flag("--require-cap", opt->require_cap,
                                "Policy: opening requires a capability token");
  auto* ops =
      rights_value(
          cmd->add_option("--allowed-ops", opt->allowed_ops,
                          "Policy: rights the token must hold (e.g. \"READ_FEATURES | READ_RAW\")"))
          ->needs(require);
  meta_text->excludes(meta_file)->excludes(require)->excludes(ops);
  meta_file->excludes(require)->excludes(ops);
  auto* pol_text =
      cmd->add_option("--pol", opt->pol, "The pol section, as text")->type_name("TEXT");
  cmd->add_option("--pol-file", opt->pol_file, "The pol section, from a file")
      ->type_name("FILE")
      ->excludes(pol_text);
  hex_value(cmd->add_option("--nonce", opt->nonce,
                            "Only to reproduce a frame byte for byte: this 12-byte nonce instead "
                            "of a fresh one. Never use one nonce twice under one data key"),
            kNonceSize);
  hex_value(cmd->add_option("--ts", opt->ts, "The 16-byte time stamp (default: zeros)"),
            kTimestampSize);
  hex_value(cmd->add_option("--owner", opt->owner, "The owner field (default: the author's key)"),
            kPublicKeySize);
  hex_value(cmd->add_option("--prev", opt->prev, "The prev_cid field (default: zeros)"), kCidSize);
  hex_value(cmd->add_option(
                "--author", opt->author,
                "Write this author field instead of the signer's key (the frame will not verify)"),
            kPublicKeySize);
  cmd->add_option("--hdr2", opt->hdr2, "Header byte 2")
      ->check(CLI::Range(0, 255).description(""))
      ->type_name("BYTE")
      ->default_str("0");
  cmd->add_option("--hdr3", opt->hdr3, "Header byte 3")
      ->check(CLI::Range(0, 255).description(""))
      ->type_name("BYTE")
      ->default_str("0");
  add_json_flag(*cmd, ctx);

  cmd->callback([opt, &ctx] {
    check_json_output(ctx, opt->out);
    // A payload the frame cannot carry is refused before anything else is read.
    const std::string in_name = input_name(opt->in);
    Input payload = map_input(opt->in, kMaxCiphertextSize, [&](std::uint64_t found) {
      fail_about(in_name, sealed_len(0, 0, static_cast<std::size_t>(found)).error(),
                 fmt::format("a frame carries at most {} bytes of payload; found {}{}",
                             kMaxCiphertextSize, opt->in == kStdio ? "more than " : "",
                             opt->in == kStdio ? kMaxCiphertextSize : found),
                 {{"expected_max_length", kMaxCiphertextSize}, {"found_length", found}});
    });
    Bytes meta;
    if (opt->require_cap) {
      Json policy = {{"require_cap", true}};
      if (!opt->allowed_ops.empty()) policy["allowed_ops"] = parse_rights(opt->allowed_ops)->bits();
      std::string text = policy.dump();
      meta.assign(text.begin(), text.end());
    } else {
      meta = section(opt->meta, opt->meta_file, "--meta");
    }
    Bytes pol = section(opt->pol, opt->pol_file, "--pol");
    SecretBytes key = read_key(opt->key);
    SecretArray<kSeedSize> seed = read_seed(opt->seed);
    SigningKey signer = signing_key_from_seed(seed);
    PublicKey author =
        opt->author.empty() ? verifying_key_bytes(signer) : hex_public_key(opt->author);
    PublicKey owner = opt->owner.empty() ? author : hex_public_key(opt->owner);
    Cid prev = opt->prev.empty() ? Cid{} : hex_cid(opt->prev);
    Timestamp ts = opt->ts.empty() ? Timestamp{} : hex_array<kTimestampSize>(opt->ts);

    const ByteView pt = payload.bytes();
    const std::size_t len = unwrap_about(in_name, sealed_len(pol.size(), meta.size(), pt.size()));
    Output out(opt->out, len, {});
    const auto hdr2 = static_cast<std::uint8_t>(opt->hdr2), hdr3 = static_cast<std::uint8_t>(opt->hdr3);
    SealedInto sealed = unwrap_about(
        in_name, opt->nonce.empty()
                     ? seal_bytes_into(opt->alg, hdr2, hdr3, ts, author, owner, prev, pol, meta, pt,
                                       key.secret_bytes(), signer, out.span())
                     : seal_bytes_into(opt->alg, hdr2, hdr3, hex_array<kNonceSize>(opt->nonce), ts,
                                       author, owner, prev, pol, meta, pt, key.secret_bytes(),
                                       signer, out.span()));
    const Nonce nonce = unwrap(frame_view(out.span().first(sealed.len))).nonce;
    out.commit(sealed.len);
    if (opt->out == kStdio) return;

    Report r;
    r.add("cid", to_hex(sealed.cid))
        .add("out", opt->out)
        .add("size", sealed.len)
        .add("alg", alg_name(opt->alg))
        .add("nonce", to_hex(nonce))
        .add("author", to_hex(author))
        .add("owner", to_hex(owner))
        .add("prev_cid", to_hex(prev))
        .add("pol_len", pol.size())
        .add("meta_len", meta.size())
        .add("ct_len", pt.size())
        .add("policy", policy_report(read_policy(meta)));
    r.print(ctx.json);
  });
}

void add_open(CLI::App& app, Context& ctx) {
  struct Options {
    std::string in, out, key, cap, presenter, now;
    std::vector<std::string> trust;
    bool skip_expiry = false, any_issuer = false;
  };
  auto opt = std::make_shared<Options>();
  CLI::App* cmd = add_command(
      app, "open",
      "Open a frame: check the capability its policy asks for, then decrypt the payload.\n"
      "A token must come from a trusted issuer (the frame's owner, or a --trust-issuer key) and\n"
      "must not have expired (by the system clock, or --now). The frame's signature is not\n"
      "checked here; use verify. A regular frame file is mapped, and the payload is written\n"
      "through a mapped owner-only file beside --out; a refused opening leaves nothing there.",
      "  tessella open report.frame --key data.key --cap holder.cap \\\n"
      "      --presenter 3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c \\\n"
      "      --out report.pdf");
  add_input(*cmd, opt->in, "The frame");
  cmd->add_option("--out", opt->out,
                  "Where to write the payload, owner-only ('-': standard output)")
      ->type_name("FILE")
      ->required();
  cmd->add_option("--key", opt->key, "The data key (32 bytes)")->type_name("FILE")->required();
  cmd->add_option("--cap", opt->cap, "The capability token (180 bytes)")->type_name("FILE");
  hex_value(cmd->add_option("--presenter", opt->presenter,
                            "Public key of the party presenting the token"),
            kPublicKeySize);
  auto* now = time_value(cmd->add_option(
      "--now", opt->now, "The time to compare the token's expiry with (default: the system clock)"));
  cmd->add_flag("--skip-expiry", opt->skip_expiry,
                "Do not check the token's expiry at all")
      ->excludes(now);
  auto* trust = hex_value(cmd->add_option("--trust-issuer", opt->trust,
                                          "Also accept tokens issued by this key (repeatable); "
                                          "the frame's owner is always trusted"),
                          kPublicKeySize)
                    ->type_name("KEY");
  cmd->add_flag("--any-issuer", opt->any_issuer,
                "Accept a token from any issuer, even one the holder signed itself")
      ->excludes(trust);
  add_json_flag(*cmd, ctx);

  cmd->callback([opt, &ctx] {
    check_json_output(ctx, opt->out);
    SecretBytes key = read_key(opt->key);
    Input input = map_input(opt->in);
    OpenAttempt attempt;
    attempt.frame_path = input_name(opt->in);
    attempt.key_path = opt->key;
    attempt.cap_path = opt->cap;
    attempt.frame = input.bytes();
    const FrameView frame = frame_or_fail(attempt.frame_path, attempt.frame);
    std::optional<Bytes> cap;
    if (!opt->cap.empty()) {
      cap = read_input(opt->cap);
      attempt.cap = ByteView(*cap);
    }
    if (!opt->presenter.empty()) attempt.presenter = hex_public_key(opt->presenter);
    if (!opt->skip_expiry) {
      attempt.now_from_clock = opt->now.empty();
      attempt.now = opt->now.empty() ? now_seconds() : *parse_time(opt->now, now_seconds());
    }
    std::vector<PublicKey> trusted;
    for (const auto& k : opt->trust) trusted.push_back(hex_public_key(k));
    attempt.trusted = trusted;
    attempt.any_issuer = opt->any_issuer;

    Output out(opt->out, frame.ct.size(), {.owner_only = true});
    auto opened =
        opt->any_issuer
            ? open_bytes_into(attempt.frame, key.secret_bytes(), attempt.cap, attempt.presenter,
                              attempt.now, out.span())
            : open_bytes_trusted_into(attempt.frame, key.secret_bytes(),
                                      OpenOptions{attempt.cap, attempt.presenter, attempt.now,
                                                  IssuerTrust{trusted, true}},
                                      out.span());
    if (!opened) explain_open_refusal(attempt, frame, opened.error());
    out.commit(*opened);
    if (opt->out == kStdio) return;

    Report r;
    r.add("cid", to_hex(cid_blake3(frame.wire)))
        .add("out", opt->out)
        .add("plaintext_size", *opened)
        .add("policy", policy_report(read_policy(frame.meta)));
    if (attempt.cap) {
      r.add("expiry_checked", attempt.now ? Json(format_time(*attempt.now)) : Json(false),
            attempt.now ? "at " + format_time(*attempt.now) : std::string("no (--skip-expiry)"))
          .add("issuer_trusted", opt->any_issuer ? "any issuer (--any-issuer)"
                                                 : "the frame's owner and --trust-issuer keys");
    }
    r.print(ctx.json);
  });
}

void add_verify(CLI::App& app, Context& ctx) {
  struct Options {
    std::string in, expect_author;
    bool intact_only = false;
  };
  auto opt = std::make_shared<Options>();
  CLI::App* cmd = add_command(
      app, "verify",
      "Verify a frame's signature and print its content identifier. Say whose signature is\n"
      "expected with --expect-author; --intact-only checks only that the frame is intact under\n"
      "the key in its own author field, which anyone can write. Exit status 1 when the\n"
      "signature does not hold or the author is not the one expected.",
      "  tessella verify report.frame \\\n"
      "      --expect-author 3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c");
  add_input(*cmd, opt->in, "The frame");
  auto* expect =
      hex_value(cmd->add_option("--expect-author", opt->expect_author,
                                "Require the frame to be signed by this public key"),
                kPublicKeySize)
          ->type_name("KEY");
  cmd->add_flag("--intact-only", opt->intact_only,
                "Check only that the frame is intact under its own author field, whoever that is")
      ->excludes(expect);
  add_json_flag(*cmd, ctx);

  cmd->callback([opt, &ctx] {
    if (opt->expect_author.empty() && !opt->intact_only) {
      usage_error("whose signature is expected? Give --expect-author KEY, or --intact-only to "
                  "check only that the frame is intact under its own author field");
    }
    const std::string name = input_name(opt->in);
    Input input = map_input(opt->in);
    const FrameView frame = frame_or_fail(name, input.bytes());
    auto verified = verify_bytes(input.bytes());
    if (!verified) {
      fail_about(name, verified.error(),
                 fmt::format("the author field {} is not a usable public key (not a curve point, "
                             "or a point of small order under which a signature proves nothing)",
                             to_hex(frame.author)),
                 {{"check", "author_key"}, {"author", to_hex(frame.author)}});
    }
    const FrameVerification& v = *verified;
    bool author_ok =
        opt->expect_author.empty() || hex_public_key(opt->expect_author) == frame.author;

    Report r;
    r.add("cid", to_hex(v.cid))
        .add("valid", v.valid)
        .add("reason", v.reason ? Json(v.reason) : Json(nullptr))
        .add("author", to_hex(frame.author));
    if (opt->intact_only) {
      r.add("checked", "intact-only",
            "intact only: the signature was checked under the frame's own author field; who "
            "that is was not checked (--expect-author KEY)");
    } else {
      r.add("checked", "author", "the signature, and that the author is the one expected")
          .add("author_expected", author_ok);
    }
    r.print(ctx.json);

    if (!v.valid) {
      std::fputs(fmt::format("tessella: {}: the signature does not hold under the frame's author "
                             "field {}: the frame was altered after it was signed, or was never "
                             "signed by that key ({})\n",
                             name, to_hex(frame.author), kind_text(ErrorKind::SignatureInvalid))
                     .c_str(),
                 stderr);
      ctx.exit_code = 1;
    } else if (!author_ok) {
      std::fputs(fmt::format("tessella: {}: signed by {}, not by the expected author {} "
                             "(--expect-author)\n",
                             name, to_hex(frame.author), opt->expect_author)
                     .c_str(),
                 stderr);
      ctx.exit_code = 1;
    }
  });
}

}  // namespace

void add_frame_commands(CLI::App& app, Context& ctx) {
  add_seal(app, ctx);
  add_open(app, ctx);
  add_verify(app, ctx);
}

Result<Cid> cid_of(ByteView bytes) {
  // The identifier is the hash of the frame's own bytes, read in place.
  auto view = frame_view(bytes);
  if (!view) return std::unexpected(view.error());
  return cid_blake3(view->wire);
}

}  // namespace tessella::cli
