// CRL searches: CertFindCRLInStore and CertGetCRLFromStore with its signature and time checks.
#include <cstring>

#include <openssl/err.h>

#include "platform/core/api_guard.h"
#include "platform/core/last_error.h"
#include "platform/stores/store.h"

namespace vexorcsp {
namespace {

constexpr DWORD kCrlFindIssuedBySignatureFlag = 0x8;

bool SameName(const CERT_NAME_BLOB& a, const CERT_NAME_BLOB& b) {
  return a.cbData == b.cbData && std::memcmp(a.pbData, b.pbData, a.cbData) == 0;
}

bool SignedBy(CrlObject* crl, PCCERT_CONTEXT issuer) {
  EVP_PKEY* key = X509_get0_pubkey(AsObject(issuer)->OpenSsl());
  const bool ok = key != nullptr && X509_CRL_verify(crl->crl.get(), key) == 1;
  ERR_clear_error();
  return ok;
}

// The next CRL after `prev` that satisfies `match`; consumes `prev`.
template <typename Match>
PCCRL_CONTEXT NextCrl(Store& s, PCCRL_CONTEXT prev, Match match) {
  CrlObject* found = nullptr;
  {
    std::lock_guard<std::recursive_mutex> lock(s.mutex());
    std::vector<CrlObject*>& list = s.crls();
    for (size_t i = IndexAfter<CrlObject>(list, prev != nullptr ? AsObject(prev) : nullptr); i < list.size(); ++i) {
      if (match(list[i])) {
        found = list[i];
        AddRef(found);
        break;
      }
    }
  }
  if (prev != nullptr) Release(AsObject(prev));
  if (found == nullptr) return FailNull<const CRL_CONTEXT>(static_cast<DWORD>(CRYPT_E_NOT_FOUND));
  return found;
}

}  // namespace
}  // namespace vexorcsp

using namespace vexorcsp;

extern "C" {

PCCRL_CONTEXT CertFindCRLInStore(HCERTSTORE hCertStore, DWORD, DWORD dwFindFlags, DWORD dwFindType,
                                 const void* pvFindPara, PCCRL_CONTEXT pPrevCrlContext) {
  return ApiGuard<PCCRL_CONTEXT>(nullptr, [&]() -> PCCRL_CONTEXT {
    Store* s = Store::FromHandle(hCertStore);
    if (s == nullptr) {
      if (pPrevCrlContext) Release(AsObject(pPrevCrlContext));
      return FailNull<const CRL_CONTEXT>(ERROR_INVALID_HANDLE);
    }
    switch (dwFindType) {
      case CRL_FIND_ANY:
        return NextCrl(*s, pPrevCrlContext, [](CrlObject*) { return true; });
      case CRL_FIND_ISSUED_BY: {
        const auto* issuer = static_cast<PCCERT_CONTEXT>(pvFindPara);
        return NextCrl(*s, pPrevCrlContext, [issuer, dwFindFlags](CrlObject* c) {
          if (issuer == nullptr) return true;
          if (!SameName(c->info.Issuer, issuer->pCertInfo->Subject)) return false;
          return !(dwFindFlags & kCrlFindIssuedBySignatureFlag) || SignedBy(c, issuer);
        });
      }
      case CRL_FIND_EXISTING: {
        const auto* other = static_cast<PCCRL_CONTEXT>(pvFindPara);
        if (other == nullptr) break;
        return NextCrl(*s, pPrevCrlContext, [other](CrlObject* c) {
          return std::memcmp(c->core.sha1, AsObject(other)->core.sha1, 20) == 0;
        });
      }
      default:
        break;
    }
    if (pPrevCrlContext) Release(AsObject(pPrevCrlContext));
    return FailNull<const CRL_CONTEXT>(static_cast<DWORD>(E_INVALIDARG));
  });
}

PCCRL_CONTEXT CertGetCRLFromStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pIssuerContext,
                                  PCCRL_CONTEXT pPrevCrlContext, DWORD* pdwFlags) {
  return ApiGuard<PCCRL_CONTEXT>(nullptr, [&]() -> PCCRL_CONTEXT {
    constexpr DWORD kAllowed = CERT_STORE_SIGNATURE_FLAG | CERT_STORE_TIME_VALIDITY_FLAG |
                               CERT_STORE_BASE_CRL_FLAG | CERT_STORE_DELTA_CRL_FLAG;
    Store* s = Store::FromHandle(hCertStore);
    if (s == nullptr || pdwFlags == nullptr || (*pdwFlags & ~kAllowed)) {
      if (pPrevCrlContext) Release(AsObject(pPrevCrlContext));
      return FailNull<const CRL_CONTEXT>(static_cast<DWORD>(E_INVALIDARG));
    }
    PCCRL_CONTEXT crl = NextCrl(*s, pPrevCrlContext, [pIssuerContext](CrlObject* c) {
      return pIssuerContext == nullptr || SameName(c->info.Issuer, pIssuerContext->pCertInfo->Subject);
    });
    if (crl == nullptr) return nullptr;
    // Each check that passes clears its bit; a failed one leaves it for the caller to see.
    if (*pdwFlags & CERT_STORE_SIGNATURE_FLAG) {
      if (pIssuerContext == nullptr)
        *pdwFlags |= CERT_STORE_NO_ISSUER_FLAG;
      else if (SignedBy(AsObject(crl), pIssuerContext))
        *pdwFlags &= ~static_cast<DWORD>(CERT_STORE_SIGNATURE_FLAG);
    }
    if (*pdwFlags & CERT_STORE_TIME_VALIDITY_FLAG) {
      if (CertVerifyCRLTimeValidity(nullptr, crl->pCrlInfo) == 0)
        *pdwFlags &= ~static_cast<DWORD>(CERT_STORE_TIME_VALIDITY_FLAG);
    }
    *pdwFlags &= ~static_cast<DWORD>(CERT_STORE_BASE_CRL_FLAG | CERT_STORE_DELTA_CRL_FLAG);
    return crl;
  });
}

}  // extern "C"
