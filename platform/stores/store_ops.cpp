// Adding, deleting and enumerating the certificates and CRLs of a store. Each change is made
// to the memory image and then committed, which persistent stores replay on their file.
#include <cstring>

#include "platform/core/api_guard.h"
#include "platform/core/last_error.h"
#include "platform/stores/store.h"

namespace vexorcsp {
namespace {

using PropertyMap = std::map<DWORD, std::vector<BYTE>>;

BOOL AddCertTo(Store& store, CertObject* fresh, DWORD disposition, PCCERT_CONTEXT* out) {
  if (store.read_only()) {
    Release(fresh);
    return Fail(ERROR_ACCESS_DENIED);
  }
  std::vector<BYTE> encoded = fresh->core.encoded;
  PropertyMap props = PersistedProperties(fresh->core);
  if (!store.AddCert(fresh, disposition, out)) return FALSE;
  const bool ok = store.Commit([encoded, props, disposition](Store& disk) {
    if (CertObject* c = NewCertObject(encoded.data(), encoded.size())) {
      c->core.props.Inherit(props);
      disk.AddCert(c, disposition, nullptr);
    }
  });
  if (!ok && out != nullptr && *out != nullptr) {
    Release(AsObject(*out));
    *out = nullptr;
  }
  return ok ? TRUE : FALSE;
}

BOOL AddCrlTo(Store& store, CrlObject* fresh, DWORD disposition, PCCRL_CONTEXT* out) {
  if (store.read_only()) {
    Release(fresh);
    return Fail(ERROR_ACCESS_DENIED);
  }
  std::vector<BYTE> encoded = fresh->core.encoded;
  PropertyMap props = PersistedProperties(fresh->core);
  if (!store.AddCrl(fresh, disposition, out)) return FALSE;
  const bool ok = store.Commit([encoded, props, disposition](Store& disk) {
    if (CrlObject* c = NewCrlObject(encoded.data(), encoded.size())) {
      c->core.props.Inherit(props);
      disk.AddCrl(c, disposition, nullptr);
    }
  });
  if (!ok && out != nullptr && *out != nullptr) {
    Release(AsObject(*out));
    *out = nullptr;
  }
  return ok ? TRUE : FALSE;
}

}  // namespace
}  // namespace vexorcsp

using namespace vexorcsp;

extern "C" {

BOOL CertAddEncodedCertificateToStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType,
                                      const BYTE* pbCertEncoded, DWORD cbCertEncoded,
                                      DWORD dwAddDisposition, PCCERT_CONTEXT* ppCertContext) {
  return ApiGuard([&]() -> BOOL {
    if (ppCertContext != nullptr) *ppCertContext = nullptr;
    Store* s = Store::FromHandle(hCertStore);
    if (s == nullptr) return Fail(ERROR_INVALID_HANDLE);
    if (!(dwCertEncodingType & X509_ASN_ENCODING)) return Fail(static_cast<DWORD>(E_INVALIDARG));
    CertObject* fresh = NewCertObject(pbCertEncoded, cbCertEncoded);
    if (fresh == nullptr) return FALSE;
    return AddCertTo(*s, fresh, dwAddDisposition, ppCertContext);
  });
}

BOOL CertAddCertificateContextToStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pCertContext,
                                      DWORD dwAddDisposition, PCCERT_CONTEXT* ppStoreContext) {
  return ApiGuard([&]() -> BOOL {
    if (ppStoreContext != nullptr) *ppStoreContext = nullptr;
    Store* s = Store::FromHandle(hCertStore);
    if (s == nullptr) return Fail(ERROR_INVALID_HANDLE);
    if (pCertContext == nullptr) return Fail(static_cast<DWORD>(E_INVALIDARG));
    CertObject* fresh = NewCertObject(pCertContext->pbCertEncoded, pCertContext->cbCertEncoded);
    if (fresh == nullptr) return FALSE;
    fresh->core.props.Inherit(AsObject(pCertContext)->core.props.Snapshot());
    return AddCertTo(*s, fresh, dwAddDisposition, ppStoreContext);
  });
}

BOOL CertDeleteCertificateFromStore(PCCERT_CONTEXT pCertContext) {
  return ApiGuard([&]() -> BOOL {
    if (pCertContext == nullptr) return TRUE;
    CertObject* c = AsObject(pCertContext);
    Store* s = c->core.store;
    BOOL result = TRUE;
    if (s != nullptr) {
      if (s->read_only()) {
        result = Fail(ERROR_ACCESS_DENIED);
      } else if (s->RemoveCert(c)) {
        BYTE sha1[20];
        std::memcpy(sha1, c->core.sha1, 20);
        std::vector<BYTE> hash(sha1, sha1 + 20);
        if (!s->Commit([hash](Store& disk) {
              if (CertObject* d = disk.FindCertBySha1(hash.data())) disk.RemoveCert(d);
            }))
          result = FALSE;
      }
    }
    Release(c);  // the caller's reference goes whatever happened
    return result;
  });
}

PCCERT_CONTEXT CertEnumCertificatesInStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pPrevCertContext) {
  return ApiGuard<PCCERT_CONTEXT>(nullptr, [&]() -> PCCERT_CONTEXT {
    Store* s = Store::FromHandle(hCertStore);
    if (s == nullptr) {
      if (pPrevCertContext) Release(AsObject(pPrevCertContext));
      return FailNull<const CERT_CONTEXT>(ERROR_INVALID_HANDLE);
    }
    CertObject* next;
    bool prev_missing;
    {
      std::lock_guard<std::recursive_mutex> lock(s->mutex());
      next = s->NextCert(pPrevCertContext ? AsObject(pPrevCertContext) : nullptr, prev_missing);
      if (next) AddRef(next);
    }
    if (pPrevCertContext) Release(AsObject(pPrevCertContext));
    if (next == nullptr) return FailNull<const CERT_CONTEXT>(static_cast<DWORD>(CRYPT_E_NOT_FOUND));
    return next;
  });
}

BOOL CertAddEncodedCRLToStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType,
                              const BYTE* pbCrlEncoded, DWORD cbCrlEncoded, DWORD dwAddDisposition,
                              PCCRL_CONTEXT* ppCrlContext) {
  return ApiGuard([&]() -> BOOL {
    if (ppCrlContext != nullptr) *ppCrlContext = nullptr;
    Store* s = Store::FromHandle(hCertStore);
    if (s == nullptr) return Fail(ERROR_INVALID_HANDLE);
    if (!(dwCertEncodingType & X509_ASN_ENCODING)) return Fail(static_cast<DWORD>(E_INVALIDARG));
    CrlObject* fresh = NewCrlObject(pbCrlEncoded, cbCrlEncoded);
    if (fresh == nullptr) return FALSE;
    return AddCrlTo(*s, fresh, dwAddDisposition, ppCrlContext);
  });
}

BOOL CertAddCRLContextToStore(HCERTSTORE hCertStore, PCCRL_CONTEXT pCrlContext,
                              DWORD dwAddDisposition, PCCRL_CONTEXT* ppStoreContext) {
  return ApiGuard([&]() -> BOOL {
    if (ppStoreContext != nullptr) *ppStoreContext = nullptr;
    Store* s = Store::FromHandle(hCertStore);
    if (s == nullptr) return Fail(ERROR_INVALID_HANDLE);
    if (pCrlContext == nullptr) return Fail(static_cast<DWORD>(E_INVALIDARG));
    CrlObject* fresh = NewCrlObject(pCrlContext->pbCrlEncoded, pCrlContext->cbCrlEncoded);
    if (fresh == nullptr) return FALSE;
    fresh->core.props.Inherit(AsObject(pCrlContext)->core.props.Snapshot());
    return AddCrlTo(*s, fresh, dwAddDisposition, ppStoreContext);
  });
}

BOOL CertDeleteCRLFromStore(PCCRL_CONTEXT pCrlContext) {
  return ApiGuard([&]() -> BOOL {
    if (pCrlContext == nullptr) return TRUE;
    CrlObject* c = AsObject(pCrlContext);
    Store* s = c->core.store;
    BOOL result = TRUE;
    if (s != nullptr) {
      if (s->read_only()) {
        result = Fail(ERROR_ACCESS_DENIED);
      } else if (s->RemoveCrl(c)) {
        std::vector<BYTE> hash(c->core.sha1, c->core.sha1 + 20);
        if (!s->Commit([hash](Store& disk) {
              if (CrlObject* d = disk.FindCrlBySha1(hash.data())) disk.RemoveCrl(d);
            }))
          result = FALSE;
      }
    }
    Release(c);
    return result;
  });
}

PCCRL_CONTEXT CertEnumCRLsInStore(HCERTSTORE hCertStore, PCCRL_CONTEXT pPrevCrlContext) {
  return ApiGuard<PCCRL_CONTEXT>(nullptr, [&]() -> PCCRL_CONTEXT {
    Store* s = Store::FromHandle(hCertStore);
    if (s == nullptr) {
      if (pPrevCrlContext) Release(AsObject(pPrevCrlContext));
      return FailNull<const CRL_CONTEXT>(ERROR_INVALID_HANDLE);
    }
    CrlObject* next;
    bool prev_missing;
    {
      std::lock_guard<std::recursive_mutex> lock(s->mutex());
      next = s->NextCrl(pPrevCrlContext ? AsObject(pPrevCrlContext) : nullptr, prev_missing);
      if (next) AddRef(next);
    }
    if (pPrevCrlContext) Release(AsObject(pPrevCrlContext));
    if (next == nullptr) return FailNull<const CRL_CONTEXT>(static_cast<DWORD>(CRYPT_E_NOT_FOUND));
    return next;
  });
}

}  // extern "C"
