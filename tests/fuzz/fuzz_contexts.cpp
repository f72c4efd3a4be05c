// libFuzzer target: certificate and CRL context creation from hostile bytes, then the
// decoders a caller applies to their fields (names, extensions).
#include <cstddef>
#include <cstdint>
#include <vector>

#include "vexor/platform.h"

namespace {

void DecodeExtensions(DWORD count, const CERT_EXTENSION* ext) {
  for (DWORD i = 0; i < count; ++i) {
    for (LPCSTR type : {szOID_CRL_DIST_POINTS, szOID_CERT_POLICIES, szOID_ENHANCED_KEY_USAGE}) {
      DWORD cb = 0;
      if (CryptDecodeObject(0x10001, type, ext[i].Value.pbData, ext[i].Value.cbData, 0, nullptr, &cb)) {
        std::vector<BYTE> buf(cb);
        CryptDecodeObject(0x10001, type, ext[i].Value.pbData, ext[i].Value.cbData, 0, buf.data(), &cb);
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 1 << 16) return 0;
  const BYTE* der = data + 1;
  const DWORD n = static_cast<DWORD>(size - 1);
  if (data[0] & 1) {
    PCCRL_CONTEXT crl = CertCreateCRLContext(X509_ASN_ENCODING, der, n);
    if (crl == nullptr) return 0;
    char text[256];
    CertNameToStrA(X509_ASN_ENCODING, &crl->pCrlInfo->Issuer, CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG, text,
                   sizeof text);
    DecodeExtensions(crl->pCrlInfo->cExtension, crl->pCrlInfo->rgExtension);
    CertFreeCRLContext(crl);
    return 0;
  }
  PCCERT_CONTEXT cert = CertCreateCertificateContext(X509_ASN_ENCODING, der, n);
  if (cert == nullptr) return 0;
  char text[256];
  CertNameToStrA(X509_ASN_ENCODING, &cert->pCertInfo->Subject, CERT_X500_NAME_STR, text, sizeof text);
  for (DWORD type = CERT_NAME_EMAIL_TYPE; type <= CERT_NAME_UPN_TYPE; ++type) {
    CertGetNameStringA(cert, type, 0, nullptr, text, sizeof text);
    CertGetNameStringA(cert, type, CERT_NAME_ISSUER_FLAG, nullptr, text, sizeof text);
  }
  CertGetNameStringA(cert, CERT_NAME_DNS_TYPE, CERT_NAME_SEARCH_ALL_NAMES_FLAG, nullptr, text, sizeof text);
  DecodeExtensions(cert->pCertInfo->cExtension, cert->pCertInfo->rgExtension);
  DWORD cb = 0;
  if (CertGetEnhancedKeyUsage(cert, 0, nullptr, &cb)) {
    std::vector<BYTE> buf(cb);
    CertGetEnhancedKeyUsage(cert, 0, reinterpret_cast<PCERT_ENHKEY_USAGE>(buf.data()), &cb);
  }
  CertFreeCertificateContext(cert);
  return 0;
}
