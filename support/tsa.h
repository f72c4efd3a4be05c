// Thread-safe accessors: a value paired with the lock that guards it. The lock is shared by
// reference count, so copies of an accessor guard their values with the same lock and the lock
// lives as long as its last holder.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <utility>

#include "support/named_mutex.h"
#include "support/single_lock.h"

// A value of type T guarded by a shared Lock (anything with lock()/unlock()).
template <class Lock, class T>
class tsa_t {
 public:
  using lock_type = Lock;
  using value_type = T;

  template <class... Args>
  explicit tsa_t(std::shared_ptr<Lock> lock, Args&&... args)
      : value_(std::forward<Args>(args)...), lock_(std::move(lock)) {}
  virtual ~tsa_t() = default;

  // Runs f(value) with the lock held and returns what f returns.
  template <class F>
  decltype(auto) With(F&& f) {
    CSingleLock<Lock> guard(*lock_);
    return std::forward<F>(f)(value_);
  }
  template <class F>
  decltype(auto) With(F&& f) const {
    CSingleLock<Lock> guard(*lock_);
    return std::forward<F>(f)(value_);
  }

  // The guarding lock, for callers that hold it across several steps (through CSingleLock).
  Lock& lock() const { return *lock_; }

 protected:
  // Access to the value for derived accessors that hold the lock already.
  T& value() { return value_; }
  const T& value() const { return value_; }

 private:
  T value_;
  std::shared_ptr<Lock> lock_;
};

// A value guarded by a process-local, re-entrant critical section made by the constructor.
template <class T>
class tsa_cs : public tsa_t<std::recursive_mutex, T> {
 public:
  // Constructs the value from args; never taken for a copy of the accessor itself.
  template <class... Args>
    requires(!(sizeof...(Args) == 1 && (std::is_base_of_v<tsa_cs, std::remove_cvref_t<Args>> && ...)))
  explicit tsa_cs(Args&&... args)
      : tsa_t<std::recursive_mutex, T>(std::make_shared<std::recursive_mutex>(),
                                       std::forward<Args>(args)...) {}
};

// A value guarded by a NamedMutex: every process and thread that uses the same name shares
// the lock.
template <class T>
class tsa_mtx : public tsa_t<NamedMutex, T> {
 public:
  template <class... Args>
  explicit tsa_mtx(const std::string& mutex_name, Args&&... args)
      : tsa_t<NamedMutex, T>(std::make_shared<NamedMutex>(mutex_name),
                             std::forward<Args>(args)...) {}
};

// A text shared between threads; each operation holds the lock for its own duration only.
class CStringTSA : public tsa_cs<std::string> {
 public:
  CStringTSA() = default;
  explicit CStringTSA(std::string initial) : tsa_cs<std::string>(std::move(initial)) {}

  // Assigns the text and returns a copy made while still locked.
  std::string Set(const std::string& text) {
    return With([&](std::string& v) {
      v = text;
      return v;
    });
  }
  std::string Get() const {
    return With([](const std::string& v) { return v; });
  }
  bool IsEmpty() const {
    return With([](const std::string& v) { return v.empty(); });
  }
};
