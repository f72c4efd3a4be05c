// The registry of temporary files the calls of one object create. Files are deleted when a
// call's context ends and when the object goes; a long-lived registry is trimmed.
#include "frame/vexor_impl.h"

#include <cstdlib>
#include <unistd.h>

#include "support/files.h"

namespace {

constexpr size_t kTrimAt = 101;     // registry size at which the oldest names go
constexpr size_t kTrimCount = 51;   // how many of the oldest go

std::string TempDirectory() {
  const char* env = std::getenv("TMPDIR");
  std::string dir = (env != nullptr && *env != '\0') ? env : "/tmp";
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  EnsureDirectory(dir);
  return DirectoryExists(dir) ? dir : std::string(".");
}

void DeleteTempFile(const std::string& path) { ForceDeleteFile(path); }

}  // namespace

std::string IVexorImpl::NewTempFile() {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  if (temp_files_.size() >= kTrimAt) {
    for (size_t i = 0; i < kTrimCount && !temp_files_.empty(); ++i) {
      DeleteTempFile(temp_files_.front());
      temp_files_.pop_front();
    }
  }
  // The platform keeps the first three characters of the "quilmar" prefix.
  std::string name = TempDirectory() + "/quiXXXXXX";
  const int fd = mkstemp(name.data());
  if (fd < 0) return std::string();
  close(fd);
  temp_files_.push_back(name);
  return name;
}

void IVexorImpl::DeleteTempFiles() {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  for (const std::string& path : temp_files_) DeleteTempFile(path);
  temp_files_.clear();
}

size_t IVexorImpl::tempFileCount() {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  return temp_files_.size();
}
