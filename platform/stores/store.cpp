// The store object, add dispositions, enumeration and the store-level exports.
#include "platform/core/api_guard.h"
#include "platform/stores/store.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "text/text.h"
#include "platform/core/last_error.h"
#include "platform/core/atomic_file.h"
#include "platform/stores/store_serialized.h"

namespace vexorcsp {

Store::~Store() {
  magic_ = 0;
  ClearMembers();
}

Store* Store::FromHandle(HCERTSTORE h) {
  auto* s = static_cast<Store*>(h);
  return s != nullptr && s->magic_ == kMagic ? s : nullptr;
}

void Store::Release() {
  if (refs_.fetch_sub(1) == 1) delete this;
}

bool Store::CloseHandle(DWORD flags) {
  bool ok = true;
  if (handles_.fetch_sub(1) == 1) ok = OnLastHandleClosed();
  const bool pending = refs_.load() > 1;
  Release();
  if (!ok) return false;
  if ((flags & CERT_CLOSE_STORE_CHECK_FLAG) && pending)
    return Fail(static_cast<DWORD>(CRYPT_E_PENDING_CLOSE));
  return true;
}

bool Store::Commit(const std::function<void(Store&)>&) {
  dirty_ = true;
  return true;
}

namespace {

bool ValidDisposition(DWORD d) { return d >= CERT_STORE_ADD_NEW && d <= CERT_STORE_ADD_NEWER_INHERIT_PROPERTIES; }

// Takes a member out of its list and renumbers the members after it; false when it is none.
template <typename Obj>
bool EraseMember(std::vector<Obj*>& list, Obj* c) {
  size_t pos = c->core.position;
  if (pos >= list.size() || list[pos] != c) {
    const auto it = std::find(list.begin(), list.end(), c);
    if (it == list.end()) return false;
    pos = static_cast<size_t>(it - list.begin());
  }
  list.erase(list.begin() + static_cast<std::ptrdiff_t>(pos));
  for (size_t i = pos; i < list.size(); ++i) list[i]->core.position = i;
  c->core.member = false;
  return true;
}

std::string Sha1Key(const BYTE* sha1) { return std::string(reinterpret_cast<const char*>(sha1), 20); }

// The shared add rule for certificates and CRLs. `newer` tells whether the fresh context
// is strictly newer than the existing one.
template <typename Obj, typename Ctx, typename Indexed>
BOOL AddByDisposition(Store& store, std::vector<Obj*>& list, Obj* fresh, Obj* existing,
                      DWORD disposition, bool newer, const Ctx** out, Indexed indexed) {
  auto join = [&](Obj* c) {
    c->core.store = &store;
    c->core.member = true;
    c->hCertStore = store.handle();
    c->core.position = list.size();
    list.push_back(c);
    indexed(c, true);
    if (out != nullptr) {
      AddRef(c);
      *out = c;
    }
    return TRUE;
  };
  auto replace = [&](bool inherit) {
    if (inherit) fresh->core.props.Inherit(existing->core.props.Snapshot());
    EraseMember(list, existing);
    indexed(existing, false);
    ReleaseMembership(existing);
    return join(fresh);
  };
  if (existing == nullptr || disposition == CERT_STORE_ADD_ALWAYS) return join(fresh);
  switch (disposition) {
    case CERT_STORE_ADD_NEW:
      Release(fresh);
      return Fail(static_cast<DWORD>(CRYPT_E_EXISTS));
    case CERT_STORE_ADD_USE_EXISTING:
      existing->core.props.Inherit(fresh->core.props.Snapshot());
      Release(fresh);
      if (out != nullptr) {
        AddRef(existing);
        *out = existing;
      }
      return TRUE;
    case CERT_STORE_ADD_REPLACE_EXISTING:
      return replace(false);
    case CERT_STORE_ADD_REPLACE_EXISTING_INHERIT_PROPERTIES:
      return replace(true);
    default:  // NEWER, NEWER_INHERIT_PROPERTIES
      if (!newer) {
        Release(fresh);
        return Fail(static_cast<DWORD>(CRYPT_E_EXISTS));
      }
      return replace(disposition == CERT_STORE_ADD_NEWER_INHERIT_PROPERTIES);
  }
}

}  // namespace

BOOL Store::AddCert(CertObject* fresh, DWORD disposition, PCCERT_CONTEXT* out) {
  if (!ValidDisposition(disposition)) {
    vexorcsp::Release(fresh);
    return Fail(static_cast<DWORD>(E_INVALIDARG));
  }
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  CertObject* existing = FindCertBySha1(fresh->core.sha1);
  const bool newer =
      existing != nullptr &&
      CompareFileTime(&existing->info.NotBefore, &fresh->info.NotBefore) < 0;
  return AddByDisposition(*this, certs_, fresh, existing, disposition, newer, out, [this](CertObject* c, bool joined) {
    if (joined) {
      cert_index_.emplace(Sha1Key(c->core.sha1), c);
      return;
    }
    const auto range = cert_index_.equal_range(Sha1Key(c->core.sha1));
    for (auto it = range.first; it != range.second; ++it) {
      if (it->second == c) {
        cert_index_.erase(it);
        break;
      }
    }
  });
}

BOOL Store::AddCrl(CrlObject* fresh, DWORD disposition, PCCRL_CONTEXT* out) {
  if (!ValidDisposition(disposition)) {
    vexorcsp::Release(fresh);
    return Fail(static_cast<DWORD>(E_INVALIDARG));
  }
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  // A CRL "exists" when one of the same issuer is present.
  CrlObject* existing = nullptr;
  for (CrlObject* c : crls_) {
    if (CertCompareCertificateName(X509_ASN_ENCODING, &c->info.Issuer, &fresh->info.Issuer)) {
      existing = c;
      break;
    }
  }
  const bool newer =
      existing != nullptr &&
      CompareFileTime(&existing->info.ThisUpdate, &fresh->info.ThisUpdate) < 0;
  return AddByDisposition(*this, crls_, fresh, existing, disposition, newer, out, [](CrlObject*, bool) {});
}

bool Store::RemoveCert(CertObject* c) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (!EraseMember(certs_, c)) return false;
  const auto range = cert_index_.equal_range(Sha1Key(c->core.sha1));
  for (auto it = range.first; it != range.second; ++it) {
    if (it->second == c) {
      cert_index_.erase(it);
      break;
    }
  }
  ReleaseMembership(c);
  return true;
}

void Store::ClearMembers() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  cert_index_.clear();
  for (CertObject* c : std::exchange(certs_, {})) {
    c->core.member = false;
    ReleaseMembership(c);
  }
  for (CrlObject* c : std::exchange(crls_, {})) {
    c->core.member = false;
    ReleaseMembership(c);
  }
}

bool Store::RemoveCrl(CrlObject* c) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (!EraseMember(crls_, c)) return false;
  ReleaseMembership(c);
  return true;
}

namespace {

template <typename Obj>
Obj* NextIn(const std::vector<Obj*>& list, const Obj* prev, bool& prev_missing) {
  prev_missing = false;
  if (prev == nullptr) return list.empty() ? nullptr : list.front();
  const size_t next = IndexAfter(list, prev);
  if (next == list.size() && (list.empty() || list.back() != prev)) {
    prev_missing = true;
    return nullptr;
  }
  return next < list.size() ? list[next] : nullptr;
}

}  // namespace

CertObject* Store::NextCert(const CertObject* prev, bool& prev_missing) {
  return NextIn(certs_, prev, prev_missing);
}

CrlObject* Store::NextCrl(const CrlObject* prev, bool& prev_missing) {
  return NextIn(crls_, prev, prev_missing);
}

CertObject* Store::FindCertBySha1(const BYTE* sha1) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  // The earliest member of that hash, as a walk of the list would find it.
  CertObject* first = nullptr;
  const auto range = cert_index_.equal_range(Sha1Key(sha1));
  for (auto it = range.first; it != range.second; ++it)
    if (first == nullptr || it->second->core.position < first->core.position) first = it->second;
  return first;
}

CrlObject* Store::FindCrlBySha1(const BYTE* sha1) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  for (CrlObject* c : crls_)
    if (std::memcmp(c->core.sha1, sha1, 20) == 0) return c;
  return nullptr;
}

namespace {

Store* NewHandle(Store* s) {
  if (s != nullptr) s->AddHandle();
  return s;
}

// A memory store filled with encoded certificates and CRLs.
Store* StoreOfEncodings(const std::vector<std::vector<BYTE>>& certs,
                        const std::vector<std::vector<BYTE>>& crls, DWORD flags) {
  auto store = std::make_unique<Store>(flags);
  for (const auto& der : certs) {
    CertObject* c = NewCertObject(der.data(), der.size());
    if (c != nullptr) store->AddCert(c, CERT_STORE_ADD_ALWAYS, nullptr);
  }
  for (const auto& der : crls) {
    CrlObject* c = NewCrlObject(der.data(), der.size());
    if (c != nullptr) store->AddCrl(c, CERT_STORE_ADD_ALWAYS, nullptr);
  }
  return store.release();
}

}  // namespace

}  // namespace vexorcsp

using namespace vexorcsp;

extern "C" {

HCERTSTORE CertOpenStore(LPCSTR lpszStoreProvider, DWORD, HCRYPTPROV, DWORD dwFlags,
                         const void* pvPara) {
  return ApiGuard<HCERTSTORE>(nullptr, [&]() -> HCERTSTORE {
    const auto provider = reinterpret_cast<uintptr_t>(lpszStoreProvider);
    if (provider > 0xFFFF) {
      // Providers named by text: only the ones that have numbers too.
      const std::string name = lpszStoreProvider;
      if (name == "Memory") return CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, dwFlags, pvPara);
      if (name == "System") return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, dwFlags, pvPara);
      if (name == "File") return CertOpenStore(CERT_STORE_PROV_FILENAME_W, 0, 0, dwFlags, pvPara);
      if (name == "Serialized")
        return CertOpenStore(CERT_STORE_PROV_SERIALIZED, 0, 0, dwFlags, pvPara);
      return FailNull<void>(static_cast<DWORD>(E_INVALIDARG));
    }
    switch (provider) {
      case 2:  // memory
        return NewHandle(new Store(dwFlags));
      case 6: {  // serialized bytes
        const auto* blob = static_cast<const CRYPT_DATA_BLOB*>(pvPara);
        if (blob == nullptr) return FailNull<void>(static_cast<DWORD>(E_INVALIDARG));
        auto store = std::make_unique<Store>(dwFlags);
        const DWORD err = LoadSerialized(blob->pbData, blob->cbData, *store);
        if (err != 0) return FailNull<void>(err);
        return NewHandle(store.release());
      }
      case 5: {  // PKCS#7 bytes
        const auto* blob = static_cast<const CRYPT_DATA_BLOB*>(pvPara);
        if (blob == nullptr) return FailNull<void>(static_cast<DWORD>(E_INVALIDARG));
        auto store = std::make_unique<Store>(dwFlags);
        if (!LoadPkcs7(blob->pbData, blob->cbData, *store)) return nullptr;
        return NewHandle(store.release());
      }
      case 1: {  // the certificates and CRLs of a message
        std::vector<std::vector<BYTE>> certs, crls;
        if (!CollectMessageContents(const_cast<void*>(pvPara), certs, crls)) return nullptr;
        return NewHandle(StoreOfEncodings(certs, crls, dwFlags));
      }
      case 7:
      case 8: {
        if (pvPara == nullptr) return FailNull<void>(static_cast<DWORD>(E_INVALIDARG));
        const std::string path = provider == 7 ? std::string(static_cast<const char*>(pvPara))
                                               : text::Utf16ToUtf8(static_cast<const WCHAR*>(pvPara));
        return NewHandle(OpenFileStore(path, dwFlags));
      }
      case 9:
      case 10: {
        if (pvPara == nullptr) return FailNull<void>(static_cast<DWORD>(E_INVALIDARG));
        const std::string name = provider == 9 ? std::string(static_cast<const char*>(pvPara))
                                               : text::Utf16ToUtf8(static_cast<const WCHAR*>(pvPara));
        return NewHandle(OpenSystemStore(name, dwFlags));
      }
      default:
        return FailNull<void>(ERROR_CALL_NOT_IMPLEMENTED);
    }
  });
}

HCERTSTORE CertOpenSystemStoreA(HCRYPTPROV, LPCSTR szSubsystemProtocol) {
  return ApiGuard<HCERTSTORE>(nullptr, [&]() -> HCERTSTORE {
    return CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER,
                         szSubsystemProtocol);
  });
}

HCERTSTORE CertDuplicateStore(HCERTSTORE hCertStore) {
  return ApiGuard<HCERTSTORE>(nullptr, [&]() -> HCERTSTORE {
    Store* s = Store::FromHandle(hCertStore);
    if (s == nullptr) return FailNull<void>(ERROR_INVALID_HANDLE);
    s->AddHandle();
    return hCertStore;
  });
}

BOOL CertCloseStore(HCERTSTORE hCertStore, DWORD dwFlags) {
  return ApiGuard([&]() -> BOOL {
    if (hCertStore == nullptr) return TRUE;
    Store* s = Store::FromHandle(hCertStore);
    if (s == nullptr) return Fail(ERROR_INVALID_HANDLE);
    // A forced close releases the handle like any other: contexts still referenced keep their
    // memory, which is the safe reading of "freed regardless".
    return s->CloseHandle(dwFlags) ? TRUE : FALSE;
  });
}

BOOL CertControlStore(HCERTSTORE hCertStore, DWORD, DWORD dwCtrlType, const void*) {
  return ApiGuard([&]() -> BOOL {
    Store* s = Store::FromHandle(hCertStore);
    if (s == nullptr) return Fail(ERROR_INVALID_HANDLE);
    if (dwCtrlType != CERT_STORE_CTRL_RESYNC) return Fail(static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    return s->Resync() ? TRUE : FALSE;
  });
}

BOOL CertSaveStore(HCERTSTORE hCertStore, DWORD, DWORD dwSaveAs, DWORD dwSaveTo,
                   void* pvSaveToPara, DWORD) {
  return ApiGuard([&]() -> BOOL {
    Store* s = Store::FromHandle(hCertStore);
    if (s == nullptr) return Fail(ERROR_INVALID_HANDLE);
    if (pvSaveToPara == nullptr) return Fail(static_cast<DWORD>(E_INVALIDARG));
    std::vector<BYTE> bytes;
    if (dwSaveAs == CERT_STORE_SAVE_AS_STORE) {
      SerializeStore(*s, bytes);
    } else if (dwSaveAs == CERT_STORE_SAVE_AS_PKCS7) {
      if (!SavePkcs7(*s, bytes)) return FALSE;
    } else {
      return Fail(static_cast<DWORD>(E_INVALIDARG));
    }
    switch (dwSaveTo) {
      case CERT_STORE_SAVE_TO_MEMORY: {
        auto* blob = static_cast<CRYPT_DATA_BLOB*>(pvSaveToPara);
        const DWORD have = blob->cbData;
        blob->cbData = static_cast<DWORD>(bytes.size());
        if (blob->pbData == nullptr) return TRUE;
        if (have < bytes.size()) return Fail(ERROR_MORE_DATA);
        std::memcpy(blob->pbData, bytes.data(), bytes.size());
        return TRUE;
      }
      case CERT_STORE_SAVE_TO_FILENAME_A:
      case CERT_STORE_SAVE_TO_FILENAME_W: {
        const std::string path = dwSaveTo == CERT_STORE_SAVE_TO_FILENAME_A
                                     ? std::string(static_cast<const char*>(pvSaveToPara))
                                     : text::Utf16ToUtf8(static_cast<const WCHAR*>(pvSaveToPara));
        const DWORD err = WriteFileAtomically(path, bytes);
        return err == 0 ? TRUE : Fail(err);
      }
      default:
        return Fail(static_cast<DWORD>(E_INVALIDARG));
    }
  });
}

}  // extern "C"
