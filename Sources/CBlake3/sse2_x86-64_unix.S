/* BLAKE3's sse2 kernel on x86-64 (SwiftPM compiles every listed file on every architecture). */
#if defined(__x86_64__) && !defined(_WIN32)
#include "blake3_sse2_x86-64_unix.S"
#endif
