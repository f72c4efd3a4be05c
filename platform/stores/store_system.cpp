// System stores ("My", "Root", "CA", ...): serialized-store files under the platform home.
// Every change is written through at once: under an exclusive file lock the current file is
// read, the same change is applied to it and the result replaces the file atomically, so
// processes that change one store concurrently do not lose each other's changes.
#include "platform/stores/store_system.h"

#include <pwd.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <memory>

#include "platform/core/atomic_file.h"
#include "platform/core/last_error.h"
#include "platform/stores/store.h"
#include "platform/stores/store_serialized.h"

namespace vexorcsp {
namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr ? std::string(v) : std::string();
}

// Names that always exist, in their canonical spelling.
constexpr const char* kWellKnown[] = {"My", "Root", "CA", "Trust", "AddressBook", "TrustedPeople",
                                      "Disallowed"};

bool CanonicalName(const std::string& name, std::string& out, bool& well_known) {
  well_known = false;
  for (const char* known : kWellKnown) {
    if (strcasecmp(known, name.c_str()) == 0) {
      out = known;
      well_known = true;
      return true;
    }
  }
  if (name.empty() || name.size() > 64) return false;
  for (char ch : name)
    if (!(std::isalnum(static_cast<unsigned char>(ch)) || ch == '_' || ch == '-')) return false;
  out = name;
  return true;
}

// The store file's bytes and their stamp, read once no writer is in the middle of a change. A
// missing file (or home) reads as empty with ERROR_FILE_NOT_FOUND or ERROR_PATH_NOT_FOUND;
// otherwise 0 or the error.
DWORD ReadStoreFile(const std::string& path, std::vector<BYTE>& bytes, FileStamp& stamp) {
  FileLock lock(path);  // a writer never leaves a half state, but wait for one in progress
  // A missing home has no lock file yet and nothing to wait for.
  if (!lock.locked() && lock.error() == kWaitTimeout) return lock.error();
  const DWORD err = ReadWholeFile(path, bytes);
  stamp = StampOf(path);
  if (err != 0) bytes.clear();
  return err;
}

// ReadStoreFile for a store that exists already: a missing file is an empty store.
DWORD ReadUnderLock(const std::string& path, std::vector<BYTE>& bytes, FileStamp& stamp) {
  const DWORD err = ReadStoreFile(path, bytes, stamp);
  return err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND ? 0 : err;
}

class SystemStore : public Store {
 public:
  SystemStore(std::string path, DWORD flags, const FileStamp& stamp)
      : Store(flags), path_(std::move(path)), stamp_(stamp) {}

  bool Resync() override {
    const FileStamp now = StampOf(path_);  // the system call outside the store's lock
    std::lock_guard<std::recursive_mutex> guard(mutex());
    if (stamp_.Unchanged(now)) return true;
    std::vector<BYTE> bytes;
    FileStamp stamp;
    if (const DWORD err = ReadUnderLock(path_, bytes, stamp); err != 0) return Fail(err);
    ClearMembers();
    stamp_ = stamp;
    if (const DWORD err = LoadSerialized(bytes.data(), bytes.size(), *this); err != 0) return Fail(err);
    return true;
  }

  bool Commit(const std::function<void(Store&)>& replay) override {
    const size_t slash = path_.rfind('/');
    if (!MakeDirectories(path_.substr(0, slash), 0700)) return Fail(ERROR_PATH_NOT_FOUND);
    FileLock lock(path_);
    if (!lock.locked()) return Fail(lock.error());
    std::vector<BYTE> bytes;
    const DWORD read_err = ReadWholeFile(path_, bytes);
    if (read_err != 0 && read_err != ERROR_FILE_NOT_FOUND) return Fail(read_err);
    Store disk(0);
    if (const DWORD err = LoadSerialized(bytes.data(), bytes.size(), disk); err != 0) {
      // A damaged file is replaced by the image this process holds rather than lost twice.
      SerializeStore(*this, bytes);
    } else {
      replay(disk);
      bytes.clear();
      SerializeStore(disk, bytes);
    }
    const DWORD err = WriteFileAtomically(path_, bytes);
    return err == 0 ? true : Fail(err);
  }

 private:
  std::string path_;
  FileStamp stamp_;  // of the file the image was read from; guarded by mutex()
};

}  // namespace

std::string PlatformHome(DWORD location) {
  if (location == 0 || location == CERT_SYSTEM_STORE_CURRENT_USER) {
    std::string home = Env("VEXOR_CSP_HOME");
    if (!home.empty()) return home;
    const std::string xdg = Env("XDG_DATA_HOME");
    if (!xdg.empty()) return xdg + "/vexor-csp";
    std::string user_home = Env("HOME");
    if (user_home.empty()) {
      if (const passwd* pw = getpwuid(getuid()); pw != nullptr && pw->pw_dir != nullptr)
        user_home = pw->pw_dir;
    }
    if (user_home.empty()) return {};
    return user_home + "/.local/share/vexor-csp";
  }
  if (location == CERT_SYSTEM_STORE_LOCAL_MACHINE) {
    const std::string home = Env("VEXOR_CSP_MACHINE_HOME");
    return home.empty() ? std::string("/var/lib/vexor-csp") : home;
  }
  return {};
}

std::string SystemStorePath(DWORD location, const std::string& name) {
  std::string canonical;
  bool well_known;
  if (!CanonicalName(name, canonical, well_known)) return {};
  const std::string home = PlatformHome(location);
  if (home.empty()) return {};
  return home + "/stores/" + canonical + ".sst";
}

Store* OpenSystemStore(const std::string& name, DWORD flags) {
  const DWORD location = flags & CERT_SYSTEM_STORE_LOCATION_MASK;
  std::string canonical;
  bool well_known;
  if (!CanonicalName(name, canonical, well_known))
    return FailNull<Store>(static_cast<DWORD>(E_INVALIDARG));
  const std::string path = SystemStorePath(location, canonical);
  if (path.empty()) return FailNull<Store>(static_cast<DWORD>(E_INVALIDARG));
  if (flags & CERT_STORE_DELETE_FLAG) {
    unlink(path.c_str());
    return FailNull<Store>(0);
  }
  std::vector<BYTE> bytes;
  FileStamp stamp;
  const DWORD err = ReadStoreFile(path, bytes, stamp);
  if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND) {
    if ((flags & CERT_STORE_OPEN_EXISTING_FLAG) && !well_known)
      return FailNull<Store>(ERROR_FILE_NOT_FOUND);
  } else if (err != 0) {
    return FailNull<Store>(err);
  }
  auto store = std::make_unique<SystemStore>(path, flags, stamp);
  if (const DWORD load_err = LoadSerialized(bytes.data(), bytes.size(), *store); load_err != 0)
    return FailNull<Store>(load_err);
  return store.release();
}

}  // namespace vexorcsp
