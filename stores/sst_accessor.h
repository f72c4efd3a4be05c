// SSTAccessor: the guard of the library's own store file, certstore.sst in the working
// directory. Every open and every save of the file runs under a named lock derived from the
// file's path (its lock file is "<store>.lock" beside the store), so every thread and every
// process that uses the same file takes turns; a lock not obtained within the store lock wait
// (a minute) fails the open or save instead of hanging it. A change (read, modify, save) holds
// the lock from before the read to after the save, so concurrent changes never lose each other.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "support/named_mutex.h"
#include "vexor/platform.h"

class SSTAccessor {
 public:
  SSTAccessor() = default;
  SSTAccessor(const SSTAccessor&) = delete;
  SSTAccessor& operator=(const SSTAccessor&) = delete;

  // Sets the store path from the directory (PathFor) and makes the named lock for it. With
  // createMissing, Open creates a missing file first, with every missing directory level.
  void Init(const char* directory, bool createMissing);

  // Opens the store file under the named lock. Null on failure (the platform's last error
  // says why).
  HCERTSTORE Open(DWORD encoding, DWORD flags, HCRYPTPROV provider);
  // Writes the store to the file as a serialized store, under the named lock.
  BOOL Save(HCERTSTORE store, DWORD encoding);

  // How long an open or save waits for the lock (StoreLockWait() unless a test says otherwise).
  void SetLockWait(std::chrono::milliseconds wait) { lock_wait_ms_ = wait.count(); }

  // The lock held for a whole change of the file: Open and Save inside it (on the same
  // thread) take it again without waiting. Released when destroyed.
  class ChangeLock {
   public:
    explicit ChangeLock(std::shared_ptr<NamedMutex> lock) : lock_(std::move(lock)) {}
    ~ChangeLock() {
      if (lock_) lock_->unlock();
    }
    ChangeLock(const ChangeLock&) = delete;
    ChangeLock& operator=(const ChangeLock&) = delete;

   private:
    std::shared_ptr<NamedMutex> lock_;
  };
  // Takes the lock for a change; null when it was not obtained within the wait (the
  // platform's last error says ERROR_ACCESS_DENIED) or before Init.
  std::unique_ptr<ChangeLock> BeginChange();

  std::string GetPath() const;
  // Name of the lock of the current path ("" before Init).
  std::string GetMutexName() const;

  // The store path for a directory text: the directory's certstore.sst, the text itself when
  // it names an existing file, and "certstore.sst" for a null text or anything else.
  static std::string PathFor(const char* directory);
  // "MUTEX_" and the path with ':' removed and every separator replaced by '_'.
  static std::string MutexNameFor(const std::string& path);

 private:
  // The current path and lock, copied together.
  void Current(std::string& path, std::shared_ptr<NamedMutex>& lock, bool& createMissing) const;

  mutable std::mutex guard_;  // guards the three fields below
  std::string path_;
  std::shared_ptr<NamedMutex> mutex_;
  bool create_missing_ = false;
  std::atomic<int64_t> lock_wait_ms_{StoreLockWait().count()};
};
