#include "failure.hpp"

namespace tessella::cli {

void fail(const TessellaError& err) {
  throw Failure(err.message(), err.kind(), Json{{"library_error", err.message()}});
}

void fail_about(const std::string& subject, const TessellaError& err, const std::string& why,
                Json fields) {
  std::string text = err.message();
  Json all = {{"about", subject}};
  all.update(fields);
  all["library_error"] = text;
  throw Failure(why.empty() ? subject + ": " + text : subject + ": " + why + " (" + text + ")",
                err.kind(), std::move(all));
}

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
