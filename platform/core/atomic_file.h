// Whole-file reads, crash-safe replacement (write aside, flush, rename) and an exclusive
// advisory lock that serialises writers of one store file across processes.
#pragma once

#include <string>
#include <vector>

#include "vexor/platform.h"

namespace vexorcsp {

// 0, or the Windows error number; a missing file gives ERROR_FILE_NOT_FOUND.
DWORD ReadWholeFile(const std::string& path, std::vector<BYTE>& out);
// Writes `bytes` to a temporary file beside `path`, syncs it and renames it over `path`, so a
// reader sees the old or the new file and never a partial one. 0 or the error number.
DWORD WriteFileAtomically(const std::string& path, const std::vector<BYTE>& bytes);
// Creates the directory and its parents (mode for new levels); true when it exists after.
bool MakeDirectories(const std::string& dir, unsigned mode);

// flock on "<path>.lock", held for the object's lifetime.
class FileLock {
 public:
  explicit FileLock(const std::string& path);
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  bool locked() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace vexorcsp
