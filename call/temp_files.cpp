#include "call/temp_files.h"

#include <cstdlib>
#include <unistd.h>

#include "scratch/scratch.h"
#include "support/files.h"

namespace {

constexpr size_t kTrimAt = 101;    // registry size at which the oldest names go
constexpr size_t kTrimCount = 51;  // how many of the oldest go
// The platform keeps the first three characters of the "quilmar" prefix.
constexpr char kPrefix[] = "qui";

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
      Delete(files_.front());
      files_.pop_front();
    }
  }
  std::string name = TempDirectory() + "/" + kPrefix + "XXXXXX";
  const int fd = scratch::CreateClaimed(name);
  if (fd < 0) return std::string();
  files_.push_back({name, fd});
  return name;
}

void TempFileRegistry::DeleteAll() {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  for (const File& file : files_) Delete(file);
  files_.clear();
}

size_t TempFileRegistry::count() {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  return files_.size();
}

void TempFileRegistry::Delete(const File& file) {
  ForceDeleteFile(file.path);
  close(file.claim);
}

size_t TempFileRegistry::SweepLeftovers() { return scratch::SweepUnclaimed(TempDirectory(), kPrefix); }
