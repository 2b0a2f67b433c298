/// @file
/// TessellaError: the one error type of the library.
#ifndef TESSELLA_ERROR_HPP
#define TESSELLA_ERROR_HPP

#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>

#include "tessella/export.hpp"
#include "tessella/types.hpp"

namespace tessella {

/// ErrorKind numbers are stable: they travel through the C ABI as tessella_kind.
enum class ErrorKind : std::uint8_t {
  InvalidFormat = 0,
  SignatureInvalid = 1,
  AeadTagMismatch = 2,
  NonceInvalid = 3,
  CapabilityInvalid = 4,
  PolicyViolation = 5,
  KeyUnavailable = 6,
  Crypto = 7,
  Internal = 8,
};

/// TessellaError is a plain value: a kind and, for InvalidFormat, Crypto and Internal, a static
/// detail text (a string literal; the error never owns memory). Freely copied between threads.
class TESSELLA_API TessellaError {
 public:
  /// Builds an error of a kind without detail. Passing InvalidFormat, Crypto or Internal here
  /// gives the detail "unspecified"; use the named constructors for those kinds.
  constexpr explicit TessellaError(ErrorKind kind) noexcept
      : kind_(kind), detail_(has_detail(kind) ? "unspecified" : nullptr) {}

  /// @{
  /// An InvalidFormat, Crypto or Internal error with its detail, which must be a string literal
  /// (or any text that lives as long as the program).
  static constexpr TessellaError invalid_format(const char* detail) noexcept {
    return TessellaError(ErrorKind::InvalidFormat, detail);
  }
  static constexpr TessellaError crypto(const char* detail) noexcept {
    return TessellaError(ErrorKind::Crypto, detail);
  }
  static constexpr TessellaError internal(const char* detail) noexcept {
    return TessellaError(ErrorKind::Internal, detail);
  }
  /// @}

  /// The kind.
  constexpr ErrorKind kind() const noexcept { return kind_; }
  /// The detail text for kinds 0, 7 and 8; nullptr for the others.
  constexpr const char* detail() const noexcept { return detail_; }

  /// The text form: "invalid frame format: <detail>", "signature verification failed", ...
  std::string message() const;

  /// Whether errors of this kind carry a detail text.
  static constexpr bool has_detail(ErrorKind kind) noexcept {
    return kind == ErrorKind::InvalidFormat || kind == ErrorKind::Crypto ||
           kind == ErrorKind::Internal;
  }

  /// Equal when the kinds and the detail texts are equal.
  friend bool operator==(const TessellaError& a, const TessellaError& b) noexcept {
    return a.kind_ == b.kind_ && std::string_view(a.detail_ ? a.detail_ : "") ==
                                     std::string_view(b.detail_ ? b.detail_ : "");
  }

 private:
  constexpr TessellaError(ErrorKind kind, const char* detail) noexcept
      : kind_(kind), detail_(detail) {}

  ErrorKind kind_;
  const char* detail_;
};

/// The fixed text of a kind: the prefix for kinds with a detail ("invalid frame format: "),
/// the whole text otherwise.
TESSELLA_API std::string_view kind_text(ErrorKind kind) noexcept;

/// Writes the error's text form and nothing else.
TESSELLA_API std::ostream& operator<<(std::ostream& os, const TessellaError& err);

}  // namespace tessella

#endif
