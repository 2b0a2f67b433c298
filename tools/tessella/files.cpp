#include "files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>

#include <fmt/format.h>
#include <openssl/rand.h>

#include "encoding.hpp"

namespace tessella::cli {

namespace {

bool stdin_taken = false;

std::string system_error(std::string_view what, const std::string& path) {
  return fmt::format("cannot {} {}: {}", what, path, std::strerror(errno));
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

constexpr mode_t kOwnerOnly = S_IRUSR | S_IWUSR;
constexpr int kTempAttempts = 16;

Failure cannot_write(const std::string& path, int err) {
  return Failure(fmt::format("cannot write {}: {}", path, std::strerror(err)));
}

// Applies the rules to what is at the path now; returns whether something is there, and what.
bool existing_target(const std::string& path, FileRules rules, struct stat& st) {
  if (::lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return false;
    throw cannot_write(path, errno);
  }
  if (rules.owner_only && S_ISLNK(st.st_mode)) {
    throw Failure(fmt::format(
        "cannot write {}: it is a symbolic link, and secrets are not written through links", path));
  }
  if (rules.owner_only && !S_ISREG(st.st_mode)) {
    throw Failure(fmt::format("cannot write {}: it is not a regular file", path));
  }
  if (!rules.replace) {
    throw Failure(fmt::format("cannot write {}: the file exists (--force replaces it)", path));
  }
  return true;
}

// ".NAME.XXXXXX" in the folder of the path, the Xs drawn at random.
std::string temp_path(const std::string& path) {
  static constexpr char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::array<std::uint8_t, 6> draw{};
  if (RAND_bytes(draw.data(), static_cast<int>(draw.size())) != 1) {
    throw Failure(fmt::format("cannot write {}: no random bytes for a temporary name", path));
  }
  std::size_t name = path.rfind('/') + 1;  // 0 when there is no slash
  std::string out = path.substr(0, name) + "." + path.substr(name) + ".";
  for (std::uint8_t b : draw) out.push_back(kChars[b % (sizeof(kChars) - 1)]);
  return out;
}

// Creates the temporary file; O_EXCL and O_NOFOLLOW make it a new file whatever another process
// placed at that name.
int create_temp(const std::string& path, mode_t mode, std::string& temp) {
  for (int attempt = 0; attempt < kTempAttempts; ++attempt) {
    temp = temp_path(path);
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

// Writes everything, fchmods when asked, flushes to disk when asked and closes; 0 or the errno of
// the step that failed.
int fill(int fd, ByteView bytes, std::optional<mode_t> mode, bool sync) {
  int err = mode && ::fchmod(fd, *mode) != 0 ? errno : 0;
  for (std::size_t done = 0; err == 0 && done < bytes.size();) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n == 0 || errno != EINTR) {
      err = n == 0 ? EIO : errno;
    }
  }
  if (err == 0 && sync && ::fsync(fd) != 0) err = errno;
  if (::close(fd) != 0 && err == 0) err = errno;
  return err;
}

// Renames temp over path. Without `replace` the rename itself refuses an existing path, where the
// file system supports that; elsewhere the check made before writing stands.
int publish(const std::string& temp, const std::string& path, bool replace) {
#ifdef RENAME_NOREPLACE
  if (!replace) {
    if (::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return errno;
  }
#else
  (void)replace;
#endif
  return std::rename(temp.c_str(), path.c_str()) == 0 ? 0 : errno;
}

// Flushes the folder's entry for the renamed file. The file is in place either way, so a folder
// that cannot be opened or flushed is not reported.
void sync_folder(const std::string& path) {
  std::size_t slash = path.rfind('/');
  std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

}  // namespace

void check_target(const std::string& path, FileRules rules) {
  struct stat st {};
  existing_target(path, rules, st);
}

void write_file(const std::string& path, ByteView bytes, FileRules rules) {
  struct stat old {};
  bool replacing = existing_target(path, rules, old);
  // Owner-only files are regular files by now. Other outputs are written through links, and
  // straight into devices and pipes (/dev/null, a named pipe), which must never be renamed over.
  std::string target = path;
  if (replacing && S_ISLNK(old.st_mode)) {
    if (::stat(path.c_str(), &old) != 0) throw cannot_write(path, errno);
    std::error_code ec;
    if (S_ISREG(old.st_mode)) target = std::filesystem::canonical(path, ec).string();
    if (ec) throw cannot_write(path, ec.value());
  }
  if (replacing && !S_ISREG(old.st_mode) && !S_ISDIR(old.st_mode)) {
    int fd = ::open(target.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    int err = fd < 0 ? errno : fill(fd, bytes, std::nullopt, false);
    if (err != 0) throw cannot_write(path, err);
    return;
  }
  std::optional<mode_t> keep;
  if (!rules.owner_only && replacing && S_ISREG(old.st_mode)) keep = old.st_mode & 0777;

  std::string temp;
  int fd = create_temp(target, rules.owner_only ? kOwnerOnly : 0666, temp);
  if (fd < 0) throw cannot_write(path, errno);
  int err = fill(fd, bytes, keep, true);
  if (err == 0) err = publish(temp, target, rules.replace);
  if (err != 0) {
    ::unlink(temp.c_str());
    throw cannot_write(path, err);
  }
  sync_folder(target);
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
  std::string_view text = trim_space(raw.secret_text());
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

}  // namespace tessella::cli
