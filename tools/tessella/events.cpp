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
    std::string key, seed, scope, frame, rights = "0", peer, owner, prev, out;
    std::uint64_t exp = 0;
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
  number_value(
      cmd->add_option("--exp", opt->exp, "Expiry time of what the event grants (default 0)"));
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
    body.exp_ts = opt->exp;
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
    std::string key, term, term_file;
  };
  auto opt = std::make_shared<Options>();
  CLI::App* cmd = add_command(
      app, "blind-index",
      "Compute the blind-index token of a search term: HMAC-SHA-256 under the index key. Equal\n"
      "terms give equal tokens; the term's bytes are taken exactly as given.",
      "  tessella blind-index --key index.key --term invoice-2024");
  cmd->add_option("--key", opt->key, "The index key (any length)")->type_name("FILE")->required();
  auto* term = cmd->add_option("--term", opt->term, "The term, as text")->type_name("TEXT");
  cmd->add_option("--term-file", opt->term_file, "The term, from a file ('-': standard input)")
      ->type_name("FILE")
      ->excludes(term);
  add_json_flag(*cmd, ctx);

  cmd->callback([opt, term, &ctx] {
    // An empty term is a term: only the absence of both options is an error.
    if (opt->term_file.empty() && term->count() == 0)
      usage_error("--term or --term-file is required");
    SecretBytes key = read_key(opt->key);
    Bytes bytes = opt->term_file.empty() ? Bytes(opt->term.begin(), opt->term.end())
                                         : read_input(opt->term_file);
    BlindToken token = unwrap(blind_index(key.secret_bytes(), bytes));
    Report r;
    if (printable_text(bytes)) r.add("term", std::string(bytes.begin(), bytes.end()));
    r.add("term_len", bytes.size()).add("token", to_hex(token));
    r.print(ctx.json);
  });
}

}  // namespace

void add_event_commands(CLI::App& app, Context& ctx) {
  add_event(app, ctx);
  add_blind_index(app, ctx);
}

}  // namespace tessella::cli
