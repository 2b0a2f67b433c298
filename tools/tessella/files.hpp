// Files the tool reads and writes. Each file written is written in full to a new file beside its target, flushed to
// disk and renamed over the target, so no reader sees half a file and a failure leaves the file
// that was there untouched.
#ifndef TESSELLA_TOOL_FILES_HPP
#define TESSELLA_TOOL_FILES_HPP

#include <string>
#include <string_view>

#include <tessella/tessella.hpp>

#include "failure.hpp"

namespace tessella::cli {

/// FileRules says how a file is written and what it may replace.
struct FileRules {
  /// The file gets mode 0600 (less the umask), and only a regular file is replaced: a symbolic
  /// link or anything else at the path is refused. Otherwise a symbolic link is followed, a
  /// replaced regular file's permissions are kept, a new file gets 0666 less the umask, and a
  /// device or pipe (/dev/null, a named pipe) is written into as it is.
  bool owner_only = false;
  /// An existing file at the path is replaced; otherwise it is refused, also when it appears
  /// while the new file is being written (where the file system can tell).
  bool replace = true;
};

/// check_target throws Failure when the rules refuse the path as it is now: a file that may not
/// be replaced, or a symbolic link where an owner-only file goes. A command that writes several
/// files checks them all before writing the first.
void check_target(const std::string& path, FileRules rules);

/// write_file writes bytes to path through the temporary file ".NAME.XXXXXX" in the same folder.
/// Failure ("cannot write PATH: reason") when the rules refuse the path or a step fails; the
/// temporary file is then removed and whatever was at the path is left as it was.
void write_file(const std::string& path, ByteView bytes, FileRules rules);

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

}  // namespace tessella::cli

#endif
