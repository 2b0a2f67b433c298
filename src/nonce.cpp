#include "tessella/nonce.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#if defined(__APPLE__)
#include <sys/random.h>
#include <unistd.h>
#elif defined(__linux__) || defined(__ANDROID__)
#include <sys/random.h>

#include "random.hpp"
#else
#error "no operating-system random source known for this platform"
#endif

namespace tessella {

namespace {
[[noreturn]] void random_source_failed() noexcept {
  std::fputs("tessella: the operating system's random source cannot be read; stopping\n", stderr);
  std::abort();
}
}  // namespace

void os_random(void* out, std::size_t len) noexcept {
  auto* p = static_cast<unsigned char*>(out);
#if defined(__APPLE__)
  // getentropy reads the kernel's random source directly, at most 256 bytes per call.
  while (len > 0) {
    const std::size_t n = len < 256 ? len : 256;
    if (getentropy(p, n) != 0) random_source_failed();
    p += n;
    len -= n;
  }
#else
  while (len > 0) {
    ssize_t n = getrandom(p, len, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      random_source_failed();
    }
    p += n;
    len -= static_cast<std::size_t>(n);
  }
#endif
}

Nonce RandomNonce::next() {
  Nonce nonce{};
  os_random(nonce.data(), nonce.size());
  return nonce;
}

}  // namespace tessella
