/// @file
/// Nonce providers for sealing.
#ifndef TESSELLA_NONCE_HPP
#define TESSELLA_NONCE_HPP

#include <cstddef>

#include "tessella/export.hpp"
#include "tessella/types.hpp"

namespace tessella {

/// NonceProvider hands the host a fresh 12-byte nonce for each sealing. Sealing never draws
/// nonces itself: uniqueness per data key is the caller's duty.
class TESSELLA_API NonceProvider {
 public:
  virtual ~NonceProvider() = default;
  /// next returns a new nonce; it has no error result.
  virtual Nonce next() = 0;
};

/// RandomNonce draws every nonce from the operating system's random source (getrandom on
/// Linux and Android, getentropy on Apple platforms). It keeps no state and may be called
/// from any thread. If the source cannot be read at all, the process is stopped with a message
/// on stderr: an unfilled nonce is never returned.
class TESSELLA_API RandomNonce final : public NonceProvider {
 public:
  Nonce next() override;
};


}  // namespace tessella

#endif
