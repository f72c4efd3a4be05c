// The registry of temporary files the calls of one object create. Files are deleted when a
// call's context ends and when the registry goes; a long-lived registry is trimmed. Each
// file stays claimed while registered, so what a killed process left can be told from what
// a live one uses and swept.
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
  // Removes the files killed processes of this user left in the temporary folder. The
  // number removed.
  static size_t SweepLeftovers();

 private:
  std::recursive_mutex& lock_;
  struct File {
    std::string path;
    int claim;  // open descriptor holding the claim
  };
  void Delete(const File& file);

  std::list<File> files_;
};
