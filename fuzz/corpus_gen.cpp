// Writes the seed corpora of the fuzz targets: fuzz_corpus_gen <corpus directory>.
// Deterministic (fixed keys, nonces and entropy), so running it again rewrites the same files.
// Inputs that the targets cut into parameters are laid out here in the order they are read.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"
#include "tessella/capabilities.hpp"
#include "tessella/cid.hpp"
#include "tessella/frame.hpp"
#include "tessella/mnemonic.hpp"
#include "tessella/sign.hpp"
#include "mnemonic_internal.hpp"

using namespace tessella;
namespace fs = std::filesystem;

namespace {

fs::path g_root;

void write(const std::string& target, const std::string& name, ByteView bytes) {
  const fs::path dir = g_root / target;
  fs::create_directories(dir);
  std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    std::fprintf(stderr, "cannot write %s/%s\n", target.c_str(), name.c_str());
    std::exit(1);
  }
}
void write(const std::string& target, const std::string& name, std::string_view text) {
  write(target, name, as_bytes(text));
}

// Little-endian fields, in the order the targets' carvers read them.
struct Blob {
  Bytes b;
  Blob& u8(std::uint8_t v) { b.push_back(v); return *this; }
  Blob& u16(std::uint16_t v) { return u8(static_cast<std::uint8_t>(v)).u8(static_cast<std::uint8_t>(v >> 8)); }
  Blob& u32(std::uint32_t v) { return u16(static_cast<std::uint16_t>(v)).u16(static_cast<std::uint16_t>(v >> 16)); }
  Blob& u64(std::uint64_t v) { return u32(static_cast<std::uint32_t>(v)).u32(static_cast<std::uint32_t>(v >> 32)); }
  Blob& bytes(ByteView v) { b.insert(b.end(), v.begin(), v.end()); return *this; }
  Blob& text(std::string_view v) { return bytes(as_bytes(v)); }
  Blob& fill(std::size_t n, std::uint8_t v) { b.insert(b.end(), n, v); return *this; }
};

const SigningKey& author() {
  static const SigningKey k = signing_key_from_seed(tessella_fuzz::fixed_seed(tessella_fuzz::kAuthorSeed));
  return k;
}
PublicKey pub_of(std::uint8_t seed) {
  return verifying_key_bytes(signing_key_from_seed(tessella_fuzz::fixed_seed(seed)));
}

SealedBytes seal_fixed(std::uint8_t alg, std::string_view pol, std::string_view meta,
                       std::string_view plaintext) {
  Nonce nonce{};
  for (std::size_t i = 0; i < nonce.size(); ++i) nonce[i] = static_cast<std::uint8_t>(i + 1);
  Timestamp ts{};
  ts[15] = 42;
  PublicKey owner{};
  owner.fill(0x0E);
  Cid prev{};
  prev.fill(0xCC);
  auto sealed = seal_bytes(alg, 0, 0, nonce, ts, verifying_key_bytes(author()), owner, prev,
                           as_bytes(pol), as_bytes(meta), as_bytes(plaintext),
                           tessella_fuzz::fixed_data_key(), author());
  if (!sealed) {
    std::fprintf(stderr, "seal failed\n");
    std::exit(1);
  }
  return std::move(*sealed);
}

std::array<std::uint8_t, kCapTokenSize> token_for(const Cid& scope, std::uint32_t rights,
                                                  std::uint64_t exp) {
  const auto issuer_seed = tessella_fuzz::fixed_seed(tessella_fuzz::kIssuerSeed);
  auto t = cap_issue(issuer_seed, pub_of(tessella_fuzz::kIssuerSeed), scope,
                     Rights::from_bits_retain(rights), exp, pub_of(tessella_fuzz::kHolderSeed));
  if (!t) std::exit(1);
  return cap_encode(*t);
}

constexpr std::string_view kGuarded = R"({"require_cap":true,"allowed_ops":3})";

void frame_parse() {
  const auto a = seal_fixed(2, "", kGuarded, "payload");
  write("frame_parse", "sealed-chacha", a.bytes);
  const auto b = seal_fixed(1, "pol", "{}", "");
  write("frame_parse", "sealed-aes-empty-ct", b.bytes);
  Bytes trailing = a.bytes;
  trailing.insert(trailing.end(), {1, 2, 3, 4});
  write("frame_parse", "trailing-bytes", trailing);
  Bytes minimal(216, 0);
  minimal[1] = 2;
  write("frame_parse", "minimal-216", minimal);
  write("frame_parse", "too-short-135", ByteView(minimal).first(135));
  Bytes bad_alg = minimal;
  bad_alg[1] = 3;
  write("frame_parse", "alg-3", bad_alg);
  Bytes long_pol = minimal;
  long_pol[128] = 0x01;
  long_pol[129] = 0x02;  // 258 bytes of pol, which are not there
  write("frame_parse", "length-short", long_pol);
}

void policy() {
  const char* docs[][2] = {
      {"guarded", R"({"require_cap":true,"allowed_ops":3})"},
      {"duplicate-keys", R"({"require_cap":false,"require_cap":true,"allowed_ops":1,"allowed_ops":7})"},
      {"ops-wraps", R"({"require_cap":true,"allowed_ops":4294967297})"},
      {"ops-max", R"({"require_cap":true,"allowed_ops":18446744073709551615})"},
      {"ops-too-big", R"({"require_cap":true,"allowed_ops":18446744073709551616})"},
      {"ops-float", R"({"require_cap":true,"allowed_ops":1.0})"},
      {"ops-negative", R"({"require_cap":true,"allowed_ops":-1})"},
      {"cap-string", R"({"require_cap":"true"})"},
      {"nested-keys", R"({"x":{"require_cap":true},"allowed_ops":[3],"require_cap":true})"},
      {"array", "[1,2]"},
      {"not-json", "abc"},
      {"trailing", R"({"require_cap":true} x)"},
      {"white-space", " \t{ \"require_cap\" : true }\r\n"},
      {"unicode-key", R"({"require\u005fcap":true})"},
      {"number-1e400", R"({"x":1e400,"require_cap":true})"},
      {"ops-1e400", R"({"require_cap":true,"allowed_ops":-1e400})"},
      {"lone-surrogate", R"({"x":"\ud800","require_cap":true,"y":"\udc00\ud800"})"},
      {"surrogate-key", R"({"\ud800":1,"require_cap":true})"},
      {"byte-order-mark", "\xef\xbb\xbf{\"require_cap\":true}"},
      // The compact reader's edges: each is decided by it or handed to the full reader.
      {"compact-no-cap", R"({"require_cap":false})"},
      {"compact-no-cap-cut", R"({"require_cap":fals)"},
      {"compact-cap-then-no-cap", R"({"require_cap":true,"allowed_ops":7,"require_cap":false})"},
      {"compact-cap-prefix-only", R"({"require_cap":true,"allowed_ops":)"},
      {"compact-ops-leading-zero", R"({"require_cap":true,"allowed_ops":01})"},
      {"compact-ops-zero", R"({"require_cap":true,"allowed_ops":0})"},
      {"compact-ops-exponent", R"({"require_cap":true,"allowed_ops":1e2})"},
      {"compact-ops-first", R"({"allowed_ops":5,"require_cap":true,"x":null,"y":false})"},
      {"compact-empty-object", R"({})"},
      {"compact-empty-object-trailing", R"({}})"},
      {"compact-trailing-comma", R"({"require_cap":true,})"},
      {"compact-close-twice", R"({"require_cap":true}})"},
      {"compact-long-key-escape", R"({"abcdefghij\u0041":1,"require_cap":true})"},
      {"compact-long-key-utf8", "{\"abcdefgh\xc3\xa9ijkl\":1,\"require_cap\":true}"},
      {"compact-long-string-control", "{\"require_cap\":true,\"x\":\"abcdefghijkl\x01\"}"},
      {"compact-delete-in-string", "{\"abcdefgh\x7fijkl\":\"\x7f\",\"require_cap\":true}"},
      {"compact-key-prefix", R"({"require_capx":true,"allowed_op":3})"},
      {"compact-long-string-utf8", "{\"x\":\"abcdefghijklmnopqrstuvw\xc3\xa9\",\"require_cap\":true}"},
      {"compact-long-string-invalid-byte", "{\"require_cap\":true,\"x\":\"abcdefghijklmnopqrst\xff\"}"},
      {"compact-long-key-escaped-quote", R"({"abcdefghijklmnopqrstuvw\"":1,"require_cap":true})"},
      {"compact-long-string-delete", "{\"require_cap\":true,\"x\":\"abcdefghijklmnopqrstu\x7fvwxyz\"}"},
      {"compact-event", R"({"event":"read","exp_ts":1700000000,"peer_pub":"abab)"
       R"(abababababababababababababababababababababababababababababab","require_cap":false,)"
       R"("rights":7,"scope_cid":"0f0f0f0f0f0f0f0f0f0f0f0f0f0f0f0f0f0f0f0f0f0f0f0f0f0f0f0f0f0f0f0f"})"},
  };
  for (const auto& d : docs) write("policy", d[0], std::string_view(d[1]));
  const std::string nul = std::string(R"({"require_cap":true})") + '\0';
  write("policy", "nul-after", nul);
  // Nesting of any depth is a document.
  const auto nested = [](std::size_t levels) {
    std::string s = R"({"require_cap":true,"a":)";
    for (std::size_t i = 1; i < levels; ++i) s += '[';
    for (std::size_t i = 1; i < levels; ++i) s += ']';
    return s + "}";
  };
  write("policy", "depth-128", nested(128));
  write("policy", "depth-129", nested(129));
  write("policy", "depth-300", nested(300));
  write("policy", "number-400-digits",
        R"({"require_cap":true,"allowed_ops":)" + std::string(400, '9') + "}");
}

void frame_open() {
  // Raw inputs: mode 0, flags 31 (fixed key, token, holder as presenter, now), then the
  // token length and bytes, now, and the frame.
  const auto guarded = seal_fixed(2, "", kGuarded, "guarded payload");
  const auto token = token_for(guarded.cid, 7, 1000);
  const auto raw = [&](std::uint64_t now, ByteView frame) {
    return Blob().u8(0).u8(31).u16(kCapTokenSize).bytes(token).u64(now).bytes(frame).b;
  };
  write("frame_open", "raw-guarded-opens", raw(1000, guarded.bytes));
  write("frame_open", "raw-guarded-expired", raw(1001, guarded.bytes));
  const auto open_frame = seal_fixed(1, "p", "", "open payload");
  write("frame_open", "raw-no-policy", Blob().u8(0).u8(8).bytes(open_frame.bytes).b);
  write("frame_open", "raw-short-key",
        Blob().u8(0).u8(0).u8(31).fill(31, 0x11).bytes(open_frame.bytes).b);

  // Built inputs: mode 1, then the parameters in the order frame_open reads them.
  const auto built = [](std::uint8_t meta_kind, std::string_view meta_text, std::uint32_t rights,
                        std::uint8_t presenter, std::uint8_t now_mode, std::uint8_t key_mode,
                        std::uint8_t mutations) {
    Blob b;
    b.u8(1).u8(0).u8(0).u8(0).fill(12, 0x01).fill(16, 0x02).fill(32, 0x03).fill(32, 0x04);
    b.u8(meta_kind);
    if (meta_kind == 0) b.u64(3).u8(0);
    if (meta_kind == 2) b.u32(1);
    if (meta_kind == 3) b.u8(static_cast<std::uint8_t>(meta_text.size())).text(meta_text);
    b.u8(3).text("pol").u16(5).text("hello");
    b.u32(rights).u8(0).u64(500).u8(0).u8(0).u8(presenter).u8(now_mode).u8(key_mode).u8(0);
    b.u8(mutations);
    for (std::uint8_t i = 0; i < mutations; ++i) b.u8(0).u32(140u + i).u8(0x20);
    b.u8(3).u8(4).text("tail");
    return b.b;
  };
  write("frame_open", "built-guarded-opens", built(0, "", 3, 0, 1, 0, 0));
  write("frame_open", "built-rights-short", built(0, "", 1, 0, 0, 0, 0));
  write("frame_open", "built-wraps-to-1", built(3, R"({"require_cap":true,"allowed_ops":4294967297})", 1, 1, 0, 0, 0));
  write("frame_open", "built-wrong-presenter", built(1, "", 0, 2, 0, 0, 0));
  write("frame_open", "built-expired", built(1, "", 0, 0, 2, 0, 0));
  write("frame_open", "built-not-json-wrong-key", built(3, "[1,2]", 0, 3, 0, 2, 0));
  write("frame_open", "built-altered", built(2, "", 0, 0, 0, 0, 1));
}

void frame_verify() {
  const auto a = seal_fixed(2, "pol", kGuarded, "signed payload");
  write("frame_verify", "raw-valid", Blob().u8(0).bytes(a.bytes).b);
  Bytes bad_sig = a.bytes;
  bad_sig.back() ^= 1;
  write("frame_verify", "raw-bad-signature", Blob().u8(0).bytes(bad_sig).b);
  Bytes not_point = a.bytes;
  // y = 2 has no x on the curve: not a public key.
  std::fill(not_point.begin() + 32, not_point.begin() + 64, 0);
  not_point[32] = 2;
  write("frame_verify", "raw-author-not-a-point", Blob().u8(0).bytes(not_point).b);
  write("frame_verify", "raw-too-short", Blob().u8(0).fill(100, 0).b);

  const auto built = [](std::uint32_t at, std::uint8_t x) {
    Blob b;
    b.u8(7).u8(1).u8(5).u8(6).fill(12, 0x21).fill(16, 0x22).fill(32, 0x23).fill(32, 0x24);
    b.u8(2).text("pp").u8(4).text("meta").u16(6).text("secret").u32(at).u8(x);
    return b.b;
  };
  write("frame_verify", "built-flip-ct", built(144, 0x01));
  write("frame_verify", "built-flip-alg", built(1, 0x04));
  write("frame_verify", "built-flip-length", built(131, 0x01));
  write("frame_verify", "built-flip-author", built(40, 0x80));
}

void capabilities_token() {
  Cid scope{};
  scope.fill(0x5C);
  const auto t = token_for(scope, 0x12, 300);
  write("capabilities_token", "issued", t);
  Bytes longer(t.begin(), t.end());
  longer.push_back(0xEE);
  write("capabilities_token", "trailing-byte", longer);
  write("capabilities_token", "cut-179", ByteView(t).first(179));
  Bytes sig63(t.begin(), t.end());
  sig63[108] = 63;
  write("capabilities_token", "signature-length-63", sig63);
  Bytes all_ones(t.begin(), t.end());
  std::fill(all_ones.begin() + 32, all_ones.begin() + 44, 0xFF);
  write("capabilities_token", "rights-and-expiry-all-ones", all_ones);
  write("capabilities_token", "empty", ByteView());
}

void rights() {
  const char* texts[][2] = {
      {"two-names", "READ_FEATURES | READ_RAW"},
      {"unnamed", "0x40"},
      {"mixed", "READ_FEATURES | 0x60"},
      {"all", "READ_FEATURES | READ_RAW | TRANSFER_OWNERSHIP | LICENSE_GRANT | COMPUTE_USE | 0xffffffe0"},
      {"no-spaces", " READ_RAW|COMPUTE_USE "},
      {"blank", "   "},
      {"lone-bar", "|"},
      {"double-bar", "READ_RAW||COMPUTE_USE"},
      {"lower-case", "read_raw"},
      {"upper-x", "0X10"},
      {"too-big", "0x100000000"},
      {"max", "0xFFFFFFFF"},
      {"unicode-space", "\xC2\xA0READ_RAW\xE3\x80\x80|\xE2\x80\x8A" "0x0\xC2\x85"},
      {"bad-utf8", "\xE2\x80READ_RAW"},
  };
  for (const auto& t : texts) write("rights", t[0], std::string_view(t[1]));
}

void mnemonic_restore() {
  std::array<std::uint8_t, 32> entropy{};
  for (std::size_t i = 0; i < entropy.size(); ++i) entropy[i] = static_cast<std::uint8_t>(i * 29 + 3);
  const auto p12 = detail::entropy_to_mnemonic(ByteView(entropy).first(16));
  const auto p24 = detail::entropy_to_mnemonic(entropy);
  if (!p12 || !p24) std::exit(1);
  write("mnemonic_restore", "raw-12-words", Blob().u8(0).text(*p12).b);
  write("mnemonic_restore", "raw-24-words-spaced", Blob().u8(0).text("  \t" + *p24 + "\n").b);
  std::string bad = *p12;
  bad.replace(bad.rfind(' ') + 1, std::string::npos, "zoo");
  write("mnemonic_restore", "raw-bad-checksum", Blob().u8(0).text(bad).b);
  write("mnemonic_restore", "raw-not-a-word", Blob().u8(0).text("abandon abandon tessella").b);
  // Built: mode 1, entropy length choice, 32 bytes of entropy, edits (op, place, argument).
  write("mnemonic_restore", "built-15-words", Blob().u8(1).u8(1).bytes(entropy).u8(0).b);
  write("mnemonic_restore", "built-tabs-and-a-word",
        Blob().u8(1).u8(4).bytes(entropy).u8(3).u8(0).u8(0).u8(1).u8(0).u8(5).u8(2).u8(2).u8(11).u16(7).b);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
    return 2;
  }
  g_root = argv[1];
  frame_parse();
  policy();
  frame_open();
  frame_verify();
  capabilities_token();
  rights();
  mnemonic_restore();
  return 0;
}
