// NamedMutex: a lock shared by every thread and every process that builds the same name,
// standing in for a named kernel mutex. It is a lock file held with flock, plus an
// in-process mutex so that threads of one process exclude each other too. A lock that guards
// a file lives beside that file, owner-only, so that only those who may write the file can
// hold it; the temp-directory form is for locks that guard nothing on disk.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

// How long a lock that guards a store file is waited for before the operation gives up: a
// minute, or the milliseconds in $VEXOR_LOCK_WAIT_MS when that is a number (tests shorten it).
// The platform's system-store locks wait as long.
std::chrono::milliseconds StoreLockWait();

class NamedMutex {
 public:
  // The lock file is $TMPDIR (else /tmp) joined with the name, '/' and '\' replaced by '_'.
  // Nothing is locked yet. The file is opened lazily, so construction never fails.
  explicit NamedMutex(const std::string& name);
  // The lock file is lockFile itself, created owner-only (0600) and never followed through a
  // symbolic link.
  NamedMutex(const std::string& name, const std::string& lockFile);
  ~NamedMutex();

  NamedMutex(const NamedMutex&) = delete;
  NamedMutex& operator=(const NamedMutex&) = delete;

  // Waits as long as it takes. Re-entrant for the owning thread, like a kernel mutex.
  // Throws std::system_error when the lock file cannot be opened or locked.
  void lock();
  // Waits at most timeout_ms milliseconds; false when the lock was not obtained in time or
  // the lock file cannot be opened.
  bool try_lock_for(uint32_t timeout_ms);
  template <class Rep, class Period>
  bool try_lock_for(const std::chrono::duration<Rep, Period>& timeout) {
    return try_lock_for(static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(timeout).count()));
  }
  bool try_lock() { return try_lock_for(0u); }
  void unlock();

  const std::string& name() const { return name_; }
  // Full path of the lock file.
  const std::string& path() const { return path_; }

 private:
  // Opens the lock file if it is not open yet; false on failure (errno set).
  bool OpenFile();
  // Takes the file lock, polling until the deadline; the in-process lock is held already.
  bool LockFile(std::chrono::steady_clock::time_point deadline, bool forever);

  std::string name_;
  std::string path_;
  std::recursive_timed_mutex local_;
  int fd_ = -1;
  bool private_file_ = false;  // owner-only, no symbolic links
  // Depth of the owning thread's nesting; touched only while local_ is held.
  uint32_t depth_ = 0;
};
