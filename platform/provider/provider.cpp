// Provider contexts: acquiring a verify-only context or a key container, releasing it, its
// parameters, and installing a PKCS#8 key into a container.
#include "platform/provider/provider.h"

#include <cstring>

#include <openssl/crypto.h>

#include "platform/core/handle_table.h"
#include "platform/provider/key_container.h"
#include "platform/core/api_guard.h"
#include "platform/core/last_error.h"
#include "platform/core/out_param.h"
#include "vexor/platform_prov.h"

namespace vexorcsp {
namespace {

using Providers = HandleTable<Provider>;

constexpr DWORD kAcquireFlags = CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET |
                                CRYPT_MACHINE_KEYSET | CRYPT_SILENT;

bool OurProviderName(LPCSTR name) {
  return name == nullptr || *name == '\0' || std::strcmp(name, VEXOR_GOST_PROV_NAME_A) == 0;
}

}  // namespace

Provider::~Provider() { OPENSSL_cleanse(pin.data(), pin.size()); }

ProviderRef LookupProvider(HCRYPTPROV h) { return Providers::Instance().Get(h); }

HCRYPTPROV AddProvider(ProviderRef provider) {
  return Providers::Instance().Add(std::move(provider));
}

EvpPkeyPtr ContainerKey(Provider& provider, DWORD& error) {
  if (provider.container.empty()) {
    error = DWORD(NTE_NO_KEY);
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(provider.mu);
  if (!provider.exchange_key) {
    EvpPkeyPtr key;
    error = LoadContainerKey(provider.container, provider.pin_set ? &provider.pin : nullptr,
                             provider.silent, key);
    if (error != 0) return nullptr;
    provider.exchange_key = std::move(key);
  }
  return UpRef(provider.exchange_key.get());
}

DWORD SetContainerKey(Provider& provider, EvpPkeyPtr key) {
  std::lock_guard<std::mutex> lock(provider.mu);
  const DWORD error = StoreContainerKey(provider.container, key.get(),
                                        provider.pin_set ? provider.pin : std::string());
  if (error == 0) provider.exchange_key = std::move(key);
  return error;
}

void ReleaseCachedProvider(HCRYPTPROV h) { Providers::Instance().Remove(h); }

}  // namespace vexorcsp

using namespace vexorcsp;

extern "C" {

BOOL CryptAcquireContextA(HCRYPTPROV* phProv, LPCSTR pszContainer, LPCSTR pszProvider,
                          DWORD dwProvType, DWORD dwFlags) {
  return ApiGuard([&]() -> BOOL {
    if (phProv == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    *phProv = 0;
    KeyFamily family;
    if (!FamilyOfProvType(dwProvType, family)) return Fail(DWORD(NTE_BAD_PROV_TYPE));
    if (!OurProviderName(pszProvider)) return Fail(DWORD(NTE_KEYSET_NOT_DEF));
    if (dwFlags & ~DWORD(kAcquireFlags)) return Fail(DWORD(NTE_BAD_FLAGS));
    const std::string name = pszContainer ? pszContainer : "";
    const DWORD mode = dwFlags & (CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET);

    auto provider = std::make_shared<Provider>();
    provider->silent = (dwFlags & CRYPT_SILENT) != 0;
    provider->type = dwProvType;
    provider->family = family;
    if (mode == CRYPT_VERIFYCONTEXT) {
      // A verify-only context holds no container; a name given with it is not opened.
      if (GostEngine() == nullptr) return Fail(DWORD(NTE_PROV_TYPE_NOT_DEF));
      *phProv = AddProvider(std::move(provider));
      return TRUE;
    }
    if (name.empty()) return Fail(DWORD(NTE_BAD_KEYSET));
    if (mode == CRYPT_DELETEKEYSET) {
      const DWORD error = DeleteContainer(name);
      return error ? Fail(error) : TRUE;
    }
    if (mode == CRYPT_NEWKEYSET) {
      const DWORD error = CreateContainer(name);
      if (error != 0) return Fail(error);
    } else if (mode != 0) {
      return Fail(DWORD(NTE_BAD_FLAGS));
    } else {
      ContainerInfo info;
      const DWORD error = ReadContainerInfo(name, info);
      if (error != 0) return Fail(error);
    }
    if (GostEngine() == nullptr) return Fail(DWORD(NTE_PROV_TYPE_NOT_DEF));
    provider->container = name;
    *phProv = AddProvider(std::move(provider));
    return TRUE;
  });
}

BOOL CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags) {
  return ApiGuard([&]() -> BOOL {
    if (dwFlags != 0) return Fail(DWORD(NTE_BAD_FLAGS));
    // Keys and hashes made from the context keep what they need of it alive.
    if (!Providers::Instance().Remove(hProv)) return Fail(DWORD(NTE_BAD_UID));
    return TRUE;
  });
}

BOOL CryptGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                       DWORD dwFlags) {
  return ApiGuard([&]() -> BOOL {
    ProviderRef provider = LookupProvider(hProv);
    if (!provider) return Fail(DWORD(NTE_BAD_UID));
    switch (dwParam) {
      case PP_NAME:
        return CopyOut(VEXOR_GOST_PROV_NAME_A, sizeof(VEXOR_GOST_PROV_NAME_A), pbData, pdwDataLen);
      case PP_CONTAINER:
        return CopyOut(provider->container.c_str(), provider->container.size() + 1, pbData,
                       pdwDataLen);
      case PP_PROVTYPE: {
        const DWORD type = provider->type;
        return CopyOut(&type, sizeof(type), pbData, pdwDataLen);
      }
      case PP_ENUMCONTAINERS: {
        std::lock_guard<std::mutex> lock(provider->mu);
        if (dwFlags & CRYPT_FIRST) {
          provider->enumerated = ListContainers();
          provider->enum_pos = 0;
        }
        if (provider->enum_pos >= provider->enumerated.size())
          return Fail(ERROR_NO_MORE_ITEMS);
        const std::string& item = provider->enumerated[provider->enum_pos];
        if (!CopyOut(item.c_str(), item.size() + 1, pbData, pdwDataLen)) return FALSE;
        if (pbData != nullptr) ++provider->enum_pos;
        return TRUE;
      }
      default:
        return Fail(DWORD(NTE_BAD_TYPE));
    }
  });
}

BOOL CryptSetProvParam(HCRYPTPROV hProv, DWORD dwParam, const BYTE* pbData, DWORD dwFlags) {
  return ApiGuard([&]() -> BOOL {
    ProviderRef provider = LookupProvider(hProv);
    if (!provider) return Fail(DWORD(NTE_BAD_UID));
    if (dwFlags != 0) return Fail(DWORD(NTE_BAD_FLAGS));
    if (dwParam != PP_KEYEXCHANGE_PIN && dwParam != PP_SIGNATURE_PIN)
      return Fail(DWORD(NTE_BAD_TYPE));
    std::lock_guard<std::mutex> lock(provider->mu);
    OPENSSL_cleanse(provider->pin.data(), provider->pin.size());
    provider->pin.clear();
    provider->pin_set = pbData != nullptr;
    if (pbData != nullptr) provider->pin = reinterpret_cast<const char*>(pbData);
    return TRUE;
  });
}

BOOL CryptImportPKCS8ToContainerA(LPCSTR pszContainer, const BYTE* pbKey, DWORD cbKey,
                                  LPCSTR pszPin, DWORD dwFlags) {
  return ApiGuard([&]() -> BOOL {
    if (pszContainer == nullptr || *pszContainer == '\0' || pbKey == nullptr || cbKey == 0)
      return Fail(ERROR_INVALID_PARAMETER);
    if (dwFlags & ~DWORD(CRYPT_NEWKEYSET)) return Fail(DWORD(NTE_BAD_FLAGS));
    if (GostEngine() == nullptr) return Fail(DWORD(NTE_PROV_TYPE_NOT_DEF));
    EvpPkeyPtr key = ImportPkcs8(pbKey, cbKey);
    if (!key) return Fail(DWORD(NTE_BAD_DATA));
    if (dwFlags & CRYPT_NEWKEYSET) {
      ContainerInfo info;
      if (ReadContainerInfo(pszContainer, info) == 0) return Fail(DWORD(NTE_EXISTS));
    }
    std::string pin = pszPin ? pszPin : "";
    const DWORD error = StoreContainerKey(pszContainer, key.get(), pin);
    OPENSSL_cleanse(pin.data(), pin.size());
    return error ? Fail(error) : TRUE;
  });
}

}  // extern "C"
