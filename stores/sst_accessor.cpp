#include "stores/sst_accessor.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>

#include "support/files.h"

namespace {

const char kStoreFileName[] = "certstore.sst";

// The folder of the store file ("." for a bare name).
std::string FolderOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Creates the store file, empty, with every missing directory level before it; an existing
// file is left as it is.
void EnsureStoreFile(const std::string& path) {
  if (path.empty() || FileExists(path)) return;
  EnsureDirectory(FolderOf(path));
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd >= 0) close(fd);
}

// Holds a named lock for a scope; a lock that cannot be taken leaves the scope unlocked and
// says so, so the caller can fail the way the platform would.
class ScopedNamedLock {
 public:
  ScopedNamedLock(NamedMutex* mutex, std::chrono::milliseconds wait) : mutex_(mutex) {
    if (mutex_ == nullptr) return;
    // Saves and loads take moments; a lock held longer than the wait is not waited for.
    held_ = mutex_->try_lock_for(wait);
  }
  ~ScopedNamedLock() {
    if (held_) mutex_->unlock();
  }
  ScopedNamedLock(const ScopedNamedLock&) = delete;
  ScopedNamedLock& operator=(const ScopedNamedLock&) = delete;
  bool held() const { return held_; }

 private:
  NamedMutex* mutex_;
  bool held_ = false;
};

}  // namespace

std::string SSTAccessor::PathFor(const char* directory) {
  if (directory == nullptr) return kStoreFileName;
  const std::string d = directory;
  if (FileExists(d)) return d;
  if (!d.empty() && DirectoryExists(d)) return d + "/" + kStoreFileName;
  return kStoreFileName;
}

std::string SSTAccessor::MutexNameFor(const std::string& path) {
  std::string name = "MUTEX_";
  for (char c : path) {
    if (c == ':') continue;
    name += (c == '\\' || c == '/') ? '_' : c;
  }
  return name;
}

void SSTAccessor::Init(const char* directory, bool createMissing) {
  const std::string path = PathFor(directory);
  // The lock lives beside the store file: only those who may write the store can hold it.
  auto lock = std::make_shared<NamedMutex>(MutexNameFor(path), path + ".lock");
  std::lock_guard<std::mutex> guard(guard_);
  create_missing_ = createMissing;
  path_ = path;
  mutex_ = std::move(lock);
}

void SSTAccessor::Current(std::string& path, std::shared_ptr<NamedMutex>& lock, bool& createMissing) const {
  std::lock_guard<std::mutex> guard(guard_);
  path = path_;
  lock = mutex_;
  createMissing = create_missing_;
}

HCERTSTORE SSTAccessor::Open(DWORD encoding, DWORD flags, HCRYPTPROV provider) {
  std::string path;
  std::shared_ptr<NamedMutex> lock;
  bool create_missing = false;
  Current(path, lock, create_missing);
  if (create_missing) EnsureDirectory(FolderOf(path));  // the lock file goes there too
  ScopedNamedLock held(lock.get(), std::chrono::milliseconds(lock_wait_ms_.load()));
  // Without the folder there is no store and no lock file; the platform says what is missing.
  if (!held.held() && DirectoryExists(FolderOf(path))) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  if (create_missing) EnsureStoreFile(path);
  return CertOpenStore(CERT_STORE_PROV_FILENAME_A, encoding, provider, flags, path.c_str());
}

BOOL SSTAccessor::Save(HCERTSTORE store, DWORD encoding) {
  std::string path;
  std::shared_ptr<NamedMutex> lock;
  bool create_missing = false;
  Current(path, lock, create_missing);
  ScopedNamedLock held(lock.get(), std::chrono::milliseconds(lock_wait_ms_.load()));
  if (!held.held() && DirectoryExists(FolderOf(path))) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  return CertSaveStore(store, encoding, CERT_STORE_SAVE_AS_STORE, CERT_STORE_SAVE_TO_FILENAME_A,
                       const_cast<char*>(path.c_str()), 0);
}

std::unique_ptr<SSTAccessor::ChangeLock> SSTAccessor::BeginChange() {
  std::string path;
  std::shared_ptr<NamedMutex> lock;
  bool create_missing = false;
  Current(path, lock, create_missing);
  if (!lock) return nullptr;
  if (create_missing) EnsureDirectory(FolderOf(path));  // the lock file goes there
  if (!lock->try_lock_for(std::chrono::milliseconds(lock_wait_ms_.load()))) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  return std::make_unique<ChangeLock>(std::move(lock));
}

std::string SSTAccessor::GetPath() const {
  std::lock_guard<std::mutex> guard(guard_);
  return path_;
}

std::string SSTAccessor::GetMutexName() const {
  std::lock_guard<std::mutex> guard(guard_);
  return mutex_ ? mutex_->name() : std::string();
}
