#include "failure.hpp"

namespace tessella::cli {

void fail(const TessellaError& err) { throw Failure(err.message(), err.kind()); }

std::string_view error_kind_name(ErrorKind kind) noexcept {
  switch (kind) {
    case ErrorKind::InvalidFormat:
      return "InvalidFormat";
    case ErrorKind::SignatureInvalid:
      return "SignatureInvalid";
    case ErrorKind::AeadTagMismatch:
      return "AeadTagMismatch";
    case ErrorKind::NonceInvalid:
      return "NonceInvalid";
    case ErrorKind::CapabilityInvalid:
      return "CapabilityInvalid";
    case ErrorKind::PolicyViolation:
      return "PolicyViolation";
    case ErrorKind::KeyUnavailable:
      return "KeyUnavailable";
    case ErrorKind::Crypto:
      return "Crypto";
    case ErrorKind::Internal:
      return "Internal";
  }
  return "Unknown";
}

}  // namespace tessella::cli
