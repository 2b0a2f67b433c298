// Fails the K-th allocation inside each C ABI function, for every K it reaches: Internal "out of
// memory", every output untouched, and (under asan) nothing leaked.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <string>

#include <malloc.h>

#include "tessella/tessella.h"

namespace {

// -1: disarmed. Otherwise the number of allocations still allowed before exactly one fails.
std::atomic<long> g_budget{-1};
std::atomic<bool> g_failed{false};

bool take_allocation() noexcept {
  const long budget = g_budget.load();
  if (budget > 0) g_budget.store(budget - 1);
  if (budget != 0) return true;
  g_budget.store(-1);
  g_failed.store(true);
  return false;
}

}  // namespace

void* operator new(std::size_t n) {
  void* p = take_allocation() ? std::malloc(n == 0 ? 1 : n) : nullptr;
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new[](std::size_t n) { return ::operator new(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  return take_allocation() ? std::malloc(n == 0 ? 1 : n) : nullptr;
}
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept { return ::operator new(n, t); }
// While a needle is set, every block released is searched for it: a secret the library copied
// to the heap must be wiped before its memory goes back.
std::atomic<const std::string*> g_needle{nullptr};
std::atomic<bool> g_needle_found{false};
void release(void* p) noexcept {
  const std::string* needle = g_needle.load();
  if (needle != nullptr && p != nullptr &&
      memmem(p, malloc_usable_size(p), needle->data(), needle->size()) != nullptr) {
    g_needle_found.store(true);
  }
  std::free(p);
}
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { release(p); }

namespace {

int passed = 0, failed = 0;

void check(bool ok, const std::string& what) {
  ok ? ++passed : ++failed;
  if (!ok) std::fprintf(stderr, "FAIL: %s\n", what.c_str());
}

// Every output a call may write; a failed call must leave the 0xA5 in the fixed-size ones.
struct Outputs {
  struct {
    std::uint8_t a[180], b[64];
    tessella_frame_verification report;
    tessella_frame_fields fields;
    tessella_policy policy;
    tessella_cap_token token;
    std::size_t len;
    std::uint8_t wire[4096];
  } f;
  tessella_buf buf{nullptr, 0};
  tessella_error err{-1, nullptr};
  tessella_signing_key* key = nullptr;

  Outputs() { std::memset(&f, 0xA5, sizeof f); }
  bool untouched() const {
    const auto* p = reinterpret_cast<const std::uint8_t*>(&f);
    return std::all_of(p, p + sizeof f, [](std::uint8_t v) { return v == 0xA5; }) && buf.data == nullptr &&
           buf.len == 0 && key == nullptr;
  }
  void release() {
    tessella_buf_free(&buf);
    tessella_signing_key_free(key);
    key = nullptr;
  }
};

struct Case {
  const char* name;
  // 0 when the call succeeded with the right outcome; -1 when it failed or was wrong; 1 when a
  // function without an error output wrote nothing (right only under an injected failure).
  std::function<int(Outputs&)> call;
  bool has_error = true;  // whether failures are reported through tessella_error
};

// Drives one C ABI function through every allocation it makes.
void exhaust(const Case& c) {
  for (long k = 0; k <= 10000; ++k) {
    Outputs out;
    g_failed.store(false);
    g_budget.store(k);
    const int rc = c.call(out);
    g_budget.store(-1);
    if (!g_failed.load()) {  // the call got through all of its allocations
      check(rc == 0, std::string(c.name) + ": succeeds without an injected failure");
      out.release();
      return;
    }
    const std::string what = std::string(c.name) + " with allocation " + std::to_string(k + 1) + " failing";
    if (c.has_error) {
      check(rc == -1 && out.err.kind == TESSELLA_INTERNAL && out.err.detail != nullptr &&
                std::strcmp(out.err.detail, "out of memory") == 0,
            what + ": returns Internal \"out of memory\" (got kind " + std::to_string(out.err.kind) + ")");
    } else {
      check(rc >= 0, what + ": outcome");
    }
    check(out.untouched(), what + ": outputs untouched");
    out.release();
  }
  check(false, std::string(c.name) + ": too many allocations");
}

}  // namespace

int main() {
  std::uint8_t seed[32], issuer_seed[32], pub[32], issuer_pub[32], key[32], nonce[12], ts[16], zeros[32] = {0};
  std::memset(seed, 1, 32), std::memset(issuer_seed, 2, 32), std::memset(key, 3, 32);
  std::memset(nonce, 4, 12), std::memset(ts, 5, 16);
  tessella_signing_key* signer = tessella_signing_key_from_seed(seed);
  tessella_signing_key* issuer = tessella_signing_key_from_seed(issuer_seed);
  tessella_verifying_key_bytes(signer, pub);
  tessella_verifying_key_bytes(issuer, issuer_pub);

  const std::string meta = R"({"require_cap":true,"allowed_ops":3,"x":[1,2,{"y":"z"}]})", payload(3000, 'p');
  const auto* meta_bytes = reinterpret_cast<const std::uint8_t*>(meta.data());
  const auto* payload_bytes = reinterpret_cast<const std::uint8_t*>(payload.data());
  tessella_buf frame{nullptr, 0}, ct{nullptr, 0}, phrase{nullptr, 0};
  std::uint8_t cid[32], token[180], ct_tag[16], sig[64];
  tessella_error err;
  if (tessella_seal_bytes(1, 0, 0, nonce, ts, pub, zeros, zeros, nullptr, 0, meta_bytes, meta.size(),
                          payload_bytes, payload.size(), key, 32, signer, &frame, cid, &err) != 0 ||
      tessella_cap_issue(issuer_seed, issuer_pub, cid, 3, 100, pub, token, &err) != 0 ||
      tessella_generate_mnemonic(12, &phrase, &err) != 0 ||
      tessella_aead_encrypt(1, key, 32, nonce, nullptr, 0, key, 32, &ct, ct_tag, nullptr) != 0) {
    std::fprintf(stderr, "setup failed\n");
    return 1;
  }
  const std::string words(reinterpret_cast<const char*>(phrase.data), phrase.len);
  tessella_buf_free(&phrase);
  tessella_sign(signer, key, 32, sig, nullptr);
  const std::uint64_t now = 50;
  const tessella_trust trust{issuer_pub, 1, 0};
  // A call of one function with the outputs of o; VOID_CALL for functions without an error output,
  // which write their output or, when an allocation fails, nothing.
#define CALL(fn, ...) Case{#fn, [&]([[maybe_unused]] Outputs& o) { return fn(__VA_ARGS__); }}
#define VOID_CALL(fn, ...) Case{#fn, [&](Outputs& o) { return fn(__VA_ARGS__), o.untouched() ? 1 : 0; }, false}
  const Case cases[] = {
      CALL(tessella_aead_encrypt, 2, key, 32, nonce, zeros, 32, key, 32, &o.buf, o.f.b, &o.err),
      CALL(tessella_aead_decrypt, 1, key, 32, nonce, nullptr, 0, ct.data, ct.len, ct_tag, &o.buf, &o.err),
      CALL(tessella_sign, signer, key, 32, o.f.b, &o.err),
      CALL(tessella_hkdf_derive, key, 32, key, 3, o.f.a, &o.err),
      CALL(tessella_frame_parse, frame.data, frame.len, &o.f.fields, &o.err),
      CALL(tessella_frame_cid, frame.data, frame.len, o.f.a, &o.err),
      CALL(tessella_read_policy, meta_bytes, meta.size(), &o.f.policy, &o.err),
      CALL(tessella_cap_decode, token, 180, &o.f.token, &o.err),
      CALL(tessella_sealed_len, 0, meta.size(), payload.size(), &o.f.len, &o.err),
      CALL(tessella_seal_bytes_into, 1, 0, 0, nonce, ts, pub, zeros, zeros, nullptr, 0, meta_bytes, meta.size(),
           payload_bytes, payload.size(), key, 32, signer, o.f.wire, sizeof o.f.wire, &o.f.len, o.f.a, &o.err),
      CALL(tessella_open_bytes_into, frame.data, frame.len, key, 32, token, 180, pub, &now, o.f.wire,
           sizeof o.f.wire, &o.f.len, &o.err),
      CALL(tessella_verify, pub, key, 32, sig, &o.err),
      CALL(tessella_frame_reserialize, frame.data, frame.len, &o.buf, &o.err),
      CALL(tessella_frame_aad, frame.data, frame.len, 9, &o.buf, &o.err),
      CALL(tessella_seal_bytes, 2, 1, 2, nonce, ts, pub, zeros, zeros, nullptr, 0, meta_bytes, meta.size(),
           payload_bytes, payload.size(), key, 32, signer, &o.buf, o.f.a, &o.err),
      CALL(tessella_open_bytes, frame.data, frame.len, key, 32, token, 180, pub, &now, &o.buf, &o.err),
      CALL(tessella_open_bytes_trusted, frame.data, frame.len, key, 32, token, 180, pub, &now, &trust, &o.buf,
           &o.err),
      CALL(tessella_open_bytes_trusted_into, frame.data, frame.len, key, 32, token, 180, pub, &now, &trust,
           o.f.wire, sizeof o.f.wire, &o.f.len, &o.err),
      CALL(tessella_seal_bytes, 1, 0, 0, nullptr, ts, pub, zeros, zeros, nullptr, 0, nullptr, 0, payload_bytes,
           payload.size(), key, 32, signer, &o.buf, o.f.a, &o.err),
      CALL(tessella_verify_bytes, frame.data, frame.len, &o.f.report, &o.err),
      CALL(tessella_transfer_bytes, cid, pub, &o.buf, &o.err),
      CALL(tessella_cap_issue, issuer_seed, issuer_pub, cid, 1, 9, pub, o.f.a, &o.err),
      CALL(tessella_cap_verify, token, 180, pub, &o.err),
      CALL(tessella_seal_event, 1, pub, zeros, cid, 2, cid, 3, 99, issuer_pub, key, 32, signer, &o.buf, o.f.a,
           &o.err),
      CALL(tessella_generate_mnemonic, 24, &o.buf, &o.err),
      CALL(tessella_restore_keys, words.data(), words.size(), o.f.a, o.f.b, &o.err),
      CALL(tessella_blind_index, key, 32, key, 3, o.f.a, &o.err),
      {"tessella_signing_key_from_seed", [&](Outputs& o) {
         o.key = tessella_signing_key_from_seed(seed);
         return o.key != nullptr ? 0 : 1;
       }, false},
      VOID_CALL(tessella_random_nonce, o.f.a),
      VOID_CALL(tessella_verifying_key_bytes, signer, o.f.a),
      VOID_CALL(tessella_cid_blake3, key, 32, o.f.a),
  };
  for (const auto& c : cases) exhaust(c);

  Outputs o;
  g_needle.store(&words);
  check(tessella_restore_keys(words.data(), words.size(), o.f.a, o.f.b, &o.err) == 0 &&
            !g_needle_found.load(),
        "tessella_restore_keys: no released block holds the phrase");
  g_needle.store(nullptr);

  tessella_buf_free(&ct);
  tessella_buf_free(&frame);
  tessella_signing_key_free(signer);
  tessella_signing_key_free(issuer);
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
