// Context properties: CertGet/SetCertificateContextProperty and the CRL equivalents. The
// thumbprint (id 3) is computed on first request and then kept like a set property, so it
// is saved with the store as Windows saves its cached hashes.
#include <cstring>

#include <openssl/evp.h>

#include "platform/core/api_guard.h"
#include "platform/core/last_error.h"
#include "platform/stores/store.h"
#include "platform/stores/store_serialized.h"

namespace vexorcsp {
namespace {

BOOL Deliver(const void* data, size_t size, void* out, DWORD* pcb) {
  const DWORD have = *pcb;
  *pcb = static_cast<DWORD>(size);
  if (out == nullptr) return TRUE;
  if (have < size) return Fail(ERROR_MORE_DATA);
  if (size) std::memcpy(out, data, size);
  return TRUE;
}

BOOL GetProperty(ContextCore& core, DWORD id, void* pv, DWORD* pcb) {
  if (pcb == nullptr) return Fail(static_cast<DWORD>(E_INVALIDARG));
  std::vector<BYTE> value;
  if (!core.props.Get(id, value)) {
    // Implicit hashes are computed on demand and cached.
    if (id == CERT_SHA1_HASH_PROP_ID) {
      value.assign(core.sha1, core.sha1 + 20);
    } else if (id == CERT_MD5_HASH_PROP_ID) {
      unsigned int len = 0;
      value.resize(EVP_MAX_MD_SIZE);
      if (!EVP_Digest(core.encoded.data(), core.encoded.size(), value.data(), &len, EVP_md5(), nullptr))
        return Fail(static_cast<DWORD>(CRYPT_E_NOT_FOUND));
      value.resize(len);
    } else {
      return Fail(static_cast<DWORD>(CRYPT_E_NOT_FOUND));
    }
    core.props.Set(id, value);
  }
  if (id == CERT_KEY_PROV_INFO_PROP_ID) {
    size_t size = 0;
    if (!FlattenKeyProvInfo(value, nullptr, size)) return Fail(static_cast<DWORD>(CRYPT_E_NOT_FOUND));
    const DWORD have = *pcb;
    *pcb = static_cast<DWORD>(size);
    if (pv == nullptr) return TRUE;
    if (have < size) return Fail(ERROR_MORE_DATA);
    FlattenKeyProvInfo(value, static_cast<BYTE*>(pv), size);
    return TRUE;
  }
  return Deliver(value.data(), value.size(), pv, pcb);
}

// The stored bytes of a property from the caller's value, per the id's value shape.
bool PropertyBytes(DWORD id, const void* pv, std::vector<BYTE>& out) {
  switch (id) {
    case CERT_KEY_PROV_INFO_PROP_ID:
      out = PersistKeyProvInfo(*static_cast<const CRYPT_KEY_PROV_INFO*>(pv));
      return true;
    case CERT_KEY_PROV_HANDLE_PROP_ID: {
      const auto* h = static_cast<const BYTE*>(pv);
      out.assign(h, h + sizeof(HCRYPTPROV));
      return true;
    }
    case CERT_KEY_CONTEXT_PROP_ID: {
      const auto* k = static_cast<const CERT_KEY_CONTEXT*>(pv);
      if (k->cbSize != sizeof(CERT_KEY_CONTEXT)) return false;
      const auto* b = static_cast<const BYTE*>(pv);
      out.assign(b, b + sizeof(CERT_KEY_CONTEXT));
      return true;
    }
    case CERT_KEY_SPEC_PROP_ID:
    case CERT_ACCESS_STATE_PROP_ID: {
      const auto* b = static_cast<const BYTE*>(pv);
      out.assign(b, b + sizeof(DWORD));
      return true;
    }
    case CERT_DATE_STAMP_PROP_ID: {
      const auto* b = static_cast<const BYTE*>(pv);
      out.assign(b, b + sizeof(FILETIME));
      return true;
    }
    default: {
      const auto* blob = static_cast<const CRYPT_DATA_BLOB*>(pv);
      if (blob->cbData != 0 && blob->pbData == nullptr) return false;
      out.assign(blob->pbData, blob->pbData + blob->cbData);
      return true;
    }
  }
}

// Sets or deletes a property and commits the change to the context's store.
template <typename Obj>
BOOL SetProperty(Obj* c, DWORD id, DWORD flags, const void* pv) {
  if (id == 0 || id == CERT_CERT_PROP_ID || id == CERT_CRL_PROP_ID || id == CERT_CTL_PROP_ID)
    return Fail(static_cast<DWORD>(E_INVALIDARG));
  std::vector<BYTE> bytes;
  if (pv != nullptr && !PropertyBytes(id, pv, bytes)) return Fail(static_cast<DWORD>(E_INVALIDARG));
  if (id == CERT_SHA1_HASH_PROP_ID && pv != nullptr) bytes.assign(c->core.sha1, c->core.sha1 + 20);
  Store* s = c->core.store;
  if (s != nullptr && c->core.member && s->read_only() && IsPersistedProperty(id))
    return Fail(ERROR_ACCESS_DENIED);
  const bool owns_handle = !(flags & CERT_STORE_NO_CRYPT_RELEASE_FLAG);
  if (pv == nullptr)
    c->core.props.Erase(id);
  else
    c->core.props.Set(id, bytes, owns_handle);
  if (s == nullptr || !c->core.member || !IsPersistedProperty(id)) return TRUE;
  const std::vector<BYTE> hash(c->core.sha1, c->core.sha1 + 20);
  const bool erase = pv == nullptr;
  const bool ok = s->Commit([hash, id, bytes, erase](Store& disk) {
    Obj* d = nullptr;
    if constexpr (std::is_same_v<Obj, CertObject>)
      d = disk.FindCertBySha1(hash.data());
    else
      d = disk.FindCrlBySha1(hash.data());
    if (d == nullptr) return;
    if (erase)
      d->core.props.Erase(id);
    else
      d->core.props.Set(id, bytes);
  });
  return ok ? TRUE : FALSE;
}

}  // namespace
}  // namespace vexorcsp

using namespace vexorcsp;

extern "C" {

BOOL CertGetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId, void* pvData,
                                       DWORD* pcbData) {
  return ApiGuard([&]() -> BOOL {
    if (pCertContext == nullptr) return Fail(static_cast<DWORD>(E_INVALIDARG));
    return GetProperty(AsObject(pCertContext)->core, dwPropId, pvData, pcbData);
  });
}

BOOL CertSetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId, DWORD dwFlags,
                                       const void* pvData) {
  return ApiGuard([&]() -> BOOL {
    if (pCertContext == nullptr) return Fail(static_cast<DWORD>(E_INVALIDARG));
    return SetProperty(AsObject(pCertContext), dwPropId, dwFlags, pvData);
  });
}

DWORD CertEnumCertificateContextProperties(PCCERT_CONTEXT pCertContext, DWORD dwPropId) {
  return ApiGuard<DWORD>(0, [&]() -> DWORD {
    if (pCertContext == nullptr) return 0;
    const auto all = AsObject(pCertContext)->core.props.Snapshot();
    auto it = all.upper_bound(dwPropId);
    return it == all.end() ? 0 : it->first;
  });
}

BOOL CertGetCRLContextProperty(PCCRL_CONTEXT pCrlContext, DWORD dwPropId, void* pvData, DWORD* pcbData) {
  return ApiGuard([&]() -> BOOL {
    if (pCrlContext == nullptr) return Fail(static_cast<DWORD>(E_INVALIDARG));
    return GetProperty(AsObject(pCrlContext)->core, dwPropId, pvData, pcbData);
  });
}

BOOL CertSetCRLContextProperty(PCCRL_CONTEXT pCrlContext, DWORD dwPropId, DWORD dwFlags,
                               const void* pvData) {
  return ApiGuard([&]() -> BOOL {
    if (pCrlContext == nullptr) return Fail(static_cast<DWORD>(E_INVALIDARG));
    return SetProperty(AsObject(pCrlContext), dwPropId, dwFlags, pvData);
  });
}

}  // extern "C"
