// tessella_bench: Google Benchmark's command line, plus --manifest, which prints the rows of
// the report (see registry.hpp) as JSON and exits.
#include <cstdio>
#include <cstring>

#include <benchmark/benchmark.h>
#include <openssl/crypto.h>
#include <sodium.h>

#include "alloc_count.hpp"
#include "registry.hpp"

int main(int argc, char** argv) {
  using namespace tessella::bench;
  // First, before OpenSSL allocates anything.
  const bool ossl_counted = install_openssl_counting();
  if (sodium_init() < 0) {
    std::fprintf(stderr, "libsodium failed to initialise\n");
    return 1;
  }
  register_frame_benchmarks();
  register_policy_benchmarks();
  register_events_benchmarks();
  register_capabilities_benchmarks();
  register_rights_benchmarks();
  register_mnemonic_benchmarks();
  register_search_benchmarks();
  register_c_api_benchmarks();

  if (argc > 1 && std::strcmp(argv[1], "--manifest") == 0) {
    std::puts(registry().manifest_json().c_str());
    return 0;
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::AddCustomContext("openssl", OpenSSL_version(OPENSSL_VERSION));
  benchmark::AddCustomContext("libsodium", sodium_version_string());
  benchmark::AddCustomContext("openssl_allocations_counted", ossl_counted ? "yes" : "no");
  benchmark::AddCustomContext("aes256gcm_in_libsodium",
                              crypto_aead_aes256gcm_is_available() ? "yes" : "no");
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
