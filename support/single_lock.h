// CSingleLock: the scoped lock through which every lock of the library is taken. It locks at
// construction (unless told not to) and releases at destruction or on an explicit Unlock, so
// every way out of a scope releases it.
#pragma once

template <class Mutex>
class CSingleLock {
 public:
  explicit CSingleLock(Mutex& mutex, bool initial_lock = true) : mutex_(mutex) {
    if (initial_lock) Lock();
  }
  ~CSingleLock() { Unlock(); }

  CSingleLock(const CSingleLock&) = delete;
  CSingleLock& operator=(const CSingleLock&) = delete;

  void Lock() {
    if (!locked_) {
      mutex_.lock();
      locked_ = true;
    }
  }
  void Unlock() {
    if (locked_) {
      locked_ = false;
      mutex_.unlock();
    }
  }
  bool IsLocked() const { return locked_; }

 private:
  Mutex& mutex_;
  bool locked_ = false;
};
