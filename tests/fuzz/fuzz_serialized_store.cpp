// libFuzzer target: the serialized-store loader and everything a caller does with what it
// loads (enumeration, names, properties, saving again).
#include <cstddef>
#include <cstdint>
#include <vector>

#include "vexor/platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1 << 20) return 0;
  CRYPT_DATA_BLOB blob{static_cast<DWORD>(size), const_cast<BYTE*>(data)};
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SERIALIZED, 0, 0, 0, &blob);
  if (store == nullptr) return 0;
  PCCERT_CONTEXT c = nullptr;
  while ((c = CertEnumCertificatesInStore(store, c)) != nullptr) {
    char text[256];
    CertNameToStrA(X509_ASN_ENCODING, &c->pCertInfo->Subject, CERT_X500_NAME_STR, text, sizeof text);
    CertGetNameStringA(c, CERT_NAME_FRIENDLY_DISPLAY_TYPE, 0, nullptr, text, sizeof text);
    DWORD cb = 0;
    if (CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &cb)) {
      std::vector<BYTE> buf(cb);
      CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, buf.data(), &cb);
    }
  }
  PCCRL_CONTEXT crl = nullptr;
  while ((crl = CertEnumCRLsInStore(store, crl)) != nullptr) {
  }
  CRYPT_DATA_BLOB out{0, nullptr};
  if (CertSaveStore(store, X509_ASN_ENCODING, CERT_STORE_SAVE_AS_STORE, CERT_STORE_SAVE_TO_MEMORY, &out, 0)) {
    std::vector<BYTE> bytes(out.cbData);
    out.pbData = bytes.data();
    CertSaveStore(store, X509_ASN_ENCODING, CERT_STORE_SAVE_AS_STORE, CERT_STORE_SAVE_TO_MEMORY, &out, 0);
  }
  CertCloseStore(store, 0);
  return 0;
}
