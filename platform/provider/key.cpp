// Key handles: generation, the exchange key of a container, public keys from certificates
// and blobs, agreement keys, session keys wrapped and unwrapped with the CryptoPro key wrap,
// and key parameters.
#include "platform/provider/key.h"

#include "platform/provider/gost_vko2012.h"

#include "platform/codec/der.h"

#include <cstring>

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include "platform/core/handle_table.h"
#include "platform/provider/key_blob.h"
#include "platform/core/api_guard.h"
#include "platform/core/last_error.h"
#include "platform/core/out_param.h"
#include "vexor/platform_prov.h"

namespace vexorcsp {
namespace {

using Keys = HandleTable<Key>;

BOOL Publish(KeyRef key, HCRYPTKEY* out) {
  *out = Keys::Instance().Add(std::move(key));
  return TRUE;
}

bool Random(uint8_t* p, size_t n) { return RAND_bytes(p, int(n)) == 1; }

KeyRef NewSessionKey(const ProviderRef& provider, const uint8_t* secret, const std::string& oid,
                     bool exportable) {
  auto key = std::make_shared<Key>();
  key->kind = KeyKind::kSession;
  key->alg = CALG_G28147;
  key->provider = provider;
  key->secret = SecretBytes(secret, gost89::kKeySize);
  key->cipher_oid = oid;
  key->exportable = exportable;
  if (!Random(key->iv.data(), key->iv.size())) return nullptr;
  return key;
}

// The agreement KEK for the UKM (VKO of the keys' generation); false when the keys do not
// agree on a curve.
bool AgreementKek(Key& agreement, const uint8_t* ukm, uint8_t* kek) {
  return TransportKek(agreement.pkey.get(), agreement.peer.get(), ukm, kek);
}

std::string CurveOf(EVP_PKEY* pkey) {
  RawPublicKey raw;
  return ExtractPublic(pkey, raw) ? raw.params.curve : std::string();
}

BOOL ImportPublicKeyBlob(const ProviderRef& provider, const BYTE* data, DWORD len,
                         HCRYPTKEY hPubKey, HCRYPTKEY* phKey) {
  PublicKeyBlob blob;
  DWORD error = 0;
  if (!ParsePublicKeyBlob(data, len, blob, error)) return Fail(error);
  KeyFamily family;
  if (!FamilyOfAlg(blob.alg, family)) return Fail(DWORD(NTE_BAD_ALGID));
  EvpPkeyPtr pub = PublicKeyFromRaw(blob.params, blob.key.data(), family);
  if (!pub) return Fail(DWORD(NTE_BAD_DATA));  // not a point of the named curve
  if (hPubKey == 0) {
    auto key = std::make_shared<Key>();
    key->kind = KeyKind::kPublic;
    key->alg = blob.alg;
    key->provider = provider;
    key->pkey = std::move(pub);
    return Publish(std::move(key), phKey);
  }
  // With an own private key as the import key the result is an agreement key.
  KeyRef own = LookupKey(hPubKey);
  if (!own || own->kind != KeyKind::kPrivate) return Fail(DWORD(NTE_BAD_KEY));
  std::lock_guard<std::mutex> lock(own->mu);
  KeyFamily own_family;
  if (!FamilyOfKey(own->pkey.get(), own_family) || own_family != family)
    return Fail(DWORD(NTE_BAD_KEY));  // no agreement across generations or sizes
  const std::string own_curve = CurveOf(own->pkey.get());
  if (own_curve != blob.params.curve && own->alg == FamilyEphemeralAlg(family) &&
      !own->public_exported) {
    // An ephemeral key nobody has seen yet takes the peer's parameter set, so that the peer
    // (which may compare parameter-set names, as the GOST engine does) accepts it.
    EvpPkeyPtr fresh = GenerateKey(blob.params.curve, family);
    if (!fresh) return Fail(DWORD(NTE_FAIL));
    own->pkey = std::move(fresh);
  } else if (CanonicalCurve(own_curve) != CanonicalCurve(blob.params.curve)) {
    return Fail(DWORD(NTE_BAD_KEY));  // no agreement across curves
  }
  auto key = std::make_shared<Key>();
  key->kind = KeyKind::kAgreement;
  key->alg = CALG_PRO_EXPORT;
  key->provider = provider;
  key->pkey = UpRef(own->pkey.get());
  key->peer = std::move(pub);
  if (!Random(key->iv.data(), key->iv.size())) return Fail(DWORD(NTE_FAIL));
  return Publish(std::move(key), phKey);
}

BOOL ImportSimpleBlob(const ProviderRef& provider, const BYTE* data, DWORD len,
                      HCRYPTKEY hPubKey, DWORD flags, HCRYPTKEY* phKey) {
  KeyRef agreement = LookupKey(hPubKey);
  if (!agreement || agreement->kind != KeyKind::kAgreement) return Fail(DWORD(NTE_BAD_KEY));
  SimpleBlob blob;
  DWORD error = 0;
  if (!ParseSimpleBlob(data, len, blob, error)) return Fail(error);
  const gost89::ParamSet* params = gost89::FindParamSet(blob.cipher_oid);
  if (params == nullptr) return Fail(DWORD(NTE_BAD_ALGID));
  std::lock_guard<std::mutex> lock(agreement->mu);
  SecretBytes kek(gost89::kKeySize), cek(gost89::kKeySize);
  if (!AgreementKek(*agreement, blob.ukm.data(), kek.data())) return Fail(DWORD(NTE_BAD_KEY));
  gost89::Wrapped wrapped;
  std::memcpy(wrapped.enc, blob.encrypted_key.data(), sizeof(wrapped.enc));
  std::memcpy(wrapped.mac, blob.mac.data(), sizeof(wrapped.mac));
  if (!gost89::UnwrapKey(*params, kek.data(), blob.ukm.data(), wrapped, cek.data(),
                         agreement->alg == CALG_PRO_EXPORT))
    return Fail(DWORD(NTE_BAD_DATA));  // the MAC of the key does not match
  KeyRef key = NewSessionKey(provider, cek.data(), blob.cipher_oid, flags & CRYPT_EXPORTABLE);
  if (!key) return Fail(DWORD(NTE_FAIL));
  return Publish(std::move(key), phKey);
}

// BLOBHEADER, DWORD key length, key bytes: a session key given in the clear.
BOOL ImportPlainKey(const ProviderRef& provider, const BYTE* data, DWORD len, DWORD flags,
                    HCRYPTKEY* phKey) {
  der::Reader r(data, len);
  uint8_t type, version;
  uint16_t reserved;
  uint32_t alg, key_len;
  const uint8_t* bytes;
  if (!r.U8(type) || !r.U8(version) || !r.U16LE(reserved) || !r.U32LE(alg) || !r.U32LE(key_len))
    return Fail(DWORD(NTE_BAD_DATA));
  if (alg != CALG_G28147) return Fail(DWORD(NTE_BAD_ALGID));
  if (key_len != gost89::kKeySize || !r.Bytes(key_len, bytes) || !r.ExpectEnd())
    return Fail(DWORD(NTE_BAD_DATA));
  KeyRef key = NewSessionKey(provider, bytes, gost89::kCryptoProA, flags & CRYPT_EXPORTABLE);
  if (!key) return Fail(DWORD(NTE_FAIL));
  return Publish(std::move(key), phKey);
}

BOOL ExportPublicKey(Key& key, BYTE* pbData, DWORD* pdwDataLen) {
  if (key.kind != KeyKind::kPrivate && key.kind != KeyKind::kPublic)
    return Fail(DWORD(NTE_BAD_KEY));
  RawPublicKey raw;
  if (!ExtractPublic(key.pkey.get(), raw)) return Fail(DWORD(NTE_BAD_KEY));
  PublicKeyBlob blob;
  blob.alg = key.alg;
  blob.params = raw.params;
  blob.key = std::move(raw.key);
  const std::vector<uint8_t> out = WritePublicKeyBlob(blob);
  if (!CopyOut(out.data(), out.size(), pbData, pdwDataLen)) return FALSE;
  if (pbData != nullptr) key.public_exported = true;
  return TRUE;
}

BOOL ExportSimpleBlob(Key& session, HCRYPTKEY hExpKey, BYTE* pbData, DWORD* pdwDataLen) {
  if (session.kind != KeyKind::kSession) return Fail(DWORD(NTE_BAD_KEY));
  if (!session.exportable) return Fail(DWORD(NTE_BAD_KEY_STATE));
  KeyRef agreement = LookupKey(hExpKey);
  if (!agreement || agreement->kind != KeyKind::kAgreement) return Fail(DWORD(NTE_BAD_KEY));
  const gost89::ParamSet* params = gost89::FindParamSet(session.cipher_oid);
  if (params == nullptr) return Fail(DWORD(NTE_BAD_ALGID));
  std::lock_guard<std::mutex> lock(agreement->mu);
  SimpleBlob blob;
  blob.key_alg = CALG_G28147;
  blob.encrypt_alg = CALG_G28147;
  blob.ukm = agreement->iv;
  blob.cipher_oid = session.cipher_oid;
  SecretBytes kek(gost89::kKeySize);
  if (!AgreementKek(*agreement, blob.ukm.data(), kek.data())) return Fail(DWORD(NTE_BAD_KEY));
  const gost89::Wrapped wrapped =
      gost89::WrapKey(*params, kek.data(), blob.ukm.data(), session.secret.data(),
                      agreement->alg == CALG_PRO_EXPORT);
  std::memcpy(blob.encrypted_key.data(), wrapped.enc, sizeof(wrapped.enc));
  std::memcpy(blob.mac.data(), wrapped.mac, sizeof(wrapped.mac));
  const std::vector<uint8_t> out = WriteSimpleBlob(blob);
  return CopyOut(out.data(), out.size(), pbData, pdwDataLen);
}

}  // namespace

KeyRef LookupKey(HCRYPTKEY h) { return Keys::Instance().Get(h); }

}  // namespace vexorcsp

using namespace vexorcsp;

extern "C" {

BOOL CryptGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey) {
  return ApiGuard([&]() -> BOOL {
    if (phUserKey == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    ProviderRef provider = LookupProvider(hProv);
    if (!provider) return Fail(DWORD(NTE_BAD_UID));
    // GOST containers hold one key, the exchange key, which also signs.
    if (dwKeySpec != AT_KEYEXCHANGE) return Fail(DWORD(NTE_NO_KEY));
    DWORD error = 0;
    EvpPkeyPtr pkey = ContainerKey(*provider, error);
    if (!pkey) return Fail(error);
    KeyFamily family;
    if (!FamilyOfKey(pkey.get(), family)) return Fail(DWORD(NTE_BAD_KEY));
    auto key = std::make_shared<Key>();
    key->kind = KeyKind::kPrivate;
    key->alg = FamilyExchangeAlg(family);
    key->provider = provider;
    key->pkey = std::move(pkey);
    return Publish(std::move(key), phUserKey);
  });
}

BOOL CryptGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY* phKey) {
  return ApiGuard([&]() -> BOOL {
    if (phKey == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    ProviderRef provider = LookupProvider(hProv);
    if (!provider) return Fail(DWORD(NTE_BAD_UID));
    // Key pairs: AT_KEYEXCHANGE makes one of the provider type's family.
    KeyFamily family = provider->family;
    if (Algid != AT_KEYEXCHANGE && Algid != CALG_G28147 && !FamilyOfAlg(Algid, family))
      return Fail(DWORD(NTE_BAD_ALGID));
    if (Algid == FamilyEphemeralAlg(family)) {
      auto key = std::make_shared<Key>();
      key->kind = KeyKind::kPrivate;
      key->alg = Algid;
      key->provider = provider;
      key->pkey = GenerateKey(family == KeyFamily::k2012_512 ? "" : kDefaultExchangeCurve, family);
      if (!key->pkey) return Fail(DWORD(NTE_FAIL));
      return Publish(std::move(key), phKey);
    }
    if (Algid == AT_KEYEXCHANGE || Algid == FamilyExchangeAlg(family)) {
      if (provider->container.empty()) return Fail(DWORD(NTE_BAD_KEYSET));
      EvpPkeyPtr pkey = GenerateKey("", family);
      if (!pkey) return Fail(DWORD(NTE_FAIL));
      auto key = std::make_shared<Key>();
      key->kind = KeyKind::kPrivate;
      key->alg = FamilyExchangeAlg(family);
      key->provider = provider;
      key->pkey = UpRef(pkey.get());
      const DWORD error = SetContainerKey(*provider, std::move(pkey));
      if (error != 0) return Fail(error);
      return Publish(std::move(key), phKey);
    }
    switch (Algid) {
      case CALG_G28147: {
        SecretBytes secret(gost89::kKeySize);
        if (!Random(secret.data(), secret.size())) return Fail(DWORD(NTE_FAIL));
        KeyRef key = NewSessionKey(provider, secret.data(), gost89::kCryptoProA,
                                   dwFlags & CRYPT_EXPORTABLE);
        if (!key) return Fail(DWORD(NTE_FAIL));
        return Publish(std::move(key), phKey);
      }
      default:
        return Fail(DWORD(NTE_BAD_ALGID));
    }
  });
}

BOOL CryptImportPublicKeyInfo(HCRYPTPROV hCryptProv, DWORD, PCERT_PUBLIC_KEY_INFO pInfo,
                              HCRYPTKEY* phKey) {
  return ApiGuard([&]() -> BOOL {
    if (pInfo == nullptr || phKey == nullptr || pInfo->Algorithm.pszObjId == nullptr)
      return Fail(ERROR_INVALID_PARAMETER);
    ProviderRef provider = LookupProvider(hCryptProv);
    if (!provider) return Fail(DWORD(NTE_BAD_UID));
    KeyFamily family;
    if (!der::GostKeyKindOfOid(pInfo->Algorithm.pszObjId, family)) return Fail(DWORD(NTE_BAD_ALGID));
    KeyParams params;
    if (!ParseKeyParams(pInfo->Algorithm.Parameters.pbData, pInfo->Algorithm.Parameters.cbData,
                        params))
      return Fail(DWORD(NTE_BAD_DATA));
    // The BIT STRING holds an OCTET STRING with X || Y.
    der::Reader r(pInfo->PublicKey.pbData, pInfo->PublicKey.cbData);
    der::Tlv point;
    if (!r.Expect(der::kOctetString, point) || point.length != PointBytes(family) || !r.ExpectEnd())
      return Fail(DWORD(NTE_BAD_PUBLIC_KEY));
    EvpPkeyPtr pub = PublicKeyFromRaw(params, point.value, family);
    if (!pub) return Fail(DWORD(NTE_BAD_PUBLIC_KEY));
    auto key = std::make_shared<Key>();
    key->kind = KeyKind::kPublic;
    key->alg = FamilySignAlg(family);
    key->provider = provider;
    key->pkey = std::move(pub);
    return Publish(std::move(key), phKey);
  });
}

BOOL CryptImportKey(HCRYPTPROV hProv, const BYTE* pbData, DWORD dwDataLen, HCRYPTKEY hPubKey,
                    DWORD dwFlags, HCRYPTKEY* phKey) {
  return ApiGuard([&]() -> BOOL {
    if (phKey == nullptr || pbData == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    ProviderRef provider = LookupProvider(hProv);
    if (!provider) return Fail(DWORD(NTE_BAD_UID));
    if (dwDataLen < 8) return Fail(DWORD(NTE_BAD_DATA));
    switch (pbData[0]) {
      case PUBLICKEYBLOB:
        return ImportPublicKeyBlob(provider, pbData, dwDataLen, hPubKey, phKey);
      case SIMPLEBLOB:
        return ImportSimpleBlob(provider, pbData, dwDataLen, hPubKey, dwFlags, phKey);
      case PLAINTEXTKEYBLOB:
        if (hPubKey != 0) return Fail(DWORD(NTE_BAD_KEY));
        return ImportPlainKey(provider, pbData, dwDataLen, dwFlags, phKey);
      default:
        return Fail(DWORD(NTE_BAD_TYPE));
    }
  });
}

BOOL CryptExportKey(HCRYPTKEY hKey, HCRYPTKEY hExpKey, DWORD dwBlobType, DWORD dwFlags,
                    BYTE* pbData, DWORD* pdwDataLen) {
  return ApiGuard([&]() -> BOOL {
    if (pdwDataLen == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    KeyRef key = LookupKey(hKey);
    if (!key) return Fail(DWORD(NTE_BAD_KEY));
    if (dwFlags != 0) return Fail(DWORD(NTE_BAD_FLAGS));
    switch (dwBlobType) {
      case PUBLICKEYBLOB: {
        if (hExpKey != 0) return Fail(DWORD(NTE_BAD_KEY));
        std::lock_guard<std::mutex> lock(key->mu);
        return ExportPublicKey(*key, pbData, pdwDataLen);
      }
      case SIMPLEBLOB: {
        if (hExpKey == hKey) return Fail(DWORD(NTE_BAD_KEY));
        std::lock_guard<std::mutex> lock(key->mu);
        return ExportSimpleBlob(*key, hExpKey, pbData, pdwDataLen);
      }
      default:
        return Fail(DWORD(NTE_BAD_TYPE));
    }
  });
}

BOOL CryptGetKeyParam(HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                      DWORD dwFlags) {
  return ApiGuard([&]() -> BOOL {
    KeyRef key = LookupKey(hKey);
    if (!key) return Fail(DWORD(NTE_BAD_KEY));
    if (dwFlags != 0) return Fail(DWORD(NTE_BAD_FLAGS));
    std::lock_guard<std::mutex> lock(key->mu);
    const bool session = key->kind == KeyKind::kSession;
    switch (dwParam) {
      case KP_ALGID: {
        const DWORD alg = key->alg;
        return CopyOut(&alg, sizeof(alg), pbData, pdwDataLen);
      }
      case KP_IV:
        if (!session && key->kind != KeyKind::kAgreement) return Fail(DWORD(NTE_BAD_TYPE));
        return CopyOut(key->iv.data(), key->iv.size(), pbData, pdwDataLen);
      case KP_MODE: {
        if (!session) return Fail(DWORD(NTE_BAD_TYPE));
        const DWORD mode = key->mode;
        return CopyOut(&mode, sizeof(mode), pbData, pdwDataLen);
      }
      case KP_KEYLEN: {
        KeyFamily family = KeyFamily::k2001;
        if (!session && key->pkey) FamilyOfKey(key->pkey.get(), family);
        const DWORD bits = DWORD(session ? gost89::kKeySize * 8 : PointBytes(family) * 8);
        return CopyOut(&bits, sizeof(bits), pbData, pdwDataLen);
      }
      case KP_CIPHEROID:
        if (!session) return Fail(DWORD(NTE_BAD_TYPE));
        return CopyOut(key->cipher_oid.c_str(), key->cipher_oid.size() + 1, pbData, pdwDataLen);
      default:
        return Fail(DWORD(NTE_BAD_TYPE));
    }
  });
}

BOOL CryptSetKeyParam(HCRYPTKEY hKey, DWORD dwParam, const BYTE* pbData, DWORD dwFlags) {
  return ApiGuard([&]() -> BOOL {
    KeyRef key = LookupKey(hKey);
    if (!key) return Fail(DWORD(NTE_BAD_KEY));
    if (pbData == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    if (dwFlags != 0) return Fail(DWORD(NTE_BAD_FLAGS));
    std::lock_guard<std::mutex> lock(key->mu);
    const bool session = key->kind == KeyKind::kSession;
    switch (dwParam) {
      case KP_IV:
        if (!session && key->kind != KeyKind::kAgreement) return Fail(DWORD(NTE_BAD_TYPE));
        std::memcpy(key->iv.data(), pbData, key->iv.size());
        key->stream.reset();
        return TRUE;
      case KP_MODE: {
        if (!session) return Fail(DWORD(NTE_BAD_TYPE));
        DWORD mode;
        std::memcpy(&mode, pbData, sizeof(mode));
        if (mode != CRYPT_MODE_CFB && mode != CRYPT_MODE_ECB && mode != CRYPT_MODE_OFB)
        return Fail(DWORD(NTE_BAD_DATA));
        key->mode = mode;
        key->stream.reset();
        return TRUE;
      }
      case KP_ALGID: {
        DWORD alg;
        std::memcpy(&alg, pbData, sizeof(alg));
        if (key->kind != KeyKind::kAgreement) return Fail(DWORD(NTE_BAD_TYPE));
        if (alg != CALG_PRO_EXPORT && alg != CALG_SIMPLE_EXPORT) return Fail(DWORD(NTE_BAD_ALGID));
        key->alg = alg;
        return TRUE;
      }
      case KP_CIPHEROID: {
        if (!session) return Fail(DWORD(NTE_BAD_TYPE));
        const std::string oid = reinterpret_cast<const char*>(pbData);
        if (gost89::FindParamSet(oid) == nullptr) return Fail(DWORD(NTE_BAD_DATA));
        key->cipher_oid = oid;
        key->stream.reset();
        return TRUE;
      }
      default:
        return Fail(DWORD(NTE_BAD_TYPE));
    }
  });
}

BOOL CryptDestroyKey(HCRYPTKEY hKey) {
  return ApiGuard([&]() -> BOOL {
    if (!Keys::Instance().Remove(hKey)) return Fail(DWORD(NTE_BAD_KEY));
    return TRUE;
  });
}

}  // extern "C"
