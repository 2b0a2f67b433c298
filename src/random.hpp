// The operating system's random source.
#ifndef TESSELLA_SRC_RANDOM_HPP
#define TESSELLA_SRC_RANDOM_HPP

#include <cstddef>

namespace tessella {

/// os_random fills `out` from the operating system's random source, retrying on interruption
/// and short reads; it stops the process if the source fails.
void os_random(void* out, std::size_t len) noexcept;

}  // namespace tessella

#endif
