/* BLAKE3's NEON kernel on 64-bit ARM (SwiftPM compiles every listed file on every architecture). */
#if defined(__aarch64__) || defined(_M_ARM64)
#include "blake3_neon.c"
#else
typedef int tessella_blake3_no_neon; /* an empty translation unit is not ISO C */
#endif
