// Certificate contexts: decoding a certificate into the Windows CERT_INFO shape, reference
// counting and creation.
#include "platform/core/api_guard.h"
#include "platform/certificates/cert_context.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include <openssl/err.h>
#include <openssl/sha.h>

#include "platform/codec/der.h"
#include "platform/core/last_error.h"
#include "platform/stores/store.h"

namespace vexorcsp {

// ---- PropertySet ---------------------------------------------------------------------------

bool PropertySet::Get(DWORD id, std::vector<BYTE>& out) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = values_.find(id);
  if (it == values_.end()) return false;
  out = it->second;
  return true;
}

bool PropertySet::Has(DWORD id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return values_.count(id) != 0;
}

namespace {

bool IsHandleProperty(DWORD id) {
  return id == CERT_KEY_PROV_HANDLE_PROP_ID || id == CERT_KEY_CONTEXT_PROP_ID ||
         id == CERT_NCRYPT_KEY_HANDLE_PROP_ID;
}

}  // namespace

PropertySet::~PropertySet() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& [id, owned] : owned_)
    if (owned) ReleaseHandle(id);
}

void PropertySet::ReleaseHandle(DWORD id) {
  auto owned = owned_.find(id);
  auto it = values_.find(id);
  if (owned == owned_.end() || !owned->second || it == values_.end()) return;
  owned->second = false;
  HCRYPTPROV prov = 0;
  if (id == CERT_KEY_PROV_HANDLE_PROP_ID && it->second.size() >= sizeof prov)
    std::memcpy(&prov, it->second.data(), sizeof prov);
  else if (id == CERT_KEY_CONTEXT_PROP_ID && it->second.size() >= sizeof(CERT_KEY_CONTEXT))
    std::memcpy(&prov, it->second.data() + offsetof(CERT_KEY_CONTEXT, hCryptProv), sizeof prov);
  if (prov != 0) CryptReleaseContext(prov, 0);
}

void PropertySet::Set(DWORD id, std::vector<BYTE> value, bool owns_handle) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (IsHandleProperty(id)) {
    // A new value of the same handle must not release the handle it keeps.
    auto it = values_.find(id);
    if (it == values_.end() || it->second != value) ReleaseHandle(id);
    owned_[id] = owns_handle;
  }
  values_[id] = std::move(value);
}

void PropertySet::Erase(DWORD id) {
  std::lock_guard<std::mutex> lock(mutex_);
  ReleaseHandle(id);
  owned_.erase(id);
  values_.erase(id);
}

std::map<DWORD, std::vector<BYTE>> PropertySet::Snapshot() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return values_;
}

void PropertySet::Inherit(const std::map<DWORD, std::vector<BYTE>>& other) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& [id, value] : other)
    if (!IsHandleProperty(id)) values_.emplace(id, value);
}

bool IsPersistedProperty(DWORD id) {
  // Handles and computed state never leave the process.
  switch (id) {
    case CERT_KEY_PROV_HANDLE_PROP_ID:
    case CERT_KEY_CONTEXT_PROP_ID:
    case CERT_ACCESS_STATE_PROP_ID:
    case CERT_NCRYPT_KEY_HANDLE_PROP_ID:
    case CERT_CERT_PROP_ID:
    case CERT_CRL_PROP_ID:
    case CERT_CTL_PROP_ID:
    case 0:
      return false;
    default:
      return true;
  }
}

std::map<DWORD, std::vector<BYTE>> PersistedProperties(const ContextCore& core) {
  std::map<DWORD, std::vector<BYTE>> all = core.props.Snapshot();
  for (auto it = all.begin(); it != all.end();) {
    if (!IsPersistedProperty(it->first))
      it = all.erase(it);
    else
      ++it;
  }
  return all;
}

// ---- Decoding helpers ----------------------------------------------------------------------

bool DecodeAlgorithm(const BYTE* p, size_t n, Arena& arena, CRYPT_ALGORITHM_IDENTIFIER& out) {
  der::Reader r(p, n);
  der::Tlv oid;
  std::string text;
  if (!r.Expect(der::kOid, oid) || !der::OidToText(oid.value, oid.length, text)) return false;
  out.pszObjId = arena.Text(std::move(text));
  out.Parameters = {};
  if (!r.empty()) {
    der::Tlv params;
    if (!r.Next(params)) return false;
    out.Parameters.cbData = static_cast<DWORD>(params.size);
    out.Parameters.pbData = const_cast<BYTE*>(params.start);
  }
  return r.empty();
}

bool DecodeExtensions(const BYTE* p, size_t n, Arena& arena, std::vector<CERT_EXTENSION>& out) {
  der::Reader seq(p, n);
  while (!seq.empty()) {
    der::Reader ext;
    if (!seq.Enter(der::kSequence, ext)) return false;
    der::Tlv oid, critical, value;
    bool has_critical = false;
    std::string text;
    if (!ext.Expect(der::kOid, oid) || !der::OidToText(oid.value, oid.length, text)) return false;
    if (!ext.Optional(der::kBoolean, critical, has_critical) && ext.error() != 0) return false;
    if (!ext.Expect(der::kOctetString, value) || !ext.ExpectEnd()) return false;
    CERT_EXTENSION e{};
    e.pszObjId = arena.Text(std::move(text));
    e.fCritical = has_critical && critical.length == 1 && critical.value[0] != 0;
    e.Value.cbData = static_cast<DWORD>(value.length);
    e.Value.pbData = const_cast<BYTE*>(value.value);
    out.push_back(e);
  }
  return true;
}

void ReverseInteger(const BYTE* p, size_t n, Arena& arena, CRYPT_INTEGER_BLOB& out) {
  std::vector<BYTE> le(p, p + n);
  std::reverse(le.begin(), le.end());
  out.cbData = static_cast<DWORD>(le.size());
  out.pbData = le.empty() ? nullptr : arena.Bytes(std::move(le));
}

namespace {

bool DecodeBits(const der::Tlv& t, CRYPT_BIT_BLOB& out) {
  if (t.length < 1 || t.value[0] > 7) return false;
  out.cUnusedBits = t.value[0];
  out.cbData = static_cast<DWORD>(t.length - 1);
  out.pbData = out.cbData ? const_cast<BYTE*>(t.value + 1) : nullptr;
  return true;
}

bool DecodeTime(der::Reader& r, FILETIME& out) {
  der::Tlv t;
  if (!r.Next(t)) return false;
  if (!DerTimeToFileTime(t.tag, t.value, t.length, out)) return r.Fail(der::kCorrupt);
  return true;
}

// TBSCertificate into CERT_INFO; pointers refer into the context's own encoding.
DWORD DecodeCertInfo(CertObject& c) {
  der::Reader top(c.core.encoded.data(), c.core.encoded.size());
  der::Reader cert, tbs;
  if (!top.Enter(der::kSequence, cert)) return top.error();
  if (!top.ExpectEnd()) return top.error();
  if (!cert.Enter(der::kSequence, tbs)) return cert.error();
  CERT_INFO& info = c.info;
  der::Tlv t;
  bool present = false;
  if (!tbs.Optional(0xA0, t, present) && tbs.error()) return tbs.error();
  info.dwVersion = 0;
  if (present) {
    der::Reader v = der::ContentsOf(t);
    der::Tlv num;
    if (!v.Expect(der::kInteger, num) || num.length != 1 || num.value[0] > 2)
      return static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT);
    info.dwVersion = num.value[0];
  }
  if (!tbs.Expect(der::kInteger, t)) return tbs.error();
  if (t.length == 0) return static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT);
  ReverseInteger(t.value, t.length, c.core.arena, info.SerialNumber);
  if (!tbs.Expect(der::kSequence, t)) return tbs.error();
  if (!DecodeAlgorithm(t.value, t.length, c.core.arena, info.SignatureAlgorithm))
    return static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT);
  if (!tbs.Expect(der::kSequence, t)) return tbs.error();
  info.Issuer = {static_cast<DWORD>(t.size), const_cast<BYTE*>(t.start)};
  der::Reader validity;
  if (!tbs.Enter(der::kSequence, validity)) return tbs.error();
  if (!DecodeTime(validity, info.NotBefore) || !DecodeTime(validity, info.NotAfter))
    return validity.error() ? validity.error() : static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT);
  if (!tbs.Expect(der::kSequence, t)) return tbs.error();
  info.Subject = {static_cast<DWORD>(t.size), const_cast<BYTE*>(t.start)};
  der::Reader spki;
  if (!tbs.Enter(der::kSequence, spki)) return tbs.error();
  if (!spki.Expect(der::kSequence, t)) return spki.error();
  if (!DecodeAlgorithm(t.value, t.length, c.core.arena, info.SubjectPublicKeyInfo.Algorithm))
    return static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT);
  if (!spki.Expect(der::kBitString, t) || !DecodeBits(t, info.SubjectPublicKeyInfo.PublicKey))
    return static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT);
  if (tbs.Optional(0x81, t, present) && present && !DecodeBits(t, info.IssuerUniqueId))
    return static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT);
  if (tbs.Optional(0x82, t, present) && present && !DecodeBits(t, info.SubjectUniqueId))
    return static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT);
  if (tbs.Optional(0xA3, t, present) && present) {
    der::Reader wrapper = der::ContentsOf(t);
    der::Tlv list;
    if (!wrapper.Expect(der::kSequence, list) || !wrapper.empty() ||
        !DecodeExtensions(list.value, list.length, c.core.arena, c.extensions))
      return static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT);
  }
  if (tbs.error()) return tbs.error();
  if (!tbs.ExpectEnd()) return tbs.error();
  // signatureAlgorithm and signatureValue close the certificate.
  der::Tlv outer_alg, signature;
  if (!cert.Expect(der::kSequence, outer_alg) || !cert.Expect(der::kBitString, signature) || !cert.ExpectEnd() ||
      signature.length == 0)
    return static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT);
  info.cExtension = static_cast<DWORD>(c.extensions.size());
  info.rgExtension = c.extensions.empty() ? nullptr : c.extensions.data();
  return 0;
}

}  // namespace

CertObject* NewCertObject(const BYTE* data, size_t size) {
  if (data == nullptr || size == 0) return FailNull<CertObject>(static_cast<DWORD>(CRYPT_E_ASN1_EOD));
  auto c = std::make_unique<CertObject>();
  c->core.encoded.assign(data, data + size);
  if (const DWORD err = DecodeCertInfo(*c); err != 0) return FailNull<CertObject>(err);
  if (!Sha1(c->core.encoded.data(), size, c->core.sha1)) return FailNull<CertObject>(static_cast<DWORD>(NTE_FAIL));
  c->dwCertEncodingType = X509_ASN_ENCODING;
  c->pbCertEncoded = c->core.encoded.data();
  c->cbCertEncoded = static_cast<DWORD>(size);
  c->pCertInfo = &c->info;
  c->hCertStore = nullptr;
  return c.release();
}

X509* CertObject::OpenSsl() {
  std::call_once(x509_once_, [this] {
    GostEngine();  // GOST public keys decode only with the engine's methods registered
    const BYTE* p = core.encoded.data();
    x509_.reset(d2i_X509(nullptr, &p, static_cast<long>(core.encoded.size())));
    if (x509_ && p != core.encoded.data() + core.encoded.size()) x509_.reset();
    ERR_clear_error();
  });
  return x509_.get();
}

template <typename Object>
void AddRef(Object* c) {
  c->core.refs.fetch_add(1);
  if (c->core.store) c->core.store->AddRef();
}

template <typename Object>
void Release(Object* c) {
  Store* store = c->core.store;
  if (c->core.refs.fetch_sub(1) == 1) delete c;
  if (store) store->Release();
}

template <typename Object>
void ReleaseMembership(Object* c) {
  if (c->core.refs.fetch_sub(1) == 1) delete c;
}

template void AddRef(CertObject*);
template void AddRef(CrlObject*);
template void Release(CertObject*);
template void Release(CrlObject*);
template void ReleaseMembership(CertObject*);
template void ReleaseMembership(CrlObject*);

}  // namespace vexorcsp

using namespace vexorcsp;

extern "C" {

PCCERT_CONTEXT CertCreateCertificateContext(DWORD dwCertEncodingType, const BYTE* pbCertEncoded,
                                            DWORD cbCertEncoded) {
  return ApiGuard<PCCERT_CONTEXT>(nullptr, [&]() -> PCCERT_CONTEXT {
    if (!(dwCertEncodingType & X509_ASN_ENCODING))
      return FailNull<const CERT_CONTEXT>(static_cast<DWORD>(E_INVALIDARG));
    return NewCertObject(pbCertEncoded, cbCertEncoded);
  });
}

PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT pCertContext) {
  return ApiGuard<PCCERT_CONTEXT>(nullptr, [&]() -> PCCERT_CONTEXT {
    if (pCertContext == nullptr) return nullptr;
    AddRef(AsObject(pCertContext));
    return pCertContext;
  });
}

BOOL CertFreeCertificateContext(PCCERT_CONTEXT pCertContext) {
  return ApiGuard([&]() -> BOOL {
    if (pCertContext != nullptr) Release(AsObject(pCertContext));
    return TRUE;
  });
}

BOOL CertCompareIntegerBlob(const CRYPT_INTEGER_BLOB* pInt1, const CRYPT_INTEGER_BLOB* pInt2) {
  return ApiGuard([&]() -> BOOL {
    if (pInt1 == nullptr || pInt2 == nullptr) return FALSE;
    // Little-endian: drop insignificant high bytes (0x00 before a clear sign bit, 0xFF before a
    // set one) at the end of each array.
    auto significant = [](const CRYPT_INTEGER_BLOB* b) {
      DWORD n = b->cbData;
      while (n > 1) {
        const BYTE top = b->pbData[n - 1];
        const BYTE next = b->pbData[n - 2];
        if ((top == 0x00 && !(next & 0x80)) || (top == 0xFF && (next & 0x80)))
          --n;
        else
          break;
      }
      return n;
    };
    const DWORD n1 = significant(pInt1);
    const DWORD n2 = significant(pInt2);
    return n1 == n2 && (n1 == 0 || std::memcmp(pInt1->pbData, pInt2->pbData, n1) == 0);
  });
}

BOOL CertCompareCertificateName(DWORD, PCERT_NAME_BLOB pCertName1, PCERT_NAME_BLOB pCertName2) {
  return ApiGuard([&]() -> BOOL {
    if (pCertName1 == nullptr || pCertName2 == nullptr) return FALSE;
    return pCertName1->cbData == pCertName2->cbData &&
           (pCertName1->cbData == 0 ||
            std::memcmp(pCertName1->pbData, pCertName2->pbData, pCertName1->cbData) == 0);
  });
}

LONG CertVerifyTimeValidity(LPFILETIME pTimeToVerify, PCERT_INFO pCertInfo) {
  return ApiGuard<LONG>(0, [&]() -> LONG {
    FILETIME now;
    if (pTimeToVerify == nullptr) {
      GetSystemTimeAsFileTime(&now);
      pTimeToVerify = &now;
    }
    if (CompareFileTime(pTimeToVerify, &pCertInfo->NotBefore) < 0) return -1;
    if (CompareFileTime(pTimeToVerify, &pCertInfo->NotAfter) > 0) return 1;
    return 0;
  });
}

PCERT_EXTENSION CertFindExtension(LPCSTR pszObjId, DWORD cExtensions, CERT_EXTENSION rgExtensions[]) {
  return ApiGuard<PCERT_EXTENSION>(nullptr, [&]() -> PCERT_EXTENSION {
    if (pszObjId == nullptr || (cExtensions != 0 && rgExtensions == nullptr))
      return FailNull<CERT_EXTENSION>(static_cast<DWORD>(E_INVALIDARG));
    for (DWORD i = 0; i < cExtensions; ++i)
      if (std::strcmp(rgExtensions[i].pszObjId, pszObjId) == 0) return &rgExtensions[i];
    return FailNull<CERT_EXTENSION>(static_cast<DWORD>(CRYPT_E_NOT_FOUND));
  });
}

}  // extern "C"
