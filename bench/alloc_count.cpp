#include "alloc_count.hpp"

#include <cstdlib>
#include <new>

#include <openssl/crypto.h>

namespace tessella::bench {
namespace {

// Plain thread_local integers: no constructor runs, so counting is safe at any point of a
// thread's life, including inside the C++ runtime's own start-up allocations.
thread_local AllocStats t_stats;

void count_new(std::size_t n) noexcept {
  ++t_stats.news;
  t_stats.new_bytes += n;
  if (n > t_stats.new_max) t_stats.new_max = n;
}

void count_ossl(std::size_t n) noexcept {
  ++t_stats.ossl;
  t_stats.ossl_bytes += n;
  if (n > t_stats.ossl_max) t_stats.ossl_max = n;
}

void* ossl_malloc(std::size_t n, const char*, int) {
  count_ossl(n);
  return std::malloc(n);
}
void* ossl_realloc(void* p, std::size_t n, const char*, int) {
  count_ossl(n);
  return std::realloc(p, n);
}
void ossl_free(void* p, const char*, int) { std::free(p); }

void* checked_malloc(std::size_t n) {
  count_new(n);
  void* p = std::malloc(n == 0 ? 1 : n);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

void* checked_aligned(std::size_t n, std::align_val_t al) {
  count_new(n);
  const auto a = static_cast<std::size_t>(al);
  void* p = nullptr;
  if (posix_memalign(&p, a < sizeof(void*) ? sizeof(void*) : a, n == 0 ? 1 : n) != 0) {
    throw std::bad_alloc();
  }
  return p;
}

}  // namespace

AllocStats alloc_snapshot() noexcept { return t_stats; }

void alloc_reset_max() noexcept {
  t_stats.new_max = 0;
  t_stats.ossl_max = 0;
}

bool install_openssl_counting() noexcept {
  return CRYPTO_set_mem_functions(ossl_malloc, ossl_realloc, ossl_free) == 1;
}

}  // namespace tessella::bench

using tessella::bench::checked_aligned;
using tessella::bench::checked_malloc;

void* operator new(std::size_t n) { return checked_malloc(n); }
void* operator new[](std::size_t n) { return checked_malloc(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  try {
    return checked_malloc(n);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
  try {
    return checked_malloc(n);
  } catch (...) {
    return nullptr;
  }
}
void* operator new(std::size_t n, std::align_val_t al) { return checked_aligned(n, al); }
void* operator new[](std::size_t n, std::align_val_t al) { return checked_aligned(n, al); }
void* operator new(std::size_t n, std::align_val_t al, const std::nothrow_t&) noexcept {
  try {
    return checked_aligned(n, al);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t n, std::align_val_t al, const std::nothrow_t&) noexcept {
  try {
    return checked_aligned(n, al);
  } catch (...) {
    return nullptr;
  }
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
