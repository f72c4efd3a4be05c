// Whole-file reads, crash-safe replacement (write aside, flush, rename) and an exclusive
// advisory lock that serialises writers of one store file across processes.
#pragma once

#include <sys/stat.h>

#include <string>
#include <vector>

#include "vexor/platform.h"

namespace vexorcsp {

// Windows' WAIT_TIMEOUT: a wait that ended before the lock was had.
constexpr DWORD kWaitTimeout = 258;

// What identifies one version of a file: a replacement (a new inode), a rewrite in place (size,
// modification and change times) or a removal all give another stamp. A missing file has the
// empty stamp. File times advance by the kernel's clock tick, so two writes within one tick
// (an inode freed and taken again, a rewrite of the same size) may leave equal stamps: a stamp
// taken that soon after the file changed is not settled, and a file is taken as unchanged only
// against a settled one.
struct FileStamp {
  unsigned long long dev = 0, ino = 0, size = 0;
  long long mtime_ns = -1, ctime_ns = -1;
  bool settled = true;
  bool operator==(const FileStamp& o) const {
    return dev == o.dev && ino == o.ino && size == o.size && mtime_ns == o.mtime_ns && ctime_ns == o.ctime_ns;
  }
  // True when `now` is this version of the file for certain.
  bool Unchanged(const FileStamp& now) const { return settled && *this == now; }
};
// How long after its last change a file's stamp counts as settled.
constexpr long long kStampSettleNs = 50'000'000;
FileStamp StampOf(const std::string& path);
FileStamp StampOf(const struct stat& st);

// 0, or the Windows error number; a missing file gives ERROR_FILE_NOT_FOUND.
DWORD ReadWholeFile(const std::string& path, std::vector<BYTE>& out);
// The mode a replacement file gets: the replaced file's mode (0644 less the umask for a new
// file), or owner-only 0600 whatever was there (key material).
enum class FileMode { kKeepOrDefault, kOwnerOnly };

// Writes the bytes to a temporary file beside `path`, syncs it, renames it over `path` and
// syncs the directory, so a reader sees the old or the new file and never a partial one,
// also after a crash. Interrupted writes are resumed. Images that killed writers left beside
// `path` are removed first (never one a live writer holds). 0 or the error number; on failure the
// old file is untouched and the temporary file is gone.
DWORD WriteFileAtomically(const std::string& path, const BYTE* data, size_t len,
                          FileMode mode = FileMode::kKeepOrDefault);
inline DWORD WriteFileAtomically(const std::string& path, const std::vector<BYTE>& bytes,
                                 FileMode mode = FileMode::kKeepOrDefault) {
  return WriteFileAtomically(path, bytes.data(), bytes.size(), mode);
}
// Creates the directory and its parents (mode for new levels); true when it exists after.
bool MakeDirectories(const std::string& dir, unsigned mode);

// How long a store's lock is waited for: a minute, or the milliseconds in
// $VEXOR_LOCK_WAIT_MS (tests shorten it). The library's store-file lock waits as long.
unsigned StoreLockWaitMs();

// flock on "<path>.lock", held for the object's lifetime. A lock another process keeps
// holding is waited for StoreLockWaitMs() at most: then locked() is false and error() says
// kWaitTimeout (a lock file that cannot be opened: ERROR_ACCESS_DENIED).
class FileLock {
 public:
  explicit FileLock(const std::string& path);
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  bool locked() const { return fd_ >= 0; }
  DWORD error() const { return error_; }

 private:
  int fd_ = -1;
  DWORD error_ = 0;
};

}  // namespace vexorcsp
