#include "tools/vexor/certificates.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <sstream>
#include <vector>

#include "support/bindata.h"
#include "text/text.h"
#include "tools/vexor/io.h"

bool LoadDerFile(const std::string& path, const char* pem_label, std::string& der) {
  std::string bytes;
  if (!ReadWholeFile(path, bytes) || bytes.empty()) return false;
  if (bytes.find("-----BEGIN") == std::string::npos) {
    der = bytes;
    return true;
  }
  CBinData text(reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<uint32_t>(bytes.size()));
  const std::string begin = std::string("-----BEGIN ") + pem_label + "-----";
  const std::string end = std::string("-----END ") + pem_label + "-----";
  const std::string body = text.Between(begin.c_str(), end.c_str());
  CBinData decoded;
  if (body.empty() || !CBase64().Decode(body.c_str(), decoded) || decoded.size() == 0) return false;
  der.assign(reinterpret_cast<const char*>(decoded.data()), decoded.size());
  return true;
}

std::string DerToPem(const std::string& der, const char* label) {
  std::ostringstream pem;
  PemWriteBuf encoder(pem, label);
  encoder.sputn(der.data(), static_cast<std::streamsize>(der.size()));
  encoder.Finish();
  return pem.str();
}

std::string ThumbprintHex(PCCERT_CONTEXT cert) {
  BYTE hash[20];
  DWORD len = sizeof(hash);
  if (!CertGetCertificateContextProperty(cert, CERT_HASH_PROP_ID, hash, &len) || len != 20) return {};
  std::string hex;
  char two[3];
  for (BYTE b : hash) {
    std::snprintf(two, sizeof(two), "%02X", b);
    hex += two;
  }
  return hex;
}

std::string CommonName(PCCERT_CONTEXT cert) {
  char name[1024] = {0};
  CertGetNameStringA(cert, CERT_NAME_ATTR_TYPE, 0, const_cast<char*>("2.5.4.3"), name, sizeof(name));
  return text::Cp1251ToUtf8(name);
}

const KeyAlgorithm* KeyAlgorithmOf(PCCERT_CONTEXT cert) {
  static const KeyAlgorithm kKnown[] = {
      {der::GostKeyKind::k2001, "GOST R 34.10-2001", PROV_GOST_2001_DH},
      {der::GostKeyKind::k2012_256, "GOST R 34.10-2012 256", PROV_GOST_2012_256},
      {der::GostKeyKind::k2012_512, "GOST R 34.10-2012 512", PROV_GOST_2012_512}};
  der::GostKeyKind kind;
  if (!der::GostKeyKindOfOid(cert->pCertInfo->SubjectPublicKeyInfo.Algorithm.pszObjId, kind)) return nullptr;
  for (const KeyAlgorithm& k : kKnown)
    if (k.kind == kind) return &k;
  return nullptr;
}

std::string KeyAlgorithmName(PCCERT_CONTEXT cert) {
  if (const KeyAlgorithm* k = KeyAlgorithmOf(cert)) return k->name;
  const char* oid = cert->pCertInfo->SubjectPublicKeyInfo.Algorithm.pszObjId;
  return oid != nullptr ? oid : "";
}

namespace {

std::string FileTimeText(const FILETIME& ft) {
  const uint64_t ticks = (uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  const time_t t = static_cast<time_t>(ticks / 10000000ull) - 11644473600LL;
  std::tm tm{};
  gmtime_r(&t, &tm);
  char text[32];
  std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &tm);
  return text;
}

}  // namespace

std::string DescribeCertificate(PCCERT_CONTEXT cert) {
  char subject[2048] = {0};
  CertNameToStrA(X509_ASN_ENCODING, &cert->pCertInfo->Subject, CERT_X500_NAME_STR, subject, sizeof(subject));
  return ThumbprintHex(cert) + "  " + text::Cp1251ToUtf8(subject) + "\n    valid " +
         FileTimeText(cert->pCertInfo->NotBefore) + " .. " + FileTimeText(cert->pCertInfo->NotAfter) + " UTC" +
         "\n    key " + KeyAlgorithmName(cert);
}

bool IsSystemStoreName(const std::string& name) { return name == "My" || name == "Root" || name == "CA"; }

HCERTSTORE OpenNamedStore(const std::string& name, DWORD location) {
  if (IsSystemStoreName(name)) {
    const std::u16string wide(name.begin(), name.end());
    return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, location, wide.c_str());
  }
  return CertOpenStore(CERT_STORE_PROV_FILENAME_A, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                       CERT_STORE_CREATE_NEW_FLAG | CERT_STORE_OPEN_EXISTING_FLAG, name.c_str());
}

bool SaveFileStore(HCERTSTORE store, const std::string& path) {
  return CertSaveStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, CERT_STORE_SAVE_AS_STORE,
                       CERT_STORE_SAVE_TO_FILENAME_A, const_cast<char*>(path.c_str()), 0) != 0;
}

std::string ChainTrouble(PCCERT_CONTEXT cert, HCERTSTORE extra) {
  CERT_CHAIN_PARA para{};
  para.cbSize = sizeof(para);
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  if (!CertGetCertificateChain(nullptr, cert, nullptr, extra, &para, 0, nullptr, &chain) || chain == nullptr)
    return "no chain could be built";
  const DWORD status = chain->TrustStatus.dwErrorStatus;
  CertFreeCertificateChain(chain);
  // Revocation is the library's own check (with its CRL settings); the rest is trust.
  static const struct {
    DWORD bit;
    const char* words;
  } kTroubles[] = {
      {CERT_TRUST_IS_PARTIAL_CHAIN, "the chain stops before a root"},
      {CERT_TRUST_IS_UNTRUSTED_ROOT, "the root is not trusted"},
      {CERT_TRUST_IS_NOT_SIGNATURE_VALID, "a signature in the chain does not verify"},
      {CERT_TRUST_IS_NOT_TIME_VALID, "a certificate in the chain is outside its validity period"},
      {CERT_TRUST_IS_REVOKED, "a certificate in the chain is revoked"},
      {CERT_TRUST_IS_CYCLIC, "the chain is cyclic"},
      {CERT_TRUST_INVALID_BASIC_CONSTRAINTS, "an issuer is not a CA"},
  };
  std::string words;
  for (const auto& t : kTroubles) {
    if ((status & t.bit) == 0) continue;
    if (!words.empty()) words += "; ";
    words += t.words;
  }
  return words;
}

std::string RevocationListInUse(PCCERT_CONTEXT cert, const std::string& store_file) {
  struct Place {
    std::string name;
    HCERTSTORE store;
    bool owned;
  };
  std::vector<Place> places;
  if (cert->hCertStore != nullptr) places.push_back({"the certificate's store", cert->hCertStore, false});
  for (const char* name : {"My", "CA", "Root"})
    places.push_back({name, OpenNamedStore(name, CERT_SYSTEM_STORE_CURRENT_USER), true});
  if (!store_file.empty()) places.push_back({store_file, OpenNamedStore(store_file, 0), true});
  // The platform clears the flag of a certificate (or list) the other's key verified.
  const auto verified = [](DWORD flags) { return (flags & CERT_STORE_SIGNATURE_FLAG) == 0; };
  std::vector<PCCERT_CONTEXT> issuers;
  for (const Place& place : places) {
    if (place.store == nullptr) continue;
    DWORD flags = CERT_STORE_SIGNATURE_FLAG;
    for (PCCERT_CONTEXT c = CertGetIssuerCertificateFromStore(place.store, cert, nullptr, &flags); c != nullptr;
         c = CertGetIssuerCertificateFromStore(place.store, cert, c, &flags)) {
      if (verified(flags)) issuers.push_back(CertDuplicateCertificateContext(c));
      flags = CERT_STORE_SIGNATURE_FLAG;
    }
  }
  PCCRL_CONTEXT newest = nullptr;
  std::string where;
  for (PCCERT_CONTEXT issuer : issuers) {
    for (const Place& place : places) {
      if (place.store == nullptr) continue;
      DWORD flags = CERT_STORE_SIGNATURE_FLAG;
      for (PCCRL_CONTEXT crl = CertGetCRLFromStore(place.store, issuer, nullptr, &flags); crl != nullptr;
           crl = CertGetCRLFromStore(place.store, issuer, crl, &flags)) {
        if (verified(flags) &&
            (newest == nullptr || CompareFileTime(&crl->pCrlInfo->ThisUpdate, &newest->pCrlInfo->ThisUpdate) > 0)) {
          if (newest != nullptr) CertFreeCRLContext(newest);
          newest = CertDuplicateCRLContext(crl);
          where = place.name;
        }
        flags = CERT_STORE_SIGNATURE_FLAG;
      }
    }
    CertFreeCertificateContext(issuer);
  }
  std::string found;
  if (newest != nullptr) {
    found = "issued " + FileTimeText(newest->pCrlInfo->ThisUpdate) + " UTC, next " +
            FileTimeText(newest->pCrlInfo->NextUpdate) + " UTC, in " + where;
    CertFreeCRLContext(newest);
  }
  for (const Place& place : places)
    if (place.owned && place.store != nullptr) CertCloseStore(place.store, 0);
  return found;
}
