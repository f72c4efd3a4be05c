// Adding, deleting and enumerating the certificates and CRLs of a store. Each change is made
// to the memory image and then committed, which persistent stores replay on their file.
#include <cstring>

#include "platform/core/api_guard.h"
#include "platform/core/last_error.h"
#include "platform/stores/store.h"

namespace vexorcsp {
namespace {

using PropertyMap = std::map<DWORD, std::vector<BYTE>>;

// What differs between the two kinds of store member; everything else is one template over
// the shared core.
template <typename Object>
struct Kind;

template <>
struct Kind<CertObject> {
  using Context = CERT_CONTEXT;
  static CertObject* New(const BYTE* p, size_t n) { return NewCertObject(p, n); }
  static BOOL Add(Store& s, CertObject* c, DWORD disposition, const Context** out) {
    return s.AddCert(c, disposition, out);
  }
  static bool Remove(Store& s, CertObject* c) { return s.RemoveCert(c); }
  static CertObject* Find(Store& s, const BYTE* sha1) { return s.FindCertBySha1(sha1); }
  static CertObject* Next(Store& s, const CertObject* prev, bool& missing) {
    return s.NextCert(prev, missing);
  }
};

template <>
struct Kind<CrlObject> {
  using Context = CRL_CONTEXT;
  static CrlObject* New(const BYTE* p, size_t n) { return NewCrlObject(p, n); }
  static BOOL Add(Store& s, CrlObject* c, DWORD disposition, const Context** out) {
    return s.AddCrl(c, disposition, out);
  }
  static bool Remove(Store& s, CrlObject* c) { return s.RemoveCrl(c); }
  static CrlObject* Find(Store& s, const BYTE* sha1) { return s.FindCrlBySha1(sha1); }
  static CrlObject* Next(Store& s, const CrlObject* prev, bool& missing) { return s.NextCrl(prev, missing); }
};

template <typename Object, typename Context = typename Kind<Object>::Context>
BOOL AddTo(Store& store, Object* fresh, DWORD disposition, const Context** out) {
  if (store.read_only()) {
    Release(fresh);
    return Fail(ERROR_ACCESS_DENIED);
  }
  std::vector<BYTE> encoded = fresh->core.encoded;
  PropertyMap props = PersistedProperties(fresh->core);
  if (!Kind<Object>::Add(store, fresh, disposition, out)) return FALSE;
  const bool ok = store.Commit([encoded, props, disposition](Store& disk) {
    if (Object* c = Kind<Object>::New(encoded.data(), encoded.size())) {
      c->core.props.Inherit(props);
      Kind<Object>::Add(disk, c, disposition, nullptr);
    }
  });
  if (!ok && out != nullptr && *out != nullptr) {
    Release(AsObject(*out));
    *out = nullptr;
  }
  return ok ? TRUE : FALSE;
}

// The CertAdd...ToStore functions: `make` decodes the fresh context (null with the last error
// set when it cannot).
template <typename Object, typename Make, typename Context = typename Kind<Object>::Context>
BOOL AddToStore(HCERTSTORE h, DWORD disposition, const Context** out, Make make) {
  return ApiGuard([&]() -> BOOL {
    if (out != nullptr) *out = nullptr;
    Store* s = Store::FromHandle(h);
    if (s == nullptr) return Fail(ERROR_INVALID_HANDLE);
    Object* fresh = make();
    if (fresh == nullptr) return FALSE;
    return AddTo(*s, fresh, disposition, out);
  });
}

template <typename Object>
auto FromEncoded(DWORD encoding, const BYTE* data, DWORD size) {
  return [=]() -> Object* {
    if (!(encoding & X509_ASN_ENCODING)) return FailNull<Object>(static_cast<DWORD>(E_INVALIDARG));
    return Kind<Object>::New(data, size);
  };
}

// A copy of a context that inherits its properties.
template <typename Object, typename Context = typename Kind<Object>::Context>
auto FromContext(const Context* context) {
  return [=]() -> Object* {
    if (context == nullptr) return FailNull<Object>(static_cast<DWORD>(E_INVALIDARG));
    const ContextCore& core = AsObject(context)->core;
    Object* fresh = Kind<Object>::New(core.encoded.data(), core.encoded.size());
    if (fresh != nullptr) fresh->core.props.Inherit(core.props.Snapshot());
    return fresh;
  };
}

template <typename Object, typename Context = typename Kind<Object>::Context>
BOOL DeleteFromStore(const Context* context) {
  return ApiGuard([&]() -> BOOL {
    if (context == nullptr) return TRUE;
    Object* c = AsObject(context);
    Store* s = c->core.store;
    BOOL result = TRUE;
    if (s != nullptr) {
      if (s->read_only()) {
        result = Fail(ERROR_ACCESS_DENIED);
      } else if (Kind<Object>::Remove(*s, c)) {
        std::vector<BYTE> hash(c->core.sha1, c->core.sha1 + 20);
        if (!s->Commit([hash](Store& disk) {
              if (Object* d = Kind<Object>::Find(disk, hash.data())) Kind<Object>::Remove(disk, d);
            }))
          result = FALSE;
      }
    }
    Release(c);  // the caller's reference goes whatever happened
    return result;
  });
}

template <typename Object, typename Context = typename Kind<Object>::Context>
const Context* EnumStore(HCERTSTORE h, const Context* prev) {
  return ApiGuard<const Context*>(nullptr, [&]() -> const Context* {
    Store* s = Store::FromHandle(h);
    if (s == nullptr) {
      if (prev) Release(AsObject(prev));
      return FailNull<const Context>(ERROR_INVALID_HANDLE);
    }
    Object* next;
    bool prev_missing;
    {
      std::lock_guard<std::recursive_mutex> lock(s->mutex());
      next = Kind<Object>::Next(*s, prev ? AsObject(prev) : nullptr, prev_missing);
      if (next) AddRef(next);
    }
    if (prev) Release(AsObject(prev));
    if (next == nullptr) return FailNull<const Context>(static_cast<DWORD>(CRYPT_E_NOT_FOUND));
    return next;
  });
}

}  // namespace
}  // namespace vexorcsp

using namespace vexorcsp;

extern "C" {

BOOL CertAddEncodedCertificateToStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType,
                                      const BYTE* pbCertEncoded, DWORD cbCertEncoded,
                                      DWORD dwAddDisposition, PCCERT_CONTEXT* ppCertContext) {
  return AddToStore<CertObject>(hCertStore, dwAddDisposition, ppCertContext,
                                FromEncoded<CertObject>(dwCertEncodingType, pbCertEncoded, cbCertEncoded));
}

BOOL CertAddCertificateContextToStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pCertContext,
                                      DWORD dwAddDisposition, PCCERT_CONTEXT* ppStoreContext) {
  return AddToStore<CertObject>(hCertStore, dwAddDisposition, ppStoreContext, FromContext<CertObject>(pCertContext));
}

BOOL CertDeleteCertificateFromStore(PCCERT_CONTEXT pCertContext) {
  return DeleteFromStore<CertObject>(pCertContext);
}

PCCERT_CONTEXT CertEnumCertificatesInStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pPrevCertContext) {
  return EnumStore<CertObject>(hCertStore, pPrevCertContext);
}

BOOL CertAddEncodedCRLToStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType,
                              const BYTE* pbCrlEncoded, DWORD cbCrlEncoded, DWORD dwAddDisposition,
                              PCCRL_CONTEXT* ppCrlContext) {
  return AddToStore<CrlObject>(hCertStore, dwAddDisposition, ppCrlContext,
                               FromEncoded<CrlObject>(dwCertEncodingType, pbCrlEncoded, cbCrlEncoded));
}

BOOL CertAddCRLContextToStore(HCERTSTORE hCertStore, PCCRL_CONTEXT pCrlContext,
                              DWORD dwAddDisposition, PCCRL_CONTEXT* ppStoreContext) {
  return AddToStore<CrlObject>(hCertStore, dwAddDisposition, ppStoreContext, FromContext<CrlObject>(pCrlContext));
}

BOOL CertDeleteCRLFromStore(PCCRL_CONTEXT pCrlContext) { return DeleteFromStore<CrlObject>(pCrlContext); }

PCCRL_CONTEXT CertEnumCRLsInStore(HCERTSTORE hCertStore, PCCRL_CONTEXT pPrevCrlContext) {
  return EnumStore<CrlObject>(hCertStore, pPrevCrlContext);
}

}  // extern "C"
