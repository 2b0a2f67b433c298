// demo: the road of a sealed frame, narrated step by step.

#include <array>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <openssl/rand.h>

#include "tessella/fmt.hpp"
#include "commands.hpp"
#include "encoding.hpp"
#include "files.hpp"

namespace tessella::cli {

namespace {

// Source hands out the demo's keys, nonces, phrase and clock: fresh randomness, or, with a seed,
// HKDF-SHA-256 of the seed under a label per value and a fixed clock, so that a seeded run prints
// the same text every time.
class Source {
 public:
  explicit Source(std::optional<std::uint64_t> seed) : seed_(seed) {}

  template <std::size_t N>
  std::array<std::uint8_t, N> bytes(std::string_view label) const {
    std::array<std::uint8_t, N> out{};
    if (!seed_) {
      if (RAND_bytes(out.data(), static_cast<int>(out.size())) != 1) {
        throw Failure("cannot draw random bytes");
      }
      return out;
    }
    std::array<std::uint8_t, 8> ikm{};
    for (std::size_t i = 0; i < 8; ++i) ikm[i] = static_cast<std::uint8_t>(*seed_ >> (56 - 8 * i));
    static constexpr std::string_view kSalt = "tessella demo";
    if (!hkdf_sha256({reinterpret_cast<const std::uint8_t*>(kSalt.data()), kSalt.size()}, ikm,
                     {reinterpret_cast<const std::uint8_t*>(label.data()), label.size()}, out)) {
      throw Failure("cannot derive the demo's values from the seed");
    }
    return out;
  }

  std::string phrase() const {
    if (!seed_) return unwrap(generate_mnemonic(12));
    auto entropy = bytes<16>("phrase entropy");
    WipeOnExit wipe(entropy.data(), entropy.size());
    return unwrap(mnemonic_from_entropy(entropy));
  }

  // A seeded run derives its nonce so that it prints the same frame every time; otherwise the
  // library draws the nonce, as every host should let it.
  std::optional<Nonce> nonce(std::string_view label) const {
    if (seed_) return bytes<kNonceSize>(label);
    return std::nullopt;
  }

  // Seconds since 1970; a seeded run always starts on 2026-01-01 00:00:00 UTC.
  std::uint64_t now() const {
    if (seed_) return 1767225600;
    auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::seconds>(since_epoch).count());
  }

 private:
  std::optional<std::uint64_t> seed_;
};

// Narrator writes the story as it happens (text), or collects it into one JSON object, and keeps
// a list of steps that did not behave as they should.
class Narrator {
 public:
  static constexpr std::size_t kLabelWidth = 16;

  explicit Narrator(bool json) : json_(json) {}

  void intro(const std::string& text) {
    doc_["intro"] = text;
    say(text + "\n");
  }

  void step(const std::string& key, const std::string& title, const std::string& story) {
    key_ = key;
    doc_["steps"][key] = Json::object();
    say(fmt::format("\n{}. {}\n   {}\n", ++number_, title, story));
  }

  void show(const std::string& key, const std::string& label, const Json& value,
            const std::string& text = {}) {
    doc_["steps"][key_][key] = value;
    say(fmt::format("   {:<{}} {}\n", label, kLabelWidth,
                    text.empty() ? Report::text_of(value) : text));
  }

  // A refusal the user should see: the operation must fail with the expected kind. `why` says
  // which check refused it.
  template <class T>
  void refused(const std::string& key, const std::string& label, const Result<T>& result,
               ErrorKind expected, const std::string& why) {
    Json entry = {{"refused", !result.has_value()}};
    if (result) {
      problem(label + ": accepted, but should have been refused");
      entry["error"] = nullptr;
    } else {
      entry["error"] = result.error().message();
      entry["kind"] = error_kind_name(result.error().kind());
      if (result.error().kind() != expected) {
        problem(fmt::format("{}: refused with {}, expected {}", label,
                            error_kind_name(result.error().kind()), error_kind_name(expected)));
      }
    }
    doc_["steps"][key_][key] = entry;
    say(fmt::format("   {:<{}} {}\n", label, kLabelWidth,
                    result ? std::string("ACCEPTED") : "refused: " + result.error().message()));
    say(fmt::format("   {:<{}}   ({})\n", "", kLabelWidth, why));
  }

  void expect(bool ok, const std::string& what) {
    if (!ok) problem(what);
  }

  int finish() {
    doc_["ok"] = problems_.empty();
    doc_["problems"] = problems_;
    if (json_) {
      std::string out = doc_.dump(2) + "\n";
      std::fwrite(out.data(), 1, out.size(), stdout);
    } else if (problems_.empty()) {
      say("\nEvery step behaved as it should.\n");
    } else {
      say("\nUnexpected behaviour:\n");
      for (const auto& p : problems_) say("   " + p + "\n");
    }
    std::fflush(stdout);
    return problems_.empty() ? 0 : 1;
  }

 private:
  void say(const std::string& text) {
    if (!json_) std::fwrite(text.data(), 1, text.size(), stdout);
  }
  void problem(const std::string& what) {
    problems_.push_back(fmt::format("step {}: {}", number_, what));
  }

  bool json_;
  int number_ = 0;
  std::string key_;
  Json doc_ = Json::object();
  std::vector<std::string> problems_;
};

ByteView as_bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::string as_text(ByteView bytes) { return {bytes.begin(), bytes.end()}; }

int run_demo(std::optional<std::uint64_t> seed, bool json) {
  Source source(seed);
  Narrator n(json);
  n.intro(seed
              ? fmt::format("tessella demo: the road of a sealed frame (seed {}: every key, nonce, "
                            "phrase and time below is derived from it)",
                            *seed)
              : std::string("tessella demo: the road of a sealed frame (fresh randomness; "
                            "--seed N gives a repeatable run)"));

  // 1. Keys from a recovery phrase.
  std::string phrase = source.phrase();
  WipeOnExit wipe_phrase(phrase.data(), phrase.size());
  const RestoredKeys keys = unwrap(restore_keys(phrase));
  const auto data_key = keys.enc_key.secret_bytes();
  const SeedView sign_seed = keys.sign_seed;
  SigningKey author_key = signing_key_from_seed(sign_seed);
  PublicKey author = verifying_key_bytes(author_key);
  n.step("phrase", "Recovery phrase",
         "A 12-word phrase is generated; restoring it gives the data key and the signing seed.");
  n.show("phrase", "phrase", phrase);
  n.show("data_key", "data key", to_hex(data_key), excerpt(data_key));
  n.show("signing_seed", "signing seed", to_hex(sign_seed), excerpt(sign_seed));
  n.show("author_pub", "author key", to_hex(author));
  const RestoredKeys again = unwrap(restore_keys(phrase));
  n.expect(again.enc_key == keys.enc_key && again.sign_seed == keys.sign_seed,
           "restoring the phrase twice gave different keys");

  // 2. The other parties.
  const Seed holder_seed{source.bytes<kSeedSize>("holder seed")};
  const Seed stranger_seed{source.bytes<kSeedSize>("stranger seed")};
  PublicKey holder = verifying_key_bytes(signing_key_from_seed(holder_seed));
  PublicKey stranger = verifying_key_bytes(signing_key_from_seed(stranger_seed));
  std::uint64_t now = source.now();
  n.step("parties", "The holder",
         "A second party will be allowed to read the frame; a stranger will try without leave.");
  n.show("holder_pub", "holder key", to_hex(holder));
  n.show("stranger_pub", "stranger key", to_hex(stranger));
  n.show("now", "current time", now);

  // 3. Sealing under a policy that requires a capability with READ_RAW.
  const std::string payload = "Quarterly revenue: 1,234,567 EUR";
  Json policy_doc = {{"allowed_ops", Rights::READ_RAW.bits()}, {"require_cap", true}};
  const std::string meta = policy_doc.dump();
  const std::string pol = "demo";
  const std::optional<Nonce> seeded_nonce = source.nonce("frame nonce");
  Timestamp ts{};
  Cid no_prev{};
  SealedBytes sealed =
      seeded_nonce
          ? unwrap(seal_bytes(kAlgChaCha20, 0, 0, *seeded_nonce, ts, author, author, no_prev,
                              as_bytes(pol), as_bytes(meta), as_bytes(payload), data_key,
                              author_key))
          : unwrap(seal_bytes(kAlgChaCha20, 0, 0, ts, author, author, no_prev, as_bytes(pol),
                              as_bytes(meta), as_bytes(payload), data_key, author_key));
  const Bytes& frame = sealed.bytes;
  const Nonce nonce = unwrap(frame_view(frame)).nonce;
  FramePolicy policy = read_policy(as_bytes(meta));
  const std::size_t ct_at = kFrameFixedSize + pol.size() + meta.size();
  ByteView wire(frame);
  n.step("seal", "Sealing",
         "The payload is encrypted with ChaCha20-Poly1305 under a nonce the library draws (derived\n"
         "   from the seed in a seeded run) and signed; meta carries the policy.");
  n.show("payload", "payload", payload);
  n.show("meta", "meta (policy)", meta);
  n.show("require_cap", "require_cap", policy.require_cap);
  n.show("allowed_ops", "allowed_ops", policy.allowed_ops.bits(),
         fmt::format("{:?}", policy.allowed_ops));
  n.show("nonce", "nonce", to_hex(nonce));
  n.show("frame", "frame", to_hex(frame), excerpt(frame));
  n.show("header", "header", to_hex(wire.first(4)),
         to_hex(wire.first(4)) + " (version, alg, hdr2, hdr3)");
  n.show("ct", "ciphertext", to_hex(wire.subspan(ct_at, payload.size())),
         excerpt(wire.subspan(ct_at, payload.size())));
  n.show("tag", "tag", to_hex(wire.subspan(ct_at + payload.size(), kTagSize)));
  n.show("sig", "signature", to_hex(wire.last(kSignatureSize)), excerpt(wire.last(kSignatureSize)));
  n.show("cid", "cid", to_hex(sealed.cid));
  n.expect(policy.require_cap && policy.allowed_ops == Rights::READ_RAW,
           "the policy did not read back as written");

  // 4. Granting the holder a capability.
  const Rights granted = Rights::READ_FEATURES | Rights::READ_RAW;
  const std::uint64_t exp = now + 3600;
  CapToken token = unwrap(cap_issue(sign_seed, author, sealed.cid, granted, exp, holder));
  auto token_bytes = cap_encode(token);
  n.step("grant", "Granting",
         "The author issues the holder a token for this frame, valid for one hour.");
  n.show("token", "token", to_hex(token_bytes), excerpt(token_bytes));
  n.show("rights", "rights", granted.to_string());
  n.show("exp_ts", "expires", exp);
  n.show("holder_pub", "holder", to_hex(token.holder_pub), excerpt(token.holder_pub));

  // 5. The holder opens the frame: the token must come from the frame's owner and must not have
  // expired at the current time.
  auto open_as = [&](ByteView bytes, ByteView cap, const PublicKey& presenter) {
    return open_bytes_trusted(bytes, data_key, OpenOptions{cap, presenter, now, {}});
  };
  auto opened = open_as(frame, token_bytes, holder);
  n.step("open", "Opening",
         "The holder presents the token with its own key; the token comes from the frame's owner\n"
         "   and has not expired, so the frame opens.");
  if (opened) {
    n.show("plaintext", "plaintext", as_text(*opened));
    n.expect(as_text(*opened) == payload, "the plaintext differs from the payload");
  } else {
    n.expect(false, "the holder could not open the frame: " + opened.error().message());
  }

  // 6. What a user sees when something is wrong.
  auto expired = unwrap(cap_issue(sign_seed, author, sealed.cid, granted, now - 60, holder));
  auto narrow =
      unwrap(cap_issue(sign_seed, author, sealed.cid, Rights::READ_FEATURES, exp, holder));
  Bytes tampered = frame;
  tampered[ct_at] ^= 0x01;
  n.step("refusals", "Refusals", "Each of these attempts must fail, with the error shown.");
  n.refused("no_token", "no token",
            open_bytes_trusted(frame, data_key, OpenOptions{std::nullopt, holder, now, {}}),
            ErrorKind::CapabilityInvalid, "the policy requires a capability");
  n.refused("wrong_holder", "wrong holder", open_as(frame, token_bytes, stranger),
            ErrorKind::CapabilityInvalid, "the stranger presents the holder's token");
  n.refused("expired", "expired token", open_as(frame, cap_encode(expired), holder),
            ErrorKind::CapabilityInvalid, "the token expired a minute before the current time");
  n.refused("missing_right", "missing right", open_as(frame, cap_encode(narrow), holder),
            ErrorKind::PolicyViolation,
            "the token grants READ_FEATURES; the policy asks for READ_RAW");
  n.refused("tampered", "tampered byte", open_as(tampered, token_bytes, holder),
            ErrorKind::PolicyViolation,
            "one ciphertext bit flipped: the frame's cid is no longer the token's scope");
  // Any key can sign a token; only the frame's owner is trusted to grant access.
  auto self_issued =
      unwrap(cap_issue(stranger_seed, stranger, sealed.cid, granted, exp, stranger));
  n.refused("self_issued", "self-issued", open_as(frame, cap_encode(self_issued), stranger),
            ErrorKind::CapabilityInvalid,
            "the stranger issues itself a token: it is not the frame's owner, so not trusted");
  // Even a host that accepts any issuer keeps an altered frame shut: the cipher's tag fails.
  auto forged =
      unwrap(cap_issue(stranger_seed, stranger, unwrap(cid_of(tampered)), granted, exp, stranger));
  n.refused("tampered_own_token", "forged token",
            open_bytes_with_ctx(tampered, data_key, ByteView(cap_encode(forged)), stranger, now),
            ErrorKind::AeadTagMismatch,
            "with any issuer accepted, the stranger's own token for the altered frame: the "
            "cipher's tag fails");

  // 7. The reader verifies that the frame is intact and that the expected author signed it.
  FrameVerification v = unwrap(verify_bytes(frame));
  FrameVerification vt = unwrap(verify_bytes(tampered));
  const bool author_expected = unwrap(frame_view(frame)).author == author;
  n.step("verify", "Verifying",
         "The signature is checked under the frame's author field, and that field against the\n"
         "   author the reader expects (anyone can sign a frame with their own key).");
  n.show("valid", "signature", v.valid, v.valid ? "valid" : "INVALID");
  n.show("author_expected", "author expected", author_expected);
  n.show("cid", "cid", to_hex(v.cid), excerpt(v.cid));
  n.show("cid_matches", "cid as sealed", v.cid == sealed.cid);
  n.show("tampered_valid", "tampered frame", vt.valid,
         vt.valid ? std::string("valid") : fmt::format("invalid ({})", vt.reason ? vt.reason : ""));
  n.expect(v.valid && v.cid == sealed.cid && author_expected, "the sealed frame did not verify");
  n.expect(!vt.valid, "the tampered frame verified");

  // 8. The grant is recorded as an event frame.
  EventBody body{sealed.cid, granted, exp, holder};
  SealedBytes event = unwrap(seal_event_bytes(kAlgChaCha20, author, author, sealed.cid,
                                              EventKind::LicenseGrant, body, data_key, author_key));
  const Bytes& event_bytes = event.bytes;
  const ByteView event_meta = unwrap(frame_view(event_bytes)).meta;
  FrameVerification ev = unwrap(verify_bytes(event_bytes));
  auto event_open = open_bytes(event_bytes, data_key, std::nullopt, std::nullopt);
  n.step("event", "Recording",
         "The licence grant is sealed as an event frame that follows the data frame.");
  n.show("document", "document", Json::parse(event_meta.begin(), event_meta.end()),
         as_text(event_meta));
  n.show("frame", "event frame", to_hex(event_bytes), excerpt(event_bytes));
  n.show("cid", "event cid", to_hex(event.cid), excerpt(event.cid));
  n.show("valid", "signature", ev.valid, ev.valid ? "valid" : "INVALID");
  n.show("opens", "opens with key", event_open.has_value(),
         event_open ? fmt::format("yes ({} payload bytes)", event_open->size())
                    : "no: " + event_open.error().message());
  n.expect(ev.valid && ev.cid == event.cid, "the event frame did not verify");
  n.expect(event_open && event_open->empty(), "the event frame did not open to an empty payload");

  // 9. A blind-index token for private search.
  Bytes index_key = HkdfV1().derive(data_key, as_bytes("blind index"));
  WipeOnExit wipe_index(index_key.data(), index_key.size());
  BlindToken t1 = unwrap(blind_index(index_key, as_bytes("revenue")));
  BlindToken t2 = unwrap(blind_index(index_key, as_bytes("revenue")));
  BlindToken t3 = unwrap(blind_index(index_key, as_bytes("Revenue")));
  n.step("blind_index", "Searching",
         "Search terms are stored as keyed tokens; equal terms give equal tokens.");
  n.show("term", "term", "revenue");
  n.show("token", "token", to_hex(t1));
  n.show("same_term_matches", "same term", t1 == t2, t1 == t2 ? "same token" : "DIFFERENT token");
  n.show("other_case_token", "\"Revenue\"", to_hex(t3),
         excerpt(t3) + (t1 == t3 ? " (same)" : " (differs)"));
  n.expect(t1 == t2 && t1 != t3, "blind-index tokens did not behave");

  return n.finish();
}

}  // namespace

void add_demo_command(CLI::App& app, Context& ctx) {
  auto seed = std::make_shared<std::optional<std::uint64_t>>();
  CLI::App* cmd = add_command(
      app, "demo",
      "Walk through the road of a sealed frame: recovery phrase and keys, sealing under a policy,\n"
      "a capability for a holder, opening, the refusals a user sees, verifying, recording a\n"
      "licence-grant event and a blind-index token. Exit status 1 if any step misbehaves.",
      "  tessella demo --seed 1");
  number_value(cmd->add_option(
      "--seed", *seed, "Derive every key, nonce, phrase and time from N (repeatable output)"));
  add_json_flag(*cmd, ctx);
  cmd->callback([seed, &ctx] { ctx.exit_code = run_demo(*seed, ctx.json); });
}

}  // namespace tessella::cli
