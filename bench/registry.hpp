// The table that bench/report prints: each row names the benchmark of tessella's operation, its
// two peer composites and the primitive components of its floor. The binary writes these rows
// as a manifest (--manifest), so the report needs no knowledge of benchmark names.
#ifndef TESSELLA_BENCH_REGISTRY_HPP
#define TESSELLA_BENCH_REGISTRY_HPP

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "alloc_count.hpp"

namespace tessella::bench {

/// One primitive call of a floor, measured with each library that offers it. The best floor
/// takes, per component, the faster of the measured variants.
struct Component {
  std::string what;                  // "aead-seal", "ed25519-sign", "blake3", ...
  std::vector<std::string> variants;  // benchmark names, one per library
};

struct Row {
  std::string op;
  std::string alg;  // "aes-256-gcm", "chacha20-poly1305" or "-"
  std::uint64_t size = 0;
  std::string tessella;
  std::string peer_openssl;  // empty when there is no peer
  std::string peer_sodium;
  std::vector<Component> floor;  // empty when the operation has no primitive floor
};

/// A two-thread scaling pair: the same benchmark run with one and with two threads.
struct ThreadRow {
  std::string op, alg;
  std::uint64_t size = 0;
  std::string one, two;  // full benchmark names as Google Benchmark reports them
};

class Registry {
 public:
  /// Registers a benchmark under `name` unless one of that name exists; returns the name.
  /// Every benchmark reports nanoseconds.
  const std::string& add(const std::string& name, std::function<void(benchmark::State&)> fn);
  /// Registers a benchmark run once with one thread and once with two (real time).
  ThreadRow add_threads(const std::string& op, const std::string& alg, std::uint64_t size,
                        const std::string& name, std::function<void(benchmark::State&)> fn);
  void row(Row r) { rows_.push_back(std::move(r)); }
  void thread_row(ThreadRow r) { thread_rows_.push_back(std::move(r)); }
  std::string manifest_json() const;

 private:
  std::map<std::string, bool> names_;
  std::vector<Row> rows_;
  std::vector<ThreadRow> thread_rows_;
};

Registry& registry();

/// Payload sizes of the frame operations. The full set is always registered; the report picks.
inline const std::vector<std::uint64_t> kSizes = {0, 64, 4096, 65536, 1u << 20, 16u << 20};
/// Payload sizes of the C ABI rows and of the caller-buffer forms.
inline const std::vector<std::uint64_t> kIntoSizes = {64, 4096, 65536, 1u << 20};

/// Allocations made by one call of `op` on this thread, set as counters (per call):
/// allocs, alloc_bytes, alloc_max (the largest single request), alloc_other (all but the
/// largest), ossl_allocs, ossl_bytes. Call before the timed loop; `op` is run twice, the first
/// time to let one-time initialisation happen.
void count_allocations(benchmark::State& state, const std::function<void()>& op);

/// time_calls counts one call's allocations (unless `count` is false: the thread rows), then
/// times the call, keeping its result from being optimised away.
template <class Call>
void time_calls(benchmark::State& state, Call call, bool count = true) {
  if (count) count_allocations(state, [&] { benchmark::DoNotOptimize(call()); });
  for (auto _ : state) {
    auto r = call();
    benchmark::DoNotOptimize(r);
    benchmark::ClobberMemory();
  }
}

/// Each module's benchmarks, registered by main before the run.
void register_frame_benchmarks();
void register_c_api_benchmarks();
void register_events_benchmarks();
void register_capabilities_benchmarks();
void register_rights_benchmarks();
void register_policy_benchmarks();
void register_mnemonic_benchmarks();
void register_search_benchmarks();

}  // namespace tessella::bench

#endif
