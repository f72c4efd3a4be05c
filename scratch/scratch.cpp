#include "scratch/scratch.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace scratch {

int CreateClaimed(std::string& path_template, int suffix_length) {
  const int fd = mkostemps(path_template.data(), suffix_length, O_CLOEXEC);
  if (fd < 0) return -1;
  // A fresh file nobody else has opened yet: the lock cannot be contended.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int e = errno;
    close(fd);
    unlink(path_template.c_str());
    errno = e;
    return -1;
  }
  return fd;
}

std::string TemporaryFolder() {
  for (const char* name : {"TMP", "TMPDIR"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') {
      std::string dir = value;
      while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
      return dir;
    }
  }
  return "/tmp";
}

namespace {

// Removes one candidate if it is this user's regular file, old enough and unclaimed.
bool SweepOne(const std::string& path, int min_age_seconds) {
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat opened {};
  struct stat named {};
  bool removed = false;
  if (fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode) && opened.st_uid == geteuid() &&
      std::time(nullptr) - opened.st_mtime >= min_age_seconds && flock(fd, LOCK_EX | LOCK_NB) == 0) {
    // Unlink only the file that was locked, not one renamed into its place meanwhile.
    if (lstat(path.c_str(), &named) == 0 && named.st_ino == opened.st_ino && named.st_dev == opened.st_dev)
      removed = unlink(path.c_str()) == 0;
  }
  close(fd);
  return removed;
}

}  // namespace

size_t SweepUnclaimed(const std::string& dir, const std::function<bool(const std::string& name)>& is_scratch,
                      int min_age_seconds) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return 0;
  size_t removed = 0;
  while (const dirent* entry = readdir(d)) {
    const std::string name = entry->d_name;
    if (is_scratch(name) && SweepOne(dir + "/" + name, min_age_seconds)) ++removed;
  }
  closedir(d);
  return removed;
}

size_t SweepUnclaimed(const std::string& dir, const std::string& prefix, int min_age_seconds) {
  return SweepUnclaimed(
      dir,
      [&](const std::string& name) {
        return name.size() == prefix.size() + 6 && name.compare(0, prefix.size(), prefix) == 0;
      },
      min_age_seconds);
}

}  // namespace scratch
