// File stores (CERT_STORE_PROV_FILENAME_A/W): a memory image of a serialized-store or PKCS#7
// file. Changes reach the file through CertSaveStore, or on close when the store was opened
// with CERT_FILE_STORE_COMMIT_ENABLE_FLAG.
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "platform/core/atomic_file.h"
#include "platform/core/last_error.h"
#include "platform/stores/store.h"
#include "platform/stores/store_serialized.h"

namespace vexorcsp {
namespace {

class FileStore : public Store {
 public:
  FileStore(std::string path, DWORD flags, bool pkcs7)
      : Store(flags), path_(std::move(path)), pkcs7_(pkcs7) {}

  bool OnLastHandleClosed() override {
    if (!(open_flags() & CERT_FILE_STORE_COMMIT_ENABLE_FLAG) || !dirty_ || read_only()) return true;
    std::vector<BYTE> bytes;
    if (pkcs7_) {
      if (!SavePkcs7(*this, bytes)) return false;
    } else {
      SerializeStore(*this, bytes);
    }
    const DWORD err = WriteFileAtomically(path_, bytes);
    if (err != 0) return Fail(err);
    dirty_ = false;
    return true;
  }

 private:
  std::string path_;
  bool pkcs7_;
};

}  // namespace

Store* OpenFileStore(const std::string& path, DWORD flags) {
  if (path.empty()) return FailNull<Store>(static_cast<DWORD>(E_INVALIDARG));
  if (flags & CERT_STORE_DELETE_FLAG) {
    // Windows reports a successful delete as a null store with last error 0.
    if (unlink(path.c_str()) != 0) return FailNull<Store>(ERROR_FILE_NOT_FOUND);
    return FailNull<Store>(0);
  }
  struct stat st {};
  const bool exists = stat(path.c_str(), &st) == 0;
  const bool create_new = flags & CERT_STORE_CREATE_NEW_FLAG;
  const bool open_existing = flags & CERT_STORE_OPEN_EXISTING_FLAG;
  // Both flags together mean "open, or create when missing".
  if (exists && create_new && !open_existing) return FailNull<Store>(ERROR_FILE_EXISTS);
  if (!exists && open_existing && !create_new) return FailNull<Store>(ERROR_FILE_NOT_FOUND);
  if (exists && S_ISDIR(st.st_mode)) return FailNull<Store>(ERROR_DIRECTORY);
  std::vector<BYTE> bytes;
  if (exists) {
    if (const DWORD err = ReadWholeFile(path, bytes); err != 0) return FailNull<Store>(err);
  } else if (!(flags & CERT_STORE_READONLY_FLAG)) {
    if (const DWORD err = WriteFileAtomically(path, {}); err != 0) return FailNull<Store>(err);
  }
  const bool serialized = bytes.empty() || LooksSerialized(bytes.data(), bytes.size());
  auto store = std::make_unique<FileStore>(path, flags, !serialized);
  if (serialized) {
    if (const DWORD err = LoadSerialized(bytes.data(), bytes.size(), *store); err != 0)
      return FailNull<Store>(err);
    return store.release();
  }
  if (LoadPkcs7(bytes.data(), bytes.size(), *store)) return store.release();
  // A lone DER certificate is accepted as well.
  if (CertObject* c = NewCertObject(bytes.data(), bytes.size())) {
    store->AddCert(c, CERT_STORE_ADD_ALWAYS, nullptr);
    return store.release();
  }
  return FailNull<Store>(static_cast<DWORD>(CRYPT_E_FILE_ERROR));
}

}  // namespace vexorcsp
