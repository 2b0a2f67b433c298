// Failure: a command that cannot complete, and the library's errors turned into one.
#ifndef TESSELLA_TOOL_FAILURE_HPP
#define TESSELLA_TOOL_FAILURE_HPP

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include <tessella/tessella.hpp>

#include "report.hpp"

namespace tessella::cli {

/// Failure is a command that cannot complete. main prints its text on stderr and exits with
/// status 1; `kind` is set when the text contains a library error's. `fields` carries the same
/// detail for --json (the file or argument concerned, expected and found lengths, ...).
class Failure : public std::runtime_error {
 public:
  explicit Failure(const std::string& message, std::optional<ErrorKind> kind = std::nullopt,
                   Json fields = Json::object())
      : std::runtime_error(message), kind_(kind), fields_(std::move(fields)) {}
  std::optional<ErrorKind> kind() const noexcept { return kind_; }
  const Json& fields() const noexcept { return fields_; }

 private:
  std::optional<ErrorKind> kind_;
  Json fields_;
};

/// fail throws the library error as a Failure carrying its text and kind.
[[noreturn]] void fail(const TessellaError& err);
/// fail_about throws the library error about a file or argument: "SUBJECT: WHY (library text)",
/// or "SUBJECT: library text" without `why`. The library's text is kept exactly; `fields` are
/// added to the JSON error with "about" (the subject) and "library_error".
[[noreturn]] void fail_about(const std::string& subject, const TessellaError& err,
                             const std::string& why = {}, Json fields = Json::object());
/// unwrap_about is unwrap with the subject of fail_about.
template <class T>
T unwrap_about(const std::string& subject, Result<T> result) {
  if (!result) fail_about(subject, result.error());
  return std::move(*result);
}

/// unwrap returns the value of a library result or throws its error as a Failure.
template <class T>
T unwrap(Result<T> result) {
  if (!result) fail(result.error());
  return std::move(*result);
}
inline void unwrap(Result<void> result) {
  if (!result) fail(result.error());
}

/// error_kind_name returns the kind's name as written in JSON output ("CapabilityInvalid").
std::string_view error_kind_name(ErrorKind kind) noexcept;

}  // namespace tessella::cli

#endif
