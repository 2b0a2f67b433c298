// Process-wide caches of fetched OpenSSL algorithm objects.
#ifndef TESSELLA_SRC_OPENSSL_CACHE_HPP
#define TESSELLA_SRC_OPENSSL_CACHE_HPP

#include <atomic>

namespace tessella::detail {

// Fetches an algorithm object once and keeps it for the life of the process. A failed fetch
// (for example when memory runs out) is not remembered: the next call tries again. Two threads
// racing on the first call may both fetch; the loser frees its copy.
template <class T, class Fetch, class Free>
T* fetch_once(std::atomic<T*>& cache, Fetch fetch, Free free) noexcept {
  T* have = cache.load(std::memory_order_acquire);
  if (have != nullptr) return have;
  T* fresh = fetch();
  if (fresh == nullptr) return nullptr;
  if (!cache.compare_exchange_strong(have, fresh, std::memory_order_acq_rel)) {
    free(fresh);
    return have;
  }
  return fresh;
}

}  // namespace tessella::detail

#endif
