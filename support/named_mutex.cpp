// NamedMutex over a lock file and flock.
#include "support/named_mutex.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <system_error>

namespace {

std::string TempDirectory() {
  const char* dir = std::getenv("TMPDIR");
  std::string result = (dir != nullptr && dir[0] != '\0') ? dir : "/tmp";
  while (result.size() > 1 && result.back() == '/') result.pop_back();
  return result;
}

}  // namespace

std::chrono::milliseconds StoreLockWait() {
  constexpr std::chrono::milliseconds kDefault(60000);
  const char* text = std::getenv("VEXOR_LOCK_WAIT_MS");
  if (text == nullptr || *text == '\0') return kDefault;
  char* end = nullptr;
  const unsigned long long ms = std::strtoull(text, &end, 10);
  if (*end != '\0' || ms > 24ull * 3600 * 1000) return kDefault;
  return std::chrono::milliseconds(ms);
}

NamedMutex::NamedMutex(const std::string& name) : name_(name) {
  std::string file = name;
  for (char& c : file) {
    if (c == '/' || c == '\\') c = '_';
  }
  path_ = TempDirectory() + "/" + file;
}

NamedMutex::NamedMutex(const std::string& name, const std::string& lockFile)
    : name_(name), path_(lockFile), private_file_(true) {}

NamedMutex::~NamedMutex() {
  // Closing the descriptor also drops a file lock left held by a careless owner.
  if (fd_ >= 0) close(fd_);
}

bool NamedMutex::OpenFile() {
  if (fd_ >= 0) return true;
  if (private_file_) {
    fd_ = open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    return fd_ >= 0;
  }
  fd_ = open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  // A lock file another user created may be read-only for us; flock works on that too.
  if (fd_ < 0 && errno == EACCES) fd_ = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  return fd_ >= 0;
}

bool NamedMutex::LockFile(std::chrono::steady_clock::time_point deadline, bool forever) {
  if (!OpenFile()) return false;
  if (forever) {
    while (flock(fd_, LOCK_EX) != 0) {
      if (errno != EINTR) return false;
    }
    return true;
  }
  // flock has no timed form: poll with a short, growing pause.
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    if (flock(fd_, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK && errno != EINTR) return false;
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) {
      errno = EWOULDBLOCK;
      return false;
    }
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(pause, deadline - now));
    if (pause < std::chrono::milliseconds(20)) pause *= 2;
  }
}

void NamedMutex::lock() {
  local_.lock();
  if (depth_ == 0 && !LockFile(std::chrono::steady_clock::time_point::max(), true)) {
    const int err = errno;
    local_.unlock();
    throw std::system_error(err, std::generic_category(), "NamedMutex " + path_);
  }
  ++depth_;
}

bool NamedMutex::try_lock_for(uint32_t timeout_ms) {
  const auto timeout = std::chrono::milliseconds(timeout_ms);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  // The in-process wait is timed on the system clock: a steady-clock wait becomes
  // pthread_mutex_clocklock, which ThreadSanitizer does not see, so it would report the
  // matching unlock as foreign.
  if (!local_.try_lock_until(std::chrono::system_clock::now() + timeout)) return false;
  if (depth_ == 0 && !LockFile(deadline, false)) {
    local_.unlock();
    return false;
  }
  ++depth_;
  return true;
}

void NamedMutex::unlock() {
  if (depth_ == 0) return;  // not held: nothing to release
  if (--depth_ == 0 && fd_ >= 0) flock(fd_, LOCK_UN);
  local_.unlock();
}
