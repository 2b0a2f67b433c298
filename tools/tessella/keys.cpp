// keys new | restore | public: recovery phrases and the keys they stand for.

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "commands.hpp"
#include "encoding.hpp"
#include "files.hpp"

namespace tessella::cli {

namespace {

struct KeyFiles {
  std::string key_out;
  std::string seed_out;
  bool force = false;
};

void add_key_outputs(CLI::App& cmd, KeyFiles& files) {
  cmd.add_option("--key-out", files.key_out, "Write the 32-byte data (encryption) key to FILE")
      ->type_name("FILE");
  cmd.add_option("--signing-seed-out", files.seed_out,
                 "Write the 32-byte Ed25519 signing seed to FILE")
      ->type_name("FILE");
  cmd.add_flag("--force", files.force, "Replace secret files that already exist");
}

// Refuses the files before anything is written, so that a refusal leaves no part of a new set
// of secrets behind.
void check_outputs(const KeyFiles& files, const std::string& phrase_out = {}) {
  for (const std::string* path : {&phrase_out, &files.key_out, &files.seed_out}) {
    if (!path->empty()) check_secret_target(*path, files.force);
  }
}

// Restores the keys of a phrase, writes those asked for and reports the public key.
void restore_into(std::string_view phrase, const KeyFiles& files, Report& report) {
  auto keys = restore_keys(phrase);
  if (!keys) fail(keys.error());
  WipeOnExit wipe(&*keys, sizeof(RestoredKeys));
  PublicKey pub = verifying_key_bytes(signing_key_from_seed(keys->sign_seed));
  report.add("public_key", to_hex(pub));
  if (!files.key_out.empty()) {
    write_secret(files.key_out, keys->enc_key.secret_bytes(), files.force);
    report.add("key_file", files.key_out);
  }
  if (!files.seed_out.empty()) {
    write_secret(files.seed_out, keys->sign_seed.secret_bytes(), files.force);
    report.add("signing_seed_file", files.seed_out);
  }
}

// The phrase as restore_keys takes it: words in lower case joined by single spaces, whatever
// white space surrounded or separated them in the file.
std::string normalise_phrase(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  bool gap = false;
  for (char c : text) {
    if (std::isspace(static_cast<unsigned char>(c))) {
      gap = !out.empty();
      continue;
    }
    if (gap) out.push_back(' ');
    gap = false;
    out.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  }
  return out;
}

void add_new(CLI::App& keys, Context& ctx) {
  struct Options {
    std::size_t words = 12;
    std::string phrase_out;
    KeyFiles files;
  };
  auto opt = std::make_shared<Options>();
  CLI::App* cmd = add_command(
      keys, "new",
      "Generate a new recovery phrase and print it with the public key of its signing key.\n"
      "Optionally write the phrase and the keys it stands for to files (owner-only permissions;\n"
      "an existing file is refused unless --force).",
      "  tessella keys new --words 24 --key-out data.key --signing-seed-out author.seed");
  cmd->add_option("--words", opt->words, "Number of words")
      ->check(CLI::IsMember({12, 24}))
      ->default_str("12");
  cmd->add_option("--phrase-out", opt->phrase_out,
                  "Write the phrase to FILE instead of printing it")
      ->type_name("FILE");
  add_key_outputs(*cmd, opt->files);
  add_json_flag(*cmd, ctx);
  cmd->callback([opt, &ctx] {
    check_outputs(opt->files, opt->phrase_out);
    std::string phrase = unwrap(generate_mnemonic(opt->words));
    const WipeOnExit wipe_phrase(phrase.data(), phrase.size());
    Report r;
    r.add("words", opt->words);
    if (opt->phrase_out.empty()) {
      r.add("phrase", phrase);
    } else {
      std::string line = phrase + "\n";
      const WipeOnExit wipe_line(line.data(), line.size());
      write_secret(opt->phrase_out,
                   {reinterpret_cast<const std::uint8_t*>(line.data()), line.size()},
                   opt->files.force);
      r.add("phrase_file", opt->phrase_out);
    }
    restore_into(phrase, opt->files, r);
    r.print(ctx.json);
  });
}

void add_restore(CLI::App& keys, Context& ctx) {
  struct Options {
    std::string phrase_file = std::string(kStdio);
    KeyFiles files;
  };
  auto opt = std::make_shared<Options>();
  CLI::App* cmd = add_command(
      keys, "restore",
      "Restore the data key and the signing seed from a recovery phrase read from standard input\n"
      "(or --phrase-file), write them to the files given (owner-only permissions; an existing\n"
      "file is refused unless --force), and print the public key.",
      "  tessella keys restore --key-out data.key --signing-seed-out author.seed < phrase.txt");
  cmd->add_option("--phrase-file", opt->phrase_file,
                  "Read the phrase from FILE (default: standard input)")
      ->type_name("FILE");
  add_key_outputs(*cmd, opt->files);
  add_json_flag(*cmd, ctx);
  cmd->callback([opt, &ctx] {
    check_outputs(opt->files);
    SecretBytes text = read_secret(opt->phrase_file);
    std::string phrase = normalise_phrase(text.secret_text());
    const WipeOnExit wipe_phrase(phrase.data(), phrase.size());
    Report r;
    r.add("words", std::count(phrase.begin(), phrase.end(), ' ') + (phrase.empty() ? 0 : 1));
    restore_into(phrase, opt->files, r);
    r.print(ctx.json);
  });
}

void add_public(CLI::App& keys, Context& ctx) {
  auto seed_file = std::make_shared<std::string>();
  CLI::App* cmd = add_command(
      keys, "public",
      "Print the Ed25519 public key of a signing seed: the bare key in hexadecimal, for scripts\n"
      "(READER_PUB=$(tessella keys public --signing-seed reader.seed)), or JSON with --json.",
      "  tessella keys public --signing-seed holder.seed");
  cmd->add_option("--signing-seed", *seed_file, "The 32-byte signing seed")
      ->type_name("FILE")
      ->required();
  add_json_flag(*cmd, ctx);
  cmd->callback([seed_file, &ctx] {
    SecretArray<kSeedSize> seed = read_seed(*seed_file);
    std::string pub = to_hex(verifying_key_bytes(signing_key_from_seed(seed)));
    if (!ctx.json) {
      std::fputs((pub + "\n").c_str(), stdout);
      return;
    }
    Report r;
    r.add("public_key", pub);
    r.print(true);
  });
}

}  // namespace

void add_keys_commands(CLI::App& app, Context& ctx) {
  CLI::App* keys =
      add_command(app, "keys", "Recovery phrases and keys: new, restore, public.",
                  "  tessella keys new --key-out data.key --signing-seed-out author.seed\n"
                  "  tessella keys restore --key-out data.key < phrase.txt");
  keys->require_subcommand(1);
  add_new(*keys, ctx);
  add_restore(*keys, ctx);
  add_public(*keys, ctx);
}

}  // namespace tessella::cli
