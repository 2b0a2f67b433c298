/// @file
/// Content identifiers: BLAKE3 of a byte string.
#ifndef TESSELLA_CID_HPP
#define TESSELLA_CID_HPP

#include "tessella/export.hpp"
#include "tessella/types.hpp"

namespace tessella {

/// cid_blake3 returns the 32-byte BLAKE3 hash (default mode) of the data, which may be empty.
TESSELLA_API Cid cid_blake3(ByteView data) noexcept;

}  // namespace tessella

#endif
