/* BLAKE3's avx512 kernel on x86-64 (SwiftPM compiles every listed file on every architecture). */
#if defined(__x86_64__) && !defined(_WIN32)
#include "blake3_avx512_x86-64_unix.S"
#endif
