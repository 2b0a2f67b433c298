// Opening frames under their policy: the policy reader and the capability checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>

#include <fmt/format.h>

#include "tessella/fmt.hpp"
#include "tessella/tessella.hpp"
#include "vectors.hpp"

namespace tessella {
namespace {

using test::error_of;
using test::bytes_of;

Rights R(std::uint32_t bits) { return Rights::from_bits_retain(bits); }
struct PolicyCase {
  std::string name, meta;
  bool require_cap;
  std::uint32_t allowed_ops;
};

const std::vector<PolicyCase>& policies() {
  // The policies that open differently; the JSON rules of the reader are held to a whole-document
  // parse by the policy fuzz target, on the texts of its corpus.
  static const std::vector<PolicyCase> cases = {
      {"empty", "", false, 0}, {"not_json", "abc", false, 0}, {"array", R"([{"require_cap":true}])", false, 0},
      {"require_cap_string", R"({"require_cap":"true"})", false, 0},
      {"require_cap_number", R"({"require_cap":1})", false, 0},
      {"require_cap_true", R"({"require_cap":true})", true, 0},
      {"duplicate_true_then_false", R"({"require_cap":true,"require_cap":false})", false, 0},
      {"nested_key_only", R"({"x":{"require_cap":true,"allowed_ops":1}})", false, 0},
      {"ops_1", R"({"require_cap":true,"allowed_ops":1})", true, 1},
      {"ops_without_cap", R"({"allowed_ops":7})", false, 7},
      {"ops_wraps_to_1", R"({"require_cap":true,"allowed_ops":4294967297})", true, 1},
      {"ops_u64_max", R"({"require_cap":true,"allowed_ops":18446744073709551615})", true, ~0u},
      {"ops_beyond_u64", R"({"require_cap":true,"allowed_ops":18446744073709551616})", true, 0},
      {"ops_float", R"({"require_cap":true,"allowed_ops":1.0})", true, 0},
      {"ops_unnamed_bit", R"({"require_cap":true,"allowed_ops":2147483648})", true, 0x80000000u},
      {"invalid_utf8", "{\"require_cap\":true,\"x\":\"\xed\xa0\x80\"}", false, 0},
  };
  return cases;
}

constexpr std::uint64_t kExpiry = 1000;
constexpr Rights kAll = Rights::from_bits_retain(~0u);

struct World {
  Bytes key = Bytes(32, 0x5C);
  SigningKey author = signing_key_from_seed(Seed{1}), issuer = signing_key_from_seed(Seed{2});
  PublicKey holder = verifying_key_bytes(signing_key_from_seed(Seed{3}));
  PublicKey stranger = verifying_key_bytes(signing_key_from_seed(Seed{4}));
  Bytes plaintext = {'s', 'e', 'c', 'r', 'e', 't'};

  SealedBytes seal(std::string_view meta, std::uint8_t alg = kAlgAesGcm) const {
    auto s = seal_bytes(alg, 0, 0, Nonce{}, Timestamp{}, verifying_key_bytes(author), PublicKey{},
                        Cid{}, {}, bytes_of(meta), plaintext, key, author);
    EXPECT_TRUE(s.has_value());
    return s.value_or(SealedBytes{});
  }
  // The binary form of a token for `scope`, signed by the issuer and naming `issuer_pub`.
  Bytes token(const Cid& scope, Rights rights, std::uint64_t exp = kExpiry,
              std::optional<PublicKey> issuer_pub = {}) const {
    auto t = cap_issue(issuer.secret_seed(), issuer_pub.value_or(verifying_key_bytes(issuer)),
                       scope, rights, exp, holder);
    EXPECT_TRUE(t.has_value());
    const auto form = cap_encode(t.value_or(CapToken{}));
    return Bytes(form.begin(), form.end());
  }
};

using TokenFn = std::function<Bytes(const World&, const Cid& frame, Rights mask)>;

// A token for the frame with every right, expiring at `exp`, naming `issuer` as its issuer.
TokenFn issued(std::uint64_t exp = kExpiry, std::optional<PublicKey> issuer = {}) {
  return [=](const World& w, const Cid& f, Rights) { return w.token(f, kAll, exp, issuer); };
}
// Such a token with its binary form edited.
TokenFn edited(Bytes (*edit)(Bytes)) {
  return [edit](const World& w, const Cid& f, Rights) { return edit(w.token(f, kAll)); };
}

// A way of presenting a capability (or none), and its verdicts with and without a demanding policy.
struct Situation {
  const char* name;
  TokenFn token;  // empty: none presented
  const PublicKey World::*presenter;  // null: no presenter key
  std::optional<std::uint64_t> now;
  Bytes key;  // empty: the data key
  std::optional<ErrorKind> required, not_required;
};

const std::vector<Situation>& situations() {
  constexpr auto kCap = ErrorKind::CapabilityInvalid, kSig = ErrorKind::SignatureInvalid,
                 kPolicy = ErrorKind::PolicyViolation, kTag = ErrorKind::AeadTagMismatch,
                 kNoKey = ErrorKind::KeyUnavailable;
  constexpr auto kHolder = &World::holder, kStranger = &World::stranger;
  const auto bad_sig = edited([](Bytes t) { return t[116 + 40] ^= 0x80, t; });
  static const std::vector<Situation> list = {
      {"valid_all_rights", issued(), kHolder, {}, {}, {}, {}},
      {"valid_exact_rights", [](const World& w, const Cid& f, Rights m) { return w.token(f, m); },
       kHolder, kExpiry, {}, {}, {}},
      // Without a capability the data key is never tried; without a policy it is.
      {"absent", {}, kHolder, {}, Bytes(7, 0), kCap, kNoKey},
      {"short", edited([](Bytes t) { return t.pop_back(), t; }), kHolder, {}, {}, kCap, {}},
      {"extra_byte", edited([](Bytes t) { return t.push_back(0xEE), t; }), kHolder, {}, {}, {}, {}},
      {"wrong_holder", issued(), kStranger, {}, {}, kCap, {}},
      {"wrong_holder_and_bad_signature", bad_sig, kStranger, {}, {}, kCap, {}},
      {"no_presenter_key", issued(), nullptr, {}, {}, kCap, {}},
      {"bad_signature", bad_sig, kHolder, {}, {}, kSig, {}},
      {"wrong_issuer_key", issued(kExpiry, World().stranger), kHolder, {}, {}, kSig, {}},
      {"issuer_not_a_point", issued(kExpiry, PublicKey{2}), kHolder, {}, {}, kSig, {}},  // y = 2
      {"other_frame", [](const World& w, const Cid&, Rights) { return w.token(Cid{}, kAll); },
       kHolder, {}, {}, kPolicy, {}},
      // Every right but the lowest one the policy asks for (all rights for an empty mask).
      {"missing_rights", [](const World& w, const Cid& f, Rights m) {
         return w.token(f, R(~(m.bits() & (~m.bits() + 1)))); }, kHolder, {}, {}, kPolicy, {}},
      {"expired_with_now", issued(), kHolder, kExpiry + 1, {}, kCap, {}},
      {"expired_and_no_presenter", issued(), nullptr, kExpiry + 1, {}, kCap, {}},
      {"expired_without_now", issued(0), kHolder, {}, {}, {}, {}},
      {"now_equal_to_expiry", issued(), kHolder, kExpiry, {}, {}, {}},
      {"wrong_data_key", issued(), kHolder, {}, Bytes(32, 1), kTag, kTag},
      {"short_data_key", issued(), kHolder, {}, Bytes(16, 1), kNoKey, kNoKey},
  };
  return list;
}

// Every policy against every way of presenting a capability, under both ciphers.
TEST(OpenBytes, PolicyTimesSituation) {
  const World w;
  for (const auto& p : policies()) {
    const FramePolicy policy = read_policy(bytes_of(p.meta));
    EXPECT_EQ(policy.require_cap, p.require_cap) << p.name;
    EXPECT_EQ(policy.allowed_ops.bits(), p.allowed_ops) << p.name;
    for (const std::uint8_t alg : {kAlgAesGcm, kAlgChaCha20}) {
      const SealedBytes frame = w.seal(p.meta, alg);
      for (const Situation& s : situations()) {
        SCOPED_TRACE(fmt::format("policy {}, situation {}, alg {}", p.name, s.name, alg));
        const std::optional<Bytes> token =
            s.token ? std::optional(s.token(w, frame.cid, R(p.allowed_ops))) : std::nullopt;
        const auto cap = token ? std::optional<ByteView>(*token) : std::nullopt;
        const auto who = s.presenter ? std::optional<PublicKey>(w.*s.presenter) : std::nullopt;
        const ByteView key = s.key.empty() ? w.key : s.key;
        const auto result = open_bytes_with_ctx(frame.bytes, key, cap, who, s.now);
        auto want = p.require_cap ? s.required : s.not_required;
        if (s.name == std::string_view("missing_rights") && p.allowed_ops == 0) want.reset();
        EXPECT_EQ(error_of(result), want ? std::optional(TessellaError(*want)) : std::nullopt);
        EXPECT_EQ(result.value_or(w.plaintext), w.plaintext);
        EXPECT_EQ(open_bytes(frame.bytes, key, cap, who),
                  open_bytes_with_ctx(frame.bytes, key, cap, who, std::nullopt));
      }
    }
  }
}

// The signature is not checked on opening, but it is part of the identifier a token names; bytes
// after the frame are part of neither. (Other alterations: the tamper matrix of frame_test.cpp.)
TEST(OpenBytes, ResignedAndPaddedFrames) {
  const World w;
  const SealedBytes guarded = w.seal(R"({"require_cap":true})");
  const Bytes token = w.token(guarded.cid, Rights());
  Bytes resigned = guarded.bytes, longer = guarded.bytes;
  resigned.back() ^= 1;
  longer.insert(longer.end(), 100, 0xAA);
  EXPECT_EQ(error_of(open_bytes(resigned, w.key, ByteView(token), w.holder)), TessellaError(ErrorKind::PolicyViolation));
  EXPECT_EQ(open_bytes(longer, w.key, ByteView(token), w.holder), w.plaintext);
}

// Who may grant access under a trust: a table of the token's issuer against the trust, opened
// through both trusted calls. A token opens exactly when its issuer is the trusted owner or a
// listed key; the frame's own policy and the other checks are as for open_bytes.
TEST(OpenBytesTrusted, IssuerTimesTrust) {
  const World w;
  const SigningKey owner = signing_key_from_seed(Seed{5});
  const PublicKey owner_pub = verifying_key_bytes(owner);
  auto sealed = seal_bytes(kAlgChaCha20, 0, 0, Timestamp{}, verifying_key_bytes(w.author), owner_pub,
                           Cid{}, {}, bytes_of(R"({"require_cap":true})"), w.plaintext, w.key, w.author);
  ASSERT_TRUE(sealed);
  const auto token_from = [&](std::uint8_t seed) {
    const SigningKey k = signing_key_from_seed(Seed{seed});
    const auto form = cap_encode(*cap_issue(k.secret_seed(), verifying_key_bytes(k), sealed->cid,
                                            Rights(), kExpiry, w.holder));
    return Bytes(form.begin(), form.end());
  };
  const PublicKey listed[] = {w.stranger, verifying_key_bytes(w.issuer)};
  const struct { const char* name; std::uint8_t seed; bool is_owner, is_listed; } issuers[] = {
      {"owner", 5, true, false}, {"listed", 2, false, true},
      {"stranger", 6, false, false}, {"self_issued_by_holder", 3, false, false}};
  for (const auto& who : issuers) {
    const Bytes token = token_from(who.seed);
    for (const bool trust_owner : {false, true}) {
      for (const std::size_t n_listed : {std::size_t{0}, std::size_t{2}}) {
        SCOPED_TRACE(fmt::format("{} owner {} listed {}", who.name, trust_owner, n_listed));
        const OpenOptions opts{ByteView(token), w.holder, kExpiry,
                               IssuerTrust{std::span(listed, n_listed), trust_owner}};
        const bool opens = (trust_owner && who.is_owner) || (n_listed > 0 && who.is_listed);
        const auto want = opens ? std::nullopt : std::optional(TessellaError(ErrorKind::CapabilityInvalid));
        EXPECT_EQ(error_of(open_bytes_trusted(sealed->bytes, w.key, opts)), want);
        Bytes out(w.plaintext.size() + 3, 0xA5);
        const auto n = open_bytes_trusted_into(sealed->bytes, w.key, opts, out);
        EXPECT_EQ(error_of(n), want);
        EXPECT_EQ(Bytes(out.begin(), out.begin() + w.plaintext.size()),
                  opens ? w.plaintext : Bytes(w.plaintext.size(), 0xA5));
        // Without a trust every issuer passes, as before.
        EXPECT_EQ(open_bytes_with_ctx(sealed->bytes, w.key, ByteView(token), w.holder, kExpiry),
                  w.plaintext);
      }
    }
  }
  // The default options trust the owner named in the frame, and nobody else.
  const Bytes from_owner = token_from(5);
  OpenOptions by_default{ByteView(from_owner), w.holder, kExpiry};
  EXPECT_EQ(open_bytes_trusted(sealed->bytes, w.key, by_default), w.plaintext);
  const Bytes stranger = token_from(6);
  by_default.capability = ByteView(stranger);
  EXPECT_EQ(error_of(open_bytes_trusted(sealed->bytes, w.key, by_default)),
            TessellaError(ErrorKind::CapabilityInvalid));
}

// Where the issuer check sits: after the holder and signature checks, before scope and rights.
// A frame without a policy ignores the trust, even one that trusts nobody.
TEST(OpenBytesTrusted, IssuerCheckOrderAndUnguardedFrames) {
  const World w;
  const SealedBytes guarded = w.seal(R"({"require_cap":true,"allowed_ops":2})");
  const IssuerTrust nobody{{}, false};
  const auto open = [&](const SealedBytes& f, const Bytes& token, PublicKey presenter) {
    return error_of(open_bytes_trusted(f.bytes, w.key, {ByteView(token), presenter, {}, nobody}));
  };
  Bytes bad_sig = w.token(guarded.cid, kAll);
  bad_sig[116] ^= 1;
  EXPECT_EQ(open(guarded, w.token(guarded.cid, kAll), w.stranger), TessellaError(ErrorKind::CapabilityInvalid));
  EXPECT_EQ(open(guarded, bad_sig, w.holder), TessellaError(ErrorKind::SignatureInvalid));
  EXPECT_EQ(open(guarded, w.token(Cid{}, kAll), w.holder), TessellaError(ErrorKind::CapabilityInvalid));
  EXPECT_EQ(open(guarded, w.token(guarded.cid, Rights()), w.holder), TessellaError(ErrorKind::CapabilityInvalid));
  const PublicKey issuer = verifying_key_bytes(w.issuer);
  const Bytes other_frame = w.token(Cid{}, kAll);
  const OpenOptions trusted{ByteView(other_frame), w.holder, {}, IssuerTrust::only(std::span(&issuer, 1))};
  EXPECT_EQ(error_of(open_bytes_trusted(guarded.bytes, w.key, trusted)), TessellaError(ErrorKind::PolicyViolation));
  for (const char* meta : {"", R"({"require_cap":false})", "abc"}) {
    EXPECT_EQ(open_bytes_trusted(w.seal(meta).bytes, w.key, {std::nullopt, std::nullopt, {}, nobody}),
              w.plaintext) << meta;
  }
}

// Sealing without a nonce draws a new one for every frame; the frame carries it, and opening
// decrypts with the nonce it carries.
TEST(SealBytes, DrawsANonceWhenGivenNone) {
  const World w;
  std::vector<Nonce> nonces;
  for (const std::uint8_t alg : {kAlgAesGcm, kAlgAesGcm, kAlgChaCha20}) {
    auto sealed = seal_bytes(alg, 0, 0, Timestamp{}, PublicKey{}, PublicKey{}, Cid{}, {}, {},
                             w.plaintext, w.key, w.author);
    ASSERT_TRUE(sealed);
    Bytes into(sealed->bytes.size());
    auto sealed_into = seal_bytes_into(alg, 0, 0, Timestamp{}, PublicKey{}, PublicKey{}, Cid{}, {},
                                       {}, w.plaintext, w.key, w.author, into);
    ASSERT_TRUE(sealed_into);
    for (const Bytes* f : {&sealed->bytes, &into}) {
      const auto v = frame_view(*f);
      ASSERT_TRUE(v);
      nonces.push_back(v->nonce);
      EXPECT_EQ(open_bytes(*f, w.key, {}, {}), w.plaintext);
      // The same frame with any other nonce in its field no longer decrypts.
      Bytes other = *f;
      other[4] ^= 1;
      EXPECT_EQ(error_of(open_bytes(other, w.key, {}, {})), TessellaError(ErrorKind::AeadTagMismatch));
    }
  }
  std::sort(nonces.begin(), nonces.end());
  EXPECT_EQ(std::adjacent_find(nonces.begin(), nonces.end()), nonces.end());
}

}  // namespace
}  // namespace tessella
