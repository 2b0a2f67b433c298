// Files, hexadecimal text, secrets and failures: the helpers every command of the tool shares.
#ifndef TESSELLA_TOOL_IO_HPP
#define TESSELLA_TOOL_IO_HPP

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include <tessella/tessella.hpp>

#include "files.hpp"

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

/// to_hex writes lower-case hexadecimal, two digits per byte.
std::string to_hex(ByteView bytes);
/// from_hex reads an even number of hexadecimal digits (either case, nothing else).
std::optional<Bytes> from_hex(std::string_view text);
/// excerpt is a short hexadecimal view for narration: the first `head` and last `tail` bytes
/// around "..", followed by the length; short inputs are shown whole.
std::string excerpt(ByteView bytes, std::size_t head = 8, std::size_t tail = 4);
/// hex_array converts text already checked by the hex_value check into a fixed array.
template <std::size_t N>
std::array<std::uint8_t, N> hex_array(std::string_view text) {
  auto bytes = from_hex(text);
  if (!bytes || bytes->size() != N) {
    throw Failure("expected " + std::to_string(N * 2) +
                  " hexadecimal digits: " + std::string(text));
  }
  std::array<std::uint8_t, N> out{};
  std::copy(bytes->begin(), bytes->end(), out.begin());
  return out;
}

/// The typed forms of hex_array for public keys and content identifiers.
inline PublicKey hex_public_key(std::string_view text) { return PublicKey{hex_array<32>(text)}; }
inline Cid hex_cid(std::string_view text) { return Cid{hex_array<32>(text)}; }

/// SecretBytes holds secret bytes of any length read from a file and wipes them when released.
class SecretBytes {
 public:
  SecretBytes() = default;
  explicit SecretBytes(Bytes bytes) noexcept : bytes_(std::move(bytes)) {}
  SecretBytes(SecretBytes&& other) noexcept : bytes_(std::move(other.bytes_)) {
    other.bytes_.clear();
  }
  SecretBytes& operator=(SecretBytes&&) = delete;
  SecretBytes(const SecretBytes&) = delete;
  SecretBytes& operator=(const SecretBytes&) = delete;
  ~SecretBytes() { secure_wipe(bytes_.data(), bytes_.size()); }

  ByteView secret_bytes() const noexcept { return bytes_; }
  std::string_view secret_text() const noexcept {
    return {reinterpret_cast<const char*>(bytes_.data()), bytes_.size()};
  }
  std::size_t size() const noexcept { return bytes_.size(); }

 private:
  Bytes bytes_;
};

/// The path that stands for standard input or output.
inline constexpr std::string_view kStdio = "-";

/// read_input returns a file's bytes; "-" reads standard input, which only one option of a
/// command may do. Failure when the file cannot be read.
Bytes read_input(const std::string& path);
/// read_secret reads a secret file (or "-") into wiped storage.
SecretBytes read_secret(const std::string& path);
/// write_output writes bytes to a file through write_file; "-" writes standard output. Decrypted
/// payloads are written under owner-only rules.
void write_output(const std::string& path, ByteView bytes, FileRules rules = {});
/// check_secret_target refuses "-" and what write_file's owner-only rules refuse: a symbolic link
/// or anything but a regular file, and an existing file unless `replace` (--force).
void check_secret_target(const std::string& path, bool replace);
/// write_secret writes a secret (key, seed, phrase) into a file readable by its owner only, after
/// check_secret_target.
void write_secret(const std::string& path, ByteView bytes, bool replace);

/// read_key reads a key file: its raw bytes, or, when the file holds 64 hexadecimal digits
/// (surrounding white space allowed), the 32 bytes they stand for. Any other length is passed
/// on as read: the library judges data keys.
SecretBytes read_key(const std::string& path);
/// read_seed reads a 32-byte Ed25519 seed in the same forms as read_key. Failure for any other
/// length.
SecretArray<kSeedSize> read_seed(const std::string& path);

/// parse_rights reads a rights value: decimal digits (the number itself) or the text form
/// ("READ_RAW | COMPUTE_USE", "0x12"). The error is a sentence for the user.
std::expected<Rights, std::string> parse_rights(std::string_view text);

/// cid_of returns the content identifier of the frame at the start of `bytes`: BLAKE3 of the
/// frame's own wire form, trailing bytes excluded. The parser's errors.
Result<Cid> cid_of(ByteView bytes);

/// printable_text tells whether bytes read well as text: valid UTF-8 without control characters
/// other than tab and line breaks.
bool printable_text(ByteView bytes);

}  // namespace tessella::cli

#endif
