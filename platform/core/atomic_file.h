// Whole-file reads, crash-safe replacement (write aside, flush, rename) and an exclusive
// advisory lock that serialises writers of one store file across processes.
#pragma once

#include <string>
#include <vector>

#include "vexor/platform.h"

namespace vexorcsp {

// Windows' WAIT_TIMEOUT: a wait that ended before the lock was had.
constexpr DWORD kWaitTimeout = 258;

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
