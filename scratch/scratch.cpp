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

int WriteAtomically(const std::string& path, const void* data, size_t length, bool owner_only) {
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  SweepUnclaimed(dir, name + ".tmp.");
  std::string temp = path + ".tmp.XXXXXX";
  const int fd = CreateClaimed(temp);
  if (fd < 0) return errno;
  mode_t mode = 0600;
  struct stat old {};
  if (!owner_only) {
    if (stat(path.c_str(), &old) == 0) {
      mode = old.st_mode & 07777;
    } else {
      const mode_t mask = umask(0);
      umask(mask);
      mode = 0644 & ~mask;
    }
  }
  fchmod(fd, mode);
  auto abandon = [&](int e) {
    close(fd);
    unlink(temp.c_str());
    return e;
  };
  const char* bytes = static_cast<const char*>(data);
  size_t done = 0;
  while (done < length) {
    const ssize_t n = write(fd, bytes + done, length - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return abandon(errno);
    }
    done += static_cast<size_t>(n);
  }
  if (fsync(fd) != 0) return abandon(errno);
  if (rename(temp.c_str(), path.c_str()) != 0) return abandon(errno);
  close(fd);
  // The rename itself is durable once the folder is synced.
  const int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    fsync(dfd);
    close(dfd);
  }
  return 0;
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
