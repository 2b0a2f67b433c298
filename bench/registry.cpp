#include "registry.hpp"

#include <nlohmann/json.hpp>

namespace tessella::bench {

Registry& registry() {
  static Registry r;
  return r;
}

const std::string& Registry::add(const std::string& name,
                                 std::function<void(benchmark::State&)> fn) {
  auto [it, fresh] = names_.emplace(name, true);
  if (fresh) {
    benchmark::RegisterBenchmark(name.c_str(), [fn](benchmark::State& s) { fn(s); })
        ->Unit(benchmark::kNanosecond);
  }
  return it->first;
}

ThreadRow Registry::add_threads(const std::string& op, const std::string& alg, std::uint64_t size,
                                const std::string& name,
                                std::function<void(benchmark::State&)> fn) {
  names_.emplace(name, true);
  benchmark::RegisterBenchmark(name.c_str(), [fn](benchmark::State& s) { fn(s); })
      ->Unit(benchmark::kNanosecond)
      ->UseRealTime()
      ->Threads(1)
      ->Threads(2);
  ThreadRow r{op, alg, size, name + "/real_time/threads:1", name + "/real_time/threads:2"};
  thread_rows_.push_back(r);
  return r;
}

std::string Registry::manifest_json() const {
  nlohmann::json rows = nlohmann::json::array();
  for (const Row& r : rows_) {
    nlohmann::json floor = nlohmann::json::array();
    for (const Component& c : r.floor) floor.push_back({{"what", c.what}, {"variants", c.variants}});
    rows.push_back({{"op", r.op},
                    {"alg", r.alg},
                    {"size", r.size},
                    {"tessella", r.tessella},
                    {"peer_openssl", r.peer_openssl},
                    {"peer_sodium", r.peer_sodium},
                    {"floor", floor}});
  }
  nlohmann::json threads = nlohmann::json::array();
  for (const ThreadRow& r : thread_rows_) {
    threads.push_back(
        {{"op", r.op}, {"alg", r.alg}, {"size", r.size}, {"one", r.one}, {"two", r.two}});
  }
  return nlohmann::json{{"rows", rows}, {"threads", threads}}.dump(1);
}

void count_allocations(benchmark::State& state, const std::function<void()>& op) {
  op();  // one-time initialisation (fetched ciphers, static tables) is not counted
  alloc_reset_max();
  const AllocStats before = alloc_snapshot();
  op();
  const AllocStats after = alloc_snapshot();
  const double news = static_cast<double>(after.news - before.news);
  const double bytes = static_cast<double>(after.new_bytes - before.new_bytes);
  const double max = static_cast<double>(after.new_max);
  state.counters["allocs"] = news;
  state.counters["alloc_bytes"] = bytes;
  state.counters["alloc_max"] = max;
  state.counters["alloc_other"] = bytes - max;
  state.counters["ossl_allocs"] = static_cast<double>(after.ossl - before.ossl);
  state.counters["ossl_bytes"] = static_cast<double>(after.ossl_bytes - before.ossl_bytes);
}

}  // namespace tessella::bench
