#include "tessella/secret.hpp"

#include <openssl/crypto.h>

namespace tessella {

void secure_wipe(void* data, std::size_t len) noexcept {
  if (data != nullptr && len != 0) OPENSSL_cleanse(data, len);
}

}  // namespace tessella
