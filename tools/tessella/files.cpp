#include "files.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <utility>

#include <fmt/format.h>
#include <openssl/rand.h>

#include "encoding.hpp"

namespace tessella::cli {

namespace {

bool stdin_taken = false;

// A mapped file that another process shortens while the tool works on it raises SIGBUS at the
// first page past its new end, as can a mapped output whose disk space is taken back. The handler
// names the file, removes the temporary outputs and exits 1, where the default would be a crash
// that leaves a half-written temporary file behind. The tool has one thread; a region is filled
// in before it is marked used.
namespace bus {

struct Region {
  volatile sig_atomic_t used = 0;
  std::uintptr_t begin = 0;
  std::size_t len = 0;
  bool output = false;
  char name[1024] = {};
  char temp[4096] = {};  // the temporary file to remove, when there is one
};

Region regions[8];

void say(const char* text) noexcept {
  std::size_t n = std::strlen(text);
  while (n > 0) {
    ssize_t w = ::write(STDERR_FILENO, text, n);
    if (w <= 0) return;
    text += w;
    n -= static_cast<std::size_t>(w);
  }
}

void on_fault(int sig, siginfo_t* info, void*) {
  const auto at = reinterpret_cast<std::uintptr_t>(info->si_addr);
  const Region* hit = nullptr;
  for (const Region& r : regions) {
    if (r.used != 0 && at >= r.begin && at - r.begin < r.len) hit = &r;
  }
  if (hit == nullptr) {  // not a mapped file: the fault happens again, with the default action
    ::signal(sig, SIG_DFL);
    return;
  }
  say("tessella: cannot ");
  say(hit->output ? "write " : "read ");
  say(hit->name);
  say(hit->output ? ": the file's space could not be written\n"
                  : ": the file was shortened while it was being read\n");
  for (const Region& r : regions) {
    if (r.used != 0 && r.temp[0] != '\0') ::unlink(r.temp);
  }
  ::_exit(1);
}

// Marks a mapping as a file's; returns its slot, or -1 when every slot is taken (the mapping is
// then unguarded).
int guard(const void* begin, std::size_t len, const std::string& name, bool output,
          const std::string& temp) {
  static const bool installed = [] {
    struct sigaction sa {};
    sa.sa_sigaction = on_fault;
    sa.sa_flags = SA_SIGINFO;
    sigemptyset(&sa.sa_mask);
    return ::sigaction(SIGBUS, &sa, nullptr) == 0;
  }();
  if (!installed || temp.size() >= sizeof(Region::temp)) return -1;
  for (int i = 0; i < static_cast<int>(std::size(regions)); ++i) {
    Region& r = regions[i];
    if (r.used != 0) continue;
    r.begin = reinterpret_cast<std::uintptr_t>(begin);
    r.len = len;
    r.output = output;
    const std::size_t n = std::min(name.size(), sizeof r.name - 1);
    std::memcpy(r.name, name.data(), n);
    r.name[n] = '\0';
    std::memcpy(r.temp, temp.c_str(), temp.size() + 1);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    r.used = 1;
    return i;
  }
  return -1;
}

void unguard(int& slot) noexcept {
  if (slot >= 0) regions[slot].used = 0;
  slot = -1;
}

}  // namespace bus

// "cannot read PATH: <errno's text>", about the path.
Failure cannot_read(const std::string& path, std::string_view verb = "read") {
  return Failure(fmt::format("cannot {} {}: {}", verb, path, std::strerror(errno)), std::nullopt,
                 Json{{"about", path}});
}

// Appends to a buffer without leaving a copy behind: when the buffer must grow, the bytes are
// moved to a larger one by hand and the old one is wiped before it is released.
void append_wiped(Bytes& out, const std::uint8_t* data, std::size_t n) {
  if (out.size() + n > out.capacity()) {
    Bytes bigger;
    bigger.reserve(std::max(out.capacity() * 2, out.size() + n));
    bigger.assign(out.begin(), out.end());
    secure_wipe(out.data(), out.size());
    out.swap(bigger);
  }
  out.insert(out.end(), data, data + n);
}

// Reads a whole stream, up to `limit` bytes: `too_long` is called once more arrive. The buffer
// is sized from the file's length when it has one and grown by append_wiped otherwise, so a
// secret is not left behind in released memory.
Bytes read_stream(std::FILE* file, const std::string& name, std::uint64_t limit = UINT64_MAX,
                  const std::function<void(std::uint64_t)>& too_long = {}) {
  Bytes out;
  struct stat st {};
  if (::fstat(::fileno(file), &st) == 0 && S_ISREG(st.st_mode) &&
      static_cast<std::uint64_t>(st.st_size) <= limit) {
    out.reserve(static_cast<std::size_t>(st.st_size) + 1);
  }
  std::array<std::uint8_t, 65536> chunk{};
  for (;;) {
    std::size_t n = std::fread(chunk.data(), 1, chunk.size(), file);
    if (too_long && out.size() + n > limit) {
      secure_wipe(chunk.data(), chunk.size());
      secure_wipe(out.data(), out.size());
      too_long(out.size() + n);
    }
    append_wiped(out, chunk.data(), n);
    if (n < chunk.size()) break;
  }
  bool failed = std::ferror(file) != 0;
  secure_wipe(chunk.data(), chunk.size());
  if (failed) {
    secure_wipe(out.data(), out.size());
    throw Failure("cannot read " + name, std::nullopt, Json{{"about", name}});
  }
  return out;
}

// Standard input, which only one option of a command may read.
Bytes read_stdin(std::uint64_t limit = UINT64_MAX,
                 const std::function<void(std::uint64_t)>& too_long = {}) {
  if (stdin_taken) throw Failure("standard input can feed only one option");
  stdin_taken = true;
  return read_stream(stdin, "standard input", limit, too_long);
}

constexpr mode_t kOwnerOnly = S_IRUSR | S_IWUSR;
constexpr int kTempAttempts = 16;

Failure cannot_write(const std::string& path, int err) {
  return Failure(fmt::format("cannot write {}: {}", path, std::strerror(err)), std::nullopt,
                 Json{{"about", path}, {"reason", std::strerror(err)}});
}

Failure cannot_write(const std::string& path, const std::string& why) {
  return Failure(fmt::format("cannot write {}: {}", path, why), std::nullopt,
                 Json{{"about", path}, {"reason", why}});
}

// The null device, which swallows what is written and so may take even a decrypted payload.
bool is_null_device(const struct stat& st) {
  struct stat null {};
  return S_ISCHR(st.st_mode) && ::stat("/dev/null", &null) == 0 && null.st_rdev == st.st_rdev;
}

// Applies the rules to what is at the path now; returns whether something is there, and what.
bool existing_target(const std::string& path, FileRules rules, struct stat& st) {
  if (::lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return false;
    throw cannot_write(path, errno);
  }
  if (rules.owner_only && S_ISLNK(st.st_mode)) {
    throw cannot_write(path, "it is a symbolic link, and secrets are not written through links");
  }
  if (rules.owner_only && !S_ISREG(st.st_mode) && !is_null_device(st)) {
    throw cannot_write(path, "it is not a regular file");
  }
  if (!rules.replace) throw cannot_write(path, "the file exists (--force replaces it)");
  return true;
}

// ".NAME.XXXXXX" in the folder of the path, the Xs drawn at random.
std::string temp_path(const std::string& path) {
  static constexpr char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::array<std::uint8_t, 6> draw{};
  if (RAND_bytes(draw.data(), static_cast<int>(draw.size())) != 1) {
    throw cannot_write(path, "no random bytes for a temporary name");
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
    int fd = ::open(temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
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


// Where a file goes: a regular file (replaced through a temporary file, `keep` its mode) or a
// device or pipe written into as it is.
struct Target {
  std::string path;
  bool regular = true;
  std::optional<mode_t> keep;
};

Target resolve_target(const std::string& path, FileRules rules) {
  struct stat old {};
  bool replacing = existing_target(path, rules, old);
  // Owner-only files are regular files or the null device by now. Other outputs are written
  // through links, and straight into devices and pipes (/dev/null, a named pipe), which must
  // never be renamed over.
  Target t{path, true, std::nullopt};
  if (replacing && S_ISLNK(old.st_mode)) {
    if (::stat(path.c_str(), &old) != 0) throw cannot_write(path, errno);
    std::error_code ec;
    if (S_ISREG(old.st_mode)) t.path = std::filesystem::canonical(path, ec).string();
    if (ec) throw cannot_write(path, ec.value());
  }
  if (replacing && !S_ISREG(old.st_mode) && !S_ISDIR(old.st_mode)) {
    t.regular = false;
    return t;
  }
  if (!rules.owner_only && replacing && S_ISREG(old.st_mode)) t.keep = old.st_mode & 0777;
  return t;
}

void write_device(const std::string& path, const std::string& target, ByteView bytes) {
  int fd = ::open(target.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  int err = fd < 0 ? errno : fill(fd, bytes, std::nullopt, false);
  if (err != 0) throw cannot_write(path, err);
}

void write_stdout(ByteView bytes) {
  if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size() ||
      std::fflush(stdout) != 0) {
    throw Failure("cannot write standard output");
  }
}

}  // namespace

void check_target(const std::string& path, FileRules rules) {
  struct stat st {};
  existing_target(path, rules, st);
}

void write_file(const std::string& path, ByteView bytes, FileRules rules) {
  Target t = resolve_target(path, rules);
  if (!t.regular) return write_device(path, t.path, bytes);
  std::string temp;
  int fd = create_temp(t.path, rules.owner_only ? kOwnerOnly : 0666, temp);
  if (fd < 0) throw cannot_write(path, errno);
  int err = fill(fd, bytes, t.keep, true);
  if (err == 0) err = publish(temp, t.path, rules.replace);
  if (err != 0) {
    ::unlink(temp.c_str());
    throw cannot_write(path, err);
  }
  sync_folder(t.path);
}

Input::Input(Input&& other) noexcept
    : map_(std::exchange(other.map_, nullptr)),
      len_(std::exchange(other.len_, 0)),
      guard_(std::exchange(other.guard_, -1)),
      buffer_(std::move(other.buffer_)) {}

Input::~Input() {
  bus::unguard(guard_);
  if (map_ != nullptr) ::munmap(const_cast<std::uint8_t*>(map_), len_);
}

Input map_input(const std::string& path, std::uint64_t limit,
                const std::function<void(std::uint64_t)>& too_long) {
  Input in;
  if (path == kStdio) {
    in.buffer_ = read_stdin(limit, too_long);
    return in;
  }
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw cannot_read(path);
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat st {};
  if (::fstat(fd, &st) != 0) throw cannot_read(path);
  if (S_ISDIR(st.st_mode)) {
    throw Failure(fmt::format("cannot read {}: it is a folder", path), std::nullopt,
                  Json{{"about", path}});
  }
  if (!S_ISREG(st.st_mode)) {  // a pipe or a device: read as a stream
    std::FILE* file = ::fdopen(::dup(fd), "rb");
    if (file == nullptr) throw cannot_read(path);
    struct FileCloser {
      std::FILE* f;
      ~FileCloser() { std::fclose(f); }
    } file_closer{file};
    in.buffer_ = read_stream(file, path, limit, too_long);
    return in;
  }
  auto size = static_cast<std::uint64_t>(st.st_size);
  if (size > limit && too_long) too_long(size);
  if (size == 0) return in;
  if (size > SIZE_MAX) throw Failure(fmt::format("cannot read {}: too large to map", path));
  void* map = ::mmap(nullptr, static_cast<std::size_t>(size), PROT_READ, MAP_PRIVATE, fd, 0);
  if (map == MAP_FAILED) throw cannot_read(path, "map");
  ::madvise(map, static_cast<std::size_t>(size), MADV_SEQUENTIAL);
  in.map_ = static_cast<const std::uint8_t*>(map);
  in.len_ = static_cast<std::size_t>(size);
  in.guard_ = bus::guard(map, in.len_, path, false, "");
  return in;
}

Output::Output(const std::string& path, std::size_t size, FileRules rules)
    : path_(path), rules_(rules), size_(size) {
  if (path != kStdio) {
    Target t = resolve_target(path, rules);
    target_ = t.path;
    keep_mode_ = t.keep;
    to_file_ = t.regular;
  }
  if (!to_file_) {
    buffer_.resize(size);
    return;
  }
  fd_ = create_temp(target_, rules.owner_only ? kOwnerOnly : 0666, temp_);
  if (fd_ < 0) throw cannot_write(path, errno);
  // Space is reserved before the mapping is written, so that a full disk is an error here and
  // not a fault while writing through the mapping.
  int err = size == 0 ? 0 : ::posix_fallocate(fd_, 0, static_cast<off_t>(size));
  if (err == EOPNOTSUPP || err == EINVAL) err = ::ftruncate(fd_, static_cast<off_t>(size)) == 0 ? 0 : errno;
  if (err == 0 && size != 0) {
    void* map = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
    if (map == MAP_FAILED) {
      err = errno;
    } else {
      map_ = static_cast<std::uint8_t*>(map);
      guard_ = bus::guard(map, size, path, true, temp_);
    }
  }
  if (err != 0) {
    ::close(fd_);
    ::unlink(temp_.c_str());
    throw cannot_write(path, err);
  }
}

Output::~Output() {
  if (!buffer_.empty() && rules_.owner_only) secure_wipe(buffer_.data(), buffer_.size());
  // A mapped file is not wiped here: writing zeros through the mapping would touch every page of
  // a file about to be removed. Nothing but the library writes into it, and the library wipes
  // the plaintext's span itself when decryption fails.
  bus::unguard(guard_);
  if (map_ != nullptr) ::munmap(map_, size_);
  if (fd_ >= 0) ::close(fd_);
  if (!committed_ && !temp_.empty()) ::unlink(temp_.c_str());
}

std::span<std::uint8_t> Output::span() noexcept {
  return map_ != nullptr ? std::span<std::uint8_t>(map_, size_) : std::span<std::uint8_t>(buffer_);
}

void Output::commit(std::size_t len) {
  if (!to_file_) {
    ByteView bytes = ByteView(buffer_).first(len);
    if (path_ == kStdio) {
      write_stdout(bytes);
    } else {
      write_device(path_, target_, bytes);
    }
    committed_ = true;
    return;
  }
  int err = 0;
  if (map_ != nullptr && ::msync(map_, size_, MS_SYNC) != 0) err = errno;
  bus::unguard(guard_);
  if (map_ != nullptr) ::munmap(map_, size_);
  map_ = nullptr;
  if (err == 0 && len != size_ && ::ftruncate(fd_, static_cast<off_t>(len)) != 0) err = errno;
  if (err == 0 && keep_mode_ && ::fchmod(fd_, *keep_mode_) != 0) err = errno;
  if (err == 0 && ::fsync(fd_) != 0) err = errno;
  if (::close(fd_) != 0 && err == 0) err = errno;
  fd_ = -1;
  if (err == 0) err = publish(temp_, target_, rules_.replace);
  if (err != 0) throw cannot_write(path_, err);  // the destructor removes the temporary file
  committed_ = true;
  sync_folder(target_);
}

// A file opened for reading, closed when it goes out of scope; a file that cannot be opened is a
// failure that names it.
struct OpenFile {
  std::FILE* file;
  explicit OpenFile(const std::string& path) : file(std::fopen(path.c_str(), "rb")) {
    if (file == nullptr) throw cannot_read(path);
  }
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;
  ~OpenFile() { std::fclose(file); }
};

Bytes read_input(const std::string& path) {
  if (path == kStdio) return read_stdin();
  const OpenFile opened(path);
  std::FILE* file = opened.file;
  return read_stream(file, path);
}

SecretBytes read_secret(const std::string& path) {
  if (path == kStdio) return SecretBytes(read_input(path));
  const OpenFile opened(path);
  std::FILE* file = opened.file;
  // As ssh does with private keys: a secret that others may read is refused, not used.
  struct stat st {};
  if (::fstat(::fileno(file), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 077) != 0) {
    auto mode = static_cast<unsigned>(st.st_mode & 0777);
    throw Failure(
        fmt::format("{}: permissions {:04o} are too open: a secret file must be readable by its "
                    "owner only; run: chmod 600 {}",
                    path, mode, path),
        std::nullopt, Json{{"about", path}, {"mode", fmt::format("{:04o}", mode)}, {"expected_mode", "0600"}});
  }
  return SecretBytes(read_stream(file, path));
}

SecretBytes read_term(const std::string& path) { return SecretBytes(read_input(path)); }

void write_output(const std::string& path, ByteView bytes, FileRules rules) {
  if (path == kStdio) return write_stdout(bytes);
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

namespace {

// The 32 bytes of a key file in either form, or nothing; `found` is the length read.
std::optional<SecretBytes> read_32(const std::string& path, std::size_t& found) {
  SecretBytes raw = read_secret(path);
  found = raw.size();
  if (raw.size() == kKeySize) return raw;
  std::string_view text = trim_space(raw.secret_text());
  if (text.size() == 2 * kKeySize) {
    if (auto decoded = from_hex(text)) return SecretBytes(std::move(*decoded));
  }
  return std::nullopt;
}

Json length_fields(const std::string& path, std::size_t found) {
  return Json{{"about", path}, {"expected_length", kKeySize}, {"found_length", found}};
}

}  // namespace

SecretBytes read_key(const std::string& path) {
  std::size_t found = 0;
  auto key = read_32(path, found);
  if (!key) {
    fail_about(path, TessellaError(ErrorKind::KeyUnavailable),
               fmt::format("a data key is 32 bytes (or 64 hexadecimal digits); the file holds "
                           "{} bytes",
                           found),
               length_fields(path, found));
  }
  return std::move(*key);
}

SecretArray<kSeedSize> read_seed(const std::string& path) {
  std::size_t found = 0;
  auto key = read_32(path, found);
  if (!key) {
    throw Failure(fmt::format("{}: a signing seed is 32 bytes (or 64 hexadecimal digits); the "
                              "file holds {} bytes",
                              path, found),
                  std::nullopt, length_fields(path, found));
  }
  return SecretArray<kSeedSize>(key->secret_bytes().first<kSeedSize>());
}

}  // namespace tessella::cli
