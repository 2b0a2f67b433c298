/* The vendored BLAKE3's public header, for the package's C++ target. */
#include "../../../third_party/blake3/blake3.h"
