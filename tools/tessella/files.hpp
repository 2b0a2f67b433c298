// Files the tool writes. Each is written in full to a new file beside its target, flushed to
// disk and renamed over the target, so no reader sees half a file and a failure leaves the file
// that was there untouched.
#ifndef TESSELLA_TOOL_FILES_HPP
#define TESSELLA_TOOL_FILES_HPP

#include <string>

#include <tessella/tessella.hpp>

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

}  // namespace tessella::cli

#endif
