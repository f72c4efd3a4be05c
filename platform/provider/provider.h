// Provider contexts of the GOST provider: a verify-only context or one key container, its
// PIN, and the container's exchange key loaded on first use. The provider type (2001,
// 2012-256 or 2012-512) decides the family of new key pairs; a container's key is used
// whatever its family.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/core/atomic_file.h"
#include "platform/provider/gost_engine.h"
#include "platform/provider/gost_key.h"
#include "vexor/platform.h"

namespace vexorcsp {

struct Provider {
  std::string container;  // empty for a verify-only context
  bool silent = false;
  DWORD type = PROV_GOST_2001_DH;
  KeyFamily family = KeyFamily::k2001;
  std::mutex mu;  // guards what follows
  std::string pin;
  bool pin_set = false;
  EvpPkeyPtr exchange_key;
  // The container file the key was loaded from, for a context a certificate keeps: a file
  // replaced or removed since makes the kept context stale.
  bool stamped = false;
  FileStamp stamp;
  std::vector<std::string> enumerated;  // PP_ENUMCONTAINERS snapshot
  size_t enum_pos = 0;
  ~Provider();
};
using ProviderRef = std::shared_ptr<Provider>;

ProviderRef LookupProvider(HCRYPTPROV h);
HCRYPTPROV AddProvider(ProviderRef provider);

// The container's exchange key, loaded (with the PIN rules of the container) on first use.
// Null with the error to report.
EvpPkeyPtr ContainerKey(Provider& provider, DWORD& error);
// Replaces the container's exchange key by key (written to disk).
DWORD SetContainerKey(Provider& provider, EvpPkeyPtr key);

// For certificate contexts that keep a provider handle (CERT_KEY_CONTEXT_PROP_ID, set by
// CryptAcquireCertificatePrivateKey with CRYPT_ACQUIRE_CACHE_FLAG): call this when the
// property is replaced or removed and when the last reference to the context is freed.
// Unknown handles are ignored.
void ReleaseCachedProvider(HCRYPTPROV h);

}  // namespace vexorcsp
