// File helpers for store persistence.
#include "platform/core/atomic_file.h"

#include "scratch/scratch.h"

#include <algorithm>
#include <ctime>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>
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


}  // namespace

FileStamp StampOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? StampOf(st) : FileStamp();
}

FileStamp StampOf(const struct stat& st) {
  FileStamp stamp;
  stamp.dev = st.st_dev;
  stamp.ino = st.st_ino;
  stamp.size = static_cast<unsigned long long>(st.st_size);
  stamp.mtime_ns = st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
  stamp.ctime_ns = st.st_ctim.tv_sec * 1000000000LL + st.st_ctim.tv_nsec;
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  const long long now_ns = now.tv_sec * 1000000000LL + now.tv_nsec;
  stamp.settled = now_ns - std::max(stamp.mtime_ns, stamp.ctime_ns) > kStampSettleNs;
  return stamp;
}

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
  const int e = scratch::WriteAtomically(path, data, len, file_mode == FileMode::kOwnerOnly);
  if (e == 0) return 0;
  // A missing directory is a missing path, as Windows reports it.
  return e == ENOENT ? static_cast<DWORD>(ERROR_PATH_NOT_FOUND) : FromErrno(e);
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

unsigned StoreLockWaitMs() {
  constexpr unsigned kDefault = 60000;
  const char* text = std::getenv("VEXOR_LOCK_WAIT_MS");
  if (text == nullptr || *text == '\0') return kDefault;
  char* end = nullptr;
  const unsigned long long ms = std::strtoull(text, &end, 10);
  return (*end != '\0' || ms > 24ull * 3600 * 1000) ? kDefault : static_cast<unsigned>(ms);
}

FileLock::FileLock(const std::string& path) {
  const std::string lock_path = path + ".lock";
  fd_ = open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd_ < 0) {
    error_ = ERROR_ACCESS_DENIED;
    return;
  }
  // flock has no timed form: poll with a short, growing pause until the deadline.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(StoreLockWaitMs());
  auto pause = std::chrono::milliseconds(1);
  while (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    const auto now = std::chrono::steady_clock::now();
    if ((errno != EWOULDBLOCK && errno != EINTR) || now >= deadline) {
      error_ = errno == EWOULDBLOCK ? kWaitTimeout : DWORD(ERROR_ACCESS_DENIED);
      close(fd_);
      fd_ = -1;
      return;
    }
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(pause, deadline - now));
    if (pause < std::chrono::milliseconds(20)) pause *= 2;
  }
}

FileLock::~FileLock() {
  if (fd_ >= 0) {
    flock(fd_, LOCK_UN);
    close(fd_);
  }
}

}  // namespace vexorcsp
