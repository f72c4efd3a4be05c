// File helpers for store persistence.
#include "platform/core/atomic_file.h"

#include "scratch/scratch.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vexorcsp {
namespace {

DWORD FromErrno(int e) {
  switch (e) {
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
      return ERROR_ACCESS_DENIED;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EISDIR:
      return ERROR_DIRECTORY;
    default:
      return static_cast<DWORD>(CRYPT_E_FILE_ERROR);
  }
}

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

DWORD ReadWholeFile(const std::string& path, std::vector<BYTE>& out) {
  out.clear();
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return FromErrno(errno);
  struct stat st {};
  if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    close(fd);
    return ERROR_DIRECTORY;
  }
  BYTE buf[65536];
  while (true) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int e = errno;
      close(fd);
      return FromErrno(e);
    }
    if (n == 0) break;
    out.insert(out.end(), buf, buf + n);
  }
  close(fd);
  return 0;
}

DWORD WriteFileAtomically(const std::string& path, const BYTE* data, size_t len, FileMode file_mode) {
  const std::string dir = DirectoryOf(path);
  // Images a killed writer left beside this file go first; a live writer's are claimed.
  const size_t slash = path.rfind('/');
  const std::string prefix = (slash == std::string::npos ? path : path.substr(slash + 1)) + ".tmp.";
  scratch::SweepUnclaimed(dir, prefix);
  std::string tmpl = path + ".tmp.XXXXXX";
  const int fd = scratch::CreateClaimed(tmpl);
  // A missing directory is a missing path, as Windows reports it.
  if (fd < 0) return errno == ENOENT ? static_cast<DWORD>(ERROR_PATH_NOT_FOUND) : FromErrno(errno);
  // Keep the mode of the file being replaced; a new file gets the usual 0644 less umask.
  struct stat old {};
  mode_t mode;
  if (file_mode == FileMode::kOwnerOnly) {
    mode = 0600;
  } else if (stat(path.c_str(), &old) == 0) {
    mode = old.st_mode & 07777;
  } else {
    const mode_t mask = umask(0);
    umask(mask);
    mode = 0644 & ~mask;
  }
  fchmod(fd, mode);
  auto abandon = [&](int e) {
    close(fd);
    unlink(tmpl.c_str());
    return FromErrno(e);
  };
  size_t done = 0;
  while (done < len) {
    const ssize_t n = write(fd, data + done, len - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return abandon(errno);
    }
    done += static_cast<size_t>(n);
  }
  if (fsync(fd) != 0) return abandon(errno);
  if (close(fd) != 0) {
    const int e = errno;
    unlink(tmpl.c_str());
    return FromErrno(e);
  }
  if (rename(tmpl.c_str(), path.c_str()) != 0) {
    const int e = errno;
    unlink(tmpl.c_str());
    return FromErrno(e);
  }
  // The rename itself is durable once the directory is synced.
  const int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    fsync(dfd);
    close(dfd);
  }
  return 0;
}

bool MakeDirectories(const std::string& dir, unsigned mode) {
  if (dir.empty()) return false;
  std::string prefix;
  size_t pos = 0;
  while (pos != std::string::npos) {
    pos = dir.find('/', pos + 1);
    prefix = dir.substr(0, pos);
    if (prefix.empty()) continue;
    if (mkdir(prefix.c_str(), static_cast<mode_t>(mode)) != 0 && errno != EEXIST) return false;
  }
  struct stat st {};
  return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

FileLock::FileLock(const std::string& path) {
  const std::string lock_path = path + ".lock";
  fd_ = open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd_ < 0) return;
  while (flock(fd_, LOCK_EX) != 0) {
    if (errno != EINTR) {
      close(fd_);
      fd_ = -1;
      return;
    }
  }
}

FileLock::~FileLock() {
  if (fd_ >= 0) {
    flock(fd_, LOCK_UN);
    close(fd_);
  }
}

}  // namespace vexorcsp
