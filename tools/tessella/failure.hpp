// Failure: a command that cannot complete, and the library's errors turned into one.
#ifndef TESSELLA_TOOL_FAILURE_HPP
#define TESSELLA_TOOL_FAILURE_HPP

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include <tessella/tessella.hpp>

namespace tessella::cli {

/// Failure is a command that cannot complete. main prints its text on stderr and exits with
/// status 1; `kind` is set when the text is a library error's.
class Failure : public std::runtime_error {
 public:
  explicit Failure(const std::string& message, std::optional<ErrorKind> kind = std::nullopt)
      : std::runtime_error(message), kind_(kind) {}
  std::optional<ErrorKind> kind() const noexcept { return kind_; }

 private:
  std::optional<ErrorKind> kind_;
};

/// fail throws the library error as a Failure carrying its text and kind.
[[noreturn]] void fail(const TessellaError& err);

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
