// event, blind-index: recorded events and search tokens.

#include <memory>
#include <string>

#include "commands.hpp"
#include "encoding.hpp"
#include "files.hpp"

namespace tessella::cli {

namespace {

void add_event(CLI::App& app, Context& ctx) {
  struct Options {
    EventKind kind = EventKind::LicenseGrant;
    std::string key, seed, scope, frame, rights = "0", peer, owner, prev, out, exp;
    std::uint8_t alg = kAlgChaCha20;
  };
  auto opt = std::make_shared<Options>();
  CLI::App* cmd = add_command(
      app, "event",
      "Record an event (ownership transfer, read, licence grant) as a signed frame whose meta\n"
      "section is the JSON event document. It opens with the data key alone.",
      "  tessella event --kind grant --key data.key --signing-seed author.seed \\\n"
      "      --frame report.frame --rights READ_RAW --exp 1767229200 --out grant.frame \\\n"
      "      --peer 3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c");
  cmd->add_option("--kind", opt->kind, "The event: transfer, read or grant")
      ->transform(
          named_values({{"transfer", static_cast<int>(EventKind::OwnershipTransfer)},
                        {"read", static_cast<int>(EventKind::ReadEvent)},
                        {"grant", static_cast<int>(EventKind::LicenseGrant)},
                        {"OwnershipTransfer", static_cast<int>(EventKind::OwnershipTransfer)},
                        {"ReadEvent", static_cast<int>(EventKind::ReadEvent)},
                        {"LicenseGrant", static_cast<int>(EventKind::LicenseGrant)}},
                       "the event kind"))
      ->type_name("KIND")
      ->required();
  cmd->add_option("--key", opt->key, "The data key (32 bytes)")->type_name("FILE")->required();
  cmd->add_option("--signing-seed", opt->seed, "The author's 32-byte Ed25519 seed")
      ->type_name("FILE")
      ->required();
  add_scope_options(*cmd, opt->scope, opt->frame, "Content identifier of the frame concerned");
  rights_value(cmd->add_option("--rights", opt->rights, "Rights involved (default: none)"));
  time_value(cmd->add_option("--exp", opt->exp,
                             "Expiry of what the event grants: seconds, an RFC 3339 date-time or "
                             "+DURATION (default 0)"));
  hex_value(cmd->add_option("--peer", opt->peer, "Public key of the other party"), kPublicKeySize)
      ->required();
  hex_value(cmd->add_option("--owner", opt->owner, "The owner field (default: the author's key)"),
            kPublicKeySize);
  hex_value(cmd->add_option("--prev", opt->prev, "The prev_cid field (default: zeros)"), kCidSize);
  add_alg_option(*cmd, opt->alg);
  cmd->add_option("--out", opt->out, "Where to write the event frame ('-': standard output)")
      ->type_name("FILE")
      ->required();
  add_json_flag(*cmd, ctx);

  cmd->callback([opt, &ctx] {
    check_json_output(ctx, opt->out);
    require_scope(opt->scope, opt->frame);
    SecretBytes key = read_key(opt->key);
    SecretArray<kSeedSize> seed = read_seed(opt->seed);
    SigningKey signer = signing_key_from_seed(seed);
    PublicKey author = verifying_key_bytes(signer);
    PublicKey owner = opt->owner.empty() ? author : hex_public_key(opt->owner);
    Cid prev = opt->prev.empty() ? Cid{} : hex_cid(opt->prev);
    EventBody body;
    body.scope_cid = scope_cid(opt->scope, opt->frame);
    body.rights = *parse_rights(opt->rights);
    body.exp_ts = opt->exp.empty() ? 0 : expiry_time(opt->exp, "--exp");
    body.peer_pub = hex_public_key(opt->peer);

    SealedBytes sealed = unwrap(seal_event_bytes(opt->alg, author, owner, prev, opt->kind, body,
                                                 key.secret_bytes(), signer));
    const Bytes& bytes = sealed.bytes;
    write_output(opt->out, bytes);
    if (opt->out == kStdio) return;

    const ByteView meta = unwrap(frame_view(bytes)).meta;
    std::string document(meta.begin(), meta.end());
    Report r;
    r.add("cid", to_hex(sealed.cid))
        .add("out", opt->out)
        .add("size", bytes.size())
        .add("event", std::string(event_kind_name(opt->kind)))
        .add("author", to_hex(author))
        .add("owner", to_hex(owner))
        .add("prev_cid", to_hex(prev))
        .add("document", Json::parse(document, nullptr, false), document);
    r.print(ctx.json);
  });
}

void add_blind_index(CLI::App& app, Context& ctx) {
  struct Options {
    std::string key, term, term_file = std::string(kStdio);
  };
  auto opt = std::make_shared<Options>();
  CLI::App* cmd = add_command(
      app, "blind-index",
      "Compute the blind-index token of a search term: HMAC-SHA-256 under the index key. Equal\n"
      "terms give equal tokens; the term's bytes are taken exactly as given, from a file or\n"
      "standard input (never from the command line, where other users can see it), and are not\n"
      "printed. The index key file is taken as raw bytes, of any length.",
      "  printf %s invoice-2024 | tessella blind-index --key index.key");
  cmd->add_option("--key", opt->key, "The index key (raw bytes, any length)")
      ->type_name("FILE")
      ->required();
  cmd->add_option("--term-file", opt->term_file, "The term, from a file ('-': standard input, "
                                                 "the default)")
      ->type_name("FILE");
  // Kept only to say where the term goes instead: a term on the command line is visible to
  // every user of the machine.
  auto* term = cmd->add_option("--term", opt->term)->group("");
  add_json_flag(*cmd, ctx);

  cmd->callback([opt, term, &ctx] {
    if (term->count() != 0) {
      secure_wipe(opt->term.data(), opt->term.size());
      usage_error("--term: the search term is read from a file or standard input, never from the "
                  "command line (other users can see it there): use --term-file FILE, or pipe it");
    }
    SecretBytes key = read_secret(opt->key);
    SecretBytes term_bytes = read_term(opt->term_file);
    BlindToken token = unwrap_about(opt->key, blind_index(key.secret_bytes(), term_bytes.secret_bytes()));
    Report r;
    r.add("term_len", term_bytes.size()).add("token", to_hex(token));
    r.print(ctx.json);
  });
}

}  // namespace

void add_event_commands(CLI::App& app, Context& ctx) {
  add_event(app, ctx);
  add_blind_index(app, ctx);
}

}  // namespace tessella::cli
