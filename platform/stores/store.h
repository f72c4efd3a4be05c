// A certificate store: an ordered set of certificate and CRL contexts behind an HCERTSTORE.
// Memory, serialized and PKCS#7 stores are plain Stores; file and system stores override the
// persistence hooks (save on close, write-through).
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <map>
#include <unordered_map>
#include <mutex>
#include <vector>

#include "platform/certificates/cert_context.h"
#include "vexor/platform.h"

namespace vexorcsp {

// Where an enumeration continues: the index just after `prev` in `list` (0 without one), or
// list.size() when `prev` is no longer in it. Call with the store's mutex held.
template <typename Object>
size_t IndexAfter(const std::vector<Object*>& list, const Object* prev) {
  if (prev == nullptr) return 0;
  // A member knows its place; the scan is for a context that has left the list.
  const size_t hint = prev->core.position;
  if (hint < list.size() && list[hint] == prev) return hint + 1;
  for (size_t i = 0; i < list.size(); ++i)
    if (list[i] == prev) return i + 1;
  return list.size();
}

class Store {
 public:
  explicit Store(DWORD open_flags) : open_flags_(open_flags) {}
  virtual ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // Null unless `h` is a live store handle.
  static Store* FromHandle(HCERTSTORE h);
  HCERTSTORE handle() { return this; }

  // References: open handles plus caller references to member contexts.
  void AddRef() { refs_.fetch_add(1); }
  void Release();
  void AddHandle() {
    handles_.fetch_add(1);
    AddRef();
  }
  // Closes one handle; false (CRYPT_E_PENDING_CLOSE) when CHECK is asked and references remain.
  bool CloseHandle(DWORD flags);

  bool read_only() const { return (open_flags_ & CERT_STORE_READONLY_FLAG) != 0; }
  DWORD open_flags() const { return open_flags_; }
  std::recursive_mutex& mutex() { return mutex_; }

  // Members, guarded by mutex(). Contexts are borrowed from these lists.
  std::vector<CertObject*>& certs() { return certs_; }
  std::vector<CrlObject*>& crls() { return crls_; }

  // Adds a fresh, store-less context (its creation reference becomes the membership) by the
  // disposition rules; `out` receives a caller reference to the member that is now in the
  // store. On failure the fresh context is released.
  BOOL AddCert(CertObject* fresh, DWORD disposition, PCCERT_CONTEXT* out);
  BOOL AddCrl(CrlObject* fresh, DWORD disposition, PCCRL_CONTEXT* out);
  // Removes a member; false when it is not one.
  bool RemoveCert(CertObject* c);
  bool RemoveCrl(CrlObject* c);
  // The member after `prev` (the first for null); null at the end or when `prev` is not a
  // member. Borrowed.
  CertObject* NextCert(const CertObject* prev, bool& prev_missing);
  CrlObject* NextCrl(const CrlObject* prev, bool& prev_missing);
  CertObject* FindCertBySha1(const BYTE* sha1);
  CrlObject* FindCrlBySha1(const BYTE* sha1);

  // A change made to the memory image; persistent stores replay it on their backing file.
  // False with the last error set when the change could not be made durable.
  virtual bool Commit(const std::function<void(Store&)>& replay);
  // Called when the last handle closes.
  virtual bool OnLastHandleClosed() { return true; }
  // Brings the memory image up to date with its backing (CERT_STORE_CTRL_RESYNC); stores
  // without one have nothing to do. False with the last error set when the backing could not
  // be read.
  virtual bool Resync() { return true; }
  // Takes every certificate and CRL out of the store (contexts still referenced live on).
  void ClearMembers();
  bool dirty() const { return dirty_; }

 protected:
  bool dirty_ = false;

 private:
  static constexpr uint32_t kMagic = 0x53545245;  // "STRE"
  uint32_t magic_ = kMagic;
  DWORD open_flags_;
  std::atomic<long> refs_{0};
  std::atomic<long> handles_{0};
  std::recursive_mutex mutex_;
  std::vector<CertObject*> certs_;
  std::vector<CrlObject*> crls_;
  // Members by SHA-1, so adding to (and loading) a large store stays linear.
  std::unordered_multimap<std::string, CertObject*> cert_index_;
};

// Opens a store of the given provider (the CertOpenStore dispatcher of each kind).
Store* OpenFileStore(const std::string& path, DWORD flags);
Store* OpenSystemStore(const std::string& name, DWORD flags);

// Collects the certificates and CRLs of a cryptographic message for CERT_STORE_PROV_MSG.
// Implemented by the message code (msg_store.cpp).
bool CollectMessageContents(HCRYPTMSG msg, std::vector<std::vector<BYTE>>& certs,
                            std::vector<std::vector<BYTE>>& crls);

// The next certificate of the store after `prev` matching a CERT_FIND_* type; consumes
// `prev` as CertFindCertificateInStore does.
PCCERT_CONTEXT FindCertificate(Store& s, DWORD flags, DWORD type, const void* para,
                               PCCERT_CONTEXT prev);

// Adds every certificate and CRL of a PKCS#7 SignedData (DER) to a store.
bool LoadPkcs7(const BYTE* data, size_t size, Store& into);
// The degenerate SignedData (no signers) holding the store's certificates and CRLs.
bool SavePkcs7(Store& store, std::vector<BYTE>& out);

}  // namespace vexorcsp
