// Allocation counting for the benchmark binary: every operator new of this program, and every
// allocation OpenSSL makes through its memory hooks, counted per thread.
#ifndef TESSELLA_BENCH_ALLOC_COUNT_HPP
#define TESSELLA_BENCH_ALLOC_COUNT_HPP

#include <cstdint>

namespace tessella::bench {

struct AllocStats {
  std::uint64_t news = 0;        // calls of operator new (all forms)
  std::uint64_t new_bytes = 0;   // bytes requested from operator new
  std::uint64_t new_max = 0;     // largest single request (kept as a running maximum)
  std::uint64_t ossl = 0;        // OpenSSL malloc and realloc calls
  std::uint64_t ossl_bytes = 0;  // bytes OpenSSL requested
  std::uint64_t ossl_max = 0;
};

/// This thread's totals since it started.
AllocStats alloc_snapshot() noexcept;
/// Resets the running maxima of this thread, so that a later snapshot shows the largest request
/// made after this call.
void alloc_reset_max() noexcept;

/// Routes OpenSSL's allocations through counting wrappers of malloc. Must run before OpenSSL
/// allocates anything; returns false when it was too late.
bool install_openssl_counting() noexcept;

}  // namespace tessella::bench

#endif
