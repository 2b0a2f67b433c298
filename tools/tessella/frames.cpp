// seal, open, verify: frames in their wire form.

#include <cstdio>
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
      "text. A nonce must never be used twice with one data key: leave --nonce out to draw a\n"
      "fresh one.",
      "  tessella seal --key data.key --signing-seed author.seed \\\n"
      "      --in report.pdf --out report.frame --require-cap --allowed-ops READ_RAW");
  cmd->add_option("--in", opt->in, "Payload to seal ('-': standard input)")
      ->type_name("FILE")
      ->required();
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
  hex_value(cmd->add_option("--nonce", opt->nonce, "The 12-byte nonce (default: fresh random)"),
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
    SecretBytes key = read_key(opt->key);
    SecretArray<kSeedSize> seed = read_seed(opt->seed);
    SigningKey signer = signing_key_from_seed(seed);
    PublicKey author =
        opt->author.empty() ? verifying_key_bytes(signer) : hex_public_key(opt->author);
    PublicKey owner = opt->owner.empty() ? author : hex_public_key(opt->owner);
    Cid prev = opt->prev.empty() ? Cid{} : hex_cid(opt->prev);
    Timestamp ts = opt->ts.empty() ? Timestamp{} : hex_array<kTimestampSize>(opt->ts);
    Nonce nonce = opt->nonce.empty() ? RandomNonce().next() : hex_array<kNonceSize>(opt->nonce);

    Bytes meta;
    if (!opt->meta_file.empty()) {
      meta = read_input(opt->meta_file);
    } else if (opt->require_cap) {
      Json policy = {{"require_cap", true}};
      if (!opt->allowed_ops.empty()) policy["allowed_ops"] = parse_rights(opt->allowed_ops)->bits();
      std::string text = policy.dump();
      meta.assign(text.begin(), text.end());
    } else {
      meta.assign(opt->meta.begin(), opt->meta.end());
    }
    Bytes pol =
        opt->pol_file.empty() ? Bytes(opt->pol.begin(), opt->pol.end()) : read_input(opt->pol_file);
    Bytes payload = read_input(opt->in);

    SealedBytes sealed = unwrap(seal_bytes(
        opt->alg, static_cast<std::uint8_t>(opt->hdr2), static_cast<std::uint8_t>(opt->hdr3), nonce,
        ts, author, owner, prev, pol, meta, payload, key.secret_bytes(), signer));
    write_output(opt->out, sealed.bytes);
    if (opt->out == kStdio) return;

    Report r;
    r.add("cid", to_hex(sealed.cid))
        .add("out", opt->out)
        .add("size", sealed.bytes.size())
        .add("alg", alg_name(opt->alg))
        .add("nonce", to_hex(nonce))
        .add("author", to_hex(author))
        .add("owner", to_hex(owner))
        .add("prev_cid", to_hex(prev))
        .add("pol_len", pol.size())
        .add("meta_len", meta.size())
        .add("ct_len", payload.size())
        .add("policy", policy_report(read_policy(meta)));
    r.print(ctx.json);
  });
}

void add_open(CLI::App& app, Context& ctx) {
  struct Options {
    std::string in, out, key, cap, presenter;
    std::optional<std::uint64_t> now;
  };
  auto opt = std::make_shared<Options>();
  CLI::App* cmd = add_command(
      app, "open",
      "Open a frame: check the capability its policy asks for, then decrypt the payload.\n"
      "The frame's signature is not checked here; use verify.",
      "  tessella open --key data.key --in report.frame --cap holder.cap \\\n"
      "      --presenter 3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c \\\n"
      "      --now 1767225600 --out report.pdf");
  cmd->add_option("--in", opt->in, "The frame ('-': standard input)")
      ->type_name("FILE")
      ->required();
  cmd->add_option("--out", opt->out,
                  "Where to write the payload, owner-only ('-': standard output)")
      ->type_name("FILE")
      ->required();
  cmd->add_option("--key", opt->key, "The data key (32 bytes)")->type_name("FILE")->required();
  cmd->add_option("--cap", opt->cap, "The capability token (180 bytes)")->type_name("FILE");
  hex_value(cmd->add_option("--presenter", opt->presenter,
                            "Public key of the party presenting the token"),
            kPublicKeySize);
  number_value(cmd->add_option("--now", opt->now,
                               "Current time on the tokens' clock: refuse expired tokens"));
  add_json_flag(*cmd, ctx);

  cmd->callback([opt, &ctx] {
    check_json_output(ctx, opt->out);
    SecretBytes key = read_key(opt->key);
    Bytes frame = read_input(opt->in);
    std::optional<Bytes> cap;
    if (!opt->cap.empty()) cap = read_input(opt->cap);
    std::optional<PublicKey> presenter;
    if (!opt->presenter.empty()) presenter = hex_public_key(opt->presenter);

    auto as_view = [](const auto& o) {
      return o ? std::optional<ByteView>(ByteView(*o)) : std::nullopt;
    };
    Bytes plaintext = unwrap(
        open_bytes_with_ctx(frame, key.secret_bytes(), as_view(cap), presenter, opt->now));
    WipeOnExit wipe(plaintext.data(), plaintext.size());
    write_output(opt->out, plaintext, {.owner_only = true});
    if (opt->out == kStdio) return;

    const FrameView parsed = unwrap(frame_view(frame));
    Report r;
    r.add("cid", to_hex(cid_blake3(parsed.wire)))
        .add("out", opt->out)
        .add("plaintext_size", plaintext.size())
        .add("policy", policy_report(read_policy(parsed.meta)));
    r.print(ctx.json);
  });
}

void add_verify(CLI::App& app, Context& ctx) {
  struct Options {
    std::string in, expect_author;
  };
  auto opt = std::make_shared<Options>();
  CLI::App* cmd = add_command(
      app, "verify",
      "Verify a frame's signature against the key in its own author field and print its content\n"
      "identifier. Exit status 1 when the signature does not hold or the author is not the one\n"
      "expected.",
      "  tessella verify --in report.frame \\\n"
      "      --expect-author 3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c");
  cmd->add_option("--in", opt->in, "The frame ('-': standard input)")
      ->type_name("FILE")
      ->required();
  hex_value(cmd->add_option("--expect-author", opt->expect_author, "Also require this author key"),
            kPublicKeySize);
  add_json_flag(*cmd, ctx);

  cmd->callback([opt, &ctx] {
    Bytes bytes = read_input(opt->in);
    FrameVerification v = unwrap(verify_bytes(bytes));
    const FrameView frame = unwrap(frame_view(bytes));
    bool author_ok =
        opt->expect_author.empty() || hex_array<32>(opt->expect_author) == frame.author;

    Report r;
    r.add("cid", to_hex(v.cid))
        .add("valid", v.valid)
        .add("reason", v.reason ? Json(v.reason) : Json(nullptr))
        .add("author", to_hex(frame.author));
    if (!opt->expect_author.empty()) r.add("author_expected", author_ok);
    r.print(ctx.json);

    if (!v.valid) {
      std::fputs(fmt::format("tessella: {}\n", kind_text(ErrorKind::SignatureInvalid)).c_str(),
                 stderr);
      ctx.exit_code = 1;
    } else if (!author_ok) {
      std::fputs("tessella: the frame's author is not the expected key\n", stderr);
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
