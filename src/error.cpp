#include "tessella/error.hpp"

#include <array>
#include <ostream>



namespace tessella {

namespace {
constexpr std::array<std::string_view, 9> kKindTexts = {
    "invalid frame format: ",
    "signature verification failed",
    "aead tag mismatch",
    "nonce reuse or invalid nonce",
    "capability required or invalid",
    "policy violation",
    "key unavailable",
    "crypto error: ",
    "internal error: ",
};
}  // namespace

std::string_view kind_text(ErrorKind kind) noexcept {
  auto index = static_cast<std::size_t>(kind);
  return index < kKindTexts.size() ? kKindTexts[index] : kKindTexts[8];
}

std::string TessellaError::message() const {
  std::string out(kind_text(kind_));
  if (has_detail(kind_) && detail_ != nullptr) out += detail_;
  return out;
}

std::ostream& operator<<(std::ostream& os, const TessellaError& err) {
  os << kind_text(err.kind());
  if (TessellaError::has_detail(err.kind()) && err.detail() != nullptr) os << err.detail();
  return os;
}

}  // namespace tessella
