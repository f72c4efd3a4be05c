// The registry of temporary files the calls of one object create. Files are deleted when a
// call's context ends and when the registry goes; a long-lived registry is trimmed.
#pragma once

#include <cstddef>
#include <list>
#include <mutex>
#include <string>

class TempFileRegistry {
 public:
  // The registry is guarded by the lock it is given (the operation object's lock).
  explicit TempFileRegistry(std::recursive_mutex& lock) : lock_(lock) {}
  ~TempFileRegistry() { DeleteAll(); }
  TempFileRegistry(const TempFileRegistry&) = delete;
  TempFileRegistry& operator=(const TempFileRegistry&) = delete;

  // A new, empty, uniquely named file in $TMPDIR (else /tmp), registered; "" when none can
  // be made. At 101 registered names the 51 oldest files are deleted first.
  std::string NewFile();
  // Deletes every registered file, read-only ones too, and forgets them.
  void DeleteAll();
  size_t count();

 private:
  std::recursive_mutex& lock_;
  std::list<std::string> files_;
};
