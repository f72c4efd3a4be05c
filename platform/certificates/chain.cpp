// Certificate chains: CertGetCertificateChain builds the path from a certificate to a
// self-signed root through the issuer stores (Root, CA, My of the engine's location, the
// engine's extra stores, the call's additional store and the certificate's own store),
// checks every link's signature with its issuer's key, the validity times at the given
// moment, CA constraints, revocation when asked, and reports the Windows CERT_TRUST_* bits.
#include <cstddef>
#include <cstring>
#include <memory>
#include <vector>

#include <openssl/err.h>
#include <openssl/x509v3.h>

#include "platform/core/api_guard.h"
#include "platform/core/last_error.h"
#include "platform/stores/store.h"

namespace vexorcsp {
namespace {

constexpr size_t kMaxDepth = 20;

struct ChainEngine {
  uint32_t magic = 0x43484E45;  // "CHNE"
  DWORD location = CERT_SYSTEM_STORE_CURRENT_USER;
  std::vector<HCERTSTORE> additional;  // owned handles
  HCERTSTORE exclusive_root = nullptr;  // owned; only these roots are trusted when set
  ~ChainEngine() {
    magic = 0;
    for (HCERTSTORE h : additional) CertCloseStore(h, 0);
    CertCloseStore(exclusive_root, 0);
  }
};

struct ChainObject : CERT_CHAIN_CONTEXT {
  std::atomic<long> refs{1};
  CERT_SIMPLE_CHAIN simple{};
  PCERT_SIMPLE_CHAIN simple_ptr = nullptr;
  std::vector<CERT_CHAIN_ELEMENT> elements;
  std::vector<PCERT_CHAIN_ELEMENT> element_ptrs;
  ~ChainObject() {
    for (CERT_CHAIN_ELEMENT& e : elements) CertFreeCertificateContext(e.pCertContext);
  }
};

// Closes owned store handles on scope exit.
struct StoreList {
  std::vector<HCERTSTORE> owned;
  std::vector<Store*> all;
  ~StoreList() {
    for (HCERTSTORE h : owned) CertCloseStore(h, 0);
  }
  void Own(HCERTSTORE h) {
    if (Store* s = Store::FromHandle(h)) {
      owned.push_back(h);
      all.push_back(s);
    }
  }
  void Borrow(HCERTSTORE h) {
    if (Store* s = Store::FromHandle(h)) all.push_back(s);
  }
};

bool SameName(const CERT_NAME_BLOB& a, const CERT_NAME_BLOB& b) {
  return a.cbData == b.cbData && std::memcmp(a.pbData, b.pbData, a.cbData) == 0;
}

bool Verifies(PCCERT_CONTEXT subject, PCCERT_CONTEXT issuer) {
  EVP_PKEY* key = X509_get0_pubkey(AsObject(issuer)->x509.get());
  const bool ok = key != nullptr && X509_verify(AsObject(subject)->x509.get(), key) == 1;
  ERR_clear_error();
  return ok;
}

bool InStore(Store* s, PCCERT_CONTEXT c) {
  return s != nullptr && s->FindCertBySha1(AsObject(c)->core.sha1) != nullptr;
}

// Best issuer of `cert` among the stores: one whose key verifies the signature first, then
// one that is trusted, then one valid at `when`. A new reference, or null.
PCCERT_CONTEXT FindIssuer(const StoreList& stores, Store* trusted, PCCERT_CONTEXT cert, FILETIME* when,
                          bool& verified) {
  PCCERT_CONTEXT best = nullptr;
  int best_score = -1;
  verified = false;
  for (Store* s : stores.all) {
    PCCERT_CONTEXT c = nullptr;
    while ((c = FindCertificate(*s, 0, CERT_FIND_SUBJECT_NAME, &cert->pCertInfo->Issuer, c)) != nullptr) {
      const bool sig = Verifies(cert, c);
      const int score = (sig ? 4 : 0) + (InStore(trusted, c) ? 2 : 0) +
                        (CertVerifyTimeValidity(when, c->pCertInfo) == 0 ? 1 : 0);
      if (score > best_score) {
        CertFreeCertificateContext(best);
        best = CertDuplicateCertificateContext(c);
        best_score = score;
        verified = sig;
      }
    }
  }
  SetLastError(0);
  return best;
}

// Revocation of `cert` issued by `issuer`, from the CRLs of the stores.
DWORD RevocationStatus(const StoreList& stores, PCCERT_CONTEXT cert, PCCERT_CONTEXT issuer, FILETIME* when) {
  bool have_list = false;
  for (Store* s : stores.all) {
    PCCRL_CONTEXT crl = nullptr;
    while ((crl = CertFindCRLInStore(s->handle(), X509_ASN_ENCODING, 0x8 /* signature */, 1, issuer, crl)) !=
           nullptr) {
      if (CertVerifyCRLTimeValidity(when, crl->pCrlInfo) != 0) continue;
      have_list = true;
      PCRL_ENTRY entry = nullptr;
      if (CertFindCertificateInCRL(cert, crl, 0, nullptr, &entry) && entry != nullptr) {
        CertFreeCRLContext(crl);
        return CERT_TRUST_IS_REVOKED;
      }
    }
  }
  SetLastError(0);
  return have_list ? 0 : CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;
}

bool UsageAllowed(PCCERT_CONTEXT cert, const CERT_USAGE_MATCH& want) {
  if (want.Usage.cUsageIdentifier == 0) return true;
  DWORD size = 0;
  if (!CertGetEnhancedKeyUsage(cert, 0, nullptr, &size)) return true;
  std::vector<BYTE> buf(size);
  auto* usage = reinterpret_cast<PCERT_ENHKEY_USAGE>(buf.data());
  if (!CertGetEnhancedKeyUsage(cert, 0, usage, &size)) return true;
  if (usage->cUsageIdentifier == 0) return GetLastError() == static_cast<DWORD>(CRYPT_E_NOT_FOUND);
  size_t matched = 0;
  for (DWORD i = 0; i < want.Usage.cUsageIdentifier; ++i)
    for (DWORD j = 0; j < usage->cUsageIdentifier; ++j)
      if (std::strcmp(want.Usage.rgpszUsageIdentifier[i], usage->rgpszUsageIdentifier[j]) == 0) {
        ++matched;
        break;
      }
  return want.dwType == USAGE_MATCH_TYPE_OR ? matched > 0 : matched == want.Usage.cUsageIdentifier;
}

template <typename T>
bool Covers(const CERT_CHAIN_ENGINE_CONFIG* c, size_t offset) {
  return c->cbSize >= offset + sizeof(T);
}

}  // namespace
}  // namespace vexorcsp

using namespace vexorcsp;

extern "C" {

BOOL CertCreateCertificateChainEngine(PCERT_CHAIN_ENGINE_CONFIG pConfig, HCERTCHAINENGINE* phChainEngine) {
  return ApiGuard([&]() -> BOOL {
    if (pConfig == nullptr || phChainEngine == nullptr || pConfig->cbSize < sizeof(DWORD))
      return Fail(static_cast<DWORD>(E_INVALIDARG));
    auto engine = std::make_unique<ChainEngine>();
    // Callers pass the structure size they were built with; read only the fields it covers.
    if (Covers<DWORD>(pConfig, offsetof(CERT_CHAIN_ENGINE_CONFIG, dwFlags)) &&
        (pConfig->dwFlags & CERT_CHAIN_USE_LOCAL_MACHINE_STORE))
      engine->location = CERT_SYSTEM_STORE_LOCAL_MACHINE;
    if (Covers<HCERTSTORE*>(pConfig, offsetof(CERT_CHAIN_ENGINE_CONFIG, rghAdditionalStore))) {
      for (DWORD i = 0; i < pConfig->cAdditionalStore && pConfig->rghAdditionalStore; ++i)
        if (HCERTSTORE h = CertDuplicateStore(pConfig->rghAdditionalStore[i])) engine->additional.push_back(h);
    }
    if (Covers<HCERTSTORE>(pConfig, offsetof(CERT_CHAIN_ENGINE_CONFIG, hExclusiveRoot)) && pConfig->hExclusiveRoot)
      engine->exclusive_root = CertDuplicateStore(pConfig->hExclusiveRoot);
    else if (pConfig->hRestrictedRoot)
      engine->exclusive_root = CertDuplicateStore(pConfig->hRestrictedRoot);
    *phChainEngine = engine.release();
    return TRUE;
  });
}

void CertFreeCertificateChainEngine(HCERTCHAINENGINE hChainEngine) {
  ApiGuardVoid([&] {
    if (hChainEngine == HCCE_CURRENT_USER || hChainEngine == HCCE_LOCAL_MACHINE) return;
    auto* engine = static_cast<ChainEngine*>(hChainEngine);
    if (engine->magic == 0x43484E45) delete engine;
  });
}

BOOL CertGetCertificateChain(HCERTCHAINENGINE hChainEngine, PCCERT_CONTEXT pCertContext, LPFILETIME pTime,
                             HCERTSTORE hAdditionalStore, PCERT_CHAIN_PARA pChainPara, DWORD dwFlags, LPVOID,
                             PCCERT_CHAIN_CONTEXT* ppChainContext) {
  return ApiGuard([&]() -> BOOL {
    if (pCertContext == nullptr || ppChainContext == nullptr) return Fail(static_cast<DWORD>(E_INVALIDARG));
    *ppChainContext = nullptr;
    FILETIME now;
    if (pTime == nullptr) {
      GetSystemTimeAsFileTime(&now);
      pTime = &now;
    }
    ChainEngine* engine = nullptr;
    DWORD location = CERT_SYSTEM_STORE_CURRENT_USER;
    if (hChainEngine == HCCE_LOCAL_MACHINE) {
      location = CERT_SYSTEM_STORE_LOCAL_MACHINE;
    } else if (hChainEngine != HCCE_CURRENT_USER) {
      engine = static_cast<ChainEngine*>(hChainEngine);
      if (engine->magic != 0x43484E45) return Fail(static_cast<DWORD>(E_INVALIDARG));
      location = engine->location;
    }
    const DWORD open_flags = location | CERT_STORE_READONLY_FLAG;
    StoreList stores;
    HCERTSTORE root = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, open_flags, "Root");
    if (root == nullptr) return FALSE;
    stores.Own(root);
    Store* trusted = Store::FromHandle(root);
    if (engine != nullptr && engine->exclusive_root != nullptr) {
      trusted = Store::FromHandle(engine->exclusive_root);
      stores.Borrow(engine->exclusive_root);
    }
    for (const char* name : {"CA", "My"})
      if (HCERTSTORE h = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, open_flags, name)) stores.Own(h);
    if (engine != nullptr)
      for (HCERTSTORE h : engine->additional) stores.Borrow(h);
    stores.Borrow(hAdditionalStore);
    stores.Borrow(pCertContext->hCertStore);
  
    auto chain = std::make_unique<ChainObject>();
    std::vector<PCCERT_CONTEXT> path{CertDuplicateCertificateContext(pCertContext)};
    std::vector<DWORD> errors{0}, infos{0};
    DWORD chain_errors = 0;
    while (true) {
      PCCERT_CONTEXT current = path.back();
      const size_t i = path.size() - 1;
      const bool self_issued = SameName(current->pCertInfo->Subject, current->pCertInfo->Issuer);
      if (self_issued && Verifies(current, current)) {
        infos[i] |= CERT_TRUST_IS_SELF_SIGNED | CERT_TRUST_HAS_NAME_MATCH_ISSUER;
        if (!InStore(trusted, current)) errors[i] |= CERT_TRUST_IS_UNTRUSTED_ROOT;
        break;
      }
      bool verified = false;
      PCCERT_CONTEXT issuer = self_issued ? nullptr : FindIssuer(stores, trusted, current, pTime, verified);
      if (issuer == nullptr) {
        if (self_issued) {
          // Self-issued but its own key does not verify it: a damaged root.
          errors[i] |= CERT_TRUST_IS_NOT_SIGNATURE_VALID | CERT_TRUST_IS_UNTRUSTED_ROOT;
          infos[i] |= CERT_TRUST_IS_SELF_SIGNED;
        } else {
          errors[i] |= CERT_TRUST_IS_PARTIAL_CHAIN;
          chain_errors |= CERT_TRUST_IS_PARTIAL_CHAIN;
        }
        break;
      }
      infos[i] |= CERT_TRUST_HAS_NAME_MATCH_ISSUER;
      if (!verified) errors[i] |= CERT_TRUST_IS_NOT_SIGNATURE_VALID;
      bool cyclic = false;
      for (PCCERT_CONTEXT seen : path)
        if (std::memcmp(AsObject(seen)->core.sha1, AsObject(issuer)->core.sha1, 20) == 0) cyclic = true;
      if (cyclic || path.size() >= kMaxDepth) {
        CertFreeCertificateContext(issuer);
        errors[i] |= CERT_TRUST_IS_CYCLIC | CERT_TRUST_IS_PARTIAL_CHAIN;
        chain_errors |= CERT_TRUST_IS_PARTIAL_CHAIN;
        break;
      }
      // An issuer that is not a CA cannot vouch for the link below it.
      errors.push_back(X509_check_ca(AsObject(issuer)->x509.get()) == 0 ? CERT_TRUST_INVALID_BASIC_CONSTRAINTS
                                                                         : 0);
      infos.push_back(0);
      path.push_back(issuer);
    }
  
    const bool check_revocation =
        dwFlags & (CERT_CHAIN_REVOCATION_CHECK_END_CERT | CERT_CHAIN_REVOCATION_CHECK_CHAIN |
                   CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT);
    for (size_t i = 0; i < path.size(); ++i) {
      if (CertVerifyTimeValidity(pTime, path[i]->pCertInfo) != 0) errors[i] |= CERT_TRUST_IS_NOT_TIME_VALID;
      const bool is_last = i + 1 == path.size();
      if (!check_revocation || is_last) continue;
      if ((dwFlags & CERT_CHAIN_REVOCATION_CHECK_END_CERT) && !(dwFlags & (CERT_CHAIN_REVOCATION_CHECK_CHAIN |
                                                                           CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT)) &&
          i > 0)
        continue;
      errors[i] |= RevocationStatus(stores, path[i], path[i + 1], pTime);
    }
    if (pChainPara != nullptr && pChainPara->cbSize >= sizeof(DWORD) + sizeof(CERT_USAGE_MATCH) &&
        !UsageAllowed(path[0], pChainPara->RequestedUsage))
      errors[0] |= CERT_TRUST_IS_NOT_VALID_FOR_USAGE;
  
    chain->elements.resize(path.size());
    chain->element_ptrs.resize(path.size());
    DWORD all_errors = chain_errors;
    for (size_t i = 0; i < path.size(); ++i) {
      CERT_CHAIN_ELEMENT& e = chain->elements[i];
      e.cbSize = sizeof e;
      e.pCertContext = path[i];  // the chain owns this reference
      e.TrustStatus = {errors[i], infos[i]};
      chain->element_ptrs[i] = &e;
      all_errors |= errors[i];
    }
    chain->simple.cbSize = sizeof(CERT_SIMPLE_CHAIN);
    chain->simple.TrustStatus = {all_errors, 0};
    chain->simple.cElement = static_cast<DWORD>(path.size());
    chain->simple.rgpElement = chain->element_ptrs.data();
    chain->simple_ptr = &chain->simple;
    chain->cbSize = sizeof(CERT_CHAIN_CONTEXT);
    chain->TrustStatus = chain->simple.TrustStatus;
    chain->cChain = 1;
    chain->rgpChain = &chain->simple_ptr;
    chain->cLowerQualityChainContext = 0;
    chain->rgpLowerQualityChainContext = nullptr;
    chain->fHasRevocationFreshnessTime = FALSE;
    chain->dwRevocationFreshnessTime = 0;
    *ppChainContext = chain.release();
    SetLastError(0);
    return TRUE;
  });
}

PCCERT_CHAIN_CONTEXT CertDuplicateCertificateChain(PCCERT_CHAIN_CONTEXT pChainContext) {
  return ApiGuard<PCCERT_CHAIN_CONTEXT>(nullptr, [&]() -> PCCERT_CHAIN_CONTEXT {
    if (pChainContext == nullptr) return nullptr;
    static_cast<ChainObject*>(const_cast<CERT_CHAIN_CONTEXT*>(pChainContext))->refs.fetch_add(1);
    return pChainContext;
  });
}

void CertFreeCertificateChain(PCCERT_CHAIN_CONTEXT pChainContext) {
  ApiGuardVoid([&] {
    if (pChainContext == nullptr) return;
    auto* chain = static_cast<ChainObject*>(const_cast<CERT_CHAIN_CONTEXT*>(pChainContext));
    if (chain->refs.fetch_sub(1) == 1) delete chain;
  });
}

}  // extern "C"
