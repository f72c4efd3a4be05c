#include "frame/call/temp_files.h"

#include <cstdlib>
#include <unistd.h>

#include "support/files.h"

namespace {

constexpr size_t kTrimAt = 101;    // registry size at which the oldest names go
constexpr size_t kTrimCount = 51;  // how many of the oldest go

std::string TempDirectory() {
  const char* env = std::getenv("TMPDIR");
  std::string dir = (env != nullptr && *env != '\0') ? env : "/tmp";
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  EnsureDirectory(dir);
  return DirectoryExists(dir) ? dir : std::string(".");
}

}  // namespace

std::string TempFileRegistry::NewFile() {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  if (files_.size() >= kTrimAt) {
    for (size_t i = 0; i < kTrimCount && !files_.empty(); ++i) {
      ForceDeleteFile(files_.front());
      files_.pop_front();
    }
  }
  // The platform keeps the first three characters of the "quilmar" prefix.
  std::string name = TempDirectory() + "/quiXXXXXX";
  const int fd = mkstemp(name.data());
  if (fd < 0) return std::string();
  close(fd);
  files_.push_back(name);
  return name;
}

void TempFileRegistry::DeleteAll() {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  for (const std::string& path : files_) ForceDeleteFile(path);
  files_.clear();
}

size_t TempFileRegistry::count() {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  return files_.size();
}
