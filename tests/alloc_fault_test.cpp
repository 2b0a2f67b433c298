// Fails the K-th allocation inside each C ABI function, for every K the call reaches, and checks
// that the call then returns Internal with every output untouched. Run under the asan preset,
// LeakSanitizer also shows that nothing leaks on those paths.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "tessella/tessella.h"

namespace {

// -1: disarmed. Otherwise the number of allocations still allowed before one fails.
std::atomic<long> g_budget{-1};
std::atomic<long> g_count{0};
std::atomic<bool> g_failed{false};

bool take_allocation() noexcept {
  g_count.fetch_add(1, std::memory_order_relaxed);
  long budget = g_budget.load(std::memory_order_relaxed);
  if (budget < 0) return true;
  if (budget == 0) {
    g_budget.store(-1, std::memory_order_relaxed);  // fail exactly one allocation
    g_failed.store(true, std::memory_order_relaxed);
    return false;
  }
  g_budget.store(budget - 1, std::memory_order_relaxed);
  return true;
}

}  // namespace

void* operator new(std::size_t n) {
  if (!take_allocation()) throw std::bad_alloc();
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return ::operator new(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  if (!take_allocation()) return nullptr;
  return std::malloc(n == 0 ? 1 : n);
}
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept { return ::operator new(n, t); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace {

int passed = 0;
int failed = 0;

void check(bool ok, const std::string& what) {
  if (ok) {
    ++passed;
  } else {
    ++failed;
    std::fprintf(stderr, "FAIL: %s\n", what.c_str());
  }
}

// Bytes that outputs hold before a call; a failed call must leave them so.
constexpr std::uint8_t kSentinel = 0xA5;

struct Outputs {
  tessella_buf buf{nullptr, 0};
  std::uint8_t a[180];
  std::uint8_t b[64];
  tessella_frame_verification report;
  tessella_error err{-1, nullptr};
  tessella_signing_key* key = nullptr;

  Outputs() {
    std::memset(a, kSentinel, sizeof a);
    std::memset(b, kSentinel, sizeof b);
    std::memset(&report, kSentinel, sizeof report);
  }
  bool untouched() const {
    for (auto v : a) if (v != kSentinel) return false;
    for (auto v : b) if (v != kSentinel) return false;
    const auto* r = reinterpret_cast<const std::uint8_t*>(&report);
    for (std::size_t i = 0; i < sizeof report; ++i) if (r[i] != kSentinel) return false;
    return buf.data == nullptr && buf.len == 0 && key == nullptr;
  }
  void release() {
    tessella_buf_free(&buf);
    tessella_signing_key_free(key);
    key = nullptr;
  }
};

struct Case {
  const char* name;
  // Returns the call's status; void functions report 0.
  std::function<int(Outputs&)> call;
  // Whether a failure is reported through tessella_error (void and pointer-returning functions
  // have no error output).
  bool has_error = true;
};

// Drives one C ABI function through every allocation it makes.
void exhaust(const Case& c) {
  for (long k = 0;; ++k) {
    Outputs out;
    g_failed.store(false);
    g_budget.store(k);
    const int rc = c.call(out);
    g_budget.store(-1);
    if (!g_failed.load()) {
      check(rc == 0, std::string(c.name) + ": succeeds without injected failure");
      out.release();
      if (k == 0) check(true, c.name);
      return;
    }
    const std::string what = std::string(c.name) + " with allocation " + std::to_string(k + 1) + " failing";
    if (c.has_error) {
      check(rc == -1, what + ": returns -1");
      check(out.err.kind == TESSELLA_INTERNAL && out.err.detail != nullptr &&
                std::strcmp(out.err.detail, "out of memory") == 0,
            what + ": reports Internal \"out of memory\" (got kind " + std::to_string(out.err.kind) + ")");
    }
    check(out.untouched(), what + ": outputs untouched");
    out.release();
    if (k > 10000) {
      check(false, std::string(c.name) + ": too many allocations");
      return;
    }
  }
}

}  // namespace

int main() {
  std::uint8_t seed[32], issuer_seed[32], pub[32], issuer_pub[32], key[32], nonce[12], ts[16];
  std::uint8_t zeros[32] = {0};
  std::memset(seed, 1, 32);
  std::memset(issuer_seed, 2, 32);
  std::memset(key, 3, 32);
  std::memset(nonce, 4, 12);
  std::memset(ts, 5, 16);
  tessella_signing_key* signer = tessella_signing_key_from_seed(seed);
  tessella_signing_key* issuer = tessella_signing_key_from_seed(issuer_seed);
  tessella_verifying_key_bytes(signer, pub);
  tessella_verifying_key_bytes(issuer, issuer_pub);

  const std::string meta = R"({"require_cap":true,"allowed_ops":3,"x":[1,2,{"y":"z"}]})";
  const std::string payload(3000, 'p');
  tessella_buf frame{nullptr, 0};
  std::uint8_t cid[32];
  tessella_error err;
  if (tessella_seal_bytes(1, 0, 0, nonce, ts, pub, zeros, zeros, nullptr, 0,
                          reinterpret_cast<const std::uint8_t*>(meta.data()), meta.size(),
                          reinterpret_cast<const std::uint8_t*>(payload.data()), payload.size(),
                          key, 32, signer, &frame, cid, &err) != 0) {
    std::fprintf(stderr, "setup failed\n");
    return 1;
  }
  std::uint8_t token[180];
  tessella_cap_issue(issuer_seed, issuer_pub, cid, 3, 100, pub, token, &err);
  tessella_buf phrase{nullptr, 0};
  tessella_generate_mnemonic(12, &phrase, &err);
  const std::string words(reinterpret_cast<const char*>(phrase.data), phrase.len);
  tessella_buf_free(&phrase);
  const std::uint64_t now = 50;
  std::uint8_t ct_tag[16], sig[64];
  tessella_buf ct{nullptr, 0};
  tessella_aead_encrypt(1, key, 32, nonce, nullptr, 0, key, 32, &ct, ct_tag, nullptr);
  tessella_sign(signer, key, 32, sig);

  const Case cases[] = {
      {"tessella_aead_encrypt", [&](Outputs& o) {
         return tessella_aead_encrypt(2, key, 32, nonce, zeros, 32, key, 32, &o.buf, o.b, &o.err);
       }},
      {"tessella_aead_decrypt", [&](Outputs& o) {
         return tessella_aead_decrypt(1, key, 32, nonce, nullptr, 0, ct.data, ct.len, ct_tag,
                                      &o.buf, &o.err);
       }},
      {"tessella_signing_key_from_seed", [&](Outputs& o) {
         o.key = tessella_signing_key_from_seed(seed);
         return o.key != nullptr ? 0 : -1;
       }, false},
      {"tessella_sign", [&](Outputs& o) {
         tessella_sign(signer, key, 32, o.b);
         return 0;
       }, false},
      {"tessella_verify", [&](Outputs& o) {
         return tessella_verify(pub, key, 32, sig, &o.err);
       }},
      {"tessella_frame_reserialize", [&](Outputs& o) {
         return tessella_frame_reserialize(frame.data, frame.len, &o.buf, &o.err);
       }},
      {"tessella_frame_aad", [&](Outputs& o) {
         return tessella_frame_aad(frame.data, frame.len, 9, &o.buf, &o.err);
       }},
      {"tessella_seal_bytes", [&](Outputs& o) {
         return tessella_seal_bytes(2, 1, 2, nonce, ts, pub, zeros, zeros, nullptr, 0,
                                    reinterpret_cast<const std::uint8_t*>(meta.data()), meta.size(),
                                    reinterpret_cast<const std::uint8_t*>(payload.data()),
                                    payload.size(), key, 32, signer, &o.buf, o.a, &o.err);
       }},
      {"tessella_open_bytes", [&](Outputs& o) {
         return tessella_open_bytes(frame.data, frame.len, key, 32, token, 180, pub, &now, &o.buf,
                                    &o.err);
       }},
      {"tessella_verify_bytes", [&](Outputs& o) {
         return tessella_verify_bytes(frame.data, frame.len, &o.report, &o.err);
       }},
      {"tessella_transfer_bytes", [&](Outputs& o) {
         return tessella_transfer_bytes(cid, pub, &o.buf, &o.err);
       }},
      {"tessella_cap_issue", [&](Outputs& o) {
         return tessella_cap_issue(issuer_seed, issuer_pub, cid, 1, 9, pub, o.a, &o.err);
       }},
      {"tessella_cap_verify", [&](Outputs& o) {
         return tessella_cap_verify(token, 180, pub, &o.err);
       }},
      {"tessella_seal_event", [&](Outputs& o) {
         return tessella_seal_event(1, pub, zeros, cid, 2, cid, 3, 99, issuer_pub, key, 32, signer,
                                    &o.buf, o.a, &o.err);
       }},
      {"tessella_generate_mnemonic", [&](Outputs& o) {
         return tessella_generate_mnemonic(24, &o.buf, &o.err);
       }},
      {"tessella_restore_keys", [&](Outputs& o) {
         return tessella_restore_keys(words.data(), words.size(), o.a, o.b, &o.err);
       }},
      {"tessella_blind_index", [&](Outputs& o) {
         return tessella_blind_index(key, 32, key, 3, o.a, &o.err);
       }},
  };
  for (const auto& c : cases) exhaust(c);

  tessella_buf_free(&ct);
  tessella_buf_free(&frame);
  tessella_signing_key_free(signer);
  tessella_signing_key_free(issuer);
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
