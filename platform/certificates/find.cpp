// Certificate searches: CertFindCertificateInStore and the subject/issuer lookups. Every
// search consumes the caller's "previous" reference, found or not.
#include <cstring>


#include "platform/core/api_guard.h"
#include "text/text.h"
#include "platform/core/last_error.h"
#include "platform/certificates/names.h"
#include "platform/certificates/signed_by.h"
#include "platform/stores/store.h"

namespace vexorcsp {
namespace {

bool SameBlob(const CRYPT_DATA_BLOB& a, const CRYPT_DATA_BLOB& b) {
  return a.cbData == b.cbData && (a.cbData == 0 || std::memcmp(a.pbData, b.pbData, a.cbData) == 0);
}

// Does the search attribute match this name attribute (CertIsRDNAttrsInCertificateName)?
bool AttrMatches(const CERT_RDN_ATTR& want, const NameAttr& have, DWORD flags) {
  if (want.pszObjId != nullptr && have.oid != want.pszObjId) return false;
  const DWORD type = RdnValueType(have.tag);
  if (want.dwValueType != CERT_RDN_ANY_TYPE && want.dwValueType != type) return false;
  if (want.Value.pbData == nullptr) return true;
  std::u32string wanted, actual = AttrText(have);
  const bool wide_value = (flags & CERT_UNICODE_IS_RDN_ATTRS_FLAG) != 0;
  if (wide_value) {
    for (DWORD i = 0; i + 1 < want.Value.cbData; i += 2)
      wanted.push_back(char32_t(want.Value.pbData[i] | want.Value.pbData[i + 1] << 8));
  } else if (type == CERT_RDN_UTF8_STRING || type == CERT_RDN_BMP_STRING ||
             type == CERT_RDN_UNIVERSAL_STRING) {
    for (DWORD i = 0; i < want.Value.cbData; ++i) wanted.push_back(text::Cp1251ToCodePoint(want.Value.pbData[i]));
  } else {
    // 8-bit strings compare byte for byte.
    if (flags & CERT_CASE_INSENSITIVE_IS_RDN_ATTRS_FLAG) {
      for (DWORD i = 0; i < want.Value.cbData; ++i) wanted.push_back(want.Value.pbData[i]);
    } else {
      return want.Value.cbData == have.length &&
             (have.length == 0 || std::memcmp(want.Value.pbData, have.value, have.length) == 0);
    }
  }
  if (flags & CERT_CASE_INSENSITIVE_IS_RDN_ATTRS_FLAG) return FoldCase(wanted) == FoldCase(actual);
  return wanted == actual;
}

bool NameHasAttrs(const CERT_NAME_BLOB& name, const CERT_RDN& rdn, DWORD flags) {
  std::vector<Rdn> rdns;
  DWORD error;
  if (!ParseName(name.pbData, name.cbData, rdns, error)) return false;
  for (DWORD i = 0; i < rdn.cRDNAttr; ++i) {
    bool found = false;
    for (const Rdn& r : rdns) {
      for (const NameAttr& a : r)
        if (AttrMatches(rdn.rgRDNAttr[i], a, flags)) found = true;
    }
    if (!found) return false;
  }
  return true;
}

bool NameContainsText(const CERT_NAME_BLOB& name, const char* text) {
  std::string rendered;
  DWORD error;
  if (!FormatName(name.pbData, name.cbData, CERT_SIMPLE_NAME_STR, rendered, error)) return false;
  std::u32string hay, needle;
  for (unsigned char c : rendered) hay.push_back(text::Cp1251ToCodePoint(c));
  for (const char* p = text; *p; ++p) needle.push_back(text::Cp1251ToCodePoint(static_cast<unsigned char>(*p)));
  return FoldCase(hay).find(FoldCase(needle)) != std::u32string::npos;
}

// false with last error for a find type this platform does not know.
bool Matches(CertObject* c, DWORD type, DWORD flags, const void* para, bool& known) {
  known = true;
  const CERT_INFO& info = c->info;
  switch (type) {
    case CERT_FIND_ANY:
      return true;
    case CERT_FIND_SHA1_HASH: {
      const auto* blob = static_cast<const CRYPT_HASH_BLOB*>(para);
      return blob->cbData == 20 && std::memcmp(blob->pbData, c->core.sha1, 20) == 0;
    }
    case CERT_FIND_PROPERTY: {
      const DWORD id = *static_cast<const DWORD*>(para);
      return id == CERT_SHA1_HASH_PROP_ID || c->core.props.Has(id);
    }
    case CERT_FIND_PUBLIC_KEY: {
      const auto* key = static_cast<const CERT_PUBLIC_KEY_INFO*>(para);
      const CERT_PUBLIC_KEY_INFO& mine = info.SubjectPublicKeyInfo;
      return std::strcmp(key->Algorithm.pszObjId, mine.Algorithm.pszObjId) == 0 &&
             key->PublicKey.cbData == mine.PublicKey.cbData &&
             std::memcmp(key->PublicKey.pbData, mine.PublicKey.pbData, mine.PublicKey.cbData) == 0;
    }
    case CERT_FIND_SUBJECT_NAME:
      return SameBlob(info.Subject, *static_cast<const CERT_NAME_BLOB*>(para));
    case CERT_FIND_ISSUER_NAME:
      return SameBlob(info.Issuer, *static_cast<const CERT_NAME_BLOB*>(para));
    case CERT_FIND_SUBJECT_ATTR:
      return NameHasAttrs(info.Subject, *static_cast<const CERT_RDN*>(para), flags);
    case CERT_FIND_ISSUER_ATTR:
      return NameHasAttrs(info.Issuer, *static_cast<const CERT_RDN*>(para), flags);
    case CERT_FIND_SUBJECT_STR_A:
      return NameContainsText(info.Subject, static_cast<const char*>(para));
    case CERT_FIND_ISSUER_STR_A:
      return NameContainsText(info.Issuer, static_cast<const char*>(para));
    case CERT_FIND_SUBJECT_CERT: {
      const auto* id = static_cast<const CERT_INFO*>(para);
      return SameBlob(info.Issuer, id->Issuer) && CertCompareIntegerBlob(&info.SerialNumber, &id->SerialNumber);
    }
    case CERT_FIND_ISSUER_OF: {
      const auto* subject = static_cast<PCCERT_CONTEXT>(para);
      return SameBlob(info.Subject, subject->pCertInfo->Issuer);
    }
    case CERT_FIND_EXISTING: {
      const auto* other = static_cast<PCCERT_CONTEXT>(para);
      return std::memcmp(AsObject(other)->core.sha1, c->core.sha1, 20) == 0;
    }
    default:
      known = false;
      return false;
  }
}

}  // namespace

// Exposed for the chain builder: the next certificate of `store` after `prev` that matches.
PCCERT_CONTEXT FindCertificate(Store& s, DWORD flags, DWORD type, const void* para, PCCERT_CONTEXT prev) {
  CertObject* found = nullptr;
  bool known = true;
  {
    std::lock_guard<std::recursive_mutex> lock(s.mutex());
    std::vector<CertObject*>& list = s.certs();
    for (size_t i = IndexAfter<CertObject>(list, prev != nullptr ? AsObject(prev) : nullptr); i < list.size();
         ++i) {
      if (Matches(list[i], type, flags, para, known)) {
        found = list[i];
        AddRef(found);
        break;
      }
      if (!known) break;
    }
  }
  if (prev != nullptr) Release(AsObject(prev));
  if (!known) return FailNull<const CERT_CONTEXT>(static_cast<DWORD>(E_INVALIDARG));
  if (found == nullptr) return FailNull<const CERT_CONTEXT>(static_cast<DWORD>(CRYPT_E_NOT_FOUND));
  return found;
}

}  // namespace vexorcsp

using namespace vexorcsp;

extern "C" {

PCCERT_CONTEXT CertFindCertificateInStore(HCERTSTORE hCertStore, DWORD, DWORD dwFindFlags,
                                          DWORD dwFindType, const void* pvFindPara,
                                          PCCERT_CONTEXT pPrevCertContext) {
  return ApiGuard<PCCERT_CONTEXT>(nullptr, [&]() -> PCCERT_CONTEXT {
    Store* s = Store::FromHandle(hCertStore);
    if (s == nullptr || (dwFindType != CERT_FIND_ANY && pvFindPara == nullptr)) {
      if (pPrevCertContext) Release(AsObject(pPrevCertContext));
      return FailNull<const CERT_CONTEXT>(s == nullptr ? ERROR_INVALID_HANDLE : static_cast<DWORD>(E_INVALIDARG));
    }
    return FindCertificate(*s, dwFindFlags, dwFindType, pvFindPara, pPrevCertContext);
  });
}

PCCERT_CONTEXT CertGetSubjectCertificateFromStore(HCERTSTORE hCertStore, DWORD, PCERT_INFO pCertId) {
  return ApiGuard<PCCERT_CONTEXT>(nullptr, [&]() -> PCCERT_CONTEXT {
    if (pCertId == nullptr) return FailNull<const CERT_CONTEXT>(static_cast<DWORD>(E_INVALIDARG));
    Store* s = Store::FromHandle(hCertStore);
    if (s == nullptr) return FailNull<const CERT_CONTEXT>(ERROR_INVALID_HANDLE);
    return FindCertificate(*s, 0, CERT_FIND_SUBJECT_CERT, pCertId, nullptr);
  });
}

PCCERT_CONTEXT CertGetIssuerCertificateFromStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pSubjectContext,
                                                 PCCERT_CONTEXT pPrevIssuerContext, DWORD* pdwFlags) {
  return ApiGuard<PCCERT_CONTEXT>(nullptr, [&]() -> PCCERT_CONTEXT {
    Store* s = Store::FromHandle(hCertStore);
    if (s == nullptr || pSubjectContext == nullptr) {
      if (pPrevIssuerContext) Release(AsObject(pPrevIssuerContext));
      return FailNull<const CERT_CONTEXT>(static_cast<DWORD>(E_INVALIDARG));
    }
    PCCERT_CONTEXT issuer = FindCertificate(*s, 0, CERT_FIND_ISSUER_OF, pSubjectContext, pPrevIssuerContext);
    if (issuer != nullptr && pdwFlags != nullptr) {
      if (*pdwFlags & CERT_STORE_SIGNATURE_FLAG) {
        if (CertSignedBy(pSubjectContext, issuer)) *pdwFlags &= ~static_cast<DWORD>(CERT_STORE_SIGNATURE_FLAG);
      }
      if (*pdwFlags & CERT_STORE_TIME_VALIDITY_FLAG) {
        if (CertVerifyTimeValidity(nullptr, pSubjectContext->pCertInfo) == 0)
          *pdwFlags &= ~static_cast<DWORD>(CERT_STORE_TIME_VALIDITY_FLAG);
      }
    }
    return issuer;
  });
}

}  // extern "C"
