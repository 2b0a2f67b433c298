#include "tessella/cid.hpp"

#include <blake3.h>

namespace tessella {

Cid cid_blake3(ByteView data) noexcept {
  blake3_hasher hasher;
  blake3_hasher_init(&hasher);
  blake3_hasher_update(&hasher, data.data(), data.size());
  Cid out;
  blake3_hasher_finalize(&hasher, out.data(), out.size());
  return out;
}

}  // namespace tessella
