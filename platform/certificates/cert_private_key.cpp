// CryptAcquireCertificatePrivateKey: from a certificate to the provider context of its key
// container, found through the certificate's key-provider property. The library passes 5
// (cache + compare-key) and 69 (the same, silent); the container is always found through
// the property, whatever the flags say.
#include <cstring>
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
bool SameKey(PCCERT_CONTEXT cert, const std::string& container) {
  ContainerInfo info;
  if (ReadContainerInfo(container, info) != 0 || !info.has_key) return false;
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

    std::vector<uint64_t> buffer;
    if (cache && GetProperty(pCert, CERT_KEY_CONTEXT_PROP_ID, buffer)) {
      CERT_KEY_CONTEXT cached;
      std::memcpy(&cached, buffer.data(), sizeof(cached));
      if (LookupProvider(cached.hCryptProv)) {
        *phCryptProv = cached.hCryptProv;
        if (pdwKeySpec) *pdwKeySpec = cached.dwKeySpec;
        if (pfCallerFreeProv) *pfCallerFreeProv = FALSE;
        return TRUE;
      }
    }

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

    // The provider name recorded on Windows is another vendor's; the container is ours.
    HCRYPTPROV prov = 0;
    if (!CryptAcquireContextA(&prov, container.c_str(), nullptr, info->dwProvType,
                              silent ? CRYPT_SILENT : 0))
      return FALSE;
    if ((dwFlags & CRYPT_ACQUIRE_COMPARE_KEY_FLAG) && !SameKey(pCert, container)) {
      CryptReleaseContext(prov, 0);
      return Fail(DWORD(NTE_BAD_PUBLIC_KEY));
    }
    // The key is opened now, so a PIN that cannot be given fails here, cleanly, rather than
    // at the first signature.
    DWORD error = 0;
    if (!ContainerKey(*LookupProvider(prov), error)) {
      CryptReleaseContext(prov, 0);
      return Fail(error);
    }

    BOOL caller_frees = TRUE;
    if (cache) {
      CERT_KEY_CONTEXT context{sizeof(CERT_KEY_CONTEXT), prov, key_spec};
      if (CertSetCertificateContextProperty(pCert, CERT_KEY_CONTEXT_PROP_ID, 0, &context))
        caller_frees = FALSE;
    }
    *phCryptProv = prov;
    if (pdwKeySpec) *pdwKeySpec = key_spec;
    if (pfCallerFreeProv) *pfCallerFreeProv = caller_frees;
    return TRUE;
  });
}

}  // extern "C"
