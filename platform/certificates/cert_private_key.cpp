// CryptAcquireCertificatePrivateKey: from a certificate to the provider context of its key
// container, found through the certificate's key-provider property. The library passes 5
// (cache + compare-key) and 69 (the same, silent); the container is always found through
// the property, whatever the flags say.
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/codec/der.h"
#include "text/text.h"
#include "platform/provider/key_container.h"
#include "platform/core/api_guard.h"
#include "platform/core/last_error.h"
#include "platform/provider/provider.h"
#include "vexor/platform_prov.h"

using namespace vexorcsp;

namespace {

constexpr DWORD kAcquireFlags = CRYPT_ACQUIRE_CACHE_FLAG | CRYPT_ACQUIRE_USE_PROV_INFO_FLAG |
                                CRYPT_ACQUIRE_COMPARE_KEY_FLAG | CRYPT_ACQUIRE_SILENT_FLAG;

// A property's bytes, aligned for the structure they hold.
bool GetProperty(PCCERT_CONTEXT cert, DWORD id, std::vector<uint64_t>& out) {
  DWORD size = 0;
  if (!CertGetCertificateContextProperty(cert, id, nullptr, &size) || size == 0) return false;
  out.assign((size + 7) / 8, 0);
  return CertGetCertificateContextProperty(cert, id, out.data(), &size) != 0;
}

// The container's public key is the certificate's: same family, same curve and the same
// point.
bool SameKey(PCCERT_CONTEXT cert, const ContainerInfo& info) {
  if (!info.has_key) return false;
  const CERT_PUBLIC_KEY_INFO& spki = cert->pCertInfo->SubjectPublicKeyInfo;
  KeyFamily family;
  if (!der::GostKeyKindOfOid(spki.Algorithm.pszObjId, family))
    return false;
  der::Reader r(spki.PublicKey.pbData, spki.PublicKey.cbData);
  der::Tlv point;
  if (!r.Expect(der::kOctetString, point) || point.length != PointBytes(family)) return false;
  KeyParams cert_params;
  if (!ParseKeyParams(spki.Algorithm.Parameters.pbData, spki.Algorithm.Parameters.cbData,
                      cert_params))
    return false;
  const uint8_t* der = info.public_key_info.data();
  EvpPkeyPtr own(d2i_PUBKEY(nullptr, &der, long(info.public_key_info.size())));
  RawPublicKey raw;
  if (!own || !ExtractPublic(own.get(), raw)) return false;
  return raw.family == family &&
         CanonicalCurve(raw.params.curve) == CanonicalCurve(cert_params.curve) &&
         std::memcmp(raw.key.data(), point.value, point.length) == 0;
}

// Orders the changes of the kept contexts: keeping one, letting a stale one go.
std::recursive_mutex& KeptContextLock() {
  static std::recursive_mutex* lock = new std::recursive_mutex;  // outlives every static that may sign
  return *lock;
}

// The provider context the certificate keeps, when there is one still good: a context whose
// container file was replaced or removed since its key was loaded is let go (the container is
// then opened again).
bool KeptContext(PCCERT_CONTEXT cert, CERT_KEY_CONTEXT& kept) {
  std::vector<uint64_t> buffer;
  if (!GetProperty(cert, CERT_KEY_CONTEXT_PROP_ID, buffer) || buffer.size() * 8 < sizeof kept) return false;
  std::memcpy(&kept, buffer.data(), sizeof kept);
  const ProviderRef provider = LookupProvider(kept.hCryptProv);
  if (!provider) return false;
  if (!provider->stamped || provider->stamp.Unchanged(ContainerStamp(provider->container))) return true;
  std::lock_guard<std::recursive_mutex> guard(KeptContextLock());
  CERT_KEY_CONTEXT now;
  if (GetProperty(cert, CERT_KEY_CONTEXT_PROP_ID, buffer) && buffer.size() * 8 >= sizeof now) {
    std::memcpy(&now, buffer.data(), sizeof now);
    if (now.hCryptProv == kept.hCryptProv) CertSetCertificateContextProperty(cert, CERT_KEY_CONTEXT_PROP_ID, 0, nullptr);
  }
  return false;
}

}  // namespace

extern "C" {

BOOL CryptAcquireCertificatePrivateKey(PCCERT_CONTEXT pCert, DWORD dwFlags, void*,
                                       HCRYPTPROV* phCryptProv, DWORD* pdwKeySpec,
                                       BOOL* pfCallerFreeProv) {
  return ApiGuard([&]() -> BOOL {
    if (pCert == nullptr || phCryptProv == nullptr || pCert->pCertInfo == nullptr)
      return Fail(DWORD(E_INVALIDARG));
    if (dwFlags & ~kAcquireFlags) return Fail(DWORD(NTE_BAD_FLAGS));
    *phCryptProv = 0;
    const bool cache = (dwFlags & CRYPT_ACQUIRE_CACHE_FLAG) != 0;

    const auto hand_out = [&](HCRYPTPROV prov, DWORD key_spec, BOOL caller_frees) -> BOOL {
      *phCryptProv = prov;
      if (pdwKeySpec) *pdwKeySpec = key_spec;
      if (pfCallerFreeProv) *pfCallerFreeProv = caller_frees;
      return TRUE;
    };
    CERT_KEY_CONTEXT kept;
    if (cache && KeptContext(pCert, kept)) return hand_out(kept.hCryptProv, kept.dwKeySpec, FALSE);

    std::vector<uint64_t> buffer;

    if (!GetProperty(pCert, CERT_KEY_PROV_INFO_PROP_ID, buffer))
      return Fail(DWORD(CRYPT_E_NO_KEY_PROPERTY));
    const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer.data());
    KeyFamily family;
    if (!FamilyOfProvType(info->dwProvType, family)) return Fail(DWORD(NTE_BAD_PROV_TYPE));
    // Container names are UTF-16; they are kept as UTF-8.
    const std::string container =
        info->pwszContainerName != nullptr ? text::Utf16ToUtf8(info->pwszContainerName) : std::string();
    const DWORD key_spec = info->dwKeySpec != 0 ? info->dwKeySpec : DWORD(AT_KEYEXCHANGE);
    const bool silent =
        (dwFlags & CRYPT_ACQUIRE_SILENT_FLAG) != 0 || (info->dwFlags & CRYPT_SILENT) != 0;

    // The provider name recorded on Windows is another vendor's; the container is ours. Its
    // file is read once: the public key compared, then the private key opened now, so that a
    // PIN that cannot be given fails here, cleanly, rather than at the first signature.
    if (container.empty()) return Fail(DWORD(NTE_BAD_KEYSET));
    // The engine first: the public key compared is decoded through it.
    if (GostEngine() == nullptr) return Fail(DWORD(NTE_PROV_TYPE_NOT_DEF));
    auto provider = std::make_shared<Provider>();
    provider->container = container;
    provider->silent = silent;
    provider->type = info->dwProvType;
    provider->family = family;
    const bool compare = (dwFlags & CRYPT_ACQUIRE_COMPARE_KEY_FLAG) != 0;
    const DWORD error = LoadContainerKey(
        container, nullptr, silent, provider->exchange_key,
        [&](const ContainerInfo& found) { return !compare || SameKey(pCert, found) ? DWORD(0) : DWORD(NTE_BAD_PUBLIC_KEY); },
        &provider->stamp);
    if (error != 0) return Fail(error);
    provider->stamped = true;
    const HCRYPTPROV prov = AddProvider(std::move(provider));

    if (!cache) return hand_out(prov, key_spec, TRUE);
    // Calls on other threads may have kept a context for this certificate meanwhile: the
    // first one kept serves them all, so none loses a handle it is using.
    std::lock_guard<std::recursive_mutex> guard(KeptContextLock());
    if (KeptContext(pCert, kept)) {
      CryptReleaseContext(prov, 0);
      return hand_out(kept.hCryptProv, kept.dwKeySpec, FALSE);
    }
    CERT_KEY_CONTEXT context{sizeof(CERT_KEY_CONTEXT), prov, key_spec};
    const bool kept_now = CertSetCertificateContextProperty(pCert, CERT_KEY_CONTEXT_PROP_ID, 0, &context) != FALSE;
    return hand_out(prov, key_spec, kept_now ? FALSE : TRUE);
  });
}

}  // extern "C"
