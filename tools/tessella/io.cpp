#include "io.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fmt/format.h>

#include "tessella/fmt.hpp"

namespace tessella::cli {

namespace {

bool stdin_taken = false;

std::string system_error(std::string_view what, const std::string& path) {
  return fmt::format("cannot {} {}: {}", what, path, std::strerror(errno));
}

int hex_digit(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool is_space(char c) noexcept {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view trim(std::string_view text) noexcept {
  while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
  return text;
}

// Reads a whole stream. The buffer is sized from the file's length when it has one, so a secret
// is not left behind in memory released by a growing buffer.
Bytes read_stream(std::FILE* file, const std::string& name) {
  Bytes out;
  struct stat st {};
  if (::fstat(::fileno(file), &st) == 0 && S_ISREG(st.st_mode)) {
    out.reserve(static_cast<std::size_t>(st.st_size) + 1);
  }
  std::array<std::uint8_t, 65536> chunk{};
  for (;;) {
    std::size_t n = std::fread(chunk.data(), 1, chunk.size(), file);
    out.insert(out.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(n));
    if (n < chunk.size()) break;
  }
  bool failed = std::ferror(file) != 0;
  secure_wipe(chunk.data(), chunk.size());
  if (failed) {
    secure_wipe(out.data(), out.size());
    throw Failure("cannot read " + name);
  }
  return out;
}

}  // namespace

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

std::string to_hex(ByteView bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (std::uint8_t b : bytes) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 0xf]);
  }
  return out;
}

std::optional<Bytes> from_hex(std::string_view text) {
  if (text.size() % 2 != 0) return std::nullopt;
  Bytes out(text.size() / 2);
  for (std::size_t i = 0; i < out.size(); ++i) {
    int hi = hex_digit(text[2 * i]);
    int lo = hex_digit(text[2 * i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out[i] = static_cast<std::uint8_t>(hi << 4 | lo);
  }
  return out;
}

std::string excerpt(ByteView bytes, std::size_t head, std::size_t tail) {
  if (bytes.size() <= head + tail) return fmt::format("{} ({} bytes)", to_hex(bytes), bytes.size());
  return fmt::format("{}..{} ({} bytes)", to_hex(bytes.first(head)), to_hex(bytes.last(tail)),
                     bytes.size());
}

Bytes read_input(const std::string& path) {
  if (path == kStdio) {
    if (stdin_taken) throw Failure("standard input can feed only one option");
    stdin_taken = true;
    return read_stream(stdin, "standard input");
  }
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) throw Failure(system_error("read", path));
  struct Closer {
    std::FILE* f;
    ~Closer() { std::fclose(f); }
  } closer{file};
  return read_stream(file, path);
}

SecretBytes read_secret(const std::string& path) { return SecretBytes(read_input(path)); }

void write_output(const std::string& path, ByteView bytes, FileRules rules) {
  if (path == kStdio) {
    if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size() ||
        std::fflush(stdout) != 0) {
      throw Failure("cannot write standard output");
    }
    return;
  }
  write_file(path, bytes, rules);
}

void check_secret_target(const std::string& path, bool replace) {
  if (path == kStdio) throw Failure("secrets are written to files only, not to standard output");
  check_target(path, {.owner_only = true, .replace = replace});
}

void write_secret(const std::string& path, ByteView bytes, bool replace) {
  check_secret_target(path, replace);
  write_file(path, bytes, {.owner_only = true, .replace = replace});
}

SecretBytes read_key(const std::string& path) {
  SecretBytes raw = read_secret(path);
  std::string_view text = trim(raw.secret_text());
  if (text.size() == 2 * kKeySize) {
    if (auto decoded = from_hex(text)) return SecretBytes(std::move(*decoded));
  }
  return raw;
}

SecretArray<kSeedSize> read_seed(const std::string& path) {
  SecretBytes key = read_key(path);
  if (key.size() != kSeedSize) {
    throw Failure(
        fmt::format("{}: a signing seed is 32 bytes (or 64 hexadecimal digits), not {} bytes", path,
                    key.size()));
  }
  return SecretArray<kSeedSize>(key.secret_bytes().first<kSeedSize>());
}

std::expected<Rights, std::string> parse_rights(std::string_view text) {
  std::string_view trimmed = trim(text);
  if (!trimmed.empty() &&
      std::all_of(trimmed.begin(), trimmed.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    std::uint64_t value = 0;
    for (char c : trimmed) {
      value = value * 10 + static_cast<std::uint64_t>(c - '0');
      if (value > 0xFFFFFFFFu)
        return std::unexpected(std::string("rights number above 4294967295"));
    }
    return Rights::from_bits_retain(static_cast<std::uint32_t>(value));
  }
  auto parsed = Rights::parse(text);
  if (parsed) return *parsed;
  switch (parsed.error()) {
    case ParseError::EmptyFlag:
      return std::unexpected(std::string("empty flag between separators"));
    case ParseError::InvalidNamedFlag:
      return std::unexpected(std::string(
          "unknown right name (READ_FEATURES, READ_RAW, TRANSFER_OWNERSHIP, LICENSE_GRANT, "
          "COMPUTE_USE)"));
    case ParseError::InvalidHexFlag:
      return std::unexpected(
          std::string("invalid hexadecimal flag (0x and a hexadecimal number below 2^32)"));
  }
  return std::unexpected(std::string("invalid rights text"));
}

Result<Cid> cid_of(ByteView bytes) {
  // The identifier is the hash of the frame's own bytes, read in place.
  auto view = frame_view(bytes);
  if (!view) return std::unexpected(view.error());
  return cid_blake3(view->wire);
}

bool printable_text(ByteView bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    std::uint8_t b = bytes[i];
    if (b < 0x80) {
      if (b == 0x7f || (b < 0x20 && b != '\t' && b != '\n' && b != '\r')) return false;
      ++i;
      continue;
    }
    std::size_t len = (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : (b & 0xF8) == 0xF0 ? 4 : 0;
    if (len == 0 || i + len > bytes.size()) return false;
    std::uint32_t cp = b & (0x7F >> len);
    for (std::size_t k = 1; k < len; ++k) {
      if ((bytes[i + k] & 0xC0) != 0x80) return false;
      cp = cp << 6 | (bytes[i + k] & 0x3F);
    }
    static constexpr std::uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

}  // namespace tessella::cli
