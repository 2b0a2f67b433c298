// Files the tool reads and writes. Each file written is written in full to a new file beside its
// target, flushed to disk and renamed over the target, so no reader sees half a file and a
// failure leaves the file that was there untouched. Large inputs and outputs (payloads, frames)
// are mapped into memory rather than read into it, so that the kernel pages them in and out.
#ifndef TESSELLA_TOOL_FILES_HPP
#define TESSELLA_TOOL_FILES_HPP

#include <cstdint>
#include <functional>
#include <span>
#include <optional>
#include <string>
#include <string_view>

#include <tessella/tessella.hpp>

#include "failure.hpp"

namespace tessella::cli {

/// FileRules says how a file is written and what it may replace.
struct FileRules {
  /// The file gets mode 0600 (less the umask), and only a regular file is replaced: a symbolic
  /// link or anything else at the path is refused, except /dev/null. Otherwise a symbolic link is followed, a
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

/// The name an input goes by in messages: its path, or "standard input" for "-".
inline std::string input_name(const std::string& path) {
  return path == kStdio ? std::string("standard input") : path;
}

/// Input is a main input (a payload, a frame): a regular file mapped read-only, or the bytes of
/// standard input or of a pipe read into memory.
class Input {
 public:
  Input() = default;
  Input(Input&& other) noexcept;
  Input& operator=(Input&&) = delete;
  Input(const Input&) = delete;
  ~Input();

  ByteView bytes() const noexcept { return map_ ? ByteView(map_, len_) : ByteView(buffer_); }
  /// Whether the bytes are a mapped file.
  bool mapped() const noexcept { return map_ != nullptr; }

 private:
  friend Input map_input(const std::string&, std::uint64_t,
                         const std::function<void(std::uint64_t)>&);
  const std::uint8_t* map_ = nullptr;
  std::size_t len_ = 0;
  int guard_ = -1;  // the slot that turns a fault on the mapping into a message
  Bytes buffer_;
};

/// map_input opens a main input ("-": standard input). `too_long` is called with the length
/// found when the input holds more than `limit` bytes, before anything is read of a file, as
/// soon as the limit is passed on a stream; it is expected to throw. Failure "cannot read PATH:
/// reason".
Input map_input(const std::string& path, std::uint64_t limit = UINT64_MAX,
                const std::function<void(std::uint64_t)>& too_long = {});

/// Output is a file being written at a size known in advance: a new file beside the target,
/// sized up front and mapped, renamed over the target by commit(). Standard output ("-"), a
/// device or a pipe are written from memory at commit() instead. Until commit() returns,
/// nothing is at the target; an Output released without commit() removes its temporary file.
/// Under owner-only rules the temporary file is created 0600 and a memory buffer is wiped.
class Output {
 public:
  Output(const std::string& path, std::size_t size, FileRules rules);
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;
  ~Output();

  std::span<std::uint8_t> span() noexcept;
  /// commit writes the first `len` bytes (len <= size) and puts the file in place.
  void commit(std::size_t len);

 private:
  std::string path_, target_, temp_;
  FileRules rules_;
  bool to_file_ = false;
  bool committed_ = false;
  int fd_ = -1;
  std::uint8_t* map_ = nullptr;
  std::size_t size_ = 0;
  int guard_ = -1;  // the slot that turns a fault on the mapping into a message
  Bytes buffer_;
  std::optional<unsigned> keep_mode_;
};

/// read_input returns a file's bytes; "-" reads standard input, which only one option of a
/// command may do. Failure when the file cannot be read.
Bytes read_input(const std::string& path);
/// read_secret reads a secret file (or "-") into wiped storage; no copy is left behind in
/// memory released while reading. A file that its group or others may read is refused, with
/// the chmod that mends it.
SecretBytes read_secret(const std::string& path);
/// read_term reads a search term (or "-") into wiped storage, as read_secret does but without
/// the permission check: a term is private, not a key.
SecretBytes read_term(const std::string& path);
/// write_output writes bytes to a file through write_file; "-" writes standard output. Decrypted
/// payloads are written under owner-only rules.
void write_output(const std::string& path, ByteView bytes, FileRules rules = {});
/// check_secret_target refuses "-" and what write_file's owner-only rules refuse: a symbolic link
/// or anything but a regular file, and an existing file unless `replace` (--force).
void check_secret_target(const std::string& path, bool replace);
/// write_secret writes a secret (key, seed, phrase) into a file readable by its owner only, after
/// check_secret_target.
void write_secret(const std::string& path, ByteView bytes, bool replace);

/// read_key reads a 32-byte key file: its raw bytes, or, when the file holds 64 hexadecimal
/// digits (surrounding white space allowed), the 32 bytes they stand for. Failure naming the
/// file, with the library's "key unavailable", for any other length.
SecretBytes read_key(const std::string& path);
/// read_seed reads a 32-byte Ed25519 seed in the same forms as read_key. Failure for any other
/// length.
SecretArray<kSeedSize> read_seed(const std::string& path);

}  // namespace tessella::cli

#endif
