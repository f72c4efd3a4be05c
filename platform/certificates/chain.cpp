// Certificate chains: chain engines, and CertGetCertificateChain, which picks the issuer
// stores (Root, CA, My of the engine's location, the engine's extra stores, the call's
// additional store and the certificate's own store) and the trusted roots, lets the path
// builder build the path and lays it out as a CERT_CHAIN_CONTEXT.
#include <cstddef>
#include <cstring>
#include <memory>
#include <vector>


#include "platform/certificates/path_builder.h"
#include "platform/core/api_guard.h"
#include "platform/core/last_error.h"
#include "platform/stores/store.h"

namespace vexorcsp {
namespace {

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

    const PathBuilder builder(stores.all, trusted);
    CertPath path = builder.Build(pCertContext, *pTime, dwFlags);
    if (pChainPara != nullptr && pChainPara->cbSize >= sizeof(DWORD) + sizeof(CERT_USAGE_MATCH) &&
        !UsageAllowed(pCertContext, pChainPara->RequestedUsage))
      path.links[0].errors |= CERT_TRUST_IS_NOT_VALID_FOR_USAGE;

    auto chain = std::make_unique<ChainObject>();
    chain->elements.resize(path.links.size());
    chain->element_ptrs.resize(path.links.size());
    DWORD all_errors = path.pathErrors;
    for (size_t i = 0; i < path.links.size(); ++i) {
      CERT_CHAIN_ELEMENT& e = chain->elements[i];
      e.cbSize = sizeof e;
      e.pCertContext = path.links[i].cert.release();  // the chain owns this reference now
      e.TrustStatus = {path.links[i].errors, path.links[i].infos};
      chain->element_ptrs[i] = &e;
      all_errors |= path.links[i].errors;
    }
    chain->simple.cbSize = sizeof(CERT_SIMPLE_CHAIN);
    chain->simple.TrustStatus = {all_errors, 0};
    chain->simple.cElement = static_cast<DWORD>(path.links.size());
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
